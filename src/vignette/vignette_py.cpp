// Python face of vignette: the parameters and the placement are converted and
// checked while the lock is held, then the kernel runs without it.
#include <cstdint>
#include <string>

#include "darkroom/registry.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/image_argument.hpp"
#include "vignette/vignette.hpp"

namespace ostrel::py {
namespace {

constexpr Parameter kParameters[] = {
    {"img"},
    {"stops", kOptional, "0.0"},
    {"midpoint", kOptional, "0.75"},
    {"feather", kOptional, "0.5"},
    {"top", kOptional, "0"},
    {"left", kOptional, "0"},
    {"full_height", kOptional, "0"},
    {"full_width", kOptional, "0"},
};

bool float_argument(const KernelArguments& args, std::size_t i, float& out) {
    return args[i] == nullptr || to_float32(args[i], args.name(i), out);
}

bool size_argument(const KernelArguments& args, std::size_t i, std::size_t& out) {
    if (args[i] == nullptr) return true;
    std::uint32_t value = 0;
    if (!to_uint32(args[i], args.name(i), value)) return false;
    out = value;
    return true;
}

PyObject* vignette_body(const KernelArguments& args) {
    Vignette v;
    Placement placement;
    if (!float_argument(args, 1, v.stops) || !float_argument(args, 2, v.midpoint) ||
        !float_argument(args, 3, v.feather) || !size_argument(args, 4, placement.top) ||
        !size_argument(args, 5, placement.left) || !size_argument(args, 6, placement.full_height) ||
        !size_argument(args, 7, placement.full_width)) {
        return nullptr;
    }
    const std::string problem = vignette_problem(v);
    if (!problem.empty()) {
        PyErr_Format(PyExc_ValueError, "vignette: %s", problem.c_str());
        return nullptr;
    }
    return run_kernel([&] { return vignette(args.image(), v, placement); });
}

constexpr const char kDoc[] =
    "Burn or dodge the edges: luminance times 2^(stops * e) by distance from the centre.\n"
    "\n"
    "r is a pixel centre's distance from the image centre as a share of the\n"
    "half diagonal (1 at the corners); e rises smoothly from 0 at\n"
    "``midpoint - feather / 2`` to 1 at ``midpoint + feather / 2``. The gain\n"
    "depends only on the pixel's absolute position and the whole image's size:\n"
    "a block at ``top``, ``left`` of a ``full_height`` x ``full_width`` image\n"
    "gets the whole image's bits there. All arithmetic is float32 in a fixed\n"
    "order, the power correctly rounded.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``, C-contiguous: linear luminance.\n"
    "stops : float\n"
    "    Gain at the corners in stops, |stops| <= 16: negative burns, positive dodges.\n"
    "midpoint : float\n"
    "    0..2: where the effect is half, a share of the half diagonal.\n"
    "feather : float\n"
    "    Above 0, up to 2: the width of the transition, likewise.\n"
    "top, left : int\n"
    "    The block's first row and column in the whole image.\n"
    "full_height, full_width : int\n"
    "    The whole image's size; 0 (the default) means the block's own.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If a parameter is outside its range, ``img`` is not ``(H, W, 1)``, or\n"
    "    the block does not fit the whole image.";

}  // namespace

const KernelDeclaration vignette_kernel{"vignette", kParameters, kDoc, vignette_body};

}  // namespace ostrel::py
