#pragma once
// NumPy's C array interface, found at run time in the `_ARRAY_API` capsule of
// NumPy's multiarray module; no NumPy header or build dependency.
#include "module/python.hpp"

namespace ostrel::py {

// The prefix of the PanicException raised when the lookup fails.
inline constexpr const char* kNumpyLookupFailure = "Failed to access NumPy array API capsule";

inline constexpr int kNumpyFloat32 = 11;             // NPY_FLOAT
inline constexpr int kNumpyArrayWriteable = 0x0400;  // NPY_ARRAY_WRITEABLE

// The leading fields of NumPy's array object, identical in NumPy 1.x and 2.x.
struct NumpyArrayFields {
    PyObject head;
    char* data;
    int ndim;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

struct NumpyApi {
    PyTypeObject* array_type;
    PyObject* (*descr_from_type)(int type_number);
    PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int ndim, const Py_ssize_t* dims,
                                const Py_ssize_t* strides, void* data, int flags, PyObject* owner);
    unsigned char (*equiv_types)(PyObject* first, PyObject* second);
    int (*set_base_object)(PyObject* array, PyObject* base);
};

// The interface, looked up once per process on first need. Returns null with
// PanicException set when NumPy cannot be reached; the next call tries again.
const NumpyApi* numpy_api();

}  // namespace ostrel::py
