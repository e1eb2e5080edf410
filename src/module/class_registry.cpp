#include "module/class_registry.hpp"

#include "module/py_ref.hpp"

namespace ostrel::py {

PyTypeObject* get_class(ClassSlot& slot) {
    if (slot.type != nullptr) return slot.type;
    Ref created = Ref::steal(PyType_FromSpec(slot.spec));
    if (!created) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(created.get());
    if (slot.after_create != nullptr && !slot.after_create(type)) return nullptr;
    // after_create may run Python code and let another thread finish first;
    // the first class published wins and is the only one ever handed out.
    if (slot.type == nullptr) slot.type = reinterpret_cast<PyTypeObject*>(created.release());
    return slot.type;
}

void dealloc_plain_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_instance = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_instance(self);
    Py_DECREF(type);
}

}  // namespace ostrel::py
