#pragma once
// The common frame of every entry point: kernel calls run without the
// interpreter lock, and no C++ exception ever reaches the interpreter.
#include <cxxabi.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/fault.hpp"
#include "core/image.hpp"
#include "module/lifecycle.hpp"
#include "module/py_ref.hpp"

namespace ostrel::py {

// Sets PanicException (created on first need) with `message`.
void raise_panic(std::string_view message) noexcept;

// Inside a catch block: sets the Python exception matching the C++ one
// (std::bad_alloc -> MemoryError, InternalFault and anything else -> PanicException).
void raise_current_exception() noexcept;

// Runs an entry point's body, turning any escaping C++ exception into a Python
// exception and the entry point's error value (nullptr, or -1 for int).
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    using Return = decltype(body());
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        park_thread();  // the interpreter is ending this thread: see lifecycle.hpp
    } catch (...) {
        raise_current_exception();
        if constexpr (std::is_pointer_v<Return>) {
            return nullptr;
        } else {
            return static_cast<Return>(-1);
        }
    }
}

// What came out of a kernel that ran without the interpreter lock.
struct KernelOutcome {
    enum class Kind { result, kernel_error, internal_fault, out_of_memory } kind = Kind::internal_fault;
    std::optional<ResultBuffer> result;
    std::string message;
};

// With the lock held again: the new ndarray, or the exception for the outcome
// (ValueError "shape error: ...", PanicException, MemoryError).
PyObject* finish_kernel_call(KernelOutcome&& outcome) noexcept;

// Runs kernel() -> KernelResult with the interpreter lock released. The
// kernel must not touch any Python object.
template <class Kernel>
PyObject* run_kernel(Kernel&& kernel) noexcept {
    KernelOutcome outcome;
    {
        GilReleased unlocked;
        try {
            KernelResult result = std::forward<Kernel>(kernel)();
            if (result.ok()) {
                outcome.kind = KernelOutcome::Kind::result;
                outcome.result.emplace(std::move(result.value()));
            } else {
                outcome.kind = KernelOutcome::Kind::kernel_error;
                outcome.message = result.error_text();
            }
        } catch (const InternalFault& fault) {
            outcome.kind = KernelOutcome::Kind::internal_fault;
            outcome.message = fault.message();
        } catch (const std::bad_alloc&) {
            outcome.kind = KernelOutcome::Kind::out_of_memory;
        } catch (const std::exception& error) {
            outcome.kind = KernelOutcome::Kind::internal_fault;
            outcome.message = error.what();
        } catch (...) {
            outcome.kind = KernelOutcome::Kind::internal_fault;
            outcome.message = "unknown internal fault";
        }
    }
    return finish_kernel_call(std::move(outcome));
}

}  // namespace ostrel::py
