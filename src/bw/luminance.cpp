#include "bw/luminance.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <string>

#include "core/fault.hpp"
#include "parallel/parallel_for.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ostrel {
namespace {

constexpr float bits(std::uint32_t pattern) { return std::bit_cast<float>(pattern); }

// ITU-R luma coefficients, by standard code, as stored bit patterns so that no
// decimal conversion can change them.
constexpr std::array<ChannelWeights, kStandardCount> kCoefficients{{
    {bits(0x3E991687), bits(0x3F1645A2), bits(0x3DE978D5)},  // Bt601: 0.299, 0.587, 0.114
    {bits(0x3E59B3D0), bits(0x3F371759), bits(0x3D93DD98)},  // Bt709: 0.2126, 0.7152, 0.0722
    {bits(0x3E86809D), bits(0x3F2D9168), bits(0x3D72E48F)},  // Bt2020: 0.2627, 0.678, 0.0593
}};

constexpr float kOne = bits(0x3F800000);
constexpr float k0_9 = bits(0x3F666666);
constexpr float k0_55 = bits(0x3F0CCCCD);
constexpr float k0_3 = bits(0x3E99999A);
constexpr float k0_2 = bits(0x3E4CCCCD);
constexpr float k0_1 = bits(0x3DCCCCCD);
constexpr float k0_02 = bits(0x3CA3D70A);

// Wratten gel transmissions per channel, by filter code.
constexpr std::array<ChannelWeights, kFilterCount> kTransmissions{{
    {kOne, kOne, kOne},   // NoFilter
    {kOne, k0_9, k0_3},   // Yellow8K2
    {kOne, k0_55, k0_1},  // Orange21
    {kOne, k0_1, k0_02},  // Red25A
    {k0_2, kOne, k0_3},   // Green11X1
    {k0_1, k0_3, kOne},   // Blue47C5
}};

#if defined(__SSE2__)
// The products and sums of four pixels at once. When both operands of an x86
// operation are NaN, the result is the first operand's NaN; a plain vector
// product lets the compiler swap its operands, so the order is fixed in the
// instruction. Every path below goes through these, so no layout and no split
// of the grid changes a single bit, NaN payloads included.
inline __m128 multiply(__m128 a, __m128 b) noexcept {
#if defined(__AVX__)
    __m128 product;
    __asm__("vmulps %2, %1, %0" : "=x"(product) : "x"(a), "x"(b));
    return product;
#else
    __asm__("mulps %1, %0" : "+x"(a) : "x"(b));
    return a;
#endif
}

inline __m128 add(__m128 a, __m128 b) noexcept {
#if defined(__AVX__)
    __m128 sum;
    __asm__("vaddps %2, %1, %0" : "=x"(sum) : "x"(a), "x"(b));
    return sum;
#else
    __asm__("addps %1, %0" : "+x"(a) : "x"(b));
    return a;
#endif
}

struct Weights4 {
    __m128 red, green, blue;
    explicit Weights4(const ChannelWeights& w) noexcept
        : red(_mm_set1_ps(w.red)), green(_mm_set1_ps(w.green)), blue(_mm_set1_ps(w.blue)) {}
};

// Four lanes of the scalar formula: three products, then (r + g) + b.
inline __m128 mix4(__m128 r, __m128 g, __m128 b, const Weights4& w) noexcept {
    return add(add(multiply(r, w.red), multiply(g, w.green)), multiply(b, w.blue));
}

// Twelve floats holding four packed triples -> the three planes of the four
// triples (element k of each triple into plane k).
inline void split_triples(const float* p, __m128& plane0, __m128& plane1, __m128& plane2) noexcept {
    const __m128 a = _mm_loadu_ps(p);                                   // x0 y0 z0 x1
    const __m128 b = _mm_loadu_ps(p + 4);                               // y1 z1 x2 y2
    const __m128 c = _mm_loadu_ps(p + 8);                               // z2 x3 y3 z3
    const __m128 x_bc = _mm_shuffle_ps(b, c, _MM_SHUFFLE(1, 1, 2, 2));  // x2 x2 x3 x3
    plane0 = _mm_shuffle_ps(a, x_bc, _MM_SHUFFLE(2, 0, 3, 0));          // x0 x1 x2 x3
    const __m128 y_ab = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 1, 1));  // y0 y0 y1 y1
    const __m128 y_bc = _mm_shuffle_ps(b, c, _MM_SHUFFLE(2, 2, 3, 3));  // y2 y2 y3 y3
    plane1 = _mm_shuffle_ps(y_ab, y_bc, _MM_SHUFFLE(2, 0, 2, 0));       // y0 y1 y2 y3
    const __m128 z_ab = _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 2, 2));  // z0 z0 z1 z1
    plane2 = _mm_shuffle_ps(z_ab, c, _MM_SHUFFLE(3, 0, 2, 0));          // z0 z1 z2 z3
}

