// tone_print on a 4000x3000 plane beside the memory floor of the same
// traffic through the same pool: one plane read, three written (each value
// copied into the three channels of a new result). RAYON_NUM_THREADS sets the
// pool size.
#include <cstdio>
#include <vector>

#include "parallel/parallel_for.hpp"
#include "perf_timing.hpp"
#include "toning/toning.hpp"

int main() {
    const ostrel::Shape3 shape{perf::kHeight, perf::kWidth, 1};
    const ostrel::Shape3 rgb{perf::kHeight, perf::kWidth, 3};
    const std::size_t count = perf::kHeight * perf::kWidth;
    std::vector<float> plane(count);
    for (std::size_t i = 0; i < count; ++i) plane[i] = static_cast<float>(i % 4093) * (1.1f / 4093.0f) - 0.02f;
    const ostrel::ImageView view = ostrel::ImageView::contiguous(plane.data(), shape);
    const ostrel::Toner toner{{1.95f, 0.8f, 0.45f}, {0.75f, 1.02f, 1.5f}, 0.22f, 0.8f};
    constexpr int kRuns = 11;

    const double copy_ms = perf::floor_ms(
        rgb, count,
        [&](float* target, std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                target[3 * i] = plane[i];
                target[3 * i + 1] = plane[i];
                target[3 * i + 2] = plane[i];
            }
        },
        kRuns);
    const double tone_ms = perf::median_ms([&] { return ostrel::tone_print(view, toner); }, kRuns);

    std::printf("4000x3000 (12 MP), %zu threads\n", ostrel::parallel::pool_size());
    perf::report("grey into three channels (floor, 16 B/px)", copy_ms, 16.0);
    perf::report("tone_print (16 B/px)", tone_ms, 16.0);
}
