#pragma once
// The one error path of the module: every failure of a call becomes its
// Python exception here.
#include <string_view>

#include "core/failure.hpp"
#include "module/python.hpp"

namespace ostrel::py {

// Sets PanicException (created on first need) with `message`.
void raise_panic(std::string_view message) noexcept;

// Sets the Python exception for `failure`: ValueError "shape error: <text>"
// for a shape error, PanicException for an internal fault, MemoryError when
// memory ran out. It allocates only through the interpreter; when that
// fails, the interpreter's MemoryError stands instead.
void raise_failure(const Failure& failure) noexcept;

}  // namespace ostrel::py
