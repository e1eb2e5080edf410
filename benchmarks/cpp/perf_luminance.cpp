// The luminance kernels on a 4000x3000 RGB image: the packed layout that
// photo pipelines pass, and the strided layouts that are read in place.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "bw/luminance.hpp"
#include "parallel/parallel_for.hpp"
#include "perf_timing.hpp"

namespace {

using perf::kHeight;
using perf::kWidth;
constexpr int kRuns = 7;

template <class Kernel>
double median_ms(Kernel&& kernel) {
    return perf::median_ms(kernel, kRuns);
}

void report(const char* name, double ms) {
    perf::report(name, ms, 4.0 * sizeof(float));  // three channels read, one value written
}

}  // namespace

int main() {
    std::vector<float> image(kHeight * kWidth * 3);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<float>(i % 1021) * (1.0f / 1021.0f);
    const auto h = static_cast<std::ptrdiff_t>(kHeight);
    const auto w = static_cast<std::ptrdiff_t>(kWidth);
    const ostrel::Shape3 shape{kHeight, kWidth, 3};
    const ostrel::ImageView packed = ostrel::ImageView::contiguous(image.data(), shape);
    // The same memory seen as other layouts of an image of the same size.
    const ostrel::ImageView flipped{image.data() + (kHeight - 1) * kWidth * 3 + 2, shape, -3 * w, 3, -1};
    const ostrel::ImageView transposed{image.data(), shape, 3, 3 * h, 1};
    const ostrel::ImageView planar{image.data(), shape, w, 1, h * w};
    const ostrel::ImageView fortran{image.data(), shape, 1, h, h * w};
    const ostrel::ImageView mirrored{image.data() + (kWidth - 1) * 3, shape, 3 * w, -3, 1};

    std::printf("luminance kernels 4000x3000, %zu threads, median of %d\n", ostrel::parallel::pool_size(), kRuns);
    report("luminance_bw packed",
           median_ms([&] { return ostrel::luminance_bw(packed, ostrel::LuminanceStandard::Bt709); }));
    report("color_filter_bw packed", median_ms([&] {
               return ostrel::color_filter_bw(packed, ostrel::ColorFilter::Red25A, ostrel::LuminanceStandard::Bt709);
           }));
    report("channel_mixer_bw packed", median_ms([&] { return ostrel::channel_mixer_bw(packed, 0.5f, 0.3f, 0.2f); }));
    report("luminance_bw rows+channels flipped",
           median_ms([&] { return ostrel::luminance_bw(flipped, ostrel::LuminanceStandard::Bt709); }));
    report("luminance_bw columns mirrored",
           median_ms([&] { return ostrel::luminance_bw(mirrored, ostrel::LuminanceStandard::Bt709); }));
    report("luminance_bw transposed",
           median_ms([&] { return ostrel::luminance_bw(transposed, ostrel::LuminanceStandard::Bt709); }));
    report("luminance_bw channels first",
           median_ms([&] { return ostrel::luminance_bw(planar, ostrel::LuminanceStandard::Bt709); }));
    report("luminance_bw fortran order",
           median_ms([&] { return ostrel::luminance_bw(fortran, ostrel::LuminanceStandard::Bt709); }));
    return 0;
}
