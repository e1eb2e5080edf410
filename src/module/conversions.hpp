#pragma once
// Conversions of single arguments to plain values. Each returns false with a
// Python exception set; a TypeError is re-raised as
// "argument '<name>': <message>" (keeping the original's cause), any other
// exception passes unchanged.
#include <cstdint>
#include <string_view>

#include "module/python.hpp"

namespace ostrel::py {

// Re-raises a pending exact TypeError with the argument prefix.
void prefix_argument_error(std::string_view name);

// Checks that `object` is an instance of `type` (subclasses included);
// otherwise "'<qualname>' object is not an instance of '<class qualname>'"
// (or "'None' is not an instance of ..."), prefixed for `name`.
bool check_instance(PyObject* object, PyTypeObject* type, std::string_view type_qualname, std::string_view name);

// The interpreter's float conversion, rounded to the nearest float32
// (out-of-range magnitudes become infinities).
bool to_float32(PyObject* object, std::string_view name, float& out);

// Integer conversions through __index__, as the interpreter converts to C integers.
bool to_int32(PyObject* object, std::string_view name, std::int32_t& out);
// OverflowError for negatives and >= 2**64 (interpreter's message), and
// "out of range integral type conversion attempted" for 2**32 .. 2**64-1.
bool to_uint32(PyObject* object, std::string_view name, std::uint32_t& out);

}  // namespace ostrel::py
