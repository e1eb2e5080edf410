#pragma once
// The one mechanism for internal faults: a broken invariant inside a kernel or
// the frame. The frame turns it into PanicException; nothing else throws it.
#include <string>
#include <utility>

namespace ostrel {

class InternalFault {
public:
    explicit InternalFault(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] inline void raise_internal_fault(std::string message) { throw InternalFault(std::move(message)); }

}  // namespace ostrel
