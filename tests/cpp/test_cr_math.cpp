// Correct rounding of cr_logf/cr_expf/cr_exp2f/cr_powf on sampled inputs,
// bit-identity of every batch path with the scalar functions, and the
// special cases. The reference is the long double libm rounded to float;
// where that value is too close to a rounding boundary to be trusted, an
// independent 113-bit evaluation (plain series in binary128, no libm)
// decides: __float128 on x86-64, long double where that is binary128
// (aarch64 Linux). cr_reference.hpp holds what this shares with the
// exhaustive sweep (tools/math_sweep.cpp).
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/cr_math.hpp"
#include "cr_reference.hpp"

namespace {

using cr_reference::Fn;
using cr_reference::kEncodeExponent;
using cr_reference::name;
using cr_reference::Power;
using cr_reference::quad;
using cr_reference::same_bits;
using ostrel::Isa;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

float bits_to_float(std::uint32_t b) { return std::bit_cast<float>(b); }
std::uint32_t float_bits(float f) { return std::bit_cast<std::uint32_t>(f); }

std::string show(float f) {
    char text[64];
    std::snprintf(text, sizeof text, "%a (0x%08X)", static_cast<double>(f), float_bits(f));
    return text;
}

// ---------------------------------------------------------------------------
// 113-bit reference by plain series in binary128 (soft-float arithmetic of
// libgcc), independent of any libm and of the code under test.

quad q_ln2() {
    static const quad value = [] {
        // ln 2 = 2 atanh(1/3)
        const quad s = quad(1) / 3;
        const quad s2 = s * s;
        quad term = s;
        quad sum = 0;
        for (int k = 0; k < 80; ++k) {
            sum += term / (2 * k + 1);
            term *= s2;
        }
        return 2 * sum;
    }();
    return value;
}

quad q_pow2(int n) { return static_cast<quad>(std::ldexp(1.0L, n)); }

// e^x for |x| < 200.
quad q_exp(quad x) {
    const quad ln2 = q_ln2();
    const quad ratio = x / ln2;
    const int n = static_cast<int>(ratio < 0 ? ratio - quad(0.5) : ratio + quad(0.5));
    const quad r = (x - n * ln2) / 1024;
    quad sum = 1;
    quad term = 1;
    for (int k = 1; k < 30; ++k) {
        term = term * r / k;
        sum += term;
    }
    for (int i = 0; i < 10; ++i) sum *= sum;
    return sum * q_pow2(n);
}

// ln x for a positive finite float.
quad q_log(float x) {
    int e = 0;
    const float mantissa = std::frexp(x, &e);  // [0.5, 1)
    quad m = static_cast<quad>(mantissa) * 2;
    --e;
    if (m > quad(1.5)) {
        m /= 2;
        ++e;
    }
    const quad s = (m - 1) / (m + 1);
    const quad s2 = s * s;
    quad term = s;
    quad sum = 0;
    for (int k = 0; k < 60; ++k) {
        sum += term / (2 * k + 1);
        term *= s2;
    }
    return e * q_ln2() + 2 * sum;
}

// fn(x) by the series above (y only for the powers; x > 0 for them).
quad series(Fn fn, float x, float y) {
    switch (fn) {
        case Fn::log:
            return q_log(x);
        case Fn::exp:
            return q_exp(x);
        case Fn::exp2:
            return q_exp(x * q_ln2());
        case Fn::pow:
        case Fn::pow_table:
            return q_exp(y * q_log(x));
    }
    return 0;
}

// The correctly rounded value of f(x) (y only for pow).
float reference(Fn fn, float x, float y = 0.0f) {
    const long double v = cr_reference::libm_long_double(fn, x, y);
    const float rounded = static_cast<float>(v);
    if (std::isnan(v) || std::isinf(v) || v == 0) return rounded;
    const long double distance = cr_reference::boundary_gap(v, rounded) / fabsl(v);
    // An exact tie (an exact result such as 2^-150) rounds as the long double does.
    if (distance == 0 || distance > 0x1p-56L) return rounded;
    if ((fn == Fn::pow || fn == Fn::pow_table) && x < 0) return rounded;  // not sampled here
    return static_cast<float>(series(fn, x, y));
}

float ours(Fn fn, float x, float y = 0.0f) {
    switch (fn) {
        case Fn::log:
            return ostrel::cr_logf(x);
        case Fn::exp:
            return ostrel::cr_expf(x);
        case Fn::exp2:
            return ostrel::cr_exp2f(x);
        case Fn::pow:
        case Fn::pow_table:
            return ostrel::cr_powf(x, y);
    }
    return 0;
}

// Every bit pattern in [first, first + count).
void add_range(std::vector<float>& v, std::uint32_t first, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) v.push_back(bits_to_float(first + i));
}

