#pragma once
// Move-only owners of Python references and a scoped release of the
// interpreter lock. Every reference the module takes lives in a Ref, so no
// error path has to count references by hand.
#include <utility>

#include "module/lifecycle.hpp"
#include "module/python.hpp"

namespace ostrel::py {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null, e.g. a failed API call).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives the reference away (to a caller that returns it to Python, or to
    // an API that steals it).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Releases the interpreter lock for its lifetime. No Python object may be
// touched while one is alive. Taking the lock back never unwinds: a thread
// that comes back while the interpreter exits stays parked (see lifecycle.hpp).
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;
    ~GilReleased() { reacquire_interpreter(state_); }

private:
    PyThreadState* state_;
};

}  // namespace ostrel::py
