#include "grain/grain.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/aligned_buffer.hpp"
#include "core/cr_math.hpp"
#include "core/fault.hpp"
#include "core/float_format.hpp"
#include "core/isa_variants.hpp"
#include "core/nan_rule.hpp"
#include "encode/srgb_tile.hpp"
#include "parallel/parallel_for.hpp"

namespace ostrel {
namespace {

// Sides below 2^31 keep every coordinate, halo included, inside an int64 with room to spare.
constexpr std::size_t kMaxSide = std::size_t{1} << 31;
// Rows of a block grained together: their noise rows, halo included, are made once.
constexpr std::size_t kStrip = 32;
// Columns at a time: one encoding tile.
constexpr std::size_t kChunk = srgb::kTile;
constexpr std::size_t kMaxTaps = 2 * kMaxGrainRadius + 1;

constexpr std::uint64_t splitmix64(std::uint64_t z) noexcept {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

[[gnu::always_inline]] inline std::uint32_t mix32(std::uint32_t x) noexcept {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

struct RowKeys {
    std::uint32_t a;
    std::uint32_t b;
    std::uint32_t c;
};

RowKeys row_keys(std::uint32_t seed, std::int64_t y) noexcept {
    const std::uint64_t r1 = splitmix64(splitmix64(seed) ^ static_cast<std::uint64_t>(y));
    const std::uint64_t r2 = splitmix64(r1);
    return {static_cast<std::uint32_t>(r1), static_cast<std::uint32_t>(r1 >> 32), static_cast<std::uint32_t>(r2)};
}

[[gnu::always_inline]] inline float noise(std::uint32_t x, const RowKeys& k) noexcept {
    const std::uint32_t h1 = mix32(mix32(x ^ k.a) + k.b);
    const std::uint32_t h2 = mix32(h1 ^ k.c);
    const std::uint32_t sum = (h1 & 0xFFFFu) + (h1 >> 16) + (h2 & 0xFFFFu) + (h2 >> 16);
    return static_cast<float>(static_cast<std::int32_t>(sum) - 131070);
}

struct NoiseRun {
    [[gnu::always_inline]] static inline void run(std::uint32_t first_column, RowKeys keys, float* out,
                                                  std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) out[i] = noise(first_column + static_cast<std::uint32_t>(i), keys);
    }
};

// out[i] = sum over k of weights[k] * sources[k][i], k in order.
struct BlurRun {
    [[gnu::always_inline]] static inline void run(const float* const* sources, const float* weights, std::size_t taps,
                                                  float* out, std::size_t count) noexcept {
        const float first = weights[0];
        const float* source = sources[0];
        for (std::size_t i = 0; i < count; ++i) out[i] = first * source[i];
        for (std::size_t k = 1; k < taps; ++k) {
            const float c = weights[k];
            const float* from = sources[k];
            for (std::size_t i = 0; i < count; ++i) out[i] = out[i] + c * from[i];
        }
    }
};

// Paper white's encoding, the encoding of 1 (just below 1 in float).
constexpr float kPaperWhite = srgb::kScale + srgb::kOffset;

[[gnu::always_inline]] inline float binomial(float v) noexcept {
    float w = v > 0.0f ? v : 0.0f;
    w = w < kPaperWhite ? w : kPaperWhite;
    return std::sqrt(w * (kPaperWhite - w));
}

// Where the decoding's linear segment ends, in encoded values.
constexpr float kDecodeThreshold = 0.04045f;

template <bool Encoded>
struct GrainRun {
    [[gnu::always_inline]] static inline void run(const float* print, const float* blurred, float* out,
                                                  std::size_t count, float amp, const PowfTable& power,
                                                  const PowfTable& decode, Isa isa) noexcept {
        float v[kChunk];
        float scratch[kChunk];
        for (std::size_t at = 0; at < count; at += kChunk) {
            const std::size_t n = std::min(kChunk, count - at);
            srgb::encode_tile(print + at, v, n, power, isa, scratch);
            for (std::size_t i = 0; i < n; ++i) {
                const float s = binomial(v[i]);
                const float d = (amp * blurred[at + i]) * s;
                if constexpr (Encoded) {
                    out[at + i] = d == 0.0f ? v[i] : v[i] + d;
                } else {
                    v[i] = v[i] + d;  // the grained value, decoded below
                    out[at + i] = d;
                }
            }
            if constexpr (!Encoded) {
                for (std::size_t i = 0; i < n; ++i) {
                    scratch[i] = v[i] <= kDecodeThreshold ? 1.0f : (v[i] - srgb::kOffset) / srgb::kScale;
                }
                cr_powf_batch(scratch, decode, scratch, n, isa);
                for (std::size_t i = 0; i < n; ++i) {
                    const float p = print[at + i];
                    const float g = v[i];
                    const float u = (g - srgb::kOffset) / srgb::kScale;
                    const float decoded = g <= kDecodeThreshold ? g / srgb::kLinearSlope : (u * u) * scratch[i];
                    const float grained = out[at + i] == 0.0f ? p : decoded;
                    out[at + i] = nan_rule::is_nan(p) ? nan_rule::quiet(p) : grained;
                }
            }
        }
    }
};

using NoiseRuns = LoopVariants<NoiseRun, std::uint32_t, RowKeys, float*, std::size_t>;
using BlurRuns = LoopVariants<BlurRun, const float* const*, const float*, std::size_t, float*, std::size_t>;
template <bool Encoded>
using GrainRuns = LoopVariants<GrainRun<Encoded>, const float*, const float*, float*, std::size_t, float,
                               const PowfTable&, const PowfTable&, Isa>;

// The tables of the decoding's power: x^2.4 = (x * x) * x^0.4, the last from tables for 0.4.
const PowfTable& decode_table() noexcept {
    static const PowfTable table = make_powf_table(0.4f);
    return table;
}

template <bool Encoded>
KernelResult run_grain(const ImageView& print, const Grain& g, const Placement& placement) {
    const char* name = Encoded ? "grain_encode" : "grain";
    if (print.channels() != 1) {
        return shape_error(std::string(name) + " expects (H, W, 1) print input, got shape " + shape_text(print.shape));
    }
    const std::size_t full_height = placement.full_height != 0 ? placement.full_height : print.height();
    const std::size_t full_width = placement.full_width != 0 ? placement.full_width : print.width();
    if (placement.top > full_height || full_height - placement.top < print.height() || placement.left > full_width ||
        full_width - placement.left < print.width()) {
        return shape_error(std::string(name) + ": a plane of shape " + shape_text(print.shape) + " at row " +
                           std::to_string(placement.top) + ", column " + std::to_string(placement.left) +
                           " does not fit a " + std::to_string(full_height) + " x " + std::to_string(full_width) +
                           " image");
    }
    if (full_height >= kMaxSide || full_width >= kMaxSide) {
        return shape_error(std::string(name) + ": images of 2^31 pixels or more on a side are not supported");
    }
    const std::string problem = grain_problem(g);
    if (!problem.empty()) raise_internal_fault(std::string(name) + ": " + problem);
    if (!print.is_c_contiguous()) raise_internal_fault(std::string(name) + ": img must be C-contiguous");

    ResultBuffer output(print.shape);
    const std::size_t width = print.width();
    const GrainSetup setup = grain_setup(g);
    const std::size_t radius = setup.radius;
    const std::size_t taps = 2 * radius + 1;
    const Isa isa = active_isa();  // one instruction set for the whole call
    const auto make_noise = NoiseRuns::table.select(isa);
    const auto blur = BlurRuns::table.select(isa);
    const auto finish = GrainRuns<Encoded>::table.select(isa);
    const PowfTable& power = srgb::power_table();
    const PowfTable& decode = decode_table();
    const float* source = print.origin;
    float* target = output.data();
    const auto top = static_cast<std::int64_t>(placement.top);
    const auto left = static_cast<std::int64_t>(placement.left);
    parallel::for_each_block(
        print.height(), width,
        [&](std::size_t row_begin, std::size_t row_end, std::size_t col_begin, std::size_t col_end) {
            AlignedBuffer<float> noise_row(kChunk + 2 * radius);
            AlignedBuffer<float> rows((kStrip + 2 * radius) * kChunk);
            AlignedBuffer<float> blurred(kChunk);
            const float* sources[kMaxTaps];
            for (std::size_t y0 = row_begin; y0 < row_end; y0 += kStrip) {
                const std::size_t y1 = std::min(row_end, y0 + kStrip);
                for (std::size_t x0 = col_begin; x0 < col_end; x0 += kChunk) {
                    const std::size_t n = std::min(col_end, x0 + kChunk) - x0;
                    // The noise of the strip's rows and their halo, blurred along the rows.
                    const std::int64_t first_row =
                        top + static_cast<std::int64_t>(y0) - static_cast<std::int64_t>(radius);
                    const std::int64_t first_column =
                        left + static_cast<std::int64_t>(x0) - static_cast<std::int64_t>(radius);
                    for (std::size_t r = 0; r < (y1 - y0) + 2 * radius; ++r) {
                        const RowKeys keys = row_keys(g.seed, first_row + static_cast<std::int64_t>(r));
                        make_noise(static_cast<std::uint32_t>(static_cast<std::uint64_t>(first_column)), keys,
                                   noise_row.data(), n + 2 * radius);
                        for (std::size_t k = 0; k < taps; ++k) sources[k] = noise_row.data() + k;
                        blur(sources, setup.weights, taps, rows.data() + r * kChunk, n);
                    }
                    // Down the columns, then the pixels.
                    for (std::size_t y = y0; y < y1; ++y) {
                        for (std::size_t k = 0; k < taps; ++k) sources[k] = rows.data() + (y - y0 + k) * kChunk;
                        blur(sources, setup.weights, taps, blurred.data(), n);
                        const std::size_t offset = y * width + x0;
                        finish(source + offset, blurred.data(), target + offset, n, setup.amp, power, decode, isa);
                    }
                }
            }
        });
    return output;
}

}  // namespace

std::string grain_problem(const Grain& g) {
    if (!(g.strength >= 0.0f && g.strength <= 16.0f))
        return "strength must be 0..16, got " + format_float32(g.strength);
    if (!(g.granularity >= 0.0f && g.granularity <= 100.0f)) {
        return "granularity must be 0..100, got " + format_float32(g.granularity);
    }
    if (!(g.pitch_um >= 0.01f && g.pitch_um <= 100000.0f)) {
        return "pitch_um must be 0.01..100000, got " + format_float32(g.pitch_um);
    }
    return {};
}

float grain_noise(std::uint32_t seed, std::int64_t y, std::int64_t x) noexcept {
    return noise(static_cast<std::uint32_t>(static_cast<std::uint64_t>(x)), row_keys(seed, y));
}

GrainSetup grain_setup(const Grain& g) noexcept {
    constexpr double kLog2e = 1.4426950408889634;
    constexpr double kPi = 3.141592653589793;
    constexpr double kLn10 = 2.302585092994046;
    GrainSetup setup;
    const double sigma = kClumpMicrons / static_cast<double>(g.pitch_um);
    const double reach = std::floor(3.0 * sigma + 0.5);
    setup.radius = reach >= static_cast<double>(kMaxGrainRadius) ? kMaxGrainRadius : static_cast<std::size_t>(reach);
    const std::size_t taps = 2 * setup.radius + 1;
    double raw[kMaxTaps] = {};
    double sum = 0.0;
    for (std::size_t i = 0; i < taps; ++i) {
        const double k = static_cast<double>(i) - static_cast<double>(setup.radius);
        raw[i] = static_cast<double>(cr_exp2f(static_cast<float>(-(k * k) / (2.0 * sigma * sigma) * kLog2e)));
        sum += raw[i];
    }
    for (std::size_t i = 0; i < taps; ++i) setup.weights[i] = static_cast<float>(raw[i] / sum);
    const double selwyn =
        static_cast<double>(g.granularity) / 1000.0 * std::sqrt(kPi * 24.0 * 24.0) / std::sqrt(kClumpShareAt48);
    const double slope = kLn10 / 2.4 * 0.555;
    const double unit = std::sqrt(3.0 / (65536.0 * 65536.0 - 1.0));
    setup.amp = static_cast<float>(static_cast<double>(g.strength) * selwyn / static_cast<double>(g.pitch_um) * slope *
                                   2.0 * unit);
    return setup;
}

KernelResult grain(const ImageView& print, const Grain& g, const Placement& placement) {
    return run_grain<false>(print, g, placement);
}

KernelResult grain_encode(const ImageView& print, const Grain& g, const Placement& placement) {
    return run_grain<true>(print, g, placement);
}

}  // namespace ostrel
