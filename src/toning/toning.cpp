#include "toning/toning.hpp"

#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

#include "core/fault.hpp"
#include "core/float_format.hpp"
#include "core/isa_variants.hpp"
#include "core/nan_rule.hpp"
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
    const bool limited = m > 1.0f && q > 0.0f && r < u.strength;
    const float a = limited ? r : u.strength;
    const float o[3] = {p * (1.0f + a * (tr - 1.0f)), p * (1.0f + a * (tg - 1.0f)), p * (1.0f + a * (tb - 1.0f))};
    // A NaN p makes every channel NaN: its quiet self; else a NaN is made.
    const float nan = nan_rule::is_nan(p) ? nan_rule::quiet(p) : nan_rule::kMadeNaN;
    for (std::size_t c = 0; c < 3; ++c) out[c] = nan_rule::is_nan(o[c]) ? nan : o[c];
}

struct ToneRun {
    [[gnu::always_inline]] static inline void run(const float* plane, float* output, std::size_t count,
                                                  const ToneSetup& u) noexcept {
        for (std::size_t i = 0; i < count; ++i) tone_pixel(plane[i], u, output + 3 * i);
    }
};

using ToneRuns = LoopVariants<ToneRun, const float*, float*, std::size_t, const ToneSetup&>;

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

KernelResult tone_print(const ImageView& plane, const Toner& toner) {
    if (plane.channels() != 1) {
        return shape_error("tone_print expects an (H, W, 1) print plane, got shape " + shape_text(plane.shape));
    }
    const std::string problem = toner_problem(toner);
    if (!problem.empty()) raise_internal_fault("tone_print: " + problem);
    if (!plane.is_c_contiguous()) raise_internal_fault("tone_print: img must be C-contiguous");
    ResultBuffer output(Shape3{plane.height(), plane.width(), 3});
    const float* source = plane.origin;
    float* target = output.data();
    const ToneSetup setup = tone_setup(toner);
    const auto run = ToneRuns::table.select(active_isa());
    parallel::for_each_range(plane.height() * plane.width(), [&](std::size_t begin, std::size_t end) {
        run(source + begin, target + 3 * begin, end - begin, setup);
    });
    return output;
}

}  // namespace ostrel
