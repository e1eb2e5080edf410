// Python face of local_contrast: the parameter object stays under a shared
// borrow until the kernel has returned, so an assignment from another thread
// fails instead of racing the running filter.
#include "local_contrast/guided_filter_params_py.hpp"
#include "local_contrast/local_contrast.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

constexpr Parameter kParameters[] = {{"img"}, {"params"}, {"strength"}};

PyObject* local_contrast_body(const KernelArguments& args) {
    SharedBorrow hold;
    GuidedFilterSettings settings;
    if (!guided_filter_params_argument(args[1], args.name(1), settings, hold)) return nullptr;
    float strength = 0.0f;
    if (!to_float32(args[2], args.name(2), strength)) return nullptr;
    return run_kernel([&] { return local_contrast(args.image(), settings.radius, settings.eps, strength); });
}

constexpr const char kDoc[] =
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

const KernelDeclaration local_contrast_kernel{"local_contrast", kParameters, kDoc, local_contrast_body};

}  // namespace ostrel::py
