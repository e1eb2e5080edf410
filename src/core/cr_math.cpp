#include "core/cr_math.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>

#include "core/cr_math_kernels.hpp"
#include "core/cr_math_packs.hpp"
#include "core/nan_rule.hpp"

namespace ostrel {

namespace crmath {
#if OSTREL_CR_MATH_X86
// Defined in cr_math_avx2.cpp and cr_math_avx512.cpp, the only code compiled
// for AVX2 and for AVX-512F.
extern const cr_math_detail::BatchTable kAvx2Batch;
extern const cr_math_detail::BatchTable kAvx512Batch;
#endif

namespace {

using K = Kernels<ScalarPack>;
using cr_math_detail::Approx;

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr float kQuietNaN = std::numeric_limits<float>::quiet_NaN();

// ---------------------------------------------------------------------------
// The slow path: double-double arithmetic (about 100 bits), pure IEEE double
// operations, so it gives the same bits everywhere. It only runs for the few
// inputs whose fast result is too close to a rounding boundary.

struct DD {
    double hi;
    double lo;
};

DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// Needs |a| >= |b| (or a == 0).
DD fast_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

DD split(double a) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    const double hi = c - (c - a);
    return {hi, a - hi};
}

DD two_prod(double a, double b) {
    const double p = a * b;
    const DD as = split(a);
    const DD bs = split(b);
    const double e = (((as.hi * bs.hi - p) + as.hi * bs.lo) + as.lo * bs.hi) + as.lo * bs.lo;
    return {p, e};
}

DD dd_add(DD a, DD b) {
    DD s = two_sum(a.hi, b.hi);
    const DD t = two_sum(a.lo, b.lo);
    s = fast_two_sum(s.hi, s.lo + t.hi);
    return fast_two_sum(s.hi, s.lo + t.lo);
}

DD dd_mul(DD a, DD b) {
    const DD p = two_prod(a.hi, b.hi);
    return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

DD dd_mul_d(DD a, double b) {
    const DD p = two_prod(a.hi, b);
    return fast_two_sum(p.hi, p.lo + a.lo * b);
}

DD dd_div_d(DD a, double b) {
    const double q1 = a.hi / b;
    const DD p = two_prod(q1, b);
    const double q2 = (((a.hi - p.hi) - p.lo) + a.lo) / b;
    return fast_two_sum(q1, q2);
}

double power_of_two(int n) { return std::bit_cast<double>(static_cast<std::uint64_t>(n + 1023) << 52); }

// e^a for |a| <= 120: a = n*ln2 + r, e^(r/256) by its Taylor series, then
// eight squarings in expm1 form. Relative error about 2^-96.
DD exp_dd(DD a) {
    const double n = (a.hi * kInvLn2 + kShift) - kShift;
    DD r = dd_add(two_sum(a.hi, -(n * kLn2Part1)), DD{a.lo, 0.0});
    r = dd_add(r, DD{-(n * kLn2Part2), 0.0});  // exact product: n has 8 bits
    r = dd_add(r, DD{-(n * kLn2Part3), 0.0});
    const DD q{r.hi * 0x1p-8, r.lo * 0x1p-8};
    DD s{1.0, 0.0};
    for (int k = 9; k >= 2; --k) s = dd_add(DD{1.0, 0.0}, dd_div_d(dd_mul(q, s), static_cast<double>(k)));
    DD em1 = dd_mul(q, s);
    for (int i = 0; i < 8; ++i) em1 = dd_mul(em1, dd_add(DD{2.0, 0.0}, em1));
    const DD e = dd_add(DD{1.0, 0.0}, em1);
    const double scale = power_of_two(static_cast<int>(n));
    return {e.hi * scale, e.lo * scale};
}

// ln(x) for a positive finite float: one Newton step on the fast result y0,
// ln(x) = y0 + log1p(x*e^-y0 - 1), with the cubic term of log1p.
DD log_dd(float x) {
    const double y0 = K::log_approx(static_cast<double>(x));
    const DD w = dd_add(dd_mul_d(exp_dd(DD{-y0, 0.0}), static_cast<double>(x)), DD{-1.0, 0.0});
    const double w2 = w.hi * w.hi;
    const DD log1p_w = dd_add(w, DD{w2 * w.hi * 0x1.5555555555555p-2 - 0.5 * w2, 0.0});
    return dd_add(DD{y0, 0.0}, log1p_w);
}

// Half the gap between the float nearest to the positive double `a` (that
// float is `f`) and its neighbour on the side of `a`.
double half_gap(double a, double f) {
    double half = std::bit_cast<double>(std::bit_cast<std::uint64_t>(f) & kExponentBits) * 0x1p-24;
    if (half < 0x1p-150) half = 0x1p-150;
    if ((std::bit_cast<std::uint64_t>(f) & kMantissaBits) == 0 && a < f && f > 0x1p-126) half *= 0.5;
    return half;
}

// The float nearest to hi + lo (positive): hi is first rounded to odd at
// double precision, which keeps the sticky information of lo, and the one
// rounding to float that follows is then correct.
float round_dd(DD v) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(v.hi);
    if (v.lo != 0.0 && (bits & 1u) == 0) {
        if ((v.lo > 0.0) == (v.hi > 0.0)) {
            ++bits;
        } else {
            --bits;
        }
    }
    return static_cast<float>(std::bit_cast<double>(bits));
}

float slow_expf(float x) { return round_dd(exp_dd(DD{static_cast<double>(x), 0.0})); }

float slow_exp2f(float x) {
    // 2^x is exact only for whole x; its only tie, 2^-150, rounds to even (0).
    const double xd = static_cast<double>(x);
    if (xd == static_cast<double>(static_cast<int>(x))) return static_cast<float>(power_of_two(static_cast<int>(x)));
    const DD p = two_prod(xd, kLn2DdHi);
    return round_dd(exp_dd(fast_two_sum(p.hi, p.lo + xd * kLn2DdLo)));
}

float slow_logf(float x) {
    const DD v = log_dd(x);
    if (v.hi < 0.0) return -round_dd(DD{-v.hi, -v.lo});
    return round_dd(v);
}

// Odd part and binary exponent: v = odd * 2^exponent (v a positive double).
void odd_decomposition(double v, std::uint64_t& odd, int& exponent) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    const int biased = static_cast<int>(bits >> 52);
    odd = (bits & kMantissaBits) | (std::uint64_t{1} << 52);
    exponent = biased - 1075;
    while ((odd & 1u) == 0) {
        odd >>= 1;
        ++exponent;
    }
}

// Whether x^y equals the double m exactly (x > 0 finite, x != 1, y finite
// with 0 < |y| < 2^31, m a positive double of at most 25 significant bits).
// With y = p/2^k (p odd when k > 0), x = mx*2^ex and m = mm*2^em (odd mx, mm):
// m^(2^k) = x^p means mm^(2^k) = mx^p and em*2^k = ex*p. Since p and 2^k are
// coprime, mx = a^(2^k) and mm = a^p for some odd a; a >= 3 with mm < 2^25
// bounds p <= 15 and 2^k <= 15.
bool pow_is_exact(float x, float y, double m) {
    std::int64_t p = 0;
    int k = 0;
    double scaled = static_cast<double>(y);
    while (scaled != static_cast<double>(static_cast<std::int64_t>(scaled))) {
        scaled *= 2.0;
        ++k;
        if (k > 160) return false;
    }
    p = static_cast<std::int64_t>(scaled);
    std::uint64_t mx = 0;
    std::uint64_t mm = 0;
    int ex = 0;
    int em = 0;
    odd_decomposition(static_cast<double>(x), mx, ex);
    odd_decomposition(m, mm, em);
    if (mx == 1) {
        // Powers of two: only 2^-150, between 0 and the least denormal, is a tie.
        if (mm != 1 || k > 8) return false;
        return static_cast<std::int64_t>(em) * (std::int64_t{1} << k) == static_cast<std::int64_t>(ex) * p;
    }
    if (p <= 0 || p > 15 || k > 3) return false;
    if (static_cast<std::int64_t>(em) * (std::int64_t{1} << k) != static_cast<std::int64_t>(ex) * p) return false;
    // a = the 2^k-th root of mx, by k integer square roots.
    std::uint64_t a = mx;
    for (int i = 0; i < k; ++i) {
        std::uint64_t root = 0;
        for (std::uint64_t bit = std::uint64_t{1} << 31; bit != 0; bit >>= 1) {
            if ((root | bit) * (root | bit) <= a) root |= bit;
        }
        if (root * root != a) return false;
        a = root;
    }
    std::uint64_t power = 1;
    for (std::int64_t i = 0; i < p; ++i) {
        power *= a;
        if (power > (std::uint64_t{1} << 25)) return false;
    }
    return power == mm;
}

// x^y for x > 0 finite, x != 1, y finite with 0 < |y| < 2^31 and the result
// within the fast path's range.
float slow_powf(float x, float y) {
    const DD v = exp_dd(dd_mul_d(log_dd(x), static_cast<double>(y)));
    // An exact result can sit on a tie, where no approximation decides:
    // test the nearest tie exactly.
    const double f = static_cast<double>(static_cast<float>(v.hi));
    const double half = half_gap(v.hi, f);
    const double tie = v.hi < f ? f - half : f + half;
    const double gap = v.hi - tie;
    if ((gap < 0.0 ? -gap : gap) <= tie * 0x1p-80 && pow_is_exact(x, y, tie)) return static_cast<float>(tie);
    return round_dd(v);
}

// ---------------------------------------------------------------------------
// The scalar functions: special cases, then the fast kernel, and the slow
// path when the kernel's result is too close to a rounding boundary.

Approx expf_fast(float x) {
    if (x != x) return {static_cast<double>(x + x), false};
    const double clamped = ScalarPack::min(ScalarPack::max(static_cast<double>(x), kExpLow), kExpHigh);
    const double r = K::exp_approx(clamped);
    return {r, K::ambiguous(r, kToleranceUnits)};
}

Approx exp2f_fast(float x) {
    if (x != x) return {static_cast<double>(x + x), false};
    const double clamped = ScalarPack::min(ScalarPack::max(static_cast<double>(x), kExp2Low), kExp2High);
    const double r = K::exp2_approx(clamped);
    return {r, K::ambiguous(r, kToleranceUnits)};
}

Approx logf_fast(float x) {
    if (!(x > 0.0f)) {
        if (x == 0.0f) return {-static_cast<double>(kInfinity), false};
        if (x != x) return {static_cast<double>(x + x), false};
        return {static_cast<double>(kQuietNaN), false};
    }
    if (x == kInfinity) return {static_cast<double>(kInfinity), false};
    const double r = K::log_approx(static_cast<double>(x));
    return {r, K::ambiguous(r, kToleranceUnits)};
}

bool is_integer(float v) {  // v finite
    if (v >= 0x1p23f || v <= -0x1p23f) return true;
    return static_cast<float>(static_cast<std::int32_t>(v)) == v;
}

bool is_odd_integer(float v) {  // v finite; every float of magnitude 2^24 or more is even
    if (v >= 0x1p24f || v <= -0x1p24f) return false;
    return static_cast<float>(static_cast<std::int32_t>(v)) == v && (static_cast<std::int32_t>(v) & 1) != 0;
}

Approx powf_fast(float x, float y) {
    if (y == 0.0f || x == 1.0f) return {1.0, false};
    // Two NaNs: the first, quieted (the project's NaN rule).
    if (x != x || y != y) return {static_cast<double>(nan_rule::add(x, y)), false};
    const float ay = y < 0.0f ? -y : y;
    const float ax = x < 0.0f ? -x : x;
    if (ay == kInfinity) {
        if (ax == 1.0f) return {1.0, false};
        return {(ax < 1.0f) == (y < 0.0f) ? static_cast<double>(kInfinity) : 0.0, false};
    }
    const bool y_odd = is_odd_integer(y);
    if (x == 0.0f) {
        const bool negative = std::signbit(x) && y_odd;
        const double magnitude = y < 0.0f ? static_cast<double>(kInfinity) : 0.0;
        return {negative ? -magnitude : magnitude, false};
    }
    if (ax == kInfinity) {
        const bool negative = x < 0.0f && y_odd;
        const double magnitude = y < 0.0f ? 0.0 : static_cast<double>(kInfinity);
        return {negative ? -magnitude : magnitude, false};
    }
    if (x < 0.0f && !is_integer(y)) return {static_cast<double>(kQuietNaN), false};
    const bool negative = x < 0.0f && y_odd;
    Approx result{1.0, false};
    if (ax == 1.0f) {
        result.value = 1.0;
    } else if (ay >= 0x1p31f) {
        // |y * log2(x)| >= 2^31 * 2^-24 far beyond the range of floats.
        result.value = (ax > 1.0f) == (y > 0.0f) ? static_cast<double>(kInfinity) : 0.0;
    } else {
        double t = 0.0;
        const double r = K::pow_approx(static_cast<double>(ax), static_cast<double>(y), t);
        if (!(t > kPowLow)) {
            result.value = 0.0;
        } else if (!(t < kPowHigh)) {
            result.value = static_cast<double>(kInfinity);
        } else {
            result = {r, K::ambiguous(r, pow_tolerance_units(static_cast<double>(y)))};
        }
    }
    if (negative) result.value = -result.value;
    return result;
}

// The tables of PowfTable for y in (0, 1). Each value comes from the
// double-double exponential (error near 2^-96) rounded to double; c^y uses the
// stored logc = -ln(1/c), whose rounding adds at most 2^-54 relative.
void fill_powf_table(PowfTable& table) {
    const double y = static_cast<double>(table.y);
    for (int i = 0; i < static_cast<int>(std::size(table.scale)); ++i) {
        const double ey = static_cast<double>(i - PowfTable::kScaleBias) * y;  // exact: 9 bits times 24
        const DD p = two_prod(ey, kLn2DdHi);
        const DD v = exp_dd(fast_two_sum(p.hi, p.lo + ey * kLn2DdLo));
        table.scale[i] = std::bit_cast<std::uint64_t>(v.hi + v.lo);
    }
    for (std::size_t i = 0; i < 128; ++i) {
        const double invc = kLogTable[2 * i];
        const double logc = kLogTable[2 * i + 1];
        const DD v = exp_dd(two_prod(y, logc));
        table.pairs[2 * i] = invc;
        table.pairs[2 * i + 1] = v.hi + v.lo;
    }
    double coefficient = 1.0;
    for (int k = 1; k <= 6; ++k) {
        coefficient = coefficient * (y - static_cast<double>(k - 1)) / static_cast<double>(k);
        table.series[k - 1] = coefficient;
    }
}

}  // namespace
}  // namespace crmath

