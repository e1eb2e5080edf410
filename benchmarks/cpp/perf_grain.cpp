// grain on a 4000x3000 print beside the memory floor of the same traffic
// through the same pool: a copy of one plane into a new result. The film's
// pitch is a 35 mm frame's at this size (9 um, a blur of 3 taps) and a
// quarter of it (7 taps). RAYON_NUM_THREADS sets the pool size.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "encode/encode_srgb.hpp"
#include "grain/grain.hpp"
#include "parallel/parallel_for.hpp"
#include "perf_timing.hpp"

int main() {
    const ostrel::Shape3 shape{perf::kHeight, perf::kWidth, 1};
    const std::size_t count = perf::kHeight * perf::kWidth;
    std::vector<float> plane(count);
    for (std::size_t i = 0; i < count; ++i) plane[i] = static_cast<float>(i % 4093) * (1.0f / 4093.0f);
    const ostrel::ImageView view = ostrel::ImageView::contiguous(plane.data(), shape);
    constexpr int kRuns = 11;
    const ostrel::Grain tri_x{1.0f, 17.0f, 9.0f, 0};
    const ostrel::Grain fine{1.0f, 17.0f, 2.25f, 0};

    const double copy_ms = perf::floor_ms(
        shape, count,
        [&](float* target, std::size_t begin, std::size_t end) {
            std::copy(plane.data() + begin, plane.data() + end, target + begin);
        },
        kRuns);
    const double srgb_ms = perf::median_ms([&] { return ostrel::encode_srgb(view); }, kRuns);
    const double encode_ms = perf::median_ms([&] { return ostrel::grain_encode(view, tri_x); }, kRuns);
    const double linear_ms = perf::median_ms([&] { return ostrel::grain(view, tri_x); }, kRuns);
    const double fine_ms = perf::median_ms([&] { return ostrel::grain_encode(view, fine); }, kRuns);

    std::printf("4000x3000 (12 MP), %zu threads\n", ostrel::parallel::pool_size());
    perf::report("copy of one plane (floor, 8 B/px)", copy_ms, 8.0);
    perf::report("encode_srgb (8 B/px)", srgb_ms, 8.0);
    perf::report("grain_encode, 9 um (8 B/px)", encode_ms, 8.0);
    perf::report("grain, 9 um (8 B/px)", linear_ms, 8.0);
    perf::report("grain_encode, 2.25 um (8 B/px)", fine_ms, 8.0);
}
