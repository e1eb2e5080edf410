#include "vignette/vignette.hpp"

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "core/aligned_buffer.hpp"
#include "core/cr_math.hpp"
#include "core/fault.hpp"
#include "core/float_format.hpp"
#include "core/isa_variants.hpp"
#include "core/nan_rule.hpp"
#include "parallel/parallel_for.hpp"

namespace ostrel {
namespace {

// Coordinates 2x + 1 - W are exact as floats below 2^24.
constexpr std::size_t kMaxSide = std::size_t{1} << 23;

struct VignetteSetup {
    float inv_d;
    float lo;
    float inv_f;
    float stops;
    float full_width;
    float full_height;
};

VignetteSetup vignette_setup(const Vignette& v, std::size_t full_height, std::size_t full_width) noexcept {
    const double w = static_cast<double>(full_width);
    const double h = static_cast<double>(full_height);
    const double diagonal = std::sqrt(w * w + h * h);
    return {static_cast<float>(diagonal > 0.0 ? 1.0 / diagonal : 0.0),
            static_cast<float>(static_cast<double>(v.midpoint) - static_cast<double>(v.feather) / 2.0),
            static_cast<float>(1.0 / static_cast<double>(v.feather)),
            v.stops,
            static_cast<float>(full_width),
            static_cast<float>(full_height)};
}

// The exponent stops * e of one pixel, its row's Y already scaled (v).
[[gnu::always_inline]] inline float exponent(float column, float v, const VignetteSetup& s) noexcept {
    const float x = ((2.0f * column) + 1.0f) - s.full_width;
    const float u = x * s.inv_d;
    const float r = std::sqrt((u * u) + (v * v));
    float t = (r - s.lo) * s.inv_f;
    t = t < 0.0f ? 0.0f : t;
    t = t > 1.0f ? 1.0f : t;
    const float e = (t * t) * (3.0f - (2.0f * t));
    return s.stops * e;
}

float row_v(std::size_t y, const VignetteSetup& s) noexcept {
    const float row = static_cast<float>(y);
    return (((2.0f * row) + 1.0f) - s.full_height) * s.inv_d;
}

struct ExponentRun {
    [[gnu::always_inline]] static inline void run(float first_column, float v, float* out, std::size_t count,
                                                  const VignetteSetup& s) noexcept {
        for (std::size_t i = 0; i < count; ++i) out[i] = exponent(first_column + static_cast<float>(i), v, s);
    }
};

struct ApplyRun {
    [[gnu::always_inline]] static inline void run(const float* lum, const float* gain, float* out,
                                                  std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const float l = lum[i];
            const float product = l * gain[i];
            out[i] = nan_rule::is_nan(l) ? nan_rule::quiet(l) : product;
        }
    }
};

using ExponentRuns = LoopVariants<ExponentRun, float, float, float*, std::size_t, const VignetteSetup&>;
using ApplyRuns = LoopVariants<ApplyRun, const float*, const float*, float*, std::size_t>;

}  // namespace

std::string vignette_problem(const Vignette& v) {
    if (!std::isfinite(v.stops) || std::fabs(v.stops) > 16.0f) {
        return "stops must be finite and at most 16 either way, got " + format_float32(v.stops);
    }
    if (!(v.midpoint >= 0.0f && v.midpoint <= 2.0f)) return "midpoint must be 0..2, got " + format_float32(v.midpoint);
    if (!(v.feather > 0.0f && v.feather <= 2.0f)) {
        return "feather must be above 0, up to 2, got " + format_float32(v.feather);
    }
    return {};
}

float vignette_gain(std::size_t y, std::size_t x, std::size_t full_height, std::size_t full_width,
                    const Vignette& vignette) noexcept {
    const VignetteSetup s = vignette_setup(vignette, full_height, full_width);
    return cr_exp2f(exponent(static_cast<float>(x), row_v(y, s), s));
}

KernelResult vignette(const ImageView& lum, const Vignette& v, const Placement& placement) {
    if (lum.channels() != 1) {
        return shape_error("vignette expects (H, W, 1) luminance input, got shape " + shape_text(lum.shape));
    }
    const std::size_t full_height = placement.full_height != 0 ? placement.full_height : lum.height();
    const std::size_t full_width = placement.full_width != 0 ? placement.full_width : lum.width();
    if (placement.top > full_height || full_height - placement.top < lum.height() || placement.left > full_width ||
        full_width - placement.left < lum.width()) {
        return shape_error("vignette: a plane of shape " + shape_text(lum.shape) + " at row " +
                           std::to_string(placement.top) + ", column " + std::to_string(placement.left) +
                           " does not fit a " + std::to_string(full_height) + " x " + std::to_string(full_width) +
                           " image");
    }
    if (full_height >= kMaxSide || full_width >= kMaxSide) {
        return shape_error("vignette: images of 2^23 pixels or more on a side are not supported");
    }
    const std::string problem = vignette_problem(v);
    if (!problem.empty()) raise_internal_fault("vignette: " + problem);
    if (!lum.is_c_contiguous()) raise_internal_fault("vignette: img must be C-contiguous");
    ResultBuffer output(lum.shape);
    const std::size_t height = lum.height();
    const std::size_t width = lum.width();
    const VignetteSetup setup = vignette_setup(v, full_height, full_width);
    const auto exponents = ExponentRuns::table.select(active_isa());
    const auto apply = ApplyRuns::table.select(active_isa());
    const float* source = lum.origin;
    float* target = output.data();
    parallel::for_each_block(
        height, width, [&](std::size_t row_begin, std::size_t row_end, std::size_t col_begin, std::size_t col_end) {
            const std::size_t count = col_end - col_begin;
            AlignedBuffer<float> gain(count);
            for (std::size_t y = row_begin; y < row_end; ++y) {
                const float v_row = row_v(placement.top + y, setup);
                exponents(static_cast<float>(placement.left + col_begin), v_row, gain.data(), count, setup);
                cr_exp2f_batch(gain.data(), gain.data(), count);
                const std::size_t offset = y * width + col_begin;
                apply(source + offset, gain.data(), target + offset, count);
            }
        });
    return output;
}

}  // namespace ostrel
