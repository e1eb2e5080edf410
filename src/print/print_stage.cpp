#include "print/print_stage.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "core/fault.hpp"
#include "core/float_format.hpp"
#include "core/isa_variants.hpp"
#include "core/nan_rule.hpp"
#include "encode/srgb_tile.hpp"
#include "parallel/parallel_for.hpp"

namespace ostrel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// The per-call constants of the header's setup.
struct PaperSetup {
    float black;
    float toe_end;
    float toe_gain;
    float toe_len;
    float toe_gm1;
    float shoulder_start;
    float shoulder_gain;
    float shoulder_len;
    float shoulder_gm1;
    float shoulder_room;
    float white;
    float room;
};

PaperSetup paper_setup(const PrintCurve& c) noexcept {
    return {c.black,
            c.toe_end,
            c.toe_gain,
            c.toe_end - c.black,
            c.toe_gain - 1.0f,
            c.shoulder_start,
            c.shoulder_gain,
            c.white - c.shoulder_start,
            c.shoulder_gain - 1.0f,
            1.0f - c.shoulder_start,
            c.white,
            c.room};
}

// Each step below is computed for every pixel and the branch is a selection,
// so the loops vectorise. Where two branches divide, their operands are
// selected first and one division serves both: every pixel still sees
// exactly its own branch's operations, and half the divisions, the bulk of
// the work, are saved. A value that no branch selects (a quotient of a zero
// toe_len, say) changes nothing, as no floating-point exception traps.

// y = b + d with d limited so that it approaches paper white and paper
// black without reaching them.
[[gnu::always_inline]] inline float limited_sum(float b, float e, const PaperSetup& s) noexcept {
    const float d = e - b;
    const float h = (s.white - b) * s.room;
    const float f = (b - s.black) * s.room;
    const bool up = d > 0.0f;
    // d > 0: (d * h) / (h + d); d < 0: (d * f) / (f - d).
    const float numerator = up ? d * h : d * f;
    const float denominator = up ? h + d : f - d;
    float quotient = numerator / denominator;
    quotient = d == kInf ? h : quotient;
    quotient = d == -kInf ? -f : quotient;
    const bool room = up ? h > 0.0f : f > 0.0f;
    quotient = room ? quotient : 0.0f;
    const float limited = up || d < 0.0f ? quotient : d;
    return b + limited;
}

[[gnu::always_inline]] inline float paper(float y, const PaperSetup& s) noexcept {
    // The toe below toe_end, else the shoulder: the same three steps with
    // each segment's constants.
    const bool toe = y < s.toe_end;
    const float from = toe ? s.black : s.shoulder_start;
    const float length = toe ? s.toe_len : s.shoulder_len;
    const float gain = toe ? s.toe_gain : s.shoulder_gain;
    const float gain_m1 = toe ? s.toe_gm1 : s.shoulder_gm1;
    const float v = (y - from) / length;
    const float u = toe ? 1.0f - v : v;
    // The toe's 1 - g is v / (u (k - 1) + 1): the same denominator, no cancellation.
    const float g = (toe ? v : u * gain) / ((u * gain_m1) + 1.0f);
    const float toe_value = s.toe_end * g;
    float shoulder = s.shoulder_start + s.shoulder_room * g;
    shoulder = shoulder > 1.0f ? 1.0f : shoulder;  // min(p, 1); a NaN stays NaN
    float p = y < s.white ? shoulder : 1.0f;
    p = y <= s.shoulder_start ? y : p;
    p = toe ? toe_value : p;
    p = y <= s.black ? 0.0f : p;
    return p;
}

// The NaN rule on the result: a NaN y (every comparison above is false for
// it, so p is 1) or a NaN p becomes the base value's NaN, else the detailed
// value's, else the made NaN. Written with integer selects so that the loop
// still vectorises.
[[gnu::always_inline]] inline float ruled(float p, float y, float b, float e) noexcept {
    const bool made = nan_rule::any_nan(nan_rule::nan_flag(y) | nan_rule::nan_flag(p));
    float nan = nan_rule::is_nan(e) ? nan_rule::quiet(e) : nan_rule::kMadeNaN;
    nan = nan_rule::is_nan(b) ? nan_rule::quiet(b) : nan;
    return made ? nan : p;
}