// Any layout: pixel i at first + i*step, its channels `channel` apart, its
// output at out[i*out_step]. Gathers up to four pixels into lanes.
void mix_strided(const float* first, std::ptrdiff_t step, std::ptrdiff_t channel, float* out, std::ptrdiff_t out_step,
                 std::size_t count, const Weights4& w) noexcept {
    for (std::size_t i = 0; i < count; i += 4) {
        const std::size_t n = count - i < 4 ? count - i : 4;
        alignas(16) float red[4] = {};
        alignas(16) float green[4] = {};
        alignas(16) float blue[4] = {};
        alignas(16) float lum[4];
        for (std::size_t k = 0; k < n; ++k) {
            const float* p = first + static_cast<std::ptrdiff_t>(i + k) * step;
            red[k] = p[0];
            green[k] = p[channel];
            blue[k] = p[2 * channel];
        }
        _mm_store_ps(lum, mix4(_mm_load_ps(red), _mm_load_ps(green), _mm_load_ps(blue), w));
        for (std::size_t k = 0; k < n; ++k) out[static_cast<std::ptrdiff_t>(i + k) * out_step] = lum[k];
    }
}

// Four results to out[0], out[out_step], ...: one store for consecutive
// outputs, four for the strided writes of a column-major walk.
inline void store4(float* out, std::ptrdiff_t out_step, __m128 lum) noexcept {
    if (out_step == 1) {
        _mm_storeu_ps(out, lum);
        return;
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, lum);
    for (std::ptrdiff_t k = 0; k < 4; ++k) out[k * out_step] = lanes[k];
}

// Packed triples: pixel step +-3, channel step +-1. `first` is pixel 0's red
// value. Four neighbouring pixels occupy twelve consecutive floats, in pixel
// order for step 3 and in reverse for step -3; within a triple the channels
// run R, G, B for channel step 1 and B, G, R for -1.
template <std::ptrdiff_t kStep, std::ptrdiff_t kChannel>
void mix_triples(const float* first, float* out, std::ptrdiff_t out_step, std::size_t count,
                 const Weights4& w) noexcept {
    constexpr std::ptrdiff_t kTripleStart = kChannel == 1 ? 0 : -2;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const auto lowest = static_cast<std::ptrdiff_t>(kStep > 0 ? i : i + 3);
        __m128 p0, p1, p2;
        split_triples(first + lowest * kStep + kTripleStart, p0, p1, p2);
        __m128 lum = kChannel == 1 ? mix4(p0, p1, p2, w) : mix4(p2, p1, p0, w);
        if constexpr (kStep < 0) lum = _mm_shuffle_ps(lum, lum, _MM_SHUFFLE(0, 1, 2, 3));
        store4(out + static_cast<std::ptrdiff_t>(i) * out_step, out_step, lum);
    }
    const auto done = static_cast<std::ptrdiff_t>(i);
    mix_strided(first + done * kStep, kStep, kChannel, out + done * out_step, out_step, count - i, w);
}

// Three planes with unit pixel step (a channels-first array seen as (H, W, 3),
// or a Fortran-ordered one walked down its columns).
void mix_planes(const float* red, std::ptrdiff_t channel, float* out, std::ptrdiff_t out_step, std::size_t count,
                const Weights4& w) noexcept {
    const float* green = red + channel;
    const float* blue = green + channel;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128 lum = mix4(_mm_loadu_ps(red + i), _mm_loadu_ps(green + i), _mm_loadu_ps(blue + i), w);
        store4(out + static_cast<std::ptrdiff_t>(i) * out_step, out_step, lum);
    }
    const auto done = static_cast<std::ptrdiff_t>(i);
    mix_strided(red + done, 1, channel, out + done * out_step, out_step, count - i, w);
}