PowfTable make_powf_table(float y) noexcept {
    PowfTable table;
    table.y = y;
    if (y > 0.0f && y < 1.0f) {
        crmath::fill_powf_table(table);
        table.usable = true;
    }
    return table;
}

float cr_expf(float x) noexcept {
    const cr_math_detail::Approx a = crmath::expf_fast(x);
    return a.slow ? crmath::slow_expf(x) : static_cast<float>(a.value);
}

float cr_exp2f(float x) noexcept {
    const cr_math_detail::Approx a = crmath::exp2f_fast(x);
    return a.slow ? crmath::slow_exp2f(x) : static_cast<float>(a.value);
}

float cr_logf(float x) noexcept {
    const cr_math_detail::Approx a = crmath::logf_fast(x);
    return a.slow ? crmath::slow_logf(x) : static_cast<float>(a.value);
}

float cr_powf(float x, float y) noexcept {
    const cr_math_detail::Approx a = crmath::powf_fast(x, y);
    if (!a.slow) return static_cast<float>(a.value);
    const float magnitude = crmath::slow_powf(x < 0.0f ? -x : x, y);
    return a.value < 0.0 ? -magnitude : magnitude;
}

namespace cr_math_detail {
Approx logf_approx(float x) noexcept { return crmath::logf_fast(x); }
Approx expf_approx(float x) noexcept { return crmath::expf_fast(x); }
Approx exp2f_approx(float x) noexcept { return crmath::exp2f_fast(x); }
Approx powf_approx(float x, float y) noexcept { return crmath::powf_fast(x, y); }
Approx powf_table_approx(float x, const PowfTable& table) noexcept {
    // Zero, negatives, infinity and NaN are the general power's special cases.
    if (!(x > 0.0f) || x == crmath::kInfinity || !table.usable) return crmath::powf_fast(x, table.y);
    bool fix = false;
    const double r = crmath::Blocks<crmath::ScalarPack>::pow_table(static_cast<double>(x), table, fix);
    return {r, fix};
}
}  // namespace cr_math_detail

