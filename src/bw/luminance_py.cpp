// Python faces of luminance_bw, channel_mixer_bw and color_filter_bw.
#include <array>

#include "bw/enums_py.hpp"
#include "bw/luminance.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

constexpr Parameter kLuminanceParameters[] = {{"img"}, {"standard", kOptional}};
constexpr Parameter kMixerParameters[] = {{"img"}, {"wr"}, {"wg"}, {"wb"}};
constexpr Parameter kFilterParameters[] = {{"img"}, {"filter", kOptional}, {"standard", kOptional}};

PyObject* luminance_bw_body(const KernelArguments& args) {
    LuminanceStandard standard{};
    if (!luminance_standard_argument(args[1], args.name(1), standard)) return nullptr;
    return run_kernel([&] { return luminance_bw(args.image(), standard); });
}

PyObject* channel_mixer_bw_body(const KernelArguments& args) {
    std::array<float, 3> weights{};
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (!to_float32(args[i + 1], args.name(i + 1), weights[i])) return nullptr;
    }
    return run_kernel([&] { return channel_mixer_bw(args.image(), weights[0], weights[1], weights[2]); });
}

PyObject* color_filter_bw_body(const KernelArguments& args) {
    ColorFilter filter{};
    LuminanceStandard standard{};
    if (!color_filter_argument(args[1], args.name(1), filter)) return nullptr;
    if (!luminance_standard_argument(args[2], args.name(2), standard)) return nullptr;
    return run_kernel([&] { return color_filter_bw(args.image(), filter, standard); });
}

constexpr const char kLuminanceDoc[] =
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

const KernelDeclaration luminance_bw_kernel{"luminance_bw", kLuminanceParameters, kLuminanceDoc, luminance_bw_body};
const KernelDeclaration channel_mixer_bw_kernel{"channel_mixer_bw", kMixerParameters, kMixerDoc, channel_mixer_bw_body};
const KernelDeclaration color_filter_bw_kernel{"color_filter_bw", kFilterParameters, kFilterDoc, color_filter_bw_body};

}  // namespace ostrel::py
