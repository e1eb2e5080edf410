#pragma once
// RGB to luminance: the ITU-R coefficient table, the colour-filter
// transmission table and the three kernels that share one weighted sum.
#include <cstddef>
#include <cstdint>

#include "core/image.hpp"
#include "core/nan_rule.hpp"

namespace ostrel {

// The enumerations of the Python module, shared by the binding and the
// kernels. A Python member equals its code, so the codes are public and fixed;
// they are also the row indices of the tables.
enum class LuminanceStandard : std::uint8_t { Bt601 = 0, Bt709 = 1, Bt2020 = 2 };
enum class ColorFilter : std::uint8_t {
    NoFilter = 0,
    Yellow8K2 = 1,
    Orange21 = 2,
    Red25A = 3,
    Green11X1 = 4,
    Blue47C5 = 5,
};
inline constexpr std::uint8_t kStandardCount = 3;
inline constexpr std::uint8_t kFilterCount = 6;
static_assert(static_cast<std::uint8_t>(LuminanceStandard::Bt2020) + 1 == kStandardCount);
static_assert(static_cast<std::uint8_t>(ColorFilter::Blue47C5) + 1 == kFilterCount);

// The defaults of the `standard` and `filter` parameters.
inline constexpr LuminanceStandard kDefaultStandard = LuminanceStandard::Bt709;
inline constexpr ColorFilter kDefaultFilter = ColorFilter::NoFilter;

struct ChannelWeights {
    float red = 0.0f;
    float green = 0.0f;
    float blue = 0.0f;
};

// The standard's coefficient row; an out-of-range code is an internal fault.
ChannelWeights standard_weights(LuminanceStandard standard);
// Coefficient times transmission per channel, each rounded to float.
ChannelWeights filter_weights(ColorFilter filter, LuminanceStandard standard);

// The one pixel formula of all three kernels by the NaN rule
// (core/nan_rule.hpp): (R*wR + G*wG) + B*wB, every operation rounded to
// float, in this order, a pixel value before its weight.
inline float ruled_luminance(float red, float green, float blue, const ChannelWeights& w) noexcept {
    using nan_rule::add;
    using nan_rule::mul;
    return add(add(mul(red, w.red), mul(green, w.green)), mul(blue, w.blue));
}

// The same with plain operations, and the rule's NaN where the result is NaN.
inline float weighted_luminance(float red, float green, float blue, const ChannelWeights& w) noexcept {
    const float r = red * w.red;
    const float g = green * w.green;
    const float b = blue * w.blue;
    const float sum = (r + g) + b;
    return nan_rule::is_nan(sum) ? ruled_luminance(red, green, blue, w) : sum;
}

// The shared pixel loop with resolved weights: (H, W, 3) -> (H, W, 1),
// reading the view through its strides in place. A channel count other than
// 3 is a kernel error.
KernelResult mix_channels(const ImageView& rgb, const ChannelWeights& weights);

KernelResult luminance_bw(const ImageView& rgb, LuminanceStandard standard);
KernelResult color_filter_bw(const ImageView& rgb, ColorFilter filter, LuminanceStandard standard);
KernelResult channel_mixer_bw(const ImageView& rgb, float wr, float wg, float wb);

}  // namespace ostrel
