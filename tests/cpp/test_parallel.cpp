// The parallel element loops: every element exactly once, pieces that come
// from halving, faults that wait for the other pieces and leave the pool
// usable, concurrent loops, and the pool-size rules of the environment.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/fault.hpp"
#include "parallel/parallel_for.hpp"
#include "parallel/pool_size.hpp"

namespace {

using ostrel::parallel::for_each_block;
using ostrel::parallel::for_each_range;

struct Range {
    std::size_t begin, end;
};

struct Block {
    std::size_t y0, y1, x0, x1;
};

// True when [begin, end) is a node of the halving tree of [low, high): cut at
// half the length rounded down, first half on the left.
bool is_halving_node(std::size_t begin, std::size_t end, std::size_t low, std::size_t high) {
    for (;;) {
        if (begin == low && end == high) return true;
        if (high - low < 2) return false;
        const std::size_t middle = low + (high - low) / 2;
        if (end <= middle) {
            high = middle;
        } else if (begin >= middle) {
            low = middle;
        } else {
            return false;
        }
    }
}

// Runs for_each_range and checks coverage and the shape of the pieces.
void check_range(std::size_t count, std::size_t sequential_below) {
    std::vector<std::atomic<int>> hits(count);
    std::mutex mutex;
    std::vector<Range> pieces;
    for_each_range(
        count,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
            std::lock_guard lock(mutex);
            pieces.push_back({begin, end});
        },
        sequential_below);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < count; ++i) wrong += hits[i].load() != 1;
    CHECK_MSG(wrong == 0, "count " << count << ": " << wrong << " elements not visited exactly once");
    CHECK_MSG(count != 0 || pieces.empty(), "an empty loop called its body");

    std::sort(pieces.begin(), pieces.end(), [](const Range& a, const Range& b) { return a.begin < b.begin; });
    std::size_t next = 0;
    for (const Range& piece : pieces) {
        CHECK_MSG(piece.begin == next && piece.begin < piece.end,
                  "count " << count << ": piece [" << piece.begin << ", " << piece.end << ") after " << next);
        CHECK_MSG(is_halving_node(piece.begin, piece.end, 0, count),
                  "count " << count << ": piece [" << piece.begin << ", " << piece.end << ") is not a halving");
        next = piece.end;
    }
    CHECK_MSG(next == count, "count " << count << ": pieces end at " << next);
}

void check_block(std::size_t rows, std::size_t cols, std::size_t sequential_below) {
    std::vector<std::atomic<int>> hits(rows * cols);
    std::mutex mutex;
    std::vector<Block> pieces;
    for_each_block(
        rows, cols,
        [&](std::size_t y0, std::size_t y1, std::size_t x0, std::size_t x1) {
            for (std::size_t y = y0; y < y1; ++y) {
                for (std::size_t x = x0; x < x1; ++x) hits[y * cols + x].fetch_add(1, std::memory_order_relaxed);
            }
            std::lock_guard lock(mutex);
            pieces.push_back({y0, y1, x0, x1});
        },
        sequential_below);
    std::size_t wrong = 0;
    for (auto& hit : hits) wrong += hit.load() != 1;
    CHECK_MSG(wrong == 0, rows << "x" << cols << ": " << wrong << " cells not visited exactly once");
    if (rows == 0 || cols == 0) CHECK_MSG(pieces.empty(), "an empty grid called its body");
    for (const Block& piece : pieces) {
        const bool sane = piece.y0 < piece.y1 && piece.y1 <= rows && piece.x0 < piece.x1 && piece.x1 <= cols;
        CHECK_MSG(sane, rows << "x" << cols << ": bad piece " << piece.y0 << ".." << piece.y1 << " x " << piece.x0
                             << ".." << piece.x1);
        if (!sane) continue;
        // Rows are cut first; only a single row is ever cut across its columns.
        CHECK(is_halving_node(piece.y0, piece.y1, 0, rows));
        if (piece.y1 - piece.y0 > 1) {
            CHECK_MSG(piece.x0 == 0 && piece.x1 == cols,
                      rows << "x" << cols << ": a piece of several rows was cut across its columns");
        } else {
            CHECK(is_halving_node(piece.x0, piece.x1, 0, cols));
        }
    }
}

}  // namespace

