#include "bw/luminance.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <string>

#include "core/fault.hpp"
#include "core/isa.hpp"
#include "parallel/parallel_for.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
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

// Four lanes of floats in SSE2 or NEON registers (the baseline of x86-64 and
// of aarch64), for the lane loops below.
#if defined(__SSE2__)
struct Sse2Lanes {
    using V = __m128;
    static V load(const float* p) noexcept { return _mm_loadu_ps(p); }
    static void store(float* p, V v) noexcept { _mm_storeu_ps(p, v); }
    static V splat(float v) noexcept { return _mm_set1_ps(v); }
    static V mul(V a, V b) noexcept { return _mm_mul_ps(a, b); }
    static V add(V a, V b) noexcept { return _mm_add_ps(a, b); }
    static bool any_nan(V v) noexcept { return _mm_movemask_ps(_mm_cmpunord_ps(v, v)) != 0; }
    static V reverse(V v) noexcept { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }
    // Twelve floats holding four packed triples -> the three planes of the
    // four triples (element k of each triple into plane k).
    static void split_triples(const float* p, V& plane0, V& plane1, V& plane2) noexcept {
        const V a = _mm_loadu_ps(p);                                   // x0 y0 z0 x1
        const V b = _mm_loadu_ps(p + 4);                               // y1 z1 x2 y2
        const V c = _mm_loadu_ps(p + 8);                               // z2 x3 y3 z3
        const V x_bc = _mm_shuffle_ps(b, c, _MM_SHUFFLE(1, 1, 2, 2));  // x2 x2 x3 x3
        plane0 = _mm_shuffle_ps(a, x_bc, _MM_SHUFFLE(2, 0, 3, 0));     // x0 x1 x2 x3
        const V y_ab = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 1, 1));  // y0 y0 y1 y1
        const V y_bc = _mm_shuffle_ps(b, c, _MM_SHUFFLE(2, 2, 3, 3));  // y2 y2 y3 y3
        plane1 = _mm_shuffle_ps(y_ab, y_bc, _MM_SHUFFLE(2, 0, 2, 0));  // y0 y1 y2 y3
        const V z_ab = _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 2, 2));  // z0 z0 z1 z1
        plane2 = _mm_shuffle_ps(z_ab, c, _MM_SHUFFLE(3, 0, 2, 0));     // z0 z1 z2 z3
    }
};
#endif

#if defined(__aarch64__) && defined(__ARM_NEON)
struct NeonLanes {
    using V = float32x4_t;
    static V load(const float* p) noexcept { return vld1q_f32(p); }
    static void store(float* p, V v) noexcept { vst1q_f32(p, v); }
    static V splat(float v) noexcept { return vdupq_n_f32(v); }
    static V mul(V a, V b) noexcept { return vmulq_f32(a, b); }
    static V add(V a, V b) noexcept { return vaddq_f32(a, b); }
    static bool any_nan(V v) noexcept { return vminvq_u32(vceqq_f32(v, v)) == 0; }
    static V reverse(V v) noexcept {
        const V pairs = vrev64q_f32(v);  // x1 x0 x3 x2
        return vextq_f32(pairs, pairs, 2);
    }
    static void split_triples(const float* p, V& plane0, V& plane1, V& plane2) noexcept {
        const float32x4x3_t planes = vld3q_f32(p);
        plane0 = planes.val[0];
        plane1 = planes.val[1];
        plane2 = planes.val[2];
    }
};
#endif

// The lane loops over one line of pixels, for a lane type L. Every path gives
// each pixel the operations of weighted_luminance: plain products and sums
// in the formula's order, and where a group of four has a NaN result, the
// rule's NaN for it (ruled_luminance), so that neither the layout nor the
// instruction set nor the compiler's operand order changes a bit.
template <class L>
struct LuminanceLanes {
    using V = typename L::V;

    struct Weights {
        V red, green, blue;
        ChannelWeights scalar;
        explicit Weights(const ChannelWeights& w) noexcept
            : red(L::splat(w.red)), green(L::splat(w.green)), blue(L::splat(w.blue)), scalar(w) {}
    };

    [[gnu::noinline]] static V resolve_nan(V lum, V r, V g, V b, const ChannelWeights& w) noexcept {
        float lanes[4];
        float red[4];
        float green[4];
        float blue[4];
        L::store(lanes, lum);
        L::store(red, r);
        L::store(green, g);
        L::store(blue, b);
        for (std::size_t k = 0; k < 4; ++k) {
            if (nan_rule::is_nan(lanes[k])) lanes[k] = ruled_luminance(red[k], green[k], blue[k], w);
        }
        return L::load(lanes);
    }

    // Four lanes of the formula: three products, then (r + g) + b.
    static V mix4(V r, V g, V b, const Weights& w) noexcept {
        const V lum = L::add(L::add(L::mul(r, w.red), L::mul(g, w.green)), L::mul(b, w.blue));
        return L::any_nan(lum) ? resolve_nan(lum, r, g, b, w.scalar) : lum;
    }

