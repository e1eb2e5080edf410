#pragma once
// Everything that can end a kernel call without a result, in one form: a
// kernel's refusal of its input (a kernel error, which carries its kind), an
// internal fault, an allocation failure or any other C++ exception. The
// module turns a Failure into its Python exception in one place
// (py::raise_failure); nothing here knows about Python.
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace ostrel {

// What a kernel returns for an input it does not accept.
struct KernelError {
    enum class Kind : std::uint8_t {
        shape,  // the array's shape does not suit the kernel (Python: ValueError "shape error: ...")
    };
    Kind kind;
    std::string text;
};

inline KernelError shape_error(std::string text) noexcept { return {KernelError::Kind::shape, std::move(text)}; }

class Failure {
public:
    enum class Kind : std::uint8_t { shape_error, internal_fault, out_of_memory };

    explicit Failure(KernelError&& error) noexcept;

    // The exception being handled: call it only inside a catch block. It
    // neither throws nor allocates, so it is safe in any handler, even after
    // std::bad_alloc: the exception object is kept alive here and its
    // message is read in place.
    static Failure current_exception() noexcept;

    Kind kind() const noexcept { return kind_; }
    // The text without any prefix; empty for out_of_memory. Valid while this
    // Failure lives.
    const char* message() const noexcept { return borrowed_ != nullptr ? borrowed_ : text_.c_str(); }

private:
    Failure(Kind kind, const char* message, std::exception_ptr exception) noexcept
        : kind_(kind), borrowed_(message), exception_(std::move(exception)) {}

    Kind kind_;
    std::string text_;                // a kernel error's text
    const char* borrowed_ = nullptr;  // otherwise: inside exception_, or a string literal
    std::exception_ptr exception_;
};

}  // namespace ostrel
