#include "module/conversions.hpp"

#include <limits>
#include <string>

#include "module/py_ref.hpp"

namespace ostrel::py {

void prefix_argument_error(std::string_view name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return;
    Ref original = Ref::steal(raised);
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        return;
    }
    Ref text = Ref::steal(PyObject_Str(original.get()));
    if (!text) return;  // the failure of str() is the error to report
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", std::string(name).c_str(), text.get()));
    if (!message) return;
    Ref replacement = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
}

bool check_instance(PyObject* object, PyTypeObject* type, std::string_view type_qualname, std::string_view name) {
    if (PyObject_TypeCheck(object, type)) return true;
    const std::string expected(type_qualname);
    const std::string argument(name);
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of '%s'", argument.c_str(),
                     expected.c_str());
        return false;
    }
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of '%s'", argument.c_str(),
                 qualname.get(), expected.c_str());
    return false;
}

bool to_float32(PyObject* object, std::string_view name, float& out) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    out = static_cast<float>(value);
    return true;
}

bool to_int32(PyObject* object, std::string_view name, std::int32_t& out) {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) {
        prefix_argument_error(name);
        return false;
    }
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

bool to_uint32(PyObject* object, std::string_view name, std::uint32_t& out) {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) {
        prefix_argument_error(name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace ostrel::py