// `count` patterns around the float nearest to `centre`, both signs of offset.
void add_around(std::vector<float>& v, float centre, std::uint32_t radius) {
    add_range(v, float_bits(centre) - radius, 2 * radius);
}

void add_random(std::vector<float>& v, std::mt19937& rng, std::size_t count, std::uint32_t low, std::uint32_t high) {
    std::uniform_int_distribution<std::uint32_t> pick(low, high);
    for (std::size_t i = 0; i < count; ++i) v.push_back(bits_to_float(pick(rng)));
}

// `count` values drawn uniformly from [low, high).
void add_uniform(std::vector<float>& v, std::mt19937& rng, std::size_t count, float low, float high) {
    std::uniform_real_distribution<float> pick(low, high);
    for (std::size_t i = 0; i < count; ++i) v.push_back(pick(rng));
}

constexpr std::uint32_t kNegative = 0x80000000u;
constexpr std::uint32_t kMaxFinite = 0x7F7FFFFFu;

// x next to 0, where e^x and 2^x round to 1 or a neighbour of 1: `count`
// random patterns in [+0, 2^-25] and as many in [-0, -2^-24].
void add_near_zero(std::vector<float>& v, std::mt19937& rng, std::size_t count) {
    add_random(v, rng, count, 0, 0x33000000u);
    add_random(v, rng, count, kNegative, kNegative | 0x33800000u);
}

// Checks correct rounding of the scalar function and that every batch path
// gives the scalar function's bits, on all of `inputs`.
void check_function(Fn fn, const std::vector<float>& inputs, float y = 0.0f) {
    std::size_t wrong = 0;
    for (float x : inputs) {
        const float got = ours(fn, x, y);
        const float want = reference(fn, x, y);
        if (!same_bits(got, want) && ++wrong <= 5) {
            CHECK_MSG(false, name(fn) << "(" << show(x) << ", y=" << show(y) << ") = " << show(got) << ", expected "
                                      << show(want));
        }
    }
    CHECK_MSG(wrong == 0, name(fn) << ": " << wrong << " of " << inputs.size() << " not correctly rounded");

    std::vector<float> scalar(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) scalar[i] = ours(fn, inputs[i], y);
    const Power power(y);
    for (Isa path : ostrel::kIsaPreference) {
        if (!ostrel::isa_supported(path)) continue;
        std::vector<float> out(inputs.size());
        cr_reference::batch(fn, inputs.data(), out.data(), inputs.size(), path, power);
        std::size_t differ = 0;
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (float_bits(out[i]) != float_bits(scalar[i]) && ++differ <= 3) {
                CHECK_MSG(false, name(fn) << " path " << ostrel::isa_name(path) << " at " << show(inputs[i]) << ": "
                                          << show(out[i]) << " vs scalar " << show(scalar[i]));
            }
        }
        CHECK(differ == 0);
    }
}

}  // namespace

