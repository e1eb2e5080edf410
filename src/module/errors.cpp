// PanicException, and the conversion of every failure into its Python
// exception. PanicException derives from BaseException so that
// `except Exception` handlers do not swallow it.
#include "module/errors.hpp"

#include "module/py_ref.hpp"

namespace ostrel::py {
namespace {

PyObject* panic_exception_class = nullptr;  // created once per process, never released

constexpr const char kPanicDoc[] =
    "Raised when a kernel call meets an internal fault, a broken invariant\n"
    "of the extension rather than a problem with the arguments.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so that it passes\n"
    "through ordinary exception handlers up to the interpreter.";

PyObject* panic_class() {
    if (panic_exception_class != nullptr) return panic_exception_class;
    PyObject* created =
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    if (panic_exception_class != nullptr) {  // made meanwhile by another thread
        Py_DECREF(created);
    } else {
        panic_exception_class = created;
    }
    return panic_exception_class;
}

}  // namespace

void raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_class();
    if (type == nullptr) return;  // the class could not be made: that error stands
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void raise_failure(const Failure& failure) noexcept {
    switch (failure.kind()) {
        case Failure::Kind::shape_error:
            PyErr_Format(PyExc_ValueError, "shape error: %s", failure.message());
            return;
        case Failure::Kind::internal_fault:
            raise_panic(failure.message());
            return;
        case Failure::Kind::out_of_memory:
            PyErr_NoMemory();
            return;
    }
    raise_panic("unknown failure");
}

}  // namespace ostrel::py
