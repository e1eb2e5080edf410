// print_stage on a 4000x3000 plane, with and without the detailed plane,
// beside the memory floor of the same traffic through the same pool: a copy
// of one plane into a new result (reads one plane, writes one) and the
// plainest kernel that reads two planes and writes one (their sum). The
// print stage is memory-bound when its time is near the second floor.
// RAYON_NUM_THREADS sets the pool size.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "parallel/parallel_for.hpp"
#include "perf_timing.hpp"
#include "print/print_stage.hpp"

int main() {
    const ostrel::Shape3 shape{perf::kHeight, perf::kWidth, 1};
    const std::size_t count = perf::kHeight * perf::kWidth;
    std::vector<float> base(count);
    std::vector<float> detailed(count);
    // Every segment of the curve and both directions of the limiter.
    for (std::size_t i = 0; i < count; ++i) {
        base[i] = static_cast<float>(i % 4093) * (1.1f / 4093.0f) - 0.02f;
        detailed[i] = base[i] + static_cast<float>(i % 61) * (0.2f / 61.0f) - 0.1f;
    }
    const ostrel::ImageView base_view = ostrel::ImageView::contiguous(base.data(), shape);
    const ostrel::ImageView detailed_view = ostrel::ImageView::contiguous(detailed.data(), shape);
    const ostrel::PrintCurve curve{0.02f, 0.12f, 2.0f, 0.7f, 2.5f, 1.02f};
    constexpr int kRuns = 11;

    const double copy_ms = perf::floor_ms(
        shape, count,
        [&](float* target, std::size_t begin, std::size_t end) {
            std::copy(base.data() + begin, base.data() + end, target + begin);
        },
        kRuns);
    const double sum_ms = perf::floor_ms(
        shape, count,
        [&](float* target, std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) target[i] = base[i] + detailed[i];
        },
        kRuns);
    const double plain_ms = perf::median_ms([&] { return ostrel::print_stage(base_view, curve); }, kRuns);
    const double detailed_ms =
        perf::median_ms([&] { return ostrel::print_stage(base_view, detailed_view, curve); }, kRuns);

    std::printf("4000x3000 (12 MP), %zu threads\n", ostrel::parallel::pool_size());
    perf::report("copy of one plane (floor, 8 B/px)", copy_ms, 8.0);
    perf::report("sum of two planes (floor, 12 B/px)", sum_ms, 12.0);
    perf::report("print_stage (img only, 8 B/px)", plain_ms, 8.0);
    perf::report("print_stage (img, detailed, 12 B/px)", detailed_ms, 12.0);
}
