// Python faces of luminance_bw, channel_mixer_bw and color_filter_bw.
#include <array>
#include <cstdint>
#include <string_view>

#include "bw/enums_py.hpp"
#include "bw/luminance.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/kernel_entry.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

constexpr std::array<std::string_view, 2> kLuminanceParameters{"img", "standard"};
constexpr Signature kLuminanceSignature{"luminance_bw", kLuminanceParameters, 1};
constexpr std::array<std::string_view, 4> kMixerParameters{"img", "wr", "wg", "wb"};
constexpr Signature kMixerSignature{"channel_mixer_bw", kMixerParameters, 4};
constexpr std::array<std::string_view, 3> kFilterParameters{"img", "filter", "standard"};
constexpr Signature kFilterSignature{"color_filter_bw", kFilterParameters, 1};

PyObject* luminance_bw_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        ImageArgument img;
        if (!match_image_call(kLuminanceSignature, args, nargs, kwnames, slots, img)) return nullptr;
        std::uint8_t standard = 0;
        if (!luminance_standard_argument(slots[1], "standard", standard)) return nullptr;
        return run_kernel([&] { return luminance_bw(img.view(), standard); });
    });
}

PyObject* channel_mixer_bw_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 4> slots{};
        ImageArgument img;
        if (!match_image_call(kMixerSignature, args, nargs, kwnames, slots, img)) return nullptr;
        std::array<float, 3> weights{};
        for (std::size_t i = 0; i < weights.size(); ++i) {
            if (!to_float32(slots[i + 1], kMixerParameters[i + 1], weights[i])) return nullptr;
        }
        return run_kernel([&] { return channel_mixer_bw(img.view(), weights[0], weights[1], weights[2]); });
    });
}

PyObject* color_filter_bw_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> slots{};
        ImageArgument img;
        if (!match_image_call(kFilterSignature, args, nargs, kwnames, slots, img)) return nullptr;
        std::uint8_t filter = 0;
        std::uint8_t standard = 0;
        if (!color_filter_argument(slots[1], "filter", filter)) return nullptr;
        if (!luminance_standard_argument(slots[2], "standard", standard)) return nullptr;
        return run_kernel([&] { return color_filter_bw(img.view(), filter, standard); });
    });
}

constexpr const char kLuminanceDoc[] =
    "luminance_bw(img, standard=...)\n--\n\n"
    "Convert a linear RGB image to greyscale using standard luminance weights.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 3)``, dtype ``float32``, C-contiguous,\n"
    "    scene-referred linear sRGB values.\n"
    "standard : LuminanceStandard, optional\n"
    "    Which ITU-R standard to use. Default: ``LuminanceStandard.Bt709``.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``, linear luminance.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` is not shape ``(H, W, 3)``.";

constexpr const char kMixerDoc[] =
    "channel_mixer_bw(img, wr, wg, wb)\n--\n\n"
    "Convert a linear RGB image to greyscale using arbitrary channel weights.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 3)``, dtype ``float32``, C-contiguous.\n"
    "wr, wg, wb : float\n"
    "    Per-channel weights. Range \u22122..+2 is conventional; negative weights\n"
    "    produce infrared-like inversions. Weights need not sum to one.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` is not shape ``(H, W, 3)``.";

constexpr const char kFilterDoc[] =
    "color_filter_bw(img, filter=..., standard=...)\n--\n\n"
    "Convert a linear RGB image to greyscale using a Wratten-style filter.\n"
    "\n"
    "Applies the filter's per-channel transmission vector then collapses\n"
    "to luminance using ``standard``.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 3)``, dtype ``float32``, C-contiguous.\n"
    "filter : ColorFilter, optional\n"
    "    Wratten-style preset. Default: ``ColorFilter.NoFilter``.\n"
    "standard : LuminanceStandard, optional\n"
    "    Which ITU-R standard to use. Default: ``LuminanceStandard.Bt709``.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` is not shape ``(H, W, 3)``.";

}  // namespace

PyMethodDef luminance_bw_method = kernel_method("luminance_bw", luminance_bw_entry, kLuminanceDoc);
PyMethodDef channel_mixer_bw_method = kernel_method("channel_mixer_bw", channel_mixer_bw_entry, kMixerDoc);
PyMethodDef color_filter_bw_method = kernel_method("color_filter_bw", color_filter_bw_entry, kFilterDoc);

}  // namespace ostrel::py