// One line of the walk: picks the fastest loop the line's layout allows.
void mix_line(const float* first, std::ptrdiff_t step, std::ptrdiff_t channel, float* out, std::ptrdiff_t out_step,
              std::size_t count, const ChannelWeights& weights) noexcept {
    const Weights4 w(weights);
    if (step == 3 && channel == 1) {
        mix_triples<3, 1>(first, out, out_step, count, w);
    } else if (step == 3 && channel == -1) {
        mix_triples<3, -1>(first, out, out_step, count, w);
    } else if (step == -3 && channel == 1) {
        mix_triples<-3, 1>(first, out, out_step, count, w);
    } else if (step == -3 && channel == -1) {
        mix_triples<-3, -1>(first, out, out_step, count, w);
    } else if (step == 1) {
        mix_planes(first, channel, out, out_step, count, w);
    } else {
        mix_strided(first, step, channel, out, out_step, count, w);
    }
}
#else
// Portable form: one loop for every layout.
void mix_line(const float* first, std::ptrdiff_t step, std::ptrdiff_t channel, float* out, std::ptrdiff_t out_step,
              std::size_t count, const ChannelWeights& w) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const auto k = static_cast<std::ptrdiff_t>(i);
        const float* p = first + k * step;
        out[k * out_step] = weighted_luminance(p[0], p[channel], p[2 * channel], w);
    }
}
#endif

std::size_t magnitude(std::ptrdiff_t stride) noexcept {
    return stride < 0 ? static_cast<std::size_t>(-(stride + 1)) + 1 : static_cast<std::size_t>(stride);
}

}  // namespace

ChannelWeights standard_weights(LuminanceStandard standard) {
    const auto code = static_cast<std::uint8_t>(standard);
    if (code >= kStandardCount) {
        raise_internal_fault("luminance standard code " + std::to_string(code) + " out of range");
    }
    return kCoefficients[code];
}

ChannelWeights filter_weights(ColorFilter filter, LuminanceStandard standard) {
    const auto code = static_cast<std::uint8_t>(filter);
    if (code >= kFilterCount) raise_internal_fault("colour filter code " + std::to_string(code) + " out of range");
    const ChannelWeights c = standard_weights(standard);
    const ChannelWeights t = kTransmissions[code];
    return {c.red * t.red, c.green * t.green, c.blue * t.blue};
}

KernelResult mix_channels(const ImageView& rgb, const ChannelWeights& weights) {
    if (rgb.channels() != 3) return shape_error("expected (H, W, 3) RGB array, got shape " + shape_text(rgb.shape));
    const std::size_t height = rgb.height();
    const std::size_t width = rgb.width();
    ResultBuffer output(Shape3{height, width, 1});
    float* target = output.data();
    const auto out_row = static_cast<std::ptrdiff_t>(width);
    // Walk each line along the axis with the smaller step in memory, so that a
    // column-major input is read sequentially too (the output then takes the
    // strided writes). A single column is always walked down its rows.
    const bool columns_outer = height > 1 && (width == 1 || magnitude(rgb.col_stride) > magnitude(rgb.row_stride));
    if (columns_outer) {
        parallel::for_each_block(width, height, [&](std::size_t x0, std::size_t x1, std::size_t y0, std::size_t y1) {
            // Bands of rows keep the output lines being filled in cache while
            // the walk moves from column to column.
            constexpr std::size_t kBand = 128;
            for (std::size_t band = y0; band < y1; band += kBand) {
                const std::size_t rows = y1 - band < kBand ? y1 - band : kBand;
                for (std::size_t x = x0; x < x1; ++x) {
                    mix_line(rgb.pixel(band, x), rgb.row_stride, rgb.channel_stride,
                             target + static_cast<std::ptrdiff_t>(band) * out_row + static_cast<std::ptrdiff_t>(x),
                             out_row, rows, weights);
                }
            }
        });
    } else {
        parallel::for_each_block(height, width, [&](std::size_t y0, std::size_t y1, std::size_t x0, std::size_t x1) {
            for (std::size_t y = y0; y < y1; ++y) {
                mix_line(rgb.pixel(y, x0), rgb.col_stride, rgb.channel_stride, target + y * width + x0, 1, x1 - x0,
                         weights);
            }
        });
    }
    return output;
}

// Each kernel checks the shape before it resolves its weights: a code is only
// looked up for an input the kernel accepts.
KernelResult luminance_bw(const ImageView& rgb, LuminanceStandard standard) {
    if (rgb.channels() != 3) return mix_channels(rgb, {});
    return mix_channels(rgb, standard_weights(standard));
}

KernelResult color_filter_bw(const ImageView& rgb, ColorFilter filter, LuminanceStandard standard) {
    if (rgb.channels() != 3) return mix_channels(rgb, {});
    return mix_channels(rgb, filter_weights(filter, standard));
}

KernelResult channel_mixer_bw(const ImageView& rgb, float wr, float wg, float wb) {
    return mix_channels(rgb, {wr, wg, wb});
}

}  // namespace ostrel
