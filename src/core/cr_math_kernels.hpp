#pragma once
// The double-precision fast paths of cr_math, written once over a "pack" P of
// lanes: P = one double (scalar), two (SSE2, NEON), four (AVX2) or eight
// (AVX-512).
// Every lane goes through the same IEEE operations in the same order whatever
// P is, which is what makes all paths bit-identical.
//
// A pack provides: width; types D (doubles), U (their 64-bit patterns, with
// the ordinary integer operators) and M (lane masks); load_f/store_f
// (float <-> double), splat, as_u/as_d, gather_u, gather_pair (entries 2i and
// 2i+1 of a table), min/max, abs, and_d, lt/gt/eq, m_and/m_or/m_not, select,
// mask_bits and near_midpoint (see Kernels::ambiguous).
//
// Everything here has internal linkage: the baseline (scalar, SSE2), AVX2 and
// AVX-512 translation units compile it with different target flags, so no
// copy may be shared.
#include <cstddef>
#include <cstdint>

#include "core/cr_math.hpp"
#include "core/cr_math_tables.hpp"

namespace ostrel::crmath {
namespace {

// Adding then subtracting 1.5 * 2^52 rounds a double below 2^51 in magnitude
// to an integer (ties to even); the bits of the sum hold that integer in their
// low part.
constexpr double kShift = 0x1.8p52;

// Inputs beyond these give 0 or +inf (or are special); clamping keeps the
// scale construction in range and still rounds to the right result.
constexpr double kExpLow = -110.0;  // e^-110 < 2^-158
constexpr double kExpHigh = 89.0;   // e^89 > 2^128
constexpr double kExp2Low = -151.0;
constexpr double kExp2High = 129.0;
// powf's fast path covers 2^t for t in this range; beyond it the result is
// 0 or +inf and the scalar code returns it directly.
constexpr double kPowLow = -155.0;
constexpr double kPowHigh = 130.0;

// 1/k! for the exponential, (-1)^(k+1)/k for log1p.
constexpr double kE2 = 0.5;
constexpr double kE3 = 0x1.5555555555555p-3;
constexpr double kE4 = 0x1.5555555555555p-5;
constexpr double kE5 = 0x1.1111111111111p-7;
constexpr double kL2 = -0.5;
constexpr double kL3 = 0x1.5555555555555p-2;
constexpr double kL4 = -0.25;
constexpr double kL5 = 0x1.999999999999ap-3;
constexpr double kL6 = -0x1.5555555555555p-3;
constexpr double kL7 = 0x1.2492492492492p-3;

constexpr std::uint64_t kLogOffset = 0x3FE6600000000000ull;  // 0x1.66p-1, lower end of z
constexpr std::uint64_t kTopMask = 0xFFF0000000000000ull;
constexpr std::uint64_t kExponentBits = 0x7FF0000000000000ull;
constexpr std::uint64_t kMantissaBits = 0x000FFFFFFFFFFFFFull;

template <class P>
struct Kernels {
    using D = typename P::D;
    using U = typename P::U;
    using M = typename P::M;

    // scale(k) * e^r with k = 64*m + j taken from the low bits of ki (a
    // kShift-biased double), scale = 2^m * 2^(j/64), |r| <= ln2/128.
    static inline D exp_finish(U ki, D r) {
        const U index = ki & 63u;
        const U scale_bits = P::gather_u(kExp2Table, index) + (ki << 46);
        const D scale = P::as_d(scale_bits);
        const D r2 = r * r;
        const D p = r + r2 * ((r * kE3 + kE2) + r2 * (r * kE5 + kE4));
        return scale + scale * p;
    }

    // e^x for x in [kExpLow, kExpHigh].
    static inline D exp_approx(D x) {
        D k = x * kInvLn2x64 + kShift;
        const U ki = P::as_u(k);
        k = k - kShift;
        // x - k*hi is exact (hi has 39 bits, |k| < 2^14, |x - k*hi| < 2^-7).
        const D r = (x - k * kLn2By64Hi) - k * kLn2By64Lo;
        return exp_finish(ki, r);
    }