namespace {

using cr_math_detail::BatchTable;

// The scalar entries: the scalar functions one value at a time, the
// reference every vector path is tested against.
void scalar_logf(const float* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = cr_logf(in[i]);
}
void scalar_expf(const float* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = cr_expf(in[i]);
}
void scalar_exp2f(const float* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = cr_exp2f(in[i]);
}
void scalar_powf(const float* in, float y, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = cr_powf(in[i], y);
}
// The general power, not the table kernel.
void scalar_powf_table(const float* in, const PowfTable& table, float* out, std::size_t n) {
    scalar_powf(in, table.y, out, n);
}

constexpr BatchTable kScalarBatch{scalar_logf, scalar_expf, scalar_exp2f, scalar_powf, scalar_powf_table};

#if OSTREL_CR_MATH_X86
using Sse2 = crmath::BatchFunctions<crmath::Sse2Pack>;
constexpr BatchTable kSse2Batch{Sse2::logf, Sse2::expf, Sse2::exp2f, Sse2::powf, Sse2::powf_table};
constexpr IsaTable<const BatchTable*> kBatches{
    {&kScalarBatch, &kSse2Batch, &crmath::kAvx2Batch, &crmath::kAvx512Batch}};
#elif OSTREL_CR_MATH_NEON
using Neon = crmath::BatchFunctions<crmath::NeonPack>;
constexpr BatchTable kNeonBatch{Neon::logf, Neon::expf, Neon::exp2f, Neon::powf, Neon::powf_table};
constexpr IsaTable<const BatchTable*> kBatches{{&kScalarBatch, nullptr, nullptr, nullptr, &kNeonBatch}};
#else
constexpr IsaTable<const BatchTable*> kBatches{{&kScalarBatch}};
#endif

const BatchTable& batches(Isa isa) noexcept { return *kBatches.select(isa); }

// Whether the vector kernels take this y (the scalar code handles the rest).
bool pow_batch_exponent(float y) {
    const float ay = y < 0.0f ? -y : y;
    return y == y && y != 0.0f && ay < 0x1p31f;
}

}  // namespace

