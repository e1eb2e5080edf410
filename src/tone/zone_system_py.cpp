// Python face of zone_system: the offset table is copied while the lock is
// held, then the kernel runs without it.
#include <array>
#include <string_view>
#include <utility>

#include "module/call_frame.hpp"
#include "module/kernel_entry.hpp"
#include "module/registry.hpp"
#include "tone/zone_curve.hpp"
#include "tone/zone_params_py.hpp"

namespace ostrel::py {
namespace {

constexpr std::array<std::string_view, 2> kParameters{"img", "params"};
constexpr Signature kSignature{"zone_system", kParameters, 2};

PyObject* zone_system_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        ImageArgument img;
        if (!match_image_call(kSignature, args, nargs, kwnames, slots, img)) return nullptr;
        ZoneOffsets offsets;
        if (!zone_params_argument(slots[1], "params", offsets)) return nullptr;
        return run_kernel([&] { return zone_system(img.view(), std::move(offsets)); });
    });
}

constexpr const char kDoc[] =
    "zone_system(img, params)\n--\n\n"
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

PyMethodDef zone_system_method = kernel_method("zone_system", zone_system_entry, kDoc);

}  // namespace ostrel::py