TEST_CASE("cr_math: logf is correctly rounded on random and hard inputs") {
    std::mt19937 rng(1);
    std::vector<float> x;
    add_random(x, rng, 300000, 0, 0xFFFFFFFFu);                               // every kind of pattern
    add_random(x, rng, 200000, 1, kMaxFinite);                                // positive finite
    add_range(x, float_bits(1.0f) - 0x10000, 0x20000);                        // [0.996, 1.0078): log near 0
    add_range(x, 1, 40000);                                                   // smallest denormals
    add_random(x, rng, 20000, 1, 0x007FFFFF);                                 // denormals
    add_range(x, kMaxFinite - 20000, 20001);                                  // up to FLT_MAX
    for (int e = -149; e < 128; ++e) add_around(x, std::ldexp(1.0f, e), 64);  // powers of two
    check_function(Fn::log, x);
}

TEST_CASE("cr_math: expf is correctly rounded on random and hard inputs") {
    std::mt19937 rng(2);
    std::vector<float> x;
    add_random(x, rng, 300000, 0, 0xFFFFFFFFu);
    add_uniform(x, rng, 300000, -104.0f, 89.0f);  // from underflow to overflow
    add_near_zero(x, rng, 50000);
    add_around(x, 88.72283935546875f, 30000);  // overflow threshold
    add_around(x, -87.33654f, 30000);          // results become denormal
    add_around(x, -103.97208f, 30000);         // results underflow to 0
    add_range(x, 0, 20000);                    // tiny positive
    add_range(x, kNegative, 20000);            // tiny negative
    check_function(Fn::exp, x);
}

TEST_CASE("cr_math: exp2f is correctly rounded on random and hard inputs") {
    std::mt19937 rng(3);
    std::vector<float> x;
    add_random(x, rng, 300000, 0, 0xFFFFFFFFu);
    add_uniform(x, rng, 300000, -151.0f, 129.0f);  // from underflow to overflow
    for (int k = -152; k <= 129; ++k) {
        add_around(x, static_cast<float>(k), 200);        // integers: exact powers of two
        add_around(x, static_cast<float>(k) + 0.5f, 50);  // halves
    }
    add_near_zero(x, rng, 50000);
    check_function(Fn::exp2, x);
}

TEST_CASE("cr_math: powf(x, 0.41666666) is correctly rounded on random and hard inputs") {
    std::mt19937 rng(4);
    std::vector<float> x;
    add_random(x, rng, 150000, 0, 0xFFFFFFFFu);
    add_random(x, rng, 150000, 1, kMaxFinite);
    add_random(x, rng, 100000, 0x3B4D2E1Cu, 0x3F800000u);     // the encoded range (0.0031308, 1]
    add_around(x, std::bit_cast<float>(0x3B4D2E1Cu), 20000);  // around the encoding threshold
    add_around(x, 1.0f, 20000);
    add_range(x, 1, 20000);  // denormals
    add_range(x, kMaxFinite - 20000, 20001);
    check_function(Fn::pow, x, kEncodeExponent);
    check_function(Fn::pow_table, x, kEncodeExponent);
}

TEST_CASE("cr_math: powf is correctly rounded for other exponents") {
    std::mt19937 rng(5);
    for (float y : {2.0f, 0.5f, -1.0f, 3.0f, 2.4f, -2.5f, 1.0f / 3.0f, 7.75f, -0.41666666f, 1e-3f, 40.0f}) {
        std::vector<float> x;
        add_random(x, rng, 12000, 1, kMaxFinite);
        add_random(x, rng, 12000, 0x3E000000u, 0x41000000u);  // [0.125, 8)
        add_around(x, 1.0f, 2000);
        check_function(Fn::pow, x, y);
        check_function(Fn::pow_table, x, y);  // a table only for y in (0, 1); otherwise the general power
    }
    // Table exponents at the ends of (0, 1) and in between.
    for (float y : {0x1p-149f, 1e-7f, 0.1f, 0.5f, 0.999f, 0.99999994f}) {
        std::vector<float> x;
        add_random(x, rng, 20000, 0, 0xFFFFFFFFu);
        add_random(x, rng, 20000, 0x3E000000u, 0x41000000u);
        add_around(x, 1.0f, 2000);
        add_range(x, 1, 2000);
        check_function(Fn::pow_table, x, y);
    }
    // Negative bases with whole exponents.
    for (float y : {2.0f, 3.0f, -3.0f}) {
        std::vector<float> x;
        add_random(x, rng, 5000, kNegative | 0x3E000000u, kNegative | 0x41000000u);
        for (float v : x) {
            const float magnitude = ostrel::cr_powf(-v, y);
            CHECK(same_bits(ostrel::cr_powf(v, y), y == 2.0f ? magnitude : -magnitude));
        }
    }
}

