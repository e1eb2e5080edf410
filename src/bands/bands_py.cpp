// Python face of bands and band_offsets: the offsets and the filter's
// settings are converted and checked while the lock is held, then the kernel
// runs without it.
#include <array>
#include <cstddef>
#include <string>

#include "bands/bands.hpp"
#include "darkroom/registry.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/image_argument.hpp"
#include "module/py_ref.hpp"

namespace ostrel::py {
namespace {

constexpr Parameter kParameters[] = {
    {"img"},
    {"lum"},
    {"offsets"},
    {"radius", kOptional, "0"},
    {"eps", kOptional, "0.1"},
    {"low", kOptional, "0.05"},
    {"high", kOptional, "0.25"},
};

// band_offsets takes the same settings, without the luminance.
constexpr Parameter kOffsetParameters[] = {
    {"img"},
    {"offsets"},
    {"radius", kOptional, "0"},
    {"eps", kOptional, "0.1"},
    {"low", kOptional, "0.05"},
    {"high", kOptional, "0.25"},
};

bool float_argument(const KernelArguments& args, std::size_t i, float& out) {
    return args[i] == nullptr || to_float32(args[i], args.name(i), out);
}

// Eight numbers, red to magenta; false with the exception set.
bool offsets_argument(PyObject* object, std::array<float, kBandCount>& out) {
    const Py_ssize_t size = PySequence_Check(object) != 0 ? PySequence_Size(object) : -1;
    if (size != static_cast<Py_ssize_t>(kBandCount)) {
        if (size < 0) PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "argument 'offsets': expected a sequence of 8 numbers, red to magenta");
        return false;
    }
    for (std::size_t k = 0; k < kBandCount; ++k) {
        const Ref item = Ref::steal(PySequence_GetItem(object, static_cast<Py_ssize_t>(k)));
        if (!item || !to_float32(item.get(), "offsets", out[k])) return false;
    }
    return true;
}

// The settings from slot `first` (the offsets) on; false with the exception set.
bool band_settings(const KernelArguments& args, std::size_t first, Bands& b) {
    if (!offsets_argument(args[first], b.offsets)) return false;
    if (args[first + 1] != nullptr && !to_uint32(args[first + 1], args.name(first + 1), b.radius)) return false;
    if (!float_argument(args, first + 2, b.eps) || !float_argument(args, first + 3, b.low) ||
        !float_argument(args, first + 4, b.high)) {
        return false;
    }
    const std::string problem = bands_problem(b);
    if (!problem.empty()) {
        PyErr_Format(PyExc_ValueError, "bands: %s", problem.c_str());
        return false;
    }
    return true;
}

PyObject* bands_body(const KernelArguments& args) {
    ImageArgument lum;
    if (!lum.convert(args[1], "lum")) return nullptr;
    Bands b;
    if (!band_settings(args, 2, b)) return nullptr;
    return run_kernel([&] { return bands(args.image(), lum.view(), b); });
}

PyObject* offsets_body(const KernelArguments& args) {
    Bands b;
    if (!band_settings(args, 1, b)) return nullptr;
    return run_kernel([&] { return band_offsets(args.image(), b); });
}

constexpr const char kDoc[] =
    "Mix colours into the grey: luminance times 2^o, o by the hue of each pixel.\n"
    "\n"
    "Eight bands (red 0, orange 30, yellow 60, green 120, aqua 180, blue 240,\n"
    "purple 270, magenta 315 degrees of the hue of the square-rooted linear\n"
    "RGB) each carry an offset in stops; smoothstep windows between\n"
    "neighbouring centres sum to one. The offset is weighted by a smoothstep\n"
    "of the saturation from ``low`` to ``high`` (0 for greys), smoothed by a\n"
    "self-guided filter of ``radius`` and ``eps`` (stops^2) in exact integer\n"
    "sums, and left at exactly 0 where the pixel's own weight is 0, so a grey\n"
    "keeps its bits. The operation order is in src/bands/bands.hpp.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Shape ``(H, W, 3)``, dtype ``float32``, C-contiguous: linear RGB.\n"
    "lum : numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``, C-contiguous: its luminance.\n"
    "offsets : sequence of float\n"
    "    Eight offsets in stops, each within -4..4: red, orange, yellow,\n"
    "    green, aqua, blue, purple, magenta.\n"
    "radius : int\n"
    "    Smoothing radius in pixels, 0..2048 (0: no smoothing).\n"
    "eps : float\n"
    "    The filter's edge threshold in stops^2, above 0, up to 16.\n"
    "low, high : float\n"
    "    Saturation thresholds, 0 <= low < high <= 1.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If a setting is outside its range, or the shapes do not match.";

constexpr const char kOffsetDoc[] =
    "The offset map of ``bands`` in stops: (H, W, 3) linear RGB to (H, W, 1).\n"
    "\n"
    "The same settings as ``bands``; ``bands(img, lum, ...)`` is ``lum``\n"
    "times the correctly rounded ``2^o`` of this map.";

}  // namespace

const KernelDeclaration bands_kernel{"bands", kParameters, kDoc, bands_body};
const KernelDeclaration band_offsets_kernel{"band_offsets", kOffsetParameters, kOffsetDoc, offsets_body};

}  // namespace ostrel::py
