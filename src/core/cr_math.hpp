#pragma once
// Correctly rounded single-precision logf, expf, exp2f and powf.
//
// Every function returns the float nearest to the exact mathematical value
// (ties to even) for every float input, so results are identical on every
// machine and on every instruction set (scalar, SSE2, AVX2, AVX-512, NEON).
// The values are computed in double precision (table + polynomial, relative error below
// 2^-50); the rare inputs whose double result lies too close to a rounding
// boundary for the error bound (fewer than one in a million) are recomputed
// in double-double arithmetic. Nothing depends on the platform's libm.
//
// Special values follow C's logf/expf/exp2f/powf (Annex F). Denormal inputs and
// results are exact; the code assumes the default floating-point environment
// (round to nearest, no flush-to-zero), which is what every thread starts with.
#include <cstddef>
#include <cstdint>

#include "core/isa.hpp"

namespace ostrel {

float cr_logf(float x) noexcept;
float cr_expf(float x) noexcept;
float cr_exp2f(float x) noexcept;
float cr_powf(float x, float y) noexcept;

// out[i] = f(in[i]) for i < n. `in` and `out` may be the same array but must not
// otherwise overlap. The overloads without an instruction set use
// active_isa(); a set that is not supported here falls back along its chain
// (isa_fallback). Every set gives the same bits.
void cr_logf_batch(const float* in, float* out, std::size_t n) noexcept;
void cr_expf_batch(const float* in, float* out, std::size_t n) noexcept;
void cr_exp2f_batch(const float* in, float* out, std::size_t n) noexcept;
void cr_powf_batch(const float* in, float y, float* out, std::size_t n) noexcept;

void cr_logf_batch(const float* in, float* out, std::size_t n, Isa isa) noexcept;
void cr_expf_batch(const float* in, float* out, std::size_t n, Isa isa) noexcept;
void cr_exp2f_batch(const float* in, float* out, std::size_t n, Isa isa) noexcept;
void cr_powf_batch(const float* in, float y, float* out, std::size_t n, Isa isa) noexcept;

// powf(x, y) for many x and one exponent y with 0 < y < 1, from tables made
// once for that y: x = 2^e * c * (1 + r) gives x^y = 2^(e*y) * c^y * (1 + r)^y,
// two table reads and a short binomial series instead of a logarithm and an
// exponential. Same correctly rounded results as cr_powf.
struct PowfTable {
    static constexpr int kScaleBias = 150;  // scale[e + kScaleBias] = 2^(e*y)
    float y = 0.0f;
    bool usable = false;            // false when y is outside (0, 1)
    std::uint64_t scale[280] = {};  // double bits
    double pairs[256] = {};         // per reduction interval: 1/c (29 bits), c^y
    double series[6] = {};          // binomial coefficients C(y, k), k = 1..6
};

// The tables for y (a fraction of a millisecond). For y outside (0, 1) the
// result is marked unusable and the batch below uses the general power.
PowfTable make_powf_table(float y) noexcept;

void cr_powf_batch(const float* in, const PowfTable& table, float* out, std::size_t n) noexcept;
void cr_powf_batch(const float* in, const PowfTable& table, float* out, std::size_t n, Isa isa) noexcept;

namespace cr_math_detail {

// The batch functions of one instruction set: the entries of the dispatch
// table (scalar and SSE2 in cr_math.cpp, AVX2 and AVX-512 in the files
// compiled for them).
struct BatchTable {
    void (*logf)(const float* in, float* out, std::size_t n);
    void (*expf)(const float* in, float* out, std::size_t n);
    void (*exp2f)(const float* in, float* out, std::size_t n);
    void (*powf)(const float* in, float y, float* out, std::size_t n);
    void (*powf_table)(const float* in, const PowfTable& table, float* out, std::size_t n);
};

// The double-precision approximation behind each function and whether the
// result had to be recomputed by the slow path. For the accuracy sweep: it
// measures how much room the rounding test leaves. Special inputs report
// the special result and slow = false.
struct Approx {
    double value;
    bool slow;
};
Approx logf_approx(float x) noexcept;
Approx expf_approx(float x) noexcept;
Approx exp2f_approx(float x) noexcept;
Approx powf_approx(float x, float y) noexcept;
// The table kernel of a usable PowfTable; `slow` marks the lanes that the
// batch hands to cr_powf.
Approx powf_table_approx(float x, const PowfTable& table) noexcept;

}  // namespace cr_math_detail

}  // namespace ostrel
