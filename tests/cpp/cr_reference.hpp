#pragma once
// What the C++ tests of the correctly rounded float functions
// (test_cr_math.cpp) and the exhaustive sweep (tools/math_sweep.cpp) share:
// the functions under test and their names, the calls into our batch and
// fast-path code for each, the platform's long double and 113-bit libm
// values, and where rounding to float changes.
//
// The 113-bit type is long double where that is binary128 (aarch64 Linux),
// else __float128 with libquadmath's functions (x86-64). Only quad_libm()
// calls into libquadmath, so only a program that uses it links the library
// (CMake: math_sweep).
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if LDBL_MANT_DIG == 113
#define OSTREL_QUAD_IS_LONG_DOUBLE 1
#elif defined(__SIZEOF_FLOAT128__)
#define OSTREL_QUAD_IS_LONG_DOUBLE 0
// The four libquadmath functions in use, declared as <quadmath.h> does: that
// header lies among GCC's own, where clang-tidy, which reads the tests, does
// not look.
extern "C" {
__float128 logq(__float128) noexcept;
__float128 expq(__float128) noexcept;
__float128 exp2q(__float128) noexcept;
__float128 powq(__float128, __float128) noexcept;
}
#else
#error "the reference needs a binary128 type: long double or __float128"
#endif

#include "core/cr_math.hpp"
#include "core/isa.hpp"

namespace cr_reference {

#if OSTREL_QUAD_IS_LONG_DOUBLE
using quad = long double;
#else
using quad = __float128;
#endif

// 0.41666666f: the sRGB encoding's exponent 1/2.4 as a float.
inline constexpr float kEncodeExponent = std::bit_cast<float>(std::uint32_t{0x3ED55555});

// pow_table is powf through a PowfTable made for y: the same function by
// another algorithm, so it shares pow's reference and scalar function.
enum class Fn { log, exp, exp2, pow, pow_table };
inline constexpr Fn kAllFns[] = {Fn::log, Fn::exp, Fn::exp2, Fn::pow, Fn::pow_table};

inline const char* name(Fn fn) {
    switch (fn) {
        case Fn::log:
            return "logf";
        case Fn::exp:
            return "expf";
        case Fn::exp2:
            return "exp2f";
        case Fn::pow:
            return "powf";
        case Fn::pow_table:
            return "powf table";
    }
    return "?";
}

// The same float, any NaN counting as the same as any other NaN.
inline bool same_bits(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// The exponent of pow and pow_table, with pow_table's tables made for it.
struct Power {
    explicit Power(float exponent) : y(exponent), table(ostrel::make_powf_table(exponent)) {}
    float y;
    ostrel::PowfTable table;
};

// out[i] = fn(in[i]) by our batch function on instruction set `path`.
inline void batch(Fn fn, const float* in, float* out, std::size_t n, ostrel::Isa path, const Power& power) {
    switch (fn) {
        case Fn::log:
            ostrel::cr_logf_batch(in, out, n, path);
            return;
        case Fn::exp:
            ostrel::cr_expf_batch(in, out, n, path);
            return;
        case Fn::exp2:
            ostrel::cr_exp2f_batch(in, out, n, path);
            return;
        case Fn::pow:
            ostrel::cr_powf_batch(in, power.y, out, n, path);
            return;
        case Fn::pow_table:
            ostrel::cr_powf_batch(in, power.table, out, n, path);
            return;
    }
}

// Our double-precision fast path for fn(x), and whether the slow path ran.
inline ostrel::cr_math_detail::Approx approx(Fn fn, float x, const Power& power) {
    switch (fn) {
        case Fn::log:
            return ostrel::cr_math_detail::logf_approx(x);
        case Fn::exp:
            return ostrel::cr_math_detail::expf_approx(x);
        case Fn::exp2:
            return ostrel::cr_math_detail::exp2f_approx(x);
        case Fn::pow:
            return ostrel::cr_math_detail::powf_approx(x, power.y);
        case Fn::pow_table:
            return ostrel::cr_math_detail::powf_table_approx(x, power.table);
    }
    return {0, false};
}

// fn(x) by the long double libm (y only for the powers).
inline long double libm_long_double(Fn fn, float x, float y) {
    const long double v = x;
    switch (fn) {
        case Fn::log:
            return logl(v);
        case Fn::exp:
            return expl(v);
        case Fn::exp2:
            return exp2l(v);
        case Fn::pow:
        case Fn::pow_table:
            return powl(v, static_cast<long double>(y));
    }
    return 0;
}

// fn(x) by the 113-bit libm: the long double one where that is binary128,
// else libquadmath.
inline quad quad_libm(Fn fn, float x, float y) {
#if OSTREL_QUAD_IS_LONG_DOUBLE
    return libm_long_double(fn, x, y);
#else
    const quad v = x;
    switch (fn) {
        case Fn::log:
            return logq(v);
        case Fn::exp:
            return expq(v);
        case Fn::exp2:
            return exp2q(v);
        case Fn::pow:
        case Fn::pow_table:
            return powq(v, static_cast<quad>(y));
    }
    return 0;
#endif
}

// ulp(f) for a finite float f >= 0.
inline long double float_ulp(float f) {
    const std::uint32_t biased = std::bit_cast<std::uint32_t>(f) >> 23;
    const int exponent = biased == 0 ? -149 : static_cast<int>(biased) - 150;
    return static_cast<long double>(std::bit_cast<float>(static_cast<std::uint32_t>((exponent + 127 + 23) << 23))) *
           0x1p-23L;
}

// Half of the gap from a finite float f >= 0 towards an exact value a >= 0
// that lies within half an ulp of f: below a power of two the gap is half as
// wide.
inline long double half_gap(long double a, float f) {
    long double half = float_ulp(f) / 2;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
    if ((bits & 0x7FFFFF) == 0 && bits > 0x00800000 && a < static_cast<long double>(f)) half /= 2;
    return half;
}

// Distance of |v| from the nearest point where rounding to float changes;
// `rounded` is v rounded to float (finite or infinite).
inline long double boundary_gap(long double v, float rounded) {
    const long double a = fabsl(v);
    const float fa = std::fmin(std::fabs(rounded), FLT_MAX);
    return fabsl(fabsl(a - static_cast<long double>(fa)) - half_gap(a, fa));
}

}  // namespace cr_reference
