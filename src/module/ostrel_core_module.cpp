// The module `ostrel_core`: its registry (module/registry.hpp) made into a
// module by the shared code of module/module.hpp. The entry point only hands
// the definition to the interpreter; the execution steps register every
// class and function.
#include "module/module.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

constexpr auto kClasses = OSTREL_REGISTERED_CLASSES(OSTREL_EXPORTED_CLASSES);
constexpr auto kKernels = OSTREL_REGISTERED_KERNELS(OSTREL_EXPORTED_KERNELS);

constexpr ModuleContents kContents{
    "ostrel_core",
    "The `ostrel_core` Python extension module.\n"
    "\n"
    "Exposes the numerical kernels as Python-callable functions. All\n"
    "arrays are `numpy.float32`, C-contiguous, shape `(H, W, C)`.",
    kClasses,
    kKernels,
};

}  // namespace
}  // namespace ostrel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_ostrel_core() {
    return ostrel::py::ExtensionModule<ostrel::py::kContents>::init();
}
