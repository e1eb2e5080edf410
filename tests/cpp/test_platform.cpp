// The platform file (core/platform.hpp): each answer against the system's
// own account of it, and the pool's threads started with every signal
// blocked while the caller's mask stays as it was.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "check.hpp"
#include "core/platform.hpp"

namespace {

// MemTotal of /proc/meminfo in bytes, or 0 where there is no such file.
std::size_t meminfo_total_bytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::size_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemTotal:") return kib * 1024;
    }
    return 0;
}

struct Started {
    std::mutex mutex;
    int count = 0;
    int with_signals_blocked = 0;
};

void* record_thread(void* argument) {
    auto* started = static_cast<Started*>(argument);
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    const bool blocked = sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1;
    std::lock_guard lock(started->mutex);
    ++started->count;
    if (blocked) ++started->with_signals_blocked;
    return nullptr;
}

}  // namespace

TEST_CASE("platform: processors and memory as the system reports them") {
    const std::size_t processors = ostrel::platform::available_processors();
    CHECK(processors >= 1);
    CHECK(processors <= static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_CONF)) || sysconf(_SC_NPROCESSORS_CONF) <= 0);
    const std::size_t memory = ostrel::platform::physical_memory_bytes();
    CHECK(memory > (std::size_t{64} << 20));
#if defined(__linux__)
    // sysconf's physical pages are the kernel's total RAM, which /proc/meminfo
    // reports in KiB.
    const std::size_t total = meminfo_total_bytes();
    REQUIRE(total > 0);
    CHECK(memory / 1024 == total / 1024);
#endif
}

TEST_CASE("platform: usable sizes cover the request, huge-page advice leaves memory usable") {
    for (const std::size_t bytes : {std::size_t{1}, std::size_t{100}, std::size_t{4096}, std::size_t{3} << 20}) {
        void* block = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
        REQUIRE(block != nullptr);
        const std::size_t usable = ostrel::platform::usable_size(block);
#if defined(__linux__) || defined(__APPLE__)
        CHECK_MSG(usable >= bytes, bytes << " bytes: usable " << usable);
#else
        CHECK(usable == 0 || usable >= bytes);
#endif
        std::free(block);
    }
    constexpr std::size_t kHuge = std::size_t{4} << 20;
    auto* block = static_cast<unsigned char*>(std::aligned_alloc(std::size_t{2} << 20, kHuge));
    REQUIRE(block != nullptr);
    ostrel::platform::advise_huge_pages(block, kHuge);
    std::memset(block, 0x5A, kHuge);
    CHECK(block[0] == 0x5A && block[kHuge - 1] == 0x5A);
    std::free(block);
}

TEST_CASE("platform: detached threads start with every signal blocked, the caller's mask unchanged") {
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, nullptr, &before);
    static Started started;  // the threads may outlive the case's frame only if they failed to report
    const std::size_t count = ostrel::platform::start_detached_threads(3, record_thread, &started, 256 << 10);
    CHECK(count == 3);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        {
            std::lock_guard lock(started.mutex);
            if (started.count == static_cast<int>(count)) break;
        }
        REQUIRE(std::chrono::steady_clock::now() < deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard lock(started.mutex);
    CHECK(started.with_signals_blocked == started.count);
    sigset_t after;
    pthread_sigmask(SIG_BLOCK, nullptr, &after);
    for (const int signal : {SIGINT, SIGTERM, SIGUSR1})
        CHECK(sigismember(&before, signal) == sigismember(&after, signal));
}
