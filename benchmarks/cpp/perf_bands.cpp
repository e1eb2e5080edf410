// bands (colour bands) on 4000x3000 RGB and its luminance beside the memory
// floor of the same traffic through the same pool: the RGB and the plane
// read, one plane written. The photo is a hue sweep across and a saturation
// sweep down, with a little noise, so the hue and weight branches see a
// photo's mix. RAYON_NUM_THREADS sets the pool size.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "bands/bands.hpp"
#include "parallel/parallel_for.hpp"
#include "perf_timing.hpp"

int main() {
    const ostrel::Shape3 shape{perf::kHeight, perf::kWidth, 1};
    const ostrel::Shape3 rgb_shape{perf::kHeight, perf::kWidth, 3};
    const std::size_t count = perf::kHeight * perf::kWidth;
    std::vector<float> rgb(3 * count);
    std::vector<float> lum(count);
    std::uint32_t noise = 12345;
    for (std::size_t y = 0; y < perf::kHeight; ++y) {
        for (std::size_t x = 0; x < perf::kWidth; ++x) {
            const std::size_t i = y * perf::kWidth + x;
            const float s = static_cast<float>(y) / static_cast<float>(perf::kHeight);
            const float h = 6.0f * static_cast<float>(x) / static_cast<float>(perf::kWidth);
            for (std::size_t c = 0; c < 3; ++c) {
                noise = noise * 1664525u + 1013904223u;
                const float jitter = static_cast<float>(noise >> 8) * 0x1p-24f * 0.02f;
                float d = h - 2.0f * static_cast<float>(c);
                d = d < -3.0f ? d + 6.0f : (d > 3.0f ? d - 6.0f : d);
                d = d < 0.0f ? -d : d;
                const float v = d < 1.0f ? 1.0f : (d < 2.0f ? 2.0f - d : 0.0f);
                rgb[3 * i + c] = 0.4f * (1.0f - s + s * v) + jitter;
            }
            lum[i] = 0.2126f * rgb[3 * i] + 0.7152f * rgb[3 * i + 1] + 0.0722f * rgb[3 * i + 2];
        }
    }
    const ostrel::ImageView rgb_view = ostrel::ImageView::contiguous(rgb.data(), rgb_shape);
    const ostrel::ImageView lum_view = ostrel::ImageView::contiguous(lum.data(), shape);
    constexpr int kRuns = 7;

    const double floor_ms = perf::floor_ms(
        shape, count,
        [&](float* target, std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) target[i] = lum[i] + rgb[3 * i] * 0.0f;
        },
        kRuns);
    ostrel::Bands naive;
    naive.offsets = {1.0f, 0.5f, 0.0f, 1.0f, 0.0f, -1.0f, 0.0f, 0.5f};
    ostrel::Bands smoothed = naive;
    smoothed.radius = 12;
    const double naive_ms = perf::median_ms([&] { return ostrel::bands(rgb_view, lum_view, naive); }, kRuns);
    const double smoothed_ms = perf::median_ms([&] { return ostrel::bands(rgb_view, lum_view, smoothed); }, kRuns);

    std::printf("4000x3000 (12 MP), %zu threads\n", ostrel::parallel::pool_size());
    perf::report("RGB and plane read, plane written (floor, 20 B/px)", floor_ms, 20.0);
    perf::report("bands, no smoothing (20 B/px)", naive_ms, 20.0);
    perf::report("bands, radius 12 (20 B/px)", smoothed_ms, 20.0);
}
