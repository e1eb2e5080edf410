// The module `ostrel_core`: types, functions, the execution step, slots and
// the definition, in that order. The entry point only hands the definition to
// the interpreter; the execution step registers every class and function.
#include <array>
#include <span>
#include <string>

#include "module/call_frame.hpp"
#include "module/lifecycle.hpp"
#include "module/py_ref.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

// Classes and functions in registration order (also the order of __all__).
#define OSTREL_CLASS_ENTRY(name) &name##_class,
constexpr std::array kRegisteredClasses{OSTREL_EXPORTED_CLASSES(OSTREL_CLASS_ENTRY)};
#undef OSTREL_CLASS_ENTRY

struct KernelRegistration {
    const KernelDeclaration* kernel;
    PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
};
#define OSTREL_KERNEL_ENTRY(name) KernelRegistration{&name##_kernel, &kernel_entry<name##_kernel>},
constexpr std::array kRegisteredKernels{OSTREL_EXPORTED_KERNELS(OSTREL_KERNEL_ENTRY)};
#undef OSTREL_KERNEL_ENTRY

// The method table entries and their docstrings, made once per process and
// never changed or freed: the function objects of every import of the module
// point into them.
class MethodTable {
public:
    MethodTable() {
        for (std::size_t i = 0; i < kRegisteredKernels.size(); ++i) {
            const KernelRegistration& registration = kRegisteredKernels[i];
            docs_[i] = kernel_docstring(*registration.kernel);
            methods_[i] = kernel_method(*registration.kernel, registration.entry, docs_[i].c_str());
        }
    }
    MethodTable(const MethodTable&) = delete;
    MethodTable& operator=(const MethodTable&) = delete;

    std::span<PyMethodDef> methods() noexcept { return methods_; }

private:
    std::array<std::string, kRegisteredKernels.size()> docs_;
    std::array<PyMethodDef, kRegisteredKernels.size()> methods_{};
};

std::span<PyMethodDef> kernel_methods() {
    static MethodTable table;
    return table.methods();
}

// Appends `name` to the module's __all__ (creating the list if needed), then
// sets the attribute.
bool add_to_module(PyObject* module, PyObject* name, PyObject* object) {
    Ref names = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        names = Ref::steal(PyList_New(0));
        if (!names || PyObject_SetAttrString(module, "__all__", names.get()) < 0) return false;
    } else if (!PyList_Check(names.get())) {
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return false;
    }
    if (PyList_Append(names.get(), name) < 0) return false;
    return PyObject_SetAttr(module, name, object) == 0;
}

bool add_class(PyObject* module, ClassSlot& slot) {
    PyTypeObject* type = get_class(slot);
    if (type == nullptr) return false;
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) return false;
    return add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef& method) {
    Ref function = Ref::steal(PyCMethod_New(&method, module, module_name, nullptr));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "function __name__ must be a string");
        return false;
    }
    return add_to_module(module, name.get(), function.get());
}

int exec_module(PyObject* module) noexcept {
    return guarded([&]() -> int {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "expected a module object");
            return -1;
        }
        for (ClassSlot* slot : kRegisteredClasses) {
            if (!add_class(module, *slot)) return -1;
        }
        Ref module_name = Ref::steal(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        for (PyMethodDef& method : kernel_methods()) {
            if (!add_function(module, module_name.get(), method)) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_exec, reinterpret_cast<void*>(refuse_subinterpreters)},
    {Py_mod_exec, reinterpret_cast<void*>(install_exit_gate)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "ostrel_core",
    "The `ostrel_core` Python extension module.\n"
    "\n"
    "Exposes the numerical kernels as Python-callable functions. All\n"
    "arrays are `numpy.float32`, C-contiguous, shape `(H, W, C)`.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace ostrel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_ostrel_core() {
    return PyModuleDef_Init(&ostrel::py::module_definition);
}