    // 2^x for x in [kExp2Low, kExp2High].
    static inline D exp2_approx(D x) {
        D k = x * 64.0 + kShift;
        const U ki = P::as_u(k);
        k = k - kShift;
        const D r = (x - k * 0x1p-6) * kLn2;  // x - k/64 is exact
        return exp_finish(ki, r);
    }

    // x = 2^e * z with z in [0x1.66p-1, 0x1.66p0): returns e (as a double) and
    // ln(z). x must be a positive finite float widened to double.
    static inline void log_parts(D x, D& e, D& ln_z) {
        const U ix = P::as_u(x);
        const U tmp = ix - kLogOffset;
        const U index = (tmp >> 45) & 127u;
        const D z = P::as_d(ix - (tmp & kTopMask));
        // (tmp >> 52) is e modulo 2^12; flipping its top bit biases it by 2048.
        e = P::as_d(((tmp >> 52) ^ 0x800u) | 0x4330000000000000ull) - (0x1p52 + 2048.0);
        D invc;
        D logc;
        P::gather_pair(kLogTable, index, invc, logc);
        // z has 24 significant bits and invc 29, so the product is exact, and
        // so is the subtraction (the product lies within 1% of 1).
        const D r = z * invc - 1.0;
        const D r2 = r * r;
        const D r4 = r2 * r2;
        const D q = ((r * kL3 + kL2) + r2 * (r * kL5 + kL4)) + r4 * (r * kL7 + kL6);
        ln_z = logc + (r + r2 * q);
    }

    // ln(x) for a positive finite x.
    static inline D log_approx(D x) {
        D e;
        D ln_z;
        log_parts(x, e, ln_z);
        // Near 1 (e = 0 and logc = 0) this is exactly ln_z, which keeps its
        // full relative accuracy there.
        return (e * kLn2Hi + ln_z) + e * kLn2Lo;
    }

    // x^y = 2^(y*e + y*log2(z)) for a positive finite x and a finite y with
    // |y| < 2^31. The integer part of y*e is split off exactly so that the
    // fraction s carries full precision. `t` receives an estimate of the
    // exponent y*log2(x), to test the range.
    static inline D pow_approx(D x, D y, D& t) {
        D e;
        D ln_z;
        log_parts(x, e, ln_z);
        // Everything below is in units of 1/64 (scalings by 64 are exact):
        // s64 = 64 * (y*e - n + y*log2(z)).
        const D ye = y * e;                  // exact: 24 bits times 9 bits
        const D n = (ye + kShift) - kShift;  // nearest integer, exact
        const D s64 = (ye - n) * 64.0 + y * (ln_z * kInvLn2x64);
        t = n + s64 * 0x1p-6;
        D k = s64 + kShift;
        const U ki_fraction = P::as_u(k);
        k = k - kShift;
        const D r = (s64 - k) * kLn2By64;  // s64 - k is exact
        const U ki = ki_fraction + P::as_u(n * 64.0 + kShift) - P::as_u(P::splat(kShift));
        return exp_finish(ki, r);
    }

    // x^y from the tables of one y in (0, 1) (PowfTable): x = 2^e * z as in
    // log_parts, z = c * (1 + r) with the same exact reduction, then
    // 2^(e*y) * c^y * (1 + r)^y with the binomial series to r^6
    // (|r| < 0.004, so the series error is below 2^-58). x must be a positive
    // finite float widened to double.
    static inline D pow_table_approx(D x, const std::uint64_t* scale, const double* pairs, const double* series) {
        const U ix = P::as_u(x);
        const U tmp = ix - kLogOffset;
        const U index = (tmp >> 45) & 127u;
        const D z = P::as_d(ix - (tmp & kTopMask));
        // (tmp >> 52) is e modulo 2^12; e lies in [-149, 128].
        const U exponent_index = ((tmp >> 52) + 150u) & 0xFFFu;
        D invc;
        D c_pow;
        P::gather_pair(pairs, index, invc, c_pow);
        const D r = z * invc - 1.0;  // exact, as in log_parts
        D q = r * series[5] + series[4];
        q = r * q + series[3];
        q = r * q + series[2];
        q = r * q + series[1];
        q = r * q + series[0];
        const D binomial = 1.0 + r * q;
        return (P::as_d(P::gather_u(scale, exponent_index)) * c_pow) * binomial;
    }

