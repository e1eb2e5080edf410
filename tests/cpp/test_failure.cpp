// The capture of a failed call's cause (core/failure.hpp): every exception
// kind is classified and its message kept, without a single allocation, so
// that no catch block can throw; kernel errors keep their kind and text.
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "check.hpp"

// The replacement operator delete below frees what the replacement operator
// new got from malloc; GCC, seeing free() where the standard operator delete
// is expected once both are inlined, warns of a mismatch that is not one.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
#include "core/failure.hpp"
#include "core/fault.hpp"

namespace {

// While set, every operator new of this thread throws std::bad_alloc.
thread_local bool refuse_allocations = false;

class RefusedAllocations {
public:
    RefusedAllocations() noexcept { refuse_allocations = true; }
    RefusedAllocations(const RefusedAllocations&) = delete;
    RefusedAllocations& operator=(const RefusedAllocations&) = delete;
    ~RefusedAllocations() { refuse_allocations = false; }
};

template <class Throw>
ostrel::Failure capture_without_memory(Throw&& throw_it) {
    try {
        throw_it();
    } catch (...) {
        RefusedAllocations refused;
        return ostrel::Failure::current_exception();
    }
    return ostrel::Failure(ostrel::shape_error("nothing was thrown"));
}

}  // namespace

// The test program's global allocation functions (every form without an
// alignment, so that each pair matches under AddressSanitizer), so that a
// test can make them fail. Exceptions are allocated by the C++ runtime, not
// through these.
namespace {
void* allocate(std::size_t size) noexcept {
    if (refuse_allocations) return nullptr;
    return std::malloc(size != 0 ? size : 1);
}
void* allocate_or_throw(std::size_t size) {
    if (void* block = allocate(size)) return block;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate_or_throw(size); }
void* operator new[](std::size_t size) { return allocate_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

TEST_CASE("failure: the replaced allocator refuses while asked to") {
    bool refused = false;
    {
        RefusedAllocations guard;
        try {
            std::string long_text(100, 'x');
            CHECK(long_text.size() == 100);  // not reached
        } catch (const std::bad_alloc&) {
            refused = true;
        }
    }
    CHECK(refused);
    std::string allowed(100, 'y');
    CHECK(allowed.size() == 100);
}

TEST_CASE("failure: every exception kind is captured without allocating") {
    const ostrel::Failure fault = capture_without_memory(
        [] { ostrel::raise_internal_fault("zone_system: input must be C-contiguous, and this text is long"); });
    CHECK(fault.kind() == ostrel::Failure::Kind::internal_fault);
    CHECK(std::strcmp(fault.message(), "zone_system: input must be C-contiguous, and this text is long") == 0);

    const ostrel::Failure memory = capture_without_memory([] { throw std::bad_alloc(); });
    CHECK(memory.kind() == ostrel::Failure::Kind::out_of_memory);
    CHECK(std::strcmp(memory.message(), "") == 0);

    const ostrel::Failure standard = capture_without_memory([] { throw std::length_error("vector too long"); });
    CHECK(standard.kind() == ostrel::Failure::Kind::internal_fault);
    CHECK(std::strcmp(standard.message(), "vector too long") == 0);

    const ostrel::Failure other = capture_without_memory([] { throw 42; });
    CHECK(other.kind() == ostrel::Failure::Kind::internal_fault);
    CHECK(std::strcmp(other.message(), "unknown internal fault") == 0);
}

TEST_CASE("failure: a captured message outlives its catch block and moves with the failure") {
    ostrel::Failure moved = [] {
        ostrel::Failure captured = capture_without_memory(
            [] { throw std::runtime_error(std::string("a message built at run time, ") + std::to_string(1234567)); });
        return captured;
    }();
    // The exception object is kept alive by the failure: AddressSanitizer
    // would report a read of freed memory here otherwise.
    CHECK(std::string(moved.message()) == "a message built at run time, 1234567");
    ostrel::Failure again = std::move(moved);
    CHECK(std::string(again.message()) == "a message built at run time, 1234567");
}

TEST_CASE("failure: kernel errors keep their kind and text, short texts too") {
    ostrel::Failure shape(ostrel::shape_error("bad"));
    CHECK(shape.kind() == ostrel::Failure::Kind::shape_error);
    ostrel::Failure moved = std::move(shape);  // a short text lives inside the string object
    CHECK(std::string(moved.message()) == "bad");
    ostrel::KernelError error = ostrel::shape_error("expected (H, W, 3) RGB array, got shape [4, 5, 1]");
    CHECK(error.kind == ostrel::KernelError::Kind::shape);
    ostrel::Failure long_text(std::move(error));
    CHECK(std::string(long_text.message()) == "expected (H, W, 3) RGB array, got shape [4, 5, 1]");
}
