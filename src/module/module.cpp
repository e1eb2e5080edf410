// The code every extension module shares: its method table and the
// registration of its classes and functions (module/module.hpp).
#include "module/module.hpp"

#include "module/py_ref.hpp"

namespace ostrel::py {
namespace {

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

}  // namespace

MethodTable::MethodTable(std::span<const KernelRegistration> kernels) {
    docs_.reserve(kernels.size());  // the entries point into these strings: no reallocation after
    methods_.reserve(kernels.size());
    for (const KernelRegistration& registration : kernels) {
        docs_.push_back(kernel_docstring(*registration.kernel));
        methods_.push_back(kernel_method(*registration.kernel, registration.entry, docs_.back().c_str()));
    }
}

int add_contents(PyObject* module, std::span<ClassSlot* const> classes, std::span<PyMethodDef> methods) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "expected a module object");
        return -1;
    }
    for (ClassSlot* slot : classes) {
        if (!add_class(module, *slot)) return -1;
    }
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& method : methods) {
        if (!add_function(module, module_name.get(), method)) return -1;
    }
    return 0;
}

}  // namespace ostrel::py
