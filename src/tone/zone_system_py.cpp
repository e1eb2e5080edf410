// Python face of zone_system: the offset table is copied while the lock is
// held, then the kernel runs without it.
#include "module/call_frame.hpp"
#include "module/registry.hpp"
#include "tone/zone_curve.hpp"
#include "tone/zone_params_py.hpp"

namespace ostrel::py {
namespace {

constexpr Parameter kParameters[] = {{"img"}, {"params"}};

PyObject* zone_system_body(const KernelArguments& args) {
    ZoneOffsets offsets;
    if (!zone_params_argument(args[1], args.name(1), offsets)) return nullptr;
    return run_kernel([&] { return zone_system(args.image(), offsets); });
}

constexpr const char kDoc[] =
    "Apply the Adams/Archer Zone System tone curve.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 1)``, dtype ``float32``, C-contiguous,\n"
    "    linear luminance (output of a B&W conversion kernel).\n"
    "params : ZoneParams\n"
    "    Zone offsets mapping zone index 0..10 \u2192 stop offset.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``, tone-adjusted luminance.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` is not shape ``(H, W, 1)``.";

}  // namespace

const KernelDeclaration zone_system_kernel{"zone_system", kParameters, kDoc, zone_system_body};

}  // namespace ostrel::py
