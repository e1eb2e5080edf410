// zone_system on a 4000x3000 luminance image: eleven zones, and the empty
// table (a plain parallel copy) as the memory-bound floor.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "parallel/parallel_for.hpp"
#include "perf_timing.hpp"
#include "tone/zone_curve.hpp"

namespace {

using perf::kHeight;
using perf::kWidth;
constexpr int kRuns = 7;

double median_ms(const ostrel::ImageView& view, const ostrel::ZoneOffsets& offsets) {
    return perf::median_ms([&] { return ostrel::zone_system(view, offsets); }, kRuns);
}

void report(const char* name, double ms) {
    perf::report(name, ms, 2.0 * sizeof(float));  // read the input, write the output
}

}  // namespace

int main() {
    std::vector<float> image(kHeight * kWidth);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = std::exp2(static_cast<float>(i % 65521) * (15.0f / 65521.0f) - 12.0f);  // zones -7 .. 8
    }
    const ostrel::ImageView view = ostrel::ImageView::contiguous(image.data(), ostrel::Shape3{kHeight, kWidth, 1});
    ostrel::ZoneOffsets eleven;
    for (std::int32_t zone = 0; zone <= 10; ++zone) eleven.emplace_back(zone, 0.1f * static_cast<float>(zone - 5));

    std::printf("zone_system 4000x3000, %zu threads, median of %d\n", ostrel::parallel::pool_size(), kRuns);
    report("11 zones", median_ms(view, eleven));
    report("1 zone", median_ms(view, {{5, 0.5f}}));
    report("empty table (copy)", median_ms(view, {}));
    return 0;
}
