#pragma once
// Shared timing of the kernel benchmarks: median wall time of a kernel call
// over several runs after one warm-up run (page faults, pool start).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <vector>

#include "core/image.hpp"
#include "parallel/parallel_for.hpp"

namespace perf {

inline constexpr std::size_t kHeight = 3000;
inline constexpr std::size_t kWidth = 4000;

template <class Kernel>
double median_ms(Kernel&& kernel, int runs) {
    std::vector<double> times;
    volatile float sink = 0.0f;
    for (int run = 0; run <= runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        ostrel::KernelResult result = kernel();
        const auto stop = std::chrono::steady_clock::now();
        sink = result.value().data()[result.value().size() / 2];  // keep the result alive and used
        if (run > 0) times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    (void)sink;
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The memory floor beside a kernel: the same traffic through the same pool,
// `fill(target, begin, end)` writing elements [begin, end) of a new result
// of `shape` (of which `count` elements are split among the threads).
template <class Fill>
double floor_ms(ostrel::Shape3 shape, std::size_t count, Fill&& fill, int runs) {
    return median_ms(
        [&]() -> ostrel::KernelResult {
            ostrel::ResultBuffer output(shape);
            float* target = output.data();
            ostrel::parallel::for_each_range(count,
                                             [&](std::size_t begin, std::size_t end) { fill(target, begin, end); });
            return output;
        },
        runs);
}

// One line of a 4000x3000 kernel's figures: time, pixel rate and the rate of
// the bytes it moves (`bytes_per_pixel` read and written).
inline void report(const char* name, double ms, double bytes_per_pixel) {
    const double pixels = static_cast<double>(kHeight * kWidth);
    std::printf("%-34s %9.2f ms %9.1f Mpix/s %7.2f GB/s\n", name, ms, pixels / ms / 1e3,
                pixels * bytes_per_pixel / ms / 1e6);
}

}  // namespace perf