TEST_CASE("for_each_range covers every element once, pieces are halvings") {
    for (std::size_t count = 0; count <= 70; ++count) {
        check_range(count, 0);  // always through the pool
        check_range(count, ostrel::parallel::kSequentialBelow);
    }
    for (const std::size_t count : {std::size_t{4095}, std::size_t{4096}, std::size_t{4097}, std::size_t{65537},
                                    std::size_t{1} << 20, std::size_t{1000003}}) {
        check_range(count, 0);
        check_range(count, ostrel::parallel::kSequentialBelow);
    }
}

TEST_CASE("for_each_block covers every cell once, rows cut before columns") {
    const std::size_t sizes[] = {0, 1, 2, 3, 5, 8, 17, 64};
    for (const std::size_t rows : sizes) {
        for (const std::size_t cols : sizes) check_block(rows, cols, 0);
    }
    check_block(1, 100000, 0);  // one row: cut across the columns only
    check_block(100000, 1, 0);  // one column
    check_block(1, 100000, ostrel::parallel::kSequentialBelow);
    check_block(100000, 1, ostrel::parallel::kSequentialBelow);
    check_block(301, 199, ostrel::parallel::kSequentialBelow);
    check_block(3, 7, ostrel::parallel::kSequentialBelow);  // small: one piece on the caller
}

TEST_CASE("pool_size is at least one") { CHECK(ostrel::parallel::pool_size() >= 1); }

namespace {

// A loop in which the piece holding `bad` throws after visiting its elements.
template <class Throw>
void check_fault_waits_for_all_pieces(std::size_t count, std::size_t bad, Throw raise) {
    std::vector<std::atomic<int>> hits(count);
    bool caught = false;
    try {
        for_each_range(
            count,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
                if (begin <= bad && bad < end) raise();
            },
            0);
    } catch (...) {
        caught = true;
        // Only reached once every piece is done: nothing may still be running.
        std::size_t wrong = 0;
        for (auto& hit : hits) wrong += hit.load() != 1;
        CHECK_MSG(wrong == 0, wrong << " elements not visited exactly once when the fault arrived");
        throw;
    }
    CHECK(caught);
}

}  // namespace

TEST_CASE("an internal fault in one piece is rethrown after all pieces ran") {
    for (const std::size_t bad : {std::size_t{0}, std::size_t{12345}, std::size_t{99999}}) {
        bool rethrown = false;
        try {
            check_fault_waits_for_all_pieces(100000, bad, [] { ostrel::raise_internal_fault("piece failed"); });
        } catch (const ostrel::InternalFault& fault) {
            rethrown = true;
            CHECK(fault.message() == "piece failed");
        }
        CHECK(rethrown);
    }
    // The pool carries on.
    check_range(100000, 0);
    check_block(300, 200, 0);
}

TEST_CASE("std::bad_alloc in a piece is rethrown after all pieces ran") {
    bool rethrown = false;
    try {
        check_fault_waits_for_all_pieces(50000, 777, [] { throw std::bad_alloc(); });
    } catch (const std::bad_alloc&) {
        rethrown = true;
    }
    CHECK(rethrown);
    check_range(50000, 0);
}

TEST_CASE("several failing pieces give one exception") {
    std::atomic<std::size_t> visited{0};
    int caught = 0;
    try {
        for_each_range(
            1 << 16,
            [&](std::size_t begin, std::size_t end) {
                visited.fetch_add(end - begin);
                ostrel::raise_internal_fault("every piece fails");
            },
            0);
    } catch (const ostrel::InternalFault& fault) {
        ++caught;
        CHECK(fault.message() == "every piece fails");
    }
    CHECK(caught == 1);
    CHECK(visited.load() == std::size_t{1} << 16);
    // A fault in a grid loop, then a clean grid loop.
    bool grid_fault = false;
    try {
        for_each_block(
            64, 64,
            [](std::size_t y0, std::size_t, std::size_t, std::size_t) {
                if (y0 == 0) ostrel::raise_internal_fault("grid");
            },
            0);
    } catch (const ostrel::InternalFault&) {
        grid_fault = true;
    }
    CHECK(grid_fault);
    check_block(64, 64, 0);
}

TEST_CASE("a loop inside a piece runs to completion") {
    constexpr std::size_t outer = 64;
    constexpr std::size_t inner = 5000;
    std::vector<std::atomic<int>> hits(outer * inner);
    for_each_range(
        outer,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t o = begin; o < end; ++o) {
                for_each_range(
                    inner,
                    [&](std::size_t b, std::size_t e) {
                        for (std::size_t i = b; i < e; ++i) hits[o * inner + i].fetch_add(1);
                    },
                    0);
            }
        },
        0);
    std::size_t wrong = 0;
    for (auto& hit : hits) wrong += hit.load() != 1;
    CHECK(wrong == 0);
}

