#pragma once
// Edge burning and dodging: scene-linear luminance times a gain that grows
// from 1 in the middle of the print to 2^stops at its corners, as a printer
// burns the edges under the enlarger. The gain depends only on a pixel's
// absolute coordinates and the whole image's size, so a block of a larger
// image (top, left into a full_height x full_width image) gets the bits the
// whole image gets there, at any resolution the same fraction of the print.
//
// Setup, once per call, in double precision and then rounded once to float:
//   inv_d = 1 / sqrt(W^2 + H^2)    (W, H: the full image's width and height)
//   lo = midpoint - feather / 2    inv_f = 1 / feather
//
// Per pixel, at absolute column x and row y, each step one single-precision
// IEEE operation in this order (no fused multiply-add):
//   X = 2x + 1 - W,  Y = 2y + 1 - H     (whole numbers, exact as floats)
//   u = X * inv_d,   v = Y * inv_d      (the pixel centre's distance from the
//                                        centre, as a share of the half diagonal)
//   r = sqrt(u * u + v * v)
//   t = (r - lo) * inv_f;  t = min(max(t, 0), 1)
//   e = (t * t) * (3 - 2 * t)           (smoothstep: 0 inside, 1 outside)
//   g = exp2(stops * e)                 (correctly rounded, core/cr_math.hpp)
//   out = lum * g
//
// So the effect is half its stops at r = midpoint and spreads over a band
// `feather` wide. NaN (core/nan_rule.hpp): a NaN input comes out quiet; g is
// finite and positive, so the steps make no NaN. The same bits for any
// thread count, instruction set and tiling.
#include <cstddef>
#include <string>

#include "core/image.hpp"

namespace ostrel {

struct Vignette {
    float stops = 0.0f;      // gain at the corners, in stops (negative burns)
    float midpoint = 0.75f;  // share of the half diagonal where the effect is half
    float feather = 0.5f;    // width of the transition, a share of the half diagonal
};

// Where the plane lies in the whole image.
struct Placement {
    std::size_t top = 0;
    std::size_t left = 0;
    std::size_t full_height = 0;  // 0: the plane's own height
    std::size_t full_width = 0;   // 0: the plane's own width
};

// The first condition broken, or "": stops finite, |stops| <= 16;
// midpoint finite in [0, 2]; feather finite in (0, 2].
std::string vignette_problem(const Vignette& vignette);

// The gain g at absolute pixel (y, x) of a full_height x full_width image.
float vignette_gain(std::size_t y, std::size_t x, std::size_t full_height, std::size_t full_width,
                    const Vignette& vignette) noexcept;

// The vignetted C-contiguous (H, W, 1) luminance plane. Another channel count,
// or a placement that does not hold the plane (or a full size of 2^23
// pixels or more), is a kernel error; a view that is not C-contiguous, or
// parameters vignette_problem refuses, are internal faults.
KernelResult vignette(const ImageView& lum, const Vignette& vignette, const Placement& placement = {});

}  // namespace ostrel
