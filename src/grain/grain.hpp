#pragma once
// Film grain at the scale of the film: the silver's density fluctuation of a
// film of diffuse RMS granularity G (Kodak's figure: 1000 x the standard
// deviation of density through a 48 um circular aperture), laid over the
// print where its pixels, `pitch_um` micrometres of film each, fall. The
// noise is a function of a pixel's absolute coordinates and the seed, so a
// block of a larger image (top, left into a full_height x full_width image)
// gets the whole image's bits there, and its neighbours' noise is computed
// from their coordinates rather than read from a halo.
//
// The model. Selwyn's law (sigma * sqrt(aperture area) = const) holds for a
// field of white density noise of Selwyn constant S: a pixel of area pitch^2
// averages it to a standard deviation S / pitch. That field is then blurred
// by a normalised Gaussian of kClumpMicrons (the silver's clumps), so at a
// pitch finer than the clumps the grain is resolved as correlated blobs of
// bounded contrast (the pixel's effective area never falls below the clump's,
// about 4 pi kClumpMicrons^2), and an average over any aperture much larger
// than a clump keeps Selwyn's sigma: the same photo at 6 and at 24 MP has the
// same grain at print size. A 48 um aperture is not yet much larger: it keeps
// kClumpShareAt48 of the white field's variance, so S = G/1000 * sqrt(A48 /
// kClumpShareAt48), A48 = pi * 24^2 um^2, and the film's own measurement,
// the blurred field through a 48 um circle, gives G back. The fluctuation's amplitude follows the binomial law of a
// developed crystal count, sqrt(w (1 - w)) of the print value w: none at paper white and black, the most in the
// mid-tones, where (at w = 1/2) it is the film's G. Density turns into print value by the slope of the sRGB encoding of
// p = 10^-D at the mid-tone, |dv/dD| = ln(10) / 2.4 * (0.5 + 0.055).
//
// Setup, once per call, in double precision, each result rounded once to
// float where it is stored as one:
//   sigma = kClumpMicrons / pitch_um                    (blur, in pixels)
//   R = min(kMaxGrainRadius, floor(3 sigma + 0.5))      (taps either side)
//   t_k = float(-(k^2) / (2 sigma^2) * log2(e)), e_k = exp2(t_k) for |k| <= R
//                                  (exp2 correctly rounded, core/cr_math.hpp)
//   c_k = float(e_k / (sum of e_j, j = -R..R in order))
//   amp = float(strength * (G / 1000 * sqrt(pi * 24^2) / sqrt(kClumpShareAt48)) / pitch_um
//               * (ln(10) / 2.4 * 0.555) * 2 * sqrt(3 / (65536^2 - 1)))
//
// The noise at absolute row Y and column X (any integers: the field runs on
// past the image's edges, which is where the blur of its border reads), in
// 64- and 32-bit unsigned integer arithmetic, wrapping:
//   base = splitmix64(seed),  r1 = splitmix64(base ^ Y),  r2 = splitmix64(r1)
//   ka, kb = the low and high halves of r1,  kc = the low half of r2
//   h1 = mix32(mix32(X ^ ka) + kb),  h2 = mix32(h1 ^ kc)
//   n = float(lo16(h1) + hi16(h1) + lo16(h2) + hi16(h2) - 131070)
// (mix32: x ^= x >> 16; x *= 0x7FEB352D; x ^= x >> 15; x *= 0x846CA68B;
// x ^= x >> 16.) n is a whole number, exact as a float; the sum of four
// uniforms is near normal, of variance (65536^2 - 1) / 3, which amp undoes.
//
// Per pixel, each step one single-precision IEEE operation in this order (no
// fused multiply-add), sums over k = -R..R in that order:
//   h(Y, X) = sum c_k * n(Y, X + k)     (first term c_-R * n(Y, X - R))
//   b(Y, X) = sum c_k * h(Y + k, X)
//   v = the sRGB encoding of the print p (encode/srgb_tile.hpp, the bits of
//       encode_srgb)
//   w = v > 0 ? v : 0;  w = w < W ? w : W
//   s = sqrt(w * (W - w))
// (W = 1.055f + -0.055f, paper white's encoding, the float below 1: the print
// of p = 1 gets no grain.)
//   d = (amp * b) * s
// grain_encode (the untoned print, ending in the encoding):
//   out = d == 0 ? v : v + d
// grain (display-linear, for the toner): the grained value decoded,
//   g = v + d;  u = (g - -0.055) / 1.055
//   out = d == 0 ? p : (g <= 0.04045 ? g / 12.92 : (u * u) * u^0.4)
// (u^0.4 correctly rounded, core/cr_math.hpp; 1.055, -0.055 and 12.92 the
// encoding's own floats), so that encoding it again gives g back to within
// a few units in the last place.
//
// So paper white and black (and anything beyond them, and infinities), and
// any print at strength 0, come out as they went in, bit for bit. Nothing is
// clamped: the writer clips as it does every print. NaN (core/nan_rule.hpp): a NaN print comes out quiet;
// the steps make no NaN of numbers. The same bits for any thread count,
// instruction set and tiling.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/image.hpp"
#include "vignette/vignette.hpp"

namespace ostrel {

// The blur of the silver's clumps, a Gaussian's standard deviation on the film.
inline constexpr double kClumpMicrons = 4.0;
// The share of white noise's variance that its average over a 48 um circle
// keeps once blurred by the clumps: the mean overlap of two such circles a
// distance apart distributed as the difference of two clump offsets (a 2-D
// Gaussian of kClumpMicrons * sqrt(2)), by quadrature.
inline constexpr double kClumpShareAt48 = 0.8132569077652154;
// Taps of the blur either side, at most: a film pitch finer than about
// kClumpMicrons / 2.7 um blurs a little less than its clumps.
inline constexpr std::size_t kMaxGrainRadius = 8;

struct Grain {
    float strength = 0.0f;      // times the film's granularity
    float granularity = 12.0f;  // diffuse RMS granularity G
    float pitch_um = 10.0f;     // film micrometres per pixel
    std::uint32_t seed = 0;
};

// The first condition broken, or "": strength finite in [0, 16];
// granularity finite in [0, 100]; pitch_um finite in [0.01, 100000].
std::string grain_problem(const Grain& grain);

// The raw noise n at absolute row y, column x.
float grain_noise(std::uint32_t seed, std::int64_t y, std::int64_t x) noexcept;

// The blur's taps either side (R) and its weights c_-R..c_R, and amp.
struct GrainSetup {
    std::size_t radius = 0;
    float weights[2 * kMaxGrainRadius + 1] = {};
    float amp = 0.0f;
};
GrainSetup grain_setup(const Grain& grain) noexcept;

// The grained print of a C-contiguous (H, W, 1) display-linear print plane:
// grain keeps it display-linear, grain_encode ends in the sRGB encoding.
// Another channel count, or a placement that does not hold the plane (or a
// full size of 2^31 pixels or more), is a kernel error; a view that is not
// C-contiguous, or parameters grain_problem refuses, are internal faults.
KernelResult grain(const ImageView& print, const Grain& grain, const Placement& placement = {});
KernelResult grain_encode(const ImageView& print, const Grain& grain, const Placement& placement = {});

}  // namespace ostrel
