#pragma once
// Every call to the operating system beyond ISO C++ and POSIX threads, in one
// place. Linux gets the precise answers (sched_getaffinity, transparent huge
// pages, malloc_usable_size); macOS and other POSIX systems get portable
// fallbacks, so that a build there needs nothing else.
#include <cstddef>

namespace ostrel::platform {

// Processors this process may run on: its affinity mask on Linux, else the
// processors online; at least 1.
std::size_t available_processors() noexcept;

// The machine's physical memory in bytes, or the largest size_t when the
// system does not tell.
std::size_t physical_memory_bytes() noexcept;

// Asks for huge pages under [block, block + bytes) where the system has them
// (Linux: madvise MADV_HUGEPAGE); advice only, elsewhere nothing.
void advise_huge_pages(void* block, std::size_t bytes) noexcept;

// Usable bytes of a block from malloc or aligned_alloc (at least the size
// asked for), or 0 when the system cannot tell (the caller then keeps
// nothing that depends on it).
std::size_t usable_size(void* block) noexcept;

// Handlers run around fork(): `prepare` in the parent before it, `parent`
// and `child` in each process after it (pthread_atfork).
void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

// Starts up to `count` detached threads running main(argument), each with a
// stack of `stack_bytes` where the system accepts that size (else its
// default) and every signal blocked, so that signals reach the caller's
// threads. Returns how many started.
std::size_t start_detached_threads(std::size_t count, void* (*main)(void*), void* argument,
                                   std::size_t stack_bytes) noexcept;

}  // namespace ostrel::platform
