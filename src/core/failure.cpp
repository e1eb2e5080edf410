#include "core/failure.hpp"

#include <new>

#include "core/fault.hpp"

namespace ostrel {

namespace {

constexpr Failure::Kind kind_of(KernelError::Kind kind) noexcept {
    switch (kind) {
        case KernelError::Kind::shape:
            return Failure::Kind::shape_error;
    }
    return Failure::Kind::internal_fault;
}

}  // namespace

Failure::Failure(KernelError&& error) noexcept : kind_(kind_of(error.kind)), text_(std::move(error.text)) {}

Failure Failure::current_exception() noexcept {
    // Rethrowing the handled exception reuses its object: no allocation.
    try {
        throw;
    } catch (const InternalFault& fault) {
        return {Kind::internal_fault, fault.message().c_str(), std::current_exception()};
    } catch (const std::bad_alloc&) {
        return {Kind::out_of_memory, "", nullptr};
    } catch (const std::exception& error) {
        return {Kind::internal_fault, error.what(), std::current_exception()};
    } catch (...) {
        return {Kind::internal_fault, "unknown internal fault", nullptr};
    }
}

}  // namespace ostrel
