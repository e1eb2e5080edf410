#pragma once
// The common frame of every entry point: kernel calls run without the
// interpreter lock, and no C++ exception ever reaches the interpreter. Every
// failure goes through raise_failure (module/errors.hpp).
#include <cxxabi.h>

#include <optional>
#include <type_traits>
#include <utility>

#include "core/failure.hpp"
#include "core/image.hpp"
#include "module/errors.hpp"
#include "module/lifecycle.hpp"
#include "module/py_ref.hpp"

namespace ostrel::py {

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
        raise_failure(Failure::current_exception());
        if constexpr (std::is_pointer_v<Return>) {
            return nullptr;
        } else {
            return static_cast<Return>(-1);
        }
    }
}

// What came out of a kernel that ran without the interpreter lock: its
// result, or the failure (a kernel error or an exception that escaped).
struct KernelOutcome {
    std::optional<ResultBuffer> result;
    std::optional<Failure> failure;
};

// With the lock held again: the new ndarray, or the exception for the failure.
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
                outcome.result.emplace(std::move(result.value()));
            } else {
                outcome.failure.emplace(std::move(result.error()));
            }
        } catch (...) {
            outcome.failure.emplace(Failure::current_exception());
        }
    }
    return finish_kernel_call(std::move(outcome));
}

}  // namespace ostrel::py
