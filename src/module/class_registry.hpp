#pragma once
// Process-wide class objects: each heap type is made from its spec on first
// need and kept for the life of the process; later needs (and later imports
// of the module) get the very same object.
#include "module/python.hpp"

namespace ostrel::py {

// A holder for one process-wide class. `after_create` (may be null) runs once
// on the new class before it is published, e.g. to add enumeration members;
// it returns false with an exception set on failure.
struct ClassSlot {
    PyType_Spec* spec;
    bool (*after_create)(PyTypeObject* type) = nullptr;
    PyTypeObject* type = nullptr;
};

// Returns the class (a borrowed reference), creating it if needed, or null
// with an exception set.
PyTypeObject* get_class(ClassSlot& slot);

// tp_dealloc for plain heap types whose instances own nothing.
void dealloc_plain_instance(PyObject* self);

}  // namespace ostrel::py