struct PlainRun {
    [[gnu::always_inline]] static inline void run(const float* base, float* output, std::size_t count,
                                                  const PaperSetup& s) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const float b = base[i];
            output[i] = ruled(paper(b, s), b, b, b);
        }
    }
};

struct DetailedRun {
    [[gnu::always_inline]] static inline void run(const float* base, const float* detailed, float* output,
                                                  std::size_t count, const PaperSetup& s) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const float b = base[i];
            const float e = detailed[i];
            const float y = limited_sum(b, e, s);
            output[i] = ruled(paper(y, s), y, b, e);
        }
    }
};

// The print stage and the sRGB encoding in one pass: each tile's print tones
// are made in a scratch tile and encoded from there (encode/srgb_tile.hpp),
// the bits of encode_srgb of print_stage's result without writing the print
// plane out and reading it back.
template <bool Detailed>
struct EncodedRun {
    [[gnu::always_inline]] static inline void run(const float* base, const float* detailed, float* output,
                                                  std::size_t count, const PaperSetup& s, const PowfTable& power,
                                                  Isa isa) noexcept {
        float tone[srgb::kTile];
        float scratch[srgb::kTile];
        for (std::size_t at = 0; at < count; at += srgb::kTile) {
            const std::size_t n = std::min(srgb::kTile, count - at);
            for (std::size_t i = 0; i < n; ++i) {
                const float b = base[at + i];
                if constexpr (Detailed) {
                    const float e = detailed[at + i];
                    const float y = limited_sum(b, e, s);
                    tone[i] = ruled(paper(y, s), y, b, e);
                } else {
                    tone[i] = ruled(paper(b, s), b, b, b);
                }
            }
            srgb::encode_tile(tone, output + at, n, power, isa, scratch);
        }
    }
};

using PlainRuns = LoopVariants<PlainRun, const float*, float*, std::size_t, const PaperSetup&>;
using DetailedRuns = LoopVariants<DetailedRun, const float*, const float*, float*, std::size_t, const PaperSetup&>;
template <bool Detailed>
using EncodedRuns = LoopVariants<EncodedRun<Detailed>, const float*, const float*, float*, std::size_t,
                                 const PaperSetup&, const PowfTable&, Isa>;

std::string named(const char* name, float value) { return std::string(name) + "=" + format_float32(value); }

void check_layout(const ImageView& view, const char* name) {
    // With one channel this is: column stride 1 unless W == 1, row stride W
    // unless H == 1, nothing checked for an empty image.
    if (!view.is_c_contiguous()) raise_internal_fault(std::string("print_stage: ") + name + " must be C-contiguous");
}

void check_curve(const PrintCurve& curve) {
    const std::string problem = print_curve_problem(curve);
    if (!problem.empty()) raise_internal_fault("print_stage: " + problem);
}

}  // namespace