    // Lanes whose double result r lies within `units` units in the last place
    // (of r's own binade) of a point where the rounding to float changes.
    // Those points are the midpoints between floats: in a double of a normal
    // float's range they are the values whose 29 bits below float precision
    // read 0x10000000 (the point between FLT_MAX and 2^128 included). Below
    // 2^-126, where floats are spaced 2^-149 apart, r + 2^-126 lies on the same
    // grid and in one binade. `units` covers the error of r with room to spare.
    static inline M ambiguous(D r, std::uint64_t units) {
        const D a = P::abs(r);
        const D check = P::select(P::lt(a, P::splat(0x1p-126)), a + 0x1p-126, a);
        return P::near_midpoint(check, units);
    }
};

// The fast paths stay below 2^-50 relative error (the sweep measures it); a
// relative error e is at most e * 2^53 units in the last place of a double.
constexpr std::uint64_t kToleranceUnits = 64;  // 2^-47 relative

// powf's error bound grows with |y| (the error of log2(z) times y) and with
// |s| <= 0.5 + 0.53 |y| (the precision of the fraction s of the exponent).
inline std::uint64_t pow_tolerance_units(double y) {
    const double ay = y < 0.0 ? -y : y;
    const double relative = (ay * 0x1p-50 + (ay * 0.53 + 0.5) * 0x1p-51) + 0x1p-47;
    const double units = relative * 0x1p53 + 1.0;
    // From 2^28 units on every result counts as ambiguous (the slow path decides).
    return units < 0x1p28 ? static_cast<std::uint64_t>(units) : std::uint64_t{1} << 28;
}

// Runs a fast kernel over whole packs and hands the lanes it flags (special
// inputs, ambiguous results) to the scalar function, which is the reference
// for every path. `block(x, fix)` returns the double results of a pack and
// sets `fix`. The input pack is read before anything is stored, so `in` may
// equal `out`.
template <class P, class Block, class Scalar>
inline void run_batch(const float* in, float* out, std::size_t n, Block block, Scalar scalar) {
    constexpr std::size_t width = P::width;
    std::size_t i = 0;
    for (; i + width <= n; i += width) {
        typename P::M fix;
        const typename P::D r = block(P::load_f(in + i), fix);
        const int lanes = P::mask_bits(fix);
        if (lanes == 0) {
            P::store_f(out + i, r);
            continue;
        }
        float source[width];
        float result[width];
        for (std::size_t l = 0; l < width; ++l) source[l] = in[i + l];
        P::store_f(result, r);
        for (std::size_t l = 0; l < width; ++l) {
            if ((lanes >> l) & 1) result[l] = scalar(source[l]);
        }
        for (std::size_t l = 0; l < width; ++l) out[i + l] = result[l];
    }
    for (; i < n; ++i) out[i] = scalar(in[i]);
}

// The batch blocks of the four functions.
template <class P>
struct Blocks {
    using D = typename P::D;
    using M = typename P::M;
    using K = Kernels<P>;

    static inline D exp(D x, M& fix) {
        const D clamped = P::min(P::max(x, P::splat(kExpLow)), P::splat(kExpHigh));
        const D r = K::exp_approx(clamped);
        fix = P::m_or(P::m_not(P::eq(x, x)), K::ambiguous(r, kToleranceUnits));
        return r;
    }

    static inline D exp2(D x, M& fix) {
        const D clamped = P::min(P::max(x, P::splat(kExp2Low)), P::splat(kExp2High));
        const D r = K::exp2_approx(clamped);
        fix = P::m_or(P::m_not(P::eq(x, x)), K::ambiguous(r, kToleranceUnits));
        return r;
    }

