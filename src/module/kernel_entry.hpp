#pragma once
// What every kernel function's entry point shares: the method table entry
// and the first steps of argument handling.
#include <array>
#include <cstddef>

#include "module/arguments.hpp"
#include "module/image_argument.hpp"
#include "module/python.hpp"

namespace ostrel::py {

// A METH_FASTCALL | METH_KEYWORDS entry point.
using FastcallEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// The module's method table entry for a kernel function.
inline PyMethodDef kernel_method(const char* name, FastcallEntry entry, const char* doc) noexcept {
    // The interpreter calls the entry through PyCFunction and the flags tell
    // it the real signature; the detour through void(*)() keeps the cast
    // between function pointer types well defined for the compiler.
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}

// Matches the arguments of a kernel whose first parameter is the image, then
// converts the image: every kernel's first two checks, in this order.
// Returns false with the exception set.
template <std::size_t N>
bool match_image_call(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      std::array<PyObject*, N>& slots, ImageArgument& img) {
    return match_fastcall(signature, args, nargs, kwnames, slots) && img.convert(slots[0]);
}

}  // namespace ostrel::py
