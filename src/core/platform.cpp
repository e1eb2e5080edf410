#include "core/platform.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <thread>

#if defined(__linux__)
#include <malloc.h>
#include <sched.h>
#include <sys/mman.h>
#elif defined(__APPLE__)
#include <malloc/malloc.h>
#endif

namespace ostrel::platform {

std::size_t available_processors() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

std::size_t physical_memory_bytes() noexcept {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGE_SIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::size_t>::max();
    const auto p = static_cast<std::uint64_t>(pages);
    const auto s = static_cast<std::uint64_t>(page_size);
    if (p > std::numeric_limits<std::size_t>::max() / s) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(p * s);
#else
    return std::numeric_limits<std::size_t>::max();
#endif
}

void advise_huge_pages([[maybe_unused]] void* block, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(block, bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
}

std::size_t usable_size([[maybe_unused]] void* block) noexcept {
#if defined(__linux__) && defined(__GLIBC__)
    return malloc_usable_size(block);
#elif defined(__APPLE__)
    return malloc_size(block);
#else
    return 0;
#endif
}

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept { pthread_atfork(prepare, parent, child); }

std::size_t start_detached_threads(std::size_t count, void* (*main)(void*), void* argument,
                                   std::size_t stack_bytes) noexcept {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return 0;
    pthread_attr_setstacksize(&attributes, stack_bytes);  // a refused size leaves the default
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // New threads inherit the creator's mask: block everything around their creation.
    sigset_t all_signals;
    sigset_t previous;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_SETMASK, &all_signals, &previous);
    std::size_t started = 0;
    for (; started < count; ++started) {
        pthread_t thread;
        if (pthread_create(&thread, &attributes, main, argument) != 0) break;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace ostrel::platform
