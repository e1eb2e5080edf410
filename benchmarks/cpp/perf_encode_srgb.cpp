// encode_srgb on a 4000x3000 RGB image whose values cover both segments.
#include <cstdio>
#include <vector>

#include "encode/encode_srgb.hpp"
#include "parallel/parallel_for.hpp"
#include "perf_timing.hpp"

int main() {
    const ostrel::Shape3 shape{perf::kHeight, perf::kWidth, 3};
    std::vector<float> image(perf::kHeight * perf::kWidth * 3);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<float>(i % 4093) * (1.0f / 4093.0f);
    const ostrel::ImageView view = ostrel::ImageView::contiguous(image.data(), shape);
    const double ms = perf::median_ms([&] { return ostrel::encode_srgb(view); }, 7);
    const double values = static_cast<double>(image.size());
    std::printf("encode_srgb 4000x3000x3, %zu threads: %.2f ms, %.2f ns/value, %.2f GB/s\n",
                ostrel::parallel::pool_size(), ms, ms * 1e6 / values, values * 8.0 / ms / 1e6);
}
