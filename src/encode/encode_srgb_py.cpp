// Python face of encode_srgb: argument matching, then the kernel without the lock.
#include "encode/encode_srgb.hpp"
#include "module/call_frame.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

constexpr Parameter kParameters[] = {{"img"}};

PyObject* encode_srgb_body(const KernelArguments& args) {
    return run_kernel([&] { return encode_srgb(args.image()); });
}

constexpr const char kDoc[] =
    "Apply the IEC 61966-2-1 sRGB transfer encoding.\n"
    "\n"
    "This is always the last kernel in the pipeline. Converts scene-referred\n"
    "linear f32 values to display-referred sRGB. Values are not clamped \u2014\n"
    "caller should clamp to [0, 1] beforehand if required.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, C)``, dtype ``float32``, C-contiguous.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, C)``, dtype ``float32``, display-referred sRGB.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` does not have exactly 3 dimensions.";

}  // namespace

const KernelDeclaration encode_srgb_kernel{"encode_srgb", kParameters, kDoc, encode_srgb_body};

}  // namespace ostrel::py
