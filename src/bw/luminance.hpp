#pragma once
// RGB to luminance: the ITU-R coefficient table, the colour-filter
// transmission table and the three kernels that share one weighted sum.
#include <cstddef>
#include <cstdint>

#include "core/image.hpp"

namespace ostrel {

// Codes of the LuminanceStandard and ColorFilter members: the row indices
// of the tables.
inline constexpr std::uint8_t kStandardCount = 3;  // Bt601, Bt709, Bt2020
inline constexpr std::uint8_t kFilterCount = 6;    // NoFilter .. Blue47C5

struct ChannelWeights {
    float red = 0.0f;
    float green = 0.0f;
    float blue = 0.0f;
};

// The standard's coefficient row; an out-of-range code is an internal fault.
ChannelWeights standard_weights(std::uint8_t standard);
// Coefficient times transmission per channel, each rounded to float.
ChannelWeights filter_weights(std::uint8_t filter, std::uint8_t standard);

// The one pixel formula of all three kernels: (R*wR + G*wG) + B*wB, every
// operation rounded to float, in this order.
inline float weighted_luminance(float red, float green, float blue, const ChannelWeights& w) noexcept {
    const float r = red * w.red;
    const float g = green * w.green;
    const float b = blue * w.blue;
    return (r + g) + b;
}

// The shared pixel loop with resolved weights: (H, W, 3) -> (H, W, 1),
// reading the view through its strides in place. A channel count other than
// 3 is a kernel error.
KernelResult mix_channels(const ImageView& rgb, const ChannelWeights& weights);

KernelResult luminance_bw(const ImageView& rgb, std::uint8_t standard);
KernelResult color_filter_bw(const ImageView& rgb, std::uint8_t filter, std::uint8_t standard);
KernelResult channel_mixer_bw(const ImageView& rgb, float wr, float wg, float wb);

}  // namespace ostrel
