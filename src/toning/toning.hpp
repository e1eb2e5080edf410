#pragma once
// Toning: a grey print (display-linear print tone, one channel) coloured into
// a linear RGB print of the same luminance, as a chemical toner colours the
// silver without moving its density.
//
// The toner is two tint colours, for the shadows (S) and the highlights (H),
// each a linear RGB triple of BT.709 luminance 1 and no negative component,
// the blend point k > 0 (the tone q = k / (1 + k) is half shadow, half
// highlight) and the strength s in [0, 1].
//
// Setup, once per call, in single precision:  D_c = H_c - S_c  (c = r, g, b)
//
// Per pixel, each step one single-precision IEEE operation in this order (no
// fused multiply-add), with p the grey print tone:
//
//   q = min(max(p, 0), 1)                 (the tone that picks the tint)
//   h = q / (q + k * (1 - q))             (0 in the blacks, 1 at paper white)
//   t_c = S_c + D_c * h                   (the tint of this tone)
//   m = max(t_r, t_g, t_b)
//   a = s, except where m > 1 and q > 0:  r = (1 - q) / (q * (m - 1));  a = min(s, r)
//                                         (the tint never pushes a channel past 1)
//   w_c = 1 + a * (t_c - 1)
//   out_c = p * w_c
//
// The tint and the weights w have BT.709 luminance 1, so the luminance of the
// output is p up to the rounding of these few steps; s = 0 gives w_c = 1
// exactly, R = G = B = p. A tone at or above paper white (q = 1) keeps r = 0:
// white stays neutral. Each output depends only on its own pixel and the
// parameters: the same bits for any thread count, instruction set and tiling.
//
// NaN (core/nan_rule.hpp): a NaN p comes out quiet in all three channels; a
// NaN the steps make (p = -inf times w_c = 0) is 0xFFC00000.
#include <array>
#include <string>

#include "core/image.hpp"

namespace ostrel {

struct Toner {
    std::array<float, 3> shadow{1.0f, 1.0f, 1.0f};
    std::array<float, 3> highlight{1.0f, 1.0f, 1.0f};
    float blend = 1.0f;     // k
    float strength = 0.0f;  // s
};

// The first condition the toner breaks, as a message naming it, or "" when
// it holds: every value finite, colour components >= 0, blend > 0,
// 0 <= strength <= 1.
std::string toner_problem(const Toner& toner);

// One output pixel, through the steps above (the scalar form of the kernel).
std::array<float, 3> toned_value(float p, const Toner& toner) noexcept;

// The toned RGB (H, W, 3) of a C-contiguous (H, W, 1) print plane. Another
// channel count is a kernel error; a view that is not C-contiguous, or a
// toner toner_problem refuses, is an internal fault.
KernelResult tone_print(const ImageView& plane, const Toner& toner);

// The same, ending in the sRGB encoding: the bits of encode_srgb of
// tone_print's result (encode/srgb_tile.hpp), in one pass.
KernelResult tone_print_encode(const ImageView& plane, const Toner& toner);

}  // namespace ostrel