std::string print_curve_problem(const PrintCurve& c) {
    const std::pair<const char*, float> values[] = {
        {"black", c.black},
        {"toe_end", c.toe_end},
        {"toe_gain", c.toe_gain},
        {"shoulder_start", c.shoulder_start},
        {"shoulder_gain", c.shoulder_gain},
        {"white", c.white},
        {"room", c.room},
    };
    for (const auto& [name, value] : values) {
        if (!std::isfinite(value)) return std::string(name) + " must be finite, got " + format_float32(value);
    }
    if (!(c.black <= c.toe_end)) {
        return "black must not exceed toe_end, got " + named("black", c.black) + ", " + named("toe_end", c.toe_end);
    }
    if (!(c.toe_end <= c.shoulder_start)) {
        return "toe_end must not exceed shoulder_start, got " + named("toe_end", c.toe_end) + ", " +
               named("shoulder_start", c.shoulder_start);
    }
    // shoulder_start = white = 1 (the defaults) is the curve without a
    // shoulder: identity up to 1, then 1.
    const bool no_shoulder = c.shoulder_start == 1.0f && c.white == 1.0f;
    if (!no_shoulder && !(c.shoulder_start < c.white)) {
        return "shoulder_start must be below white, got " + named("shoulder_start", c.shoulder_start) + ", " +
               named("white", c.white);
    }
    if (!no_shoulder && !(c.shoulder_start < 1.0f)) {
        return "shoulder_start must be below 1, got " + format_float32(c.shoulder_start);
    }
    if (!(c.toe_gain > 0.0f)) return "toe_gain must be positive, got " + format_float32(c.toe_gain);
    if (!(c.shoulder_gain > 0.0f)) return "shoulder_gain must be positive, got " + format_float32(c.shoulder_gain);
    if (!(c.room > 0.0f && c.room <= 1.0f)) return "room must be above 0 and at most 1, got " + format_float32(c.room);
    return {};
}

float print_value(float base, const PrintCurve& curve) noexcept {
    const PaperSetup s = paper_setup(curve);
    return ruled(paper(base, s), base, base, base);
}

float print_value(float base, float detailed, const PrintCurve& curve) noexcept {
    const PaperSetup s = paper_setup(curve);
    const float y = limited_sum(base, detailed, s);
    return ruled(paper(y, s), y, base, detailed);
}

namespace {

KernelResult run_print(const ImageView& base, const ImageView* detailed, const PrintCurve& curve, bool encoded) {
    if (base.channels() != 1) {
        return shape_error("print_stage expects (H, W, 1) luminance input, got shape " + shape_text(base.shape));
    }
    if (detailed != nullptr && detailed->shape != base.shape) {
        return shape_error("print_stage expects detailed of img's shape " + shape_text(base.shape) + ", got shape " +
                           shape_text(detailed->shape));
    }
    check_curve(curve);
    check_layout(base, "img");
    if (detailed != nullptr) check_layout(*detailed, "detailed");
    ResultBuffer output(base.shape);
    const float* source = base.origin;
    const float* detail = detailed != nullptr ? detailed->origin : nullptr;
    float* target = output.data();
    const PaperSetup setup = paper_setup(curve);
    const Isa isa = active_isa();  // one instruction set for the whole call
    if (encoded) {
        const PowfTable& power = srgb::power_table();
        const auto run =
            detail != nullptr ? EncodedRuns<true>::table.select(isa) : EncodedRuns<false>::table.select(isa);
        parallel::for_each_range(output.size(), [&](std::size_t begin, std::size_t end) {
            run(source + begin, detail != nullptr ? detail + begin : nullptr, target + begin, end - begin, setup, power,
                isa);
        });
    } else if (detail != nullptr) {
        const auto run = DetailedRuns::table.select(isa);
        parallel::for_each_range(output.size(), [&](std::size_t begin, std::size_t end) {
            run(source + begin, detail + begin, target + begin, end - begin, setup);
        });
    } else {
        const auto run = PlainRuns::table.select(isa);
        parallel::for_each_range(output.size(), [&](std::size_t begin, std::size_t end) {
            run(source + begin, target + begin, end - begin, setup);
        });
    }
    return output;
}

}  // namespace

KernelResult print_stage(const ImageView& base, const PrintCurve& curve) {
    return run_print(base, nullptr, curve, false);
}

KernelResult print_stage(const ImageView& base, const ImageView& detailed, const PrintCurve& curve) {
    return run_print(base, &detailed, curve, false);
}

KernelResult print_encode(const ImageView& base, const PrintCurve& curve) {
    return run_print(base, nullptr, curve, true);
}

KernelResult print_encode(const ImageView& base, const ImageView& detailed, const PrintCurve& curve) {
    return run_print(base, &detailed, curve, true);
}

}  // namespace ostrel
