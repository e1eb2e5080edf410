// The module `ostrel._darkroom`, the print-making kernels that follow the
// tone steps of ostrel_core: its registry (darkroom/registry.hpp) made into
// a module by the shared code of module/module.hpp, like ostrel_core.
#include "module/module.hpp"

#include "darkroom/registry.hpp"

namespace ostrel::py {
namespace {

constexpr auto kClasses = OSTREL_REGISTERED_CLASSES(OSTREL_DARKROOM_CLASSES);
constexpr auto kKernels = OSTREL_REGISTERED_KERNELS(OSTREL_DARKROOM_KERNELS);

constexpr ModuleContents kContents{
    "ostrel._darkroom",
    "The `ostrel._darkroom` Python extension module.\n"
    "\n"
    "The print-making kernels that follow the tone steps of `ostrel_core`.\n"
    "All arrays are `numpy.float32`, C-contiguous, shape `(H, W, C)`.",
    kClasses,
    kKernels,
};

}  // namespace
}  // namespace ostrel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__darkroom() {
    return ostrel::py::ExtensionModule<ostrel::py::kContents>::init();
}