    // Any layout: pixel i at first + i*step, its channels `channel` apart, its
    // output at out[i*out_step]. Gathers up to four pixels into lanes.
    static void mix_strided(const float* first, std::ptrdiff_t step, std::ptrdiff_t channel, float* out,
                            std::ptrdiff_t out_step, std::size_t count, const Weights& w) noexcept {
        for (std::size_t i = 0; i < count; i += 4) {
            const std::size_t n = count - i < 4 ? count - i : 4;
            float red[4] = {};
            float green[4] = {};
            float blue[4] = {};
            float lum[4];
            for (std::size_t k = 0; k < n; ++k) {
                const float* p = first + static_cast<std::ptrdiff_t>(i + k) * step;
                red[k] = p[0];
                green[k] = p[channel];
                blue[k] = p[2 * channel];
            }
            L::store(lum, mix4(L::load(red), L::load(green), L::load(blue), w));
            for (std::size_t k = 0; k < n; ++k) out[static_cast<std::ptrdiff_t>(i + k) * out_step] = lum[k];
        }
    }

    // Four results to out[0], out[out_step], ...: one store for consecutive
    // outputs, four for the strided writes of a column-major walk.
    static void store4(float* out, std::ptrdiff_t out_step, V lum) noexcept {
        if (out_step == 1) {
            L::store(out, lum);
            return;
        }
        float lanes[4];
        L::store(lanes, lum);
        for (std::ptrdiff_t k = 0; k < 4; ++k) out[k * out_step] = lanes[k];
    }

    // Packed triples: pixel step +-3, channel step +-1. `first` is pixel 0's
    // red value. Four neighbouring pixels occupy twelve consecutive floats, in
    // pixel order for step 3 and in reverse for step -3; within a triple the
    // channels run R, G, B for channel step 1 and B, G, R for -1.
    template <std::ptrdiff_t kStep, std::ptrdiff_t kChannel>
    static void mix_triples(const float* first, float* out, std::ptrdiff_t out_step, std::size_t count,
                            const Weights& w) noexcept {
        constexpr std::ptrdiff_t kTripleStart = kChannel == 1 ? 0 : -2;
        std::size_t i = 0;
        for (; i + 4 <= count; i += 4) {
            const auto lowest = static_cast<std::ptrdiff_t>(kStep > 0 ? i : i + 3);
            V p0, p1, p2;
            L::split_triples(first + lowest * kStep + kTripleStart, p0, p1, p2);
            V lum = kChannel == 1 ? mix4(p0, p1, p2, w) : mix4(p2, p1, p0, w);
            if constexpr (kStep < 0) lum = L::reverse(lum);
            store4(out + static_cast<std::ptrdiff_t>(i) * out_step, out_step, lum);
        }
        const auto done = static_cast<std::ptrdiff_t>(i);
        mix_strided(first + done * kStep, kStep, kChannel, out + done * out_step, out_step, count - i, w);
    }

    // Three planes with unit pixel step (a channels-first array seen as
    // (H, W, 3), or a Fortran-ordered one walked down its columns).
    static void mix_planes(const float* red, std::ptrdiff_t channel, float* out, std::ptrdiff_t out_step,
                           std::size_t count, const Weights& w) noexcept {
        const float* green = red + channel;
        const float* blue = green + channel;
        std::size_t i = 0;
        for (; i + 4 <= count; i += 4) {
            const V lum = mix4(L::load(red + i), L::load(green + i), L::load(blue + i), w);
            store4(out + static_cast<std::ptrdiff_t>(i) * out_step, out_step, lum);
        }
        const auto done = static_cast<std::ptrdiff_t>(i);
        mix_strided(red + done, 1, channel, out + done * out_step, out_step, count - i, w);
    }

    // One line of the walk: picks the fastest loop the line's layout allows.
    static void mix_line(const float* first, std::ptrdiff_t step, std::ptrdiff_t channel, float* out,
                         std::ptrdiff_t out_step, std::size_t count, const ChannelWeights& weights) noexcept {
        const Weights w(weights);
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
};

// The scalar entry: one pixel at a time, for every layout.
void mix_line_scalar(const float* first, std::ptrdiff_t step, std::ptrdiff_t channel, float* out,
                     std::ptrdiff_t out_step, std::size_t count, const ChannelWeights& w) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const auto k = static_cast<std::ptrdiff_t>(i);
        const float* p = first + k * step;
        out[k * out_step] = weighted_luminance(p[0], p[channel], p[2 * channel], w);
    }
}

using LineLoop = void (*)(const float*, std::ptrdiff_t, std::ptrdiff_t, float*, std::ptrdiff_t, std::size_t,
                          const ChannelWeights&) noexcept;

// The line loop of each instruction set; AVX2 and AVX-512 take SSE2's, which
// already keeps up with memory.
#if defined(__SSE2__)
constexpr IsaTable<LineLoop> kLineLoops{{mix_line_scalar, LuminanceLanes<Sse2Lanes>::mix_line}};
#elif defined(__aarch64__) && defined(__ARM_NEON)
constexpr IsaTable<LineLoop> kLineLoops{
    {mix_line_scalar, nullptr, nullptr, nullptr, LuminanceLanes<NeonLanes>::mix_line}};
#else
constexpr IsaTable<LineLoop> kLineLoops{{mix_line_scalar}};
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
    const LineLoop mix_line = kLineLoops.select(active_isa());  // one instruction set for the whole call
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
