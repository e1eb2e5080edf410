// Python face of local_contrast: the parameter object stays under a shared
// borrow until the kernel has returned, so an assignment from another thread
// fails instead of racing the running filter.
#include <array>
#include <string_view>

#include "local_contrast/guided_filter_params_py.hpp"
#include "local_contrast/local_contrast.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/kernel_entry.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

constexpr std::array<std::string_view, 3> kParameters{"img", "params", "strength"};
constexpr Signature kSignature{"local_contrast", kParameters, 3};

PyObject* local_contrast_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> slots{};
        ImageArgument img;
        if (!match_image_call(kSignature, args, nargs, kwnames, slots, img)) return nullptr;
        SharedBorrow hold;
        GuidedFilterSettings settings;
        if (!guided_filter_params_argument(slots[1], "params", settings, hold)) return nullptr;
        float strength = 0.0f;
        if (!to_float32(slots[2], "strength", strength)) return nullptr;
        return run_kernel(
            [&] { return local_contrast(img.view(), settings.radius, settings.eps, strength); });
    });
}

constexpr const char kDoc[] =
    "local_contrast(img, params, strength)\n--\n\n"
    "Enhance local contrast using the He\u2013Sun\u2013Tang guided filter.\n"
    "\n"
    "Computes ``output = L + strength \u00b7 (L - guided_filter(L))``.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 1)``, dtype ``float32``, C-contiguous.\n"
    "params : GuidedFilterParams\n"
    "    Filter radius and epsilon regularisation term.\n"
    "strength : float\n"
    "    Detail amplification factor (0 = no change, 1 = standard unsharp\n"
    "    mask, > 1 = over-sharpening).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` is not shape ``(H, W, 1)``.";

}  // namespace

PyMethodDef local_contrast_method = kernel_method("local_contrast", local_contrast_entry, kDoc);

}  // namespace ostrel::py