    static inline D log(D x, M& fix) {
        // Zero, negatives, +inf and NaN go to the scalar code.
        const M ordinary = P::m_and(P::gt(x, P::splat(0.0)), P::lt(x, P::splat(0x1p128)));
        const D r = K::log_approx(P::select(ordinary, x, P::splat(1.0)));
        fix = P::m_or(P::m_not(ordinary), K::ambiguous(r, kToleranceUnits));
        return r;
    }

    // For one ordinary y (finite, non-zero, |y| < 2^31), as the batch checks;
    // units = pow_tolerance_units(y).
    static inline D pow(D x, D y, std::uint64_t units, M& fix) {
        const M ordinary = P::m_and(P::gt(x, P::splat(0.0)), P::lt(x, P::splat(0x1p128)));
        D t;
        const D r = K::pow_approx(P::select(ordinary, x, P::splat(1.0)), y, t);
        const M in_range = P::m_and(P::gt(t, P::splat(kPowLow)), P::lt(t, P::splat(kPowHigh)));
        fix = P::m_or(P::m_not(P::m_and(ordinary, in_range)), K::ambiguous(r, units));
        return r;
    }

    // For a usable PowfTable. Its results stay far inside the float range,
    // and the errors of the table values and of the series add up to less
    // than 2^-50, inside the common tolerance.
    static inline D pow_table(D x, const PowfTable& table, M& fix) {
        const M ordinary = P::m_and(P::gt(x, P::splat(0.0)), P::lt(x, P::splat(0x1p128)));
        const D r = K::pow_table_approx(P::select(ordinary, x, P::splat(1.0)), table.scale, table.pairs, table.series);
        fix = P::m_or(P::m_not(ordinary), K::ambiguous(r, kToleranceUnits));
        return r;
    }
};

// The four batch functions over whole packs of P. Named function objects
// rather than lambdas: a lambda's conversion to a function pointer would be
// compiled without a translation unit's target flags.
template <class P>
struct BatchFunctions {
    struct Log {
        typename P::D operator()(typename P::D x, typename P::M& fix) const { return Blocks<P>::log(x, fix); }
    };
    struct Exp {
        typename P::D operator()(typename P::D x, typename P::M& fix) const { return Blocks<P>::exp(x, fix); }
    };
    struct Exp2 {
        typename P::D operator()(typename P::D x, typename P::M& fix) const { return Blocks<P>::exp2(x, fix); }
    };
    struct Pow {
        typename P::D y;
        std::uint64_t units;
        typename P::D operator()(typename P::D x, typename P::M& fix) const { return Blocks<P>::pow(x, y, units, fix); }
    };

    struct PowTable {
        const PowfTable* table;
        typename P::D operator()(typename P::D x, typename P::M& fix) const {
            return Blocks<P>::pow_table(x, *table, fix);
        }
    };

    // Lanes the kernels flag go to the scalar functions, the reference of
    // every path.
    static void logf(const float* in, float* out, std::size_t n) {
        run_batch<P>(in, out, n, Log{}, [](float v) { return cr_logf(v); });
    }
    static void expf(const float* in, float* out, std::size_t n) {
        run_batch<P>(in, out, n, Exp{}, [](float v) { return cr_expf(v); });
    }
    static void exp2f(const float* in, float* out, std::size_t n) {
        run_batch<P>(in, out, n, Exp2{}, [](float v) { return cr_exp2f(v); });
    }
    static void powf(const float* in, float y, float* out, std::size_t n) {
        const double wide = static_cast<double>(y);
        run_batch<P>(in, out, n, Pow{P::splat(wide), pow_tolerance_units(wide)},
                     [y](float v) { return cr_powf(v, y); });
    }
    static void powf_table(const float* in, const PowfTable& table, float* out, std::size_t n) {
        run_batch<P>(in, out, n, PowTable{&table}, [y = table.y](float v) { return cr_powf(v, y); });
    }
};

}  // namespace
}  // namespace ostrel::crmath
