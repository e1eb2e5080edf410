#include "tone/zone_curve.hpp"

#include <algorithm>
#include <bit>

#include "core/cr_math.hpp"
#include "core/fault.hpp"
#include "core/isa_variants.hpp"
#include "core/nan_rule.hpp"
#include "parallel/parallel_for.hpp"

namespace ostrel {
namespace {

// The constants as stored bit patterns, so no decimal-to-binary rounding of a
// compiler can change them.
constexpr float kLuminanceFloor = std::bit_cast<float>(std::uint32_t{0x2EDBE6FF});  // 1e-10
constexpr float kLn2 = std::bit_cast<float>(std::uint32_t{0x3F317218});             // 0.6931472
constexpr float kMiddleGreyZone = std::bit_cast<float>(std::uint32_t{0x40A00000});  // 5.0
constexpr float kStopsGreyToOne = std::bit_cast<float>(std::uint32_t{0x401E54E3});  // -log2(0.18)
// 2 * (0.8 * 0.8) in single precision: one ulp above the float nearest 1.28.
constexpr float kWidthDivisor = std::bit_cast<float>(std::uint32_t{0x3FA3D70B});

}  // namespace

ZoneOffsets make_zone_offsets(ZoneOffsets entries) {
    // A stable sort keeps repeated indices in insertion order; the last of each
    // run is the one to keep.
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    ZoneOffsets table;
    table.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 < entries.size() && entries[i + 1].first == entries[i].first) continue;
        table.push_back(entries[i]);
    }
    return table;
}

std::vector<ZoneTerm> zone_terms(const ZoneOffsets& offsets) {
    std::vector<ZoneTerm> terms;
    terms.reserve(offsets.size());
    for (const auto& [zone, offset] : offsets) terms.push_back({static_cast<float>(zone), offset});
    return terms;
}

float zone_position(float g) noexcept {
    // The comparison sends NaN, zero and negatives to the floor.
    const float x = g > kLuminanceFloor ? g : kLuminanceFloor;
    float z = cr_logf(x);
    z = z / kLn2;  // a true division: log2f or a reciprocal multiply can differ in the last bit
    z = z + kMiddleGreyZone;
    z = z + kStopsGreyToOne;
    return z;
}

// Only the offsets and g can bring in NaNs and infinities (the zone position
// is always finite), so the products and sums with them take the NaN rule:
// two NaN offsets meet in the sum, a zero weight meets an infinite offset,
// and g meets a NaN, zero or infinite gain.
float zone_curve_value(float g, std::span<const ZoneTerm> terms) noexcept {
    const float z = zone_position(g);
    float stops = -0.0f;
    for (const ZoneTerm& term : terms) {
        const float d = z - term.centre;
        float e = (-d) * d;
        e = e / kWidthDivisor;
        const float weight = cr_expf(e);
        stops = nan_rule::add(nan_rule::mul(weight, term.offset), stops);
    }
    return nan_rule::mul(g, cr_exp2f(stops));
}

namespace {

// zone_curve_value over a run of pixels, reorganised for throughput: each
// step runs across a tile of pixels, so the float arithmetic vectorises and
// the logarithm and exponentials go through the vectorised batch functions
// (correctly rounded on every path, hence the same bits as the scalar ones).
// Every pixel still sees exactly the operations of zone_curve_value in the
// same order; the few results that come out NaN are computed again by
// zone_curve_value, whose NaN is the rule's. Compiled once per instruction
// set; `isa` picks the batch functions of the same set.
struct ZoneCurveRun {
    [[gnu::always_inline]] static inline void run(const float* input, float* output, std::size_t count,
                                                  std::span<const ZoneTerm> terms, Isa isa) noexcept {
        // A tile's four arrays (4 KiB) stay in the first-level cache.
        constexpr std::size_t kTile = 256;
        float z[kTile];
        float stops[kTile];
        float scratch[kTile];
        for (std::size_t base = 0; base < count; base += kTile) {
            const std::size_t n = std::min(kTile, count - base);
            const float* g = input + base;
            for (std::size_t i = 0; i < n; ++i) {
                // The comparison sends NaN, zero and negatives to the floor.
                z[i] = g[i] > kLuminanceFloor ? g[i] : kLuminanceFloor;
                stops[i] = -0.0f;
            }
            cr_logf_batch(z, z, n, isa);
            for (std::size_t i = 0; i < n; ++i) {
                float position = z[i] / kLn2;
                position = position + kMiddleGreyZone;
                z[i] = position + kStopsGreyToOne;
            }
            for (const ZoneTerm& term : terms) {
                for (std::size_t i = 0; i < n; ++i) {
                    const float d = z[i] - term.centre;
                    const float e = (-d) * d;
                    scratch[i] = e / kWidthDivisor;
                }
                cr_expf_batch(scratch, scratch, n, isa);
                for (std::size_t i = 0; i < n; ++i) stops[i] = (scratch[i] * term.offset) + stops[i];
            }
            cr_exp2f_batch(stops, scratch, n, isa);
            std::uint32_t nan_flags = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const float value = g[i] * scratch[i];
                nan_flags |= nan_rule::nan_flag(value);
                output[base + i] = value;
            }
            if (!nan_rule::any_nan(nan_flags)) continue;
            for (std::size_t i = 0; i < n; ++i) {
                if (nan_rule::is_nan(output[base + i])) output[base + i] = zone_curve_value(g[i], terms);
            }
        }
    }
};

using ZoneCurveRuns = LoopVariants<ZoneCurveRun, const float*, float*, std::size_t, std::span<const ZoneTerm>, Isa>;

}  // namespace

KernelResult zone_system(const ImageView& input, const ZoneOffsets& offsets) {
    if (input.channels() != 1) {
        return shape_error("zone_system expects (H, W, 1) luminance input, got shape " + shape_text(input.shape));
    }
    std::vector<ZoneTerm> terms = zone_terms(offsets);
    // With one channel this is exactly: column stride 1 unless W == 1, row
    // stride W unless H == 1, nothing checked for an empty image.
    if (!input.is_c_contiguous()) raise_internal_fault("zone_system: input must be C-contiguous");

    ResultBuffer output(input.shape);
    const float* source = input.origin;
    float* target = output.data();
    if (terms.empty()) {
        parallel::for_each_range(output.size(), [&](std::size_t begin, std::size_t end) {
            std::copy(source + begin, source + end, target + begin);
        });
        return output;
    }
    // A term whose offset is zero adds a zero to the sum: at most it turns a
    // zero sum's sign, and 2 to the power of either zero is one. Leaving it
    // out gives the same output bits and saves its exponential.
    std::erase_if(terms, [](const ZoneTerm& term) { return term.offset == 0.0f; });
    if (terms.empty()) {
        // g * 2^0: g itself, except that a signalling NaN comes out quiet. The
        // gain is computed at run time so the compiler cannot fold the
        // multiplication away.
        const float unit_gain = cr_exp2f(-0.0f);
        parallel::for_each_range(output.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) target[i] = source[i] * unit_gain;
        });
        return output;
    }
    const std::span<const ZoneTerm> term_span(terms);
    const Isa isa = active_isa();  // one instruction set for the whole call
    const auto run = ZoneCurveRuns::table.select(isa);
    parallel::for_each_range(output.size(), [&](std::size_t begin, std::size_t end) {
        run(source + begin, target + begin, end - begin, term_span, isa);
    });
    return output;
}

}  // namespace ostrel