TEST_CASE("cr_math: powf rounds exact ties to even") {
    // 257^3 = 16974593 needs 25 bits: exactly halfway between two floats.
    CHECK(ostrel::cr_powf(66049.0f, 1.5f) == 16974592.0f);
    // (2^12 + 1)^2 = 2^24 + 2^13 + 1: halfway, rounds to the even 2^24 + 2^13.
    CHECK(ostrel::cr_powf(4097.0f, 2.0f) == 16785408.0f);
    // (2^12 + 3)^2 = 2^24 + 3*2^13 + 9, not a tie: rounds to nearest.
    CHECK(ostrel::cr_powf(4099.0f, 2.0f) == 16801800.0f);
    // 2^-150 lies halfway between 0 and the least denormal: rounds to 0.
    CHECK(float_bits(ostrel::cr_powf(std::ldexp(1.0f, -75), 2.0f)) == 0u);
    CHECK(float_bits(ostrel::cr_powf(std::ldexp(1.0f, -50), 3.0f)) == 0u);
    CHECK(float_bits(ostrel::cr_powf(std::ldexp(1.0f, 75), -2.0f)) == 0u);
    CHECK(float_bits(ostrel::cr_exp2f(-150.0f)) == 0u);
    CHECK(float_bits(ostrel::cr_exp2f(-149.0f)) == 1u);
    // Exact results that are floats.
    CHECK(ostrel::cr_powf(4.0f, 0.5f) == 2.0f);
    CHECK(ostrel::cr_powf(0.25f, -1.5f) == 8.0f);
    CHECK(ostrel::cr_powf(81.0f, 0.25f) == 3.0f);
    for (int k = -149; k <= 127; ++k) CHECK(ostrel::cr_exp2f(static_cast<float>(k)) == std::ldexp(1.0f, k));
}

TEST_CASE("cr_math: slow path inputs are correctly rounded") {
    // Scan small windows that hold such inputs (found by a full scan) for
    // results too close to a rounding boundary for the fast path, and check
    // each against the 113-bit reference directly.
    struct Range {
        Fn fn;
        std::uint32_t first;
        std::uint32_t count;
    };
    const Range ranges[] = {
        {Fn::log, 0x3F7FFF00u, 0x100},  // log(1 - k*2^-24) lies near ties
        {Fn::log, 0x01B5B6FFu - 2048, 4096},
        {Fn::exp, 0x337FFF00u, 0x200},  // e^x near 1 + 2^-24
        {Fn::exp, 0xB2FFFF00u, 0x200},  // e^-x near 1 - 2^-25
        {Fn::exp2, 0x33B8AA38u - 2048, 4096},
        {Fn::pow, 0x001824CAu - 2048, 4096},
        {Fn::pow, 0x00B01728u - 2048, 4096},
        {Fn::pow_table, 0x008C972Au - 2048, 4096},
        {Fn::pow_table, 0x3B8FC32Fu - 2048, 4096},  // in the encoded range
    };
    const Power power(kEncodeExponent);
    for (const Range& r : ranges) {
        int found = 0;
        for (std::uint32_t i = 0; i < r.count; ++i) {
            const float x = bits_to_float(r.first + i);
            if (!cr_reference::approx(r.fn, x, power).slow) continue;
            ++found;
            const float want = static_cast<float>(series(r.fn, x, kEncodeExponent));
            float got = ours(r.fn, x, kEncodeExponent);
            if (r.fn == Fn::pow_table) {
                // Whole packs, so the vector kernel flags the lane itself.
                float lanes[16];
                std::fill(std::begin(lanes), std::end(lanes), x);
                ostrel::cr_powf_batch(lanes, power.table, lanes, 16);
                got = lanes[0];
            }
            CHECK_MSG(same_bits(got, want),
                      name(r.fn) << "(" << show(x) << ") = " << show(got) << ", expected " << show(want));
        }
        CHECK_MSG(found > 0, name(r.fn) << ": no slow-path input found in the scanned range");
    }
}

