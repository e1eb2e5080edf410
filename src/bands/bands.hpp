#pragma once
// Colour bands: the grey print's luminance lightened or darkened by the hue of
// each pixel, in eight overlapping bands, as a photographer mixes colours into
// grey (a red dress lighter, a blue sky darker) after the luminance step.
//
// out = lum * 2^o, o a per-pixel offset in stops read from the scene-linear
// RGB. The operation order, with r, g, b the pixel's linear values and every
// step one IEEE operation in the order written (no fused multiply-add):
//
// 1. Analysis, single precision, per pixel:
//      r' = sqrt(r > 0 ? r : 0), likewise g', b'   (a NaN counts as 0)
//      M = max(r', g', b'), m = min(r', g', b'), C = M - m
//      S = C / max(M, kSaturationFloor)            (chroma relative to the
//                                                   pixel's brightness, with a
//                                                   floor near black)
//      t = (S - low) * inv_range, clamped to [0, 1] (a NaN gives 0), with
//      inv_range = 1 / (high - low) rounded once from double
//      w = (t * t) * (3 - 2 * t)                   (chroma weight; 0 exactly
//                                                   at S <= low)
//    The square roots make the hue that of a colour encoded with gamma 2,
//    within a few degrees of the sRGB-encoded colour's hue (an sRGB orange
//    255,128,0 lands at 28 degrees, a ColorChecker blue sky at 216), and
//    independent of exposure. The HSV hexcone hue in sixths of a turn,
//    h = n / C + base, then h < 0 ? h + 6 : h, where
//      M == r': n = g' - b', base = 0
//      M == g': n = b' - r', base = 2
//      else   : n = r' - g', base = 4
//    The band centres, in sixths: red 0, orange 0.5, yellow 1, green 2,
//    aqua 3, blue 4, purple 4.5, magenta 5.25 (315 degrees), red again at 6.
//    For h in [c_k, c_k+1) (the last segment runs to 6 inclusive):
//      u = (h - c_k) * inv_k clamped to [0, 1], inv_k = 1 / (c_k+1 - c_k)
//      s = (u * u) * (3 - 2 * u)
//      band = o_k + d_k * s,  d_k = o_k+1 - o_k     (raised smoothstep
//                                                   windows: the weights of
//                                                   the two neighbours sum to
//                                                   1, so equal offsets give
//                                                   band = o_k exactly)
//      gate = w > 0 and (|r| + |g|) + |b| <= FLT_MAX (no NaN, no infinity)
//      raw = gate ? w * band : 0
//    Q = nearbyint(raw * 2^16), a whole number of 2^-16 stops.
//
// 2. Edge-aware smoothing: the self-guided filter of He, Sun and Tang on Q
//    with windows of (2 radius + 1)^2 pixels clipped at the border, in exact
//    integer sums, so that no bit depends on where a window starts (a tile
//    of the image with a halo of 2 radius gets the whole image's bits).
//    Per pixel, with n the window's pixel count, S1 and S2 the int64 sums of
//    Q and Q * Q over it, in double precision:
//      mean = S1 / n, var = S2 / n - mean * mean, var = var > 0 ? var : 0
//      a = var / (var + eps * 2^32),  b = mean - a * mean
//      A = nearbyint(a * 2^20), B = nearbyint(b)    (int32)
//    then, with SA and SB the int64 sums of A and B over the same window:
//      q = ((SA / n) * 2^-20) * Q + SB / n,  o = float(q * 2^-16)
//    radius 0 leaves the filter out: o = float(Q * 2^-16).
//    A plane of one value comes out as that value, exact zeros as zeros.
//
// 3. o = gate ? o : 0 (a pixel of chroma weight 0 is left exactly as it was),
//    g = exp2(o) (correctly rounded, core/cr_math.hpp), out = lum * g.
//
// NaN (core/nan_rule.hpp): a NaN luminance comes out quiet; a pixel whose RGB
// is NaN or infinite has weight 0 and keeps its luminance. The same bits for
// any thread count, instruction set and tiling.
#include <array>
#include <cstdint>
#include <string>

#include "core/image.hpp"

namespace ostrel {

inline constexpr std::size_t kBandCount = 8;
// Brightness (in the square-rooted values: linear 0.04) below which chroma
// counts against the floor, so that noise near black stays neutral.
inline constexpr float kSaturationFloor = 0.2f;
inline constexpr std::uint32_t kMaxBandsRadius = 2048;

struct Bands {
    // Stops for red, orange, yellow, green, aqua, blue, purple, magenta.
    std::array<float, kBandCount> offsets{};
    std::uint32_t radius = 0;  // smoothing radius in pixels (0: none)
    float eps = 0.1f;          // the filter's edge threshold, stops^2
    float low = 0.05f;         // saturation at which the weight starts to rise
    float high = 0.25f;        // saturation of full weight
};

// The first condition broken, or "": offsets finite, |offset| <= 4; radius
// <= 2048; eps finite, 0 < eps <= 16; 0 <= low < high <= 1.
std::string bands_problem(const Bands& bands);

// The offset map o of step 3 (before exp2) as an (H, W, 1) plane, for tests.
KernelResult band_offsets(const ImageView& rgb, const Bands& bands);

// The mixed C-contiguous (H, W, 1) luminance of the C-contiguous (H, W, 3)
// RGB and its (H, W, 1) luminance. Other channel counts or sizes that
// differ are kernel errors; a view that is not C-contiguous, or parameters
// bands_problem refuses, are internal faults.
KernelResult bands(const ImageView& rgb, const ImageView& lum, const Bands& bands);

}  // namespace ostrel
