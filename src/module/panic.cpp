// PanicException: how internal faults reach Python. It derives from
// BaseException so that `except Exception` handlers do not swallow it.
#include <exception>
#include <new>

#include "module/call_frame.hpp"

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
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                                  nullptr);
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

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const InternalFault& fault) {
        raise_panic(fault.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal fault");
    }
}

}  // namespace ostrel::py
