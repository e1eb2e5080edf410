// Python face of encode_srgb: argument matching, then the kernel without the lock.
#include <array>
#include <string_view>

#include "encode/encode_srgb.hpp"
#include "module/call_frame.hpp"
#include "module/kernel_entry.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

constexpr std::array<std::string_view, 1> kParameters{"img"};
constexpr Signature kSignature{"encode_srgb", kParameters, 1};

PyObject* encode_srgb_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        ImageArgument img;
        if (!match_image_call(kSignature, args, nargs, kwnames, slots, img)) return nullptr;
        return run_kernel([&] { return encode_srgb(img.view()); });
    });
}

constexpr const char kDoc[] =
    "encode_srgb(img)\n--\n\n"
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

PyMethodDef encode_srgb_method = kernel_method("encode_srgb", encode_srgb_entry, kDoc);

}  // namespace ostrel::py