TEST_CASE("cr_math: special values") {
    using ostrel::cr_exp2f;
    using ostrel::cr_expf;
    using ostrel::cr_logf;
    using ostrel::cr_powf;
    const float denorm_min = std::numeric_limits<float>::denorm_min();
    // log
    CHECK(cr_logf(0.0f) == -kInf);
    CHECK(cr_logf(-0.0f) == -kInf);
    CHECK(std::isnan(cr_logf(-1.0f)));
    CHECK(std::isnan(cr_logf(-denorm_min)));
    CHECK(std::isnan(cr_logf(-kInf)));
    CHECK(cr_logf(kInf) == kInf);
    CHECK(std::isnan(cr_logf(kNaN)));
    CHECK(float_bits(cr_logf(1.0f)) == 0u);  // +0
    CHECK(cr_logf(denorm_min) == reference(Fn::log, denorm_min));
    // exp
    CHECK(cr_expf(0.0f) == 1.0f);
    CHECK(cr_expf(-0.0f) == 1.0f);
    CHECK(cr_expf(kInf) == kInf);
    CHECK(float_bits(cr_expf(-kInf)) == 0u);
    CHECK(std::isnan(cr_expf(kNaN)));
    CHECK(cr_expf(89.0f) == kInf);
    CHECK(cr_expf(88.72283935546875f) == kInf);  // first input that overflows
    CHECK(std::isfinite(cr_expf(std::nextafter(88.72283935546875f, 0.0f))));
    CHECK(float_bits(cr_expf(-104.0f)) == 0u);
    CHECK(float_bits(cr_expf(-103.0f)) != 0u);
    CHECK(cr_expf(-1000.0f) == 0.0f);
    // exp2
    CHECK(cr_exp2f(128.0f) == kInf);
    CHECK(std::isfinite(cr_exp2f(std::nextafter(128.0f, 0.0f))));
    CHECK(float_bits(cr_exp2f(-kInf)) == 0u);
    CHECK(cr_exp2f(kInf) == kInf);
    CHECK(std::isnan(cr_exp2f(kNaN)));
    CHECK(cr_exp2f(0.0f) == 1.0f);
    CHECK(cr_exp2f(-0.0f) == 1.0f);
    // A NaN's payload survives (quieted).
    const float signalling = bits_to_float(0x7F800001u);
    CHECK((float_bits(cr_expf(signalling)) & 0x7FC00001u) == 0x7FC00001u);
    CHECK((float_bits(cr_logf(bits_to_float(0xFFC00123u))) & 0xFFC00123u) == 0xFFC00123u);
    // powf: the cases the sRGB encoding needs, for its exponent.
    const float y = kEncodeExponent;
    CHECK(float_bits(cr_powf(0.0f, y)) == 0u);
    CHECK(cr_powf(kInf, y) == kInf);
    CHECK(std::isnan(cr_powf(kNaN, y)));
    CHECK(std::isnan(cr_powf(-1.0f, y)));
    CHECK(std::isnan(cr_powf(-denorm_min, y)));
    CHECK(cr_powf(1.0f, y) == 1.0f);
    CHECK(float_bits(cr_powf(-0.0f, y)) == 0u);
    CHECK(cr_powf(-kInf, y) == kInf);
    // powf, general exponents (C Annex F).
    CHECK(cr_powf(kNaN, 0.0f) == 1.0f);
    CHECK(cr_powf(1.0f, kNaN) == 1.0f);
    CHECK(std::isnan(cr_powf(2.0f, kNaN)));
    CHECK(cr_powf(-1.0f, kInf) == 1.0f);
    CHECK(cr_powf(0.5f, kInf) == 0.0f);
    CHECK(cr_powf(2.0f, kInf) == kInf);
    CHECK(cr_powf(0.5f, -kInf) == kInf);
    CHECK(cr_powf(-2.0f, -kInf) == 0.0f);
    CHECK(cr_powf(-0.0f, -3.0f) == -kInf);
    CHECK(cr_powf(-0.0f, -2.0f) == kInf);
    CHECK(cr_powf(0.0f, -0.5f) == kInf);
    CHECK(float_bits(cr_powf(-0.0f, 3.0f)) == 0x80000000u);
    CHECK(float_bits(cr_powf(-0.0f, 2.0f)) == 0u);
    CHECK(float_bits(cr_powf(-kInf, -3.0f)) == 0x80000000u);
    CHECK(cr_powf(-kInf, 3.0f) == -kInf);
    CHECK(cr_powf(-kInf, 2.0f) == kInf);
    CHECK(cr_powf(kInf, -1.0f) == 0.0f);
    CHECK(cr_powf(-2.0f, 3.0f) == -8.0f);
    CHECK(cr_powf(-2.0f, -2.0f) == 0.25f);
    CHECK(std::isnan(cr_powf(-2.0f, 0.5f)));
    CHECK(cr_powf(2.0f, 0x1p31f) == kInf);
    CHECK(cr_powf(0.5f, 0x1p31f) == 0.0f);
    CHECK(cr_powf(-1.0f, 0x1p31f) == 1.0f);
    CHECK(cr_powf(2.0f, 128.0f) == kInf);
    CHECK(cr_powf(2.0f, -149.0f) == denorm_min);
    CHECK(cr_powf(10.0f, -50.0f) == reference(Fn::pow, 10.0f, -50.0f));
}

