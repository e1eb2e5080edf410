#pragma once
// The print stage: scene luminance to print tone. A detail limiter first
// (when the plane after local contrast is given), then the paper curve: a toe
// into paper black, identity through the midtones, a shoulder into paper
// white.
//
// Setup, once per call, in single precision:
//   toe_len = toe_end - black          toe_gm1 = toe_gain - 1
//   shoulder_len = white - shoulder_start
//   shoulder_gm1 = shoulder_gain - 1   shoulder_room = 1 - shoulder_start
//
// Per pixel, each step one single-precision IEEE operation in this order (no
// fused multiply-add), with b the base value and y the value the curve reads:
//
//   y = b, or with the detailed plane (value e):
//     d = e - b
//     d > 0:  h = (white - b) * room;  d = h > 0 ? (d * h) / (h + d) : 0   (d = +inf: d = h)
//     d < 0:  f = (b - black) * room;  d = f > 0 ? (d * f) / (f - d) : 0   (d = -inf: d = -f)
//     y = b + d
//   the paper curve:
//     y <= black:           p = 0
//     y <  toe_end:         v = (y - black) / toe_len;  u = 1 - v
//                           q = v / ((u * toe_gm1) + 1);  p = toe_end * q
//                           (1 - g of the shoulder's g = u k / (u (k - 1) + 1), without
//                           the cancellation: the toe is monotone and never below 0)
//     y <= shoulder_start:  p = y   (the input's bits)
//     y <  white:           u = (y - shoulder_start) / shoulder_len
//                           g = (u * shoulder_gain) / ((u * shoulder_gm1) + 1)
//                           p = shoulder_start + shoulder_room * g;  p = min(p, 1)
//     otherwise:            p = 1
//
// NaN (core/nan_rule.hpp): a NaN base value comes out quiet; else a NaN
// detailed value comes out quiet (the order in which they reach the output:
// y = b + d); else a NaN the steps make (e - b and b + d of infinities of one
// sign, inf / inf of overflowing products) is 0xFFC00000. So y = +inf gives
// 1 and y = -inf gives 0, but an infinite base value with the detailed
// plane gives 0xFFC00000 (b + d is inf - inf).
//
// Every output depends only on its own inputs: the same bits for any thread
// count and instruction set.
#include <string>

#include "core/image.hpp"

namespace ostrel {

// The curve's parameters, in the order of the Python signature.
struct PrintCurve {
    float black = 0.0f;
    float toe_end = 0.0f;
    float toe_gain = 1.0f;
    float shoulder_start = 1.0f;
    float shoulder_gain = 1.0f;
    float white = 1.0f;
    float room = 1.0f;  // the share of the way to white (or black) that detail may close
};

// The first condition the parameters break, as a message naming the
// parameter ("toe_gain must be positive, got -1"), or "" when they hold:
// all finite; black <= toe_end <= shoulder_start < white;
// shoulder_start < 1; toe_gain > 0; shoulder_gain > 0; 0 < room <= 1. The one exception is
// shoulder_start = white = 1 (the defaults): the curve without a shoulder,
// the identity up to 1 and 1 above (its empty shoulder is never computed).
// An empty toe (black = toe_end) is allowed: the curve clips at black.
std::string print_curve_problem(const PrintCurve& curve);

// One output value, through the steps above (the scalar form of the kernel).
float print_value(float base, const PrintCurve& curve) noexcept;
float print_value(float base, float detailed, const PrintCurve& curve) noexcept;

// The print stage of a C-contiguous (H, W, 1) plane, without and with the
// detailed plane (which must have the base plane's shape). Another channel
// count or shape is a kernel error; a view that is not C-contiguous, or
// parameters print_curve_problem refuses, are internal faults.
KernelResult print_stage(const ImageView& base, const PrintCurve& curve);
KernelResult print_stage(const ImageView& base, const ImageView& detailed, const PrintCurve& curve);

// The same, ending in the sRGB encoding: the bits of encode_srgb applied to
// print_stage's result, in one pass over the planes.
KernelResult print_encode(const ImageView& base, const PrintCurve& curve);
KernelResult print_encode(const ImageView& base, const ImageView& detailed, const PrintCurve& curve);

}  // namespace ostrel