void cr_expf_batch(const float* in, float* out, std::size_t n, Isa isa) noexcept { batches(isa).expf(in, out, n); }
void cr_exp2f_batch(const float* in, float* out, std::size_t n, Isa isa) noexcept { batches(isa).exp2f(in, out, n); }
void cr_logf_batch(const float* in, float* out, std::size_t n, Isa isa) noexcept { batches(isa).logf(in, out, n); }

void cr_powf_batch(const float* in, const PowfTable& table, float* out, std::size_t n, Isa isa) noexcept {
    if (!table.usable) {
        cr_powf_batch(in, table.y, out, n, isa);
        return;
    }
    batches(isa).powf_table(in, table, out, n);
}

void cr_powf_batch(const float* in, float y, float* out, std::size_t n, Isa isa) noexcept {
    batches(pow_batch_exponent(y) ? isa : Isa::scalar).powf(in, y, out, n);
}

void cr_logf_batch(const float* in, float* out, std::size_t n) noexcept { cr_logf_batch(in, out, n, active_isa()); }
void cr_expf_batch(const float* in, float* out, std::size_t n) noexcept { cr_expf_batch(in, out, n, active_isa()); }
void cr_exp2f_batch(const float* in, float* out, std::size_t n) noexcept { cr_exp2f_batch(in, out, n, active_isa()); }
void cr_powf_batch(const float* in, float y, float* out, std::size_t n) noexcept {
    cr_powf_batch(in, y, out, n, active_isa());
}
void cr_powf_batch(const float* in, const PowfTable& table, float* out, std::size_t n) noexcept {
    cr_powf_batch(in, table, out, n, active_isa());
}

}  // namespace ostrel