TEST_CASE("cr_math: batches: every offset, length and in place") {
    std::mt19937 rng(6);
    std::vector<float> data;
    add_random(data, rng, 64, 0, 0xFFFFFFFFu);
    // Specials and slow-path inputs mixed into full packs.
    const float specials[] = {0.0f,
                              -0.0f,
                              kInf,
                              -kInf,
                              kNaN,
                              1.0f,
                              -1.0f,
                              std::ldexp(1.0f, -149),
                              FLT_MAX,
                              -150.0f,
                              88.72283935546875f,
                              bits_to_float(0x3F7FFFFFu),
                              0.0031308f};
    for (float s : specials) data.push_back(s);
    add_random(data, rng, 64, 0x3E000000u, 0x41000000u);
    for (Fn fn : cr_reference::kAllFns) {
        for (float y : {kEncodeExponent, 2.0f, 0.0f, kNaN}) {
            if (fn != Fn::pow && fn != Fn::pow_table && y != kEncodeExponent) continue;
            const Power power(y);
            for (Isa path : ostrel::kIsaPreference) {
                for (std::size_t offset = 0; offset < 5; ++offset) {
                    for (std::size_t n :
                         {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{7}, data.size() - offset}) {
                        std::vector<float> out(n + 1, 42.0f);
                        cr_reference::batch(fn, data.data() + offset, out.data(), n, path, power);
                        bool ok = out[n] == 42.0f;  // nothing written past the end
                        for (std::size_t i = 0; i < n; ++i) ok = ok && same_bits(out[i], ours(fn, data[offset + i], y));
                        std::vector<float> in_place(data.begin() + static_cast<std::ptrdiff_t>(offset),
                                                    data.begin() + static_cast<std::ptrdiff_t>(offset + n));
                        cr_reference::batch(fn, in_place.data(), in_place.data(), n, path, power);
                        for (std::size_t i = 0; i < n; ++i) ok = ok && same_bits(in_place[i], out[i]);
                        CHECK_MSG(ok, name(fn) << " path " << ostrel::isa_name(path) << " offset " << offset << " n "
                                               << n << " y " << y);
                    }
                }
            }
        }
    }
    CHECK(ostrel::isa_supported(Isa::scalar));
    CHECK(ostrel::isa_supported(ostrel::best_isa()));
}