TEST_CASE("loops from several threads at once") {
    constexpr int kThreads = 6;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < 15; ++round) {
                const std::size_t count = 20000 + static_cast<std::size_t>(t * 1013 + round * 37);
                std::vector<std::atomic<int>> hits(count);
                for_each_range(
                    count,
                    [&](std::size_t begin, std::size_t end) {
                        for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
                    },
                    0);
                for (auto& hit : hits) {
                    if (hit.load() != 1) {
                        failures.fetch_add(1);
                        break;
                    }
                }
                // Interleave faults with clean loops on the shared pool.
                if (round % 5 == 0) {
                    try {
                        for_each_range(count, [](std::size_t, std::size_t) { ostrel::raise_internal_fault("x"); }, 0);
                        failures.fetch_add(1);
                    } catch (const ostrel::InternalFault&) {
                    }
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    CHECK(failures.load() == 0);
}

TEST_CASE("parse_thread_count accepts decimal counts only") {
    using ostrel::parallel::parse_thread_count;
    struct Case {
        const char* text;
        std::optional<unsigned long long> expected;
    };
    const Case cases[] = {
        {"4", 4ULL},
        {"+4", 4ULL},
        {"0", 0ULL},
        {"+0", 0ULL},
        {"007", 7ULL},
        {"18446744073709551615", 18446744073709551615ULL},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"++4", std::nullopt},
        {"-1", std::nullopt},
        {"-0", std::nullopt},
        {" 4", std::nullopt},
        {"4 ", std::nullopt},
        {"4\n", std::nullopt},
        {"abc", std::nullopt},
        {"4a", std::nullopt},
        {"0x10", std::nullopt},
        {"1e3", std::nullopt},
        {"1.0", std::nullopt},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"184467440737095516150", std::nullopt},
    };
    for (const Case& c : cases) {
        CHECK_MSG(parse_thread_count(c.text) == c.expected, "\"" << c.text << "\"");
    }
    // Non-ASCII digits are not digits.
    CHECK(!parse_thread_count("\xd9\xa4").has_value());  // ARABIC-INDIC DIGIT FOUR
}

namespace {

// Sets or unsets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The processors this process may use, asked independently of the code
// under test: the affinity mask on Linux, else the processors online.
std::size_t available_processors() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
    return static_cast<std::size_t>(CPU_COUNT(&set));
#else
    return static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_ONLN));
#endif
}

}  // namespace

TEST_CASE("configured_pool_size follows RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS") {
    using ostrel::parallel::configured_pool_size;
    const std::size_t fallback = available_processors();
    REQUIRE(fallback >= 1);
    const std::string other = std::to_string(fallback + 3);  // never the default
    struct Case {
        const char* num_threads;  // nullptr: unset
        const char* rs_num_cpus;
        std::size_t expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, fallback},
        {"3", nullptr, 3},
        {"+2", other.c_str(), 2},
        {"1", other.c_str(), 1},
        {"0", nullptr, fallback},
        {"0", other.c_str(), fallback},  // 0 selects the default at once
        {"", other.c_str(), fallback + 3},
        {"abc", other.c_str(), fallback + 3},
        {" 4", other.c_str(), fallback + 3},
        {"-1", nullptr, fallback},
        {"18446744073709551616", other.c_str(), fallback + 3},
        {nullptr, other.c_str(), fallback + 3},
        {nullptr, "0", fallback},
        {nullptr, "x", fallback},
        {"18446744073709551615", nullptr, ostrel::parallel::kMaxPoolThreads},
    };
    for (const Case& c : cases) {
        const ScopedEnv threads("RAYON_NUM_THREADS", c.num_threads);
        const ScopedEnv cpus("RAYON_RS_NUM_CPUS", c.rs_num_cpus);
        CHECK_MSG(configured_pool_size() == c.expected,
                  "RAYON_NUM_THREADS=" << (c.num_threads ? c.num_threads : "(unset)")
                                       << " RAYON_RS_NUM_CPUS=" << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)")
                                       << ": got " << configured_pool_size() << ", expected " << c.expected);
    }
}
