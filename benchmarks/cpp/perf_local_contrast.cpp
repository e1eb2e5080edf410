// local_contrast on a 4000x3000 luminance image for radii 2, 8 and 64: the
// cost should not depend on the radius.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "local_contrast/local_contrast.hpp"
#include "perf_timing.hpp"
#include "parallel/parallel_for.hpp"

namespace {

using perf::kHeight;
using perf::kWidth;
constexpr int kRuns = 5;

double median_ms(const ostrel::ImageView& view, std::uint32_t radius) {
    return perf::median_ms([&] { return ostrel::local_contrast(view, radius, 0.01f, 1.5f); }, kRuns);
}

}  // namespace

int main() {
    std::vector<float> image(kHeight * kWidth);
    for (std::size_t y = 0; y < kHeight; ++y) {
        for (std::size_t x = 0; x < kWidth; ++x) {
            const float fx = static_cast<float>(x) * 0.01f;
            const float fy = static_cast<float>(y) * 0.013f;
            image[y * kWidth + x] = 0.5f + 0.25f * std::sin(fx) * std::cos(fy) + 0.05f * std::sin(fx * 17.0f);
        }
    }
    const ostrel::ImageView view = ostrel::ImageView::contiguous(image.data(), ostrel::Shape3{kHeight, kWidth, 1});
    std::printf("local_contrast 4000x3000, %zu threads, median of %d\n", ostrel::parallel::pool_size(), kRuns);
    const double pixels = static_cast<double>(kHeight * kWidth);
    for (std::uint32_t radius : {2u, 8u, 64u}) {
        const double ms = median_ms(view, radius);
        std::printf("radius %-3u %9.2f ms %9.1f Mpix/s\n", radius, ms, pixels / ms / 1e3);
    }
    return 0;
}
