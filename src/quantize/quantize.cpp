#include "quantize/quantize.hpp"

#include <string>

#include "core/fault.hpp"
#include "core/isa_variants.hpp"
#include "parallel/parallel_for.hpp"

namespace ostrel {
namespace {

constexpr double kRounder = 0x1p52;

// The header's steps, written with selections so the loop vectorises. A NaN
// fails both comparisons and becomes 0.
[[gnu::always_inline]] inline double code_of(float x, double top) noexcept {
    double v = x > 0.0f ? static_cast<double>(x) : 0.0;
    v = x > 1.0f ? 1.0 : v;
    const double y = v * top;
    return (y + kRounder) - kRounder;
}

template <class Code>
struct QuantizeRun {
    [[gnu::always_inline]] static inline void run(const float* values, Code* codes, std::size_t count,
                                                  double top) noexcept {
        for (std::size_t i = 0; i < count; ++i) codes[i] = static_cast<Code>(code_of(values[i], top));
    }
};

template <class Code>
using QuantizeRuns = LoopVariants<QuantizeRun<Code>, const float*, Code*, std::size_t, double>;

template <class Code>
void quantize_view(const ImageView& view, std::span<Code> codes, double top) {
    const std::size_t row_samples = view.width() * view.channels();
    if (codes.size() != view.height() * row_samples) {
        raise_internal_fault("quantize: the codes hold " + std::to_string(codes.size()) + " samples, the image " +
                             shape_text(view.shape));
    }
    const auto run = QuantizeRuns<Code>::table.select(active_isa());
    if (view.is_c_contiguous()) {
        parallel::for_each_range(codes.size(), [&](std::size_t begin, std::size_t end) {
            run(view.origin + begin, codes.data() + begin, end - begin, top);
        });
        return;
    }
    // Any other layout: a row's samples gathered into a contiguous strip first.
    parallel::for_each_range(view.height(), [&](std::size_t begin, std::size_t end) {
        float strip[512];
        for (std::size_t y = begin; y < end; ++y) {
            Code* out = codes.data() + y * row_samples;
            std::size_t done = 0;
            for (std::size_t x = 0; x < view.width(); ++x) {
                const float* pixel = view.pixel(y, x);
                for (std::size_t c = 0; c < view.channels(); ++c) {
                    strip[done % 512] = pixel[static_cast<std::ptrdiff_t>(c) * view.channel_stride];
                    if (++done % 512 == 0) run(strip, out + done - 512, 512, top);
                }
            }
            if (done % 512 != 0) run(strip, out + done - done % 512, done % 512, top);
        }
    });
}

}  // namespace

std::uint16_t quantized_value(float x, std::uint32_t top) noexcept {
    return static_cast<std::uint16_t>(code_of(x, static_cast<double>(top)));
}

void quantize(const ImageView& view, std::span<std::uint8_t> codes) { quantize_view(view, codes, 255.0); }

void quantize(const ImageView& view, std::span<std::uint16_t> codes) { quantize_view(view, codes, 65535.0); }

}  // namespace ostrel
