// vignette (edge burning) on a 4000x3000 plane beside the memory floor of the
// same traffic through the same pool: a copy of one plane into a new result.
// RAYON_NUM_THREADS sets the pool size.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "parallel/parallel_for.hpp"
#include "perf_timing.hpp"
#include "vignette/vignette.hpp"

int main() {
    const ostrel::Shape3 shape{perf::kHeight, perf::kWidth, 1};
    const std::size_t count = perf::kHeight * perf::kWidth;
    std::vector<float> plane(count);
    for (std::size_t i = 0; i < count; ++i) plane[i] = static_cast<float>(i % 4093) * (1.1f / 4093.0f);
    const ostrel::ImageView view = ostrel::ImageView::contiguous(plane.data(), shape);
    constexpr int kRuns = 11;

    const double copy_ms = perf::floor_ms(
        shape, count,
        [&](float* target, std::size_t begin, std::size_t end) {
            std::copy(plane.data() + begin, plane.data() + end, target + begin);
        },
        kRuns);
    const double burn_ms = perf::median_ms([&] { return ostrel::vignette(view, {-1.0f, 0.75f, 0.5f}); }, kRuns);

    std::printf("4000x3000 (12 MP), %zu threads\n", ostrel::parallel::pool_size());
    perf::report("copy of one plane (floor, 8 B/px)", copy_ms, 8.0);
    perf::report("vignette (8 B/px)", burn_ms, 8.0);
}
