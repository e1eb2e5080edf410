#include "toning/toning.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
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

struct ToneSetup {
    float s[3];
    float d[3];
    float k;
    float strength;
};

ToneSetup tone_setup(const Toner& t) noexcept {
    ToneSetup setup{};
    for (std::size_t c = 0; c < 3; ++c) {
        setup.s[c] = t.shadow[c];
        setup.d[c] = t.highlight[c] - t.shadow[c];
    }
    setup.k = t.blend;
    setup.strength = t.strength;
    return setup;
}

// The header's steps for one pixel, written with selections so the loop
// vectorises; the division of r is computed for every pixel and used only
// where it is selected (no floating-point exception traps).
[[gnu::always_inline]] inline void tone_pixel(float p, const ToneSetup& u, float* out) noexcept {
    float q = p < 0.0f ? 0.0f : p;
    q = q > 1.0f ? 1.0f : q;
    const float h = q / (q + u.k * (1.0f - q));
    const float tr = u.s[0] + u.d[0] * h;
    const float tg = u.s[1] + u.d[1] * h;
    const float tb = u.s[2] + u.d[2] * h;
    float m = tr > tg ? tr : tg;
    m = tb > m ? tb : m;
    const float r = (1.0f - q) / (q * (m - 1.0f));
    // a = min(s, r) where m > 1 and q > 0, else s: nested selections of floats.
    float a = r < u.strength ? r : u.strength;
    a = q > 0.0f ? a : u.strength;
    a = m > 1.0f ? a : u.strength;
    const float o_r = p * (1.0f + a * (tr - 1.0f));
    const float o_g = p * (1.0f + a * (tg - 1.0f));
    const float o_b = p * (1.0f + a * (tb - 1.0f));
    // A NaN p makes every channel NaN: its quiet self; else a NaN is made.
    const float nan = nan_rule::is_nan(p) ? nan_rule::quiet(p) : nan_rule::kMadeNaN;
    out[0] = nan_rule::is_nan(o_r) ? nan : o_r;
    out[1] = nan_rule::is_nan(o_g) ? nan : o_g;
    out[2] = nan_rule::is_nan(o_b) ? nan : o_b;
}

// Pixels per tile: three planar strips of tones (a loop that vectorises),
// then interleaved as RGB; 480 samples, whole cache lines, within one sRGB
// tile.
constexpr std::size_t kTilePixels = 160;
static_assert(3 * kTilePixels <= srgb::kTile);

[[gnu::always_inline]] inline void tone_tile(const float* plane, float* rgb, std::size_t n,
                                             const ToneSetup& setup) noexcept {
    float r[kTilePixels];
    float g[kTilePixels];
    float b[kTilePixels];
    for (std::size_t i = 0; i < n; ++i) {
        float o[3];
        tone_pixel(plane[i], setup, o);
        r[i] = o[0];
        g[i] = o[1];
        b[i] = o[2];
    }
    for (std::size_t i = 0; i < n; ++i) {
        rgb[3 * i] = r[i];
        rgb[3 * i + 1] = g[i];
        rgb[3 * i + 2] = b[i];
    }
}

struct ToneRun {
    [[gnu::always_inline]] static inline void run(const float* plane, float* output, std::size_t count,
                                                  const ToneSetup& u) noexcept {
        for (std::size_t at = 0; at < count; at += kTilePixels) {
            tone_tile(plane + at, output + 3 * at, std::min(kTilePixels, count - at), u);
        }
    }
};

// Toning and the sRGB encoding in one pass: each tile's toned samples are
// encoded from a scratch tile (encode/srgb_tile.hpp), the bits of encode_srgb
// of tone_print's result without the linear RGB print between them (three
// planes of memory fewer; about as fast as the two passes, the encoding's
// power being most of the cost).
struct ToneEncodedRun {
    [[gnu::always_inline]] static inline void run(const float* plane, float* output, std::size_t count,
                                                  const ToneSetup& u, const PowfTable& power, Isa isa) noexcept {
        alignas(64) float toned[3 * kTilePixels];
        alignas(64) float scratch[3 * kTilePixels];
        for (std::size_t at = 0; at < count; at += kTilePixels) {
            const std::size_t n = std::min(kTilePixels, count - at);
            tone_tile(plane + at, toned, n, u);
            srgb::encode_tile(toned, output + 3 * at, 3 * n, power, isa, scratch);
        }
    }
};

using ToneRuns = LoopVariants<ToneRun, const float*, float*, std::size_t, const ToneSetup&>;
using ToneEncodedRuns =
    LoopVariants<ToneEncodedRun, const float*, float*, std::size_t, const ToneSetup&, const PowfTable&, Isa>;

}  // namespace

std::string toner_problem(const Toner& t) {
    const char* names[] = {"red", "green", "blue"};
    for (std::size_t c = 0; c < 3; ++c) {
        for (const auto& [part, value] : {std::pair{"shadow", t.shadow[c]}, std::pair{"highlight", t.highlight[c]}}) {
            if (!std::isfinite(value) || value < 0.0f) {
                return std::string(part) + " " + names[c] + " must be finite and not negative, got " +
                       format_float32(value);
            }
        }
    }
    if (!std::isfinite(t.blend) || !(t.blend > 0.0f)) return "blend must be positive, got " + format_float32(t.blend);
    if (!(t.strength >= 0.0f && t.strength <= 1.0f)) {
        return "strength must be 0..1, got " + format_float32(t.strength);
    }
    return {};
}

std::array<float, 3> toned_value(float p, const Toner& toner) noexcept {
    std::array<float, 3> out{};
    tone_pixel(p, tone_setup(toner), out.data());
    return out;
}

namespace {

KernelResult run_toning(const ImageView& plane, const Toner& toner, bool encoded) {
    const char* name = encoded ? "tone_print_encode" : "tone_print";
    if (plane.channels() != 1) {
        return shape_error(std::string(name) + " expects an (H, W, 1) print plane, got shape " +
                           shape_text(plane.shape));
    }
    const std::string problem = toner_problem(toner);
    if (!problem.empty()) raise_internal_fault(std::string(name) + ": " + problem);
    if (!plane.is_c_contiguous()) raise_internal_fault(std::string(name) + ": img must be C-contiguous");
    ResultBuffer output(Shape3{plane.height(), plane.width(), 3});
    const float* source = plane.origin;
    float* target = output.data();
    const ToneSetup setup = tone_setup(toner);
    const Isa isa = active_isa();  // one instruction set for the whole call
    if (encoded) {
        const PowfTable& power = srgb::power_table();
        const auto run = ToneEncodedRuns::table.select(isa);
        parallel::for_each_range(plane.height() * plane.width(), [&](std::size_t begin, std::size_t end) {
            run(source + begin, target + 3 * begin, end - begin, setup, power, isa);
        });
    } else {
        const auto run = ToneRuns::table.select(isa);
        parallel::for_each_range(plane.height() * plane.width(), [&](std::size_t begin, std::size_t end) {
            run(source + begin, target + 3 * begin, end - begin, setup);
        });
    }
    return output;
}

}  // namespace

KernelResult tone_print(const ImageView& plane, const Toner& toner) { return run_toning(plane, toner, false); }

KernelResult tone_print_encode(const ImageView& plane, const Toner& toner) { return run_toning(plane, toner, true); }

}  // namespace ostrel
