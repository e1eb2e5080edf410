#pragma once
// The lane packs of cr_math_kernels.hpp for the baseline instruction set: one
// double, and two doubles in SSE2 registers (every x86-64 processor has SSE2)
// or in NEON registers (every aarch64 processor has Advanced SIMD). The AVX2
// and AVX-512 packs live in cr_math_avx2.cpp and cr_math_avx512.cpp, the only
// files compiled for those instruction sets.
#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define OSTREL_CR_MATH_X86 1
#include <emmintrin.h>
#else
#define OSTREL_CR_MATH_X86 0
#endif

#if defined(__aarch64__) && defined(__ARM_NEON) && (defined(__GNUC__) || defined(__clang__))
#define OSTREL_CR_MATH_NEON 1
#include <arm_neon.h>
#else
#define OSTREL_CR_MATH_NEON 0
#endif

namespace ostrel::crmath {
namespace {

struct ScalarPack {
    static constexpr std::size_t width = 1;
    using D = double;
    using U = std::uint64_t;
    using M = bool;

    static D load_f(const float* p) { return static_cast<double>(*p); }
    static void store_f(float* p, D v) { *p = static_cast<float>(v); }
    static D splat(double v) { return v; }
    static U as_u(D v) { return std::bit_cast<U>(v); }
    static D as_d(U v) { return std::bit_cast<D>(v); }
    static U gather_u(const std::uint64_t* table, U index) { return table[index]; }
    static void gather_pair(const double* table, U index, D& first, D& second) {
        first = table[2 * index];
        second = table[2 * index + 1];
    }
    // The same operand order as minpd/maxpd: the second operand when unordered.
    static D min(D a, D b) { return a < b ? a : b; }
    static D max(D a, D b) { return a > b ? a : b; }
    static D and_d(D v, std::uint64_t mask) { return as_d(as_u(v) & mask); }
    static D abs(D v) { return and_d(v, 0x7FFFFFFFFFFFFFFFull); }
    static M lt(D a, D b) { return a < b; }
    static M gt(D a, D b) { return a > b; }
    static M eq(D a, D b) { return a == b; }
    static M m_and(M a, M b) { return a && b; }
    static M m_or(M a, M b) { return a || b; }
    static M m_not(M a) { return !a; }
    static D select(M m, D a, D b) { return m ? a : b; }
    static int mask_bits(M m) { return m ? 1 : 0; }
    // Whether the 29 low bits of v lie within `units` (<= 2^28) of 0x10000000.
    static M near_midpoint(D v, std::uint64_t units) {
        const U w = ((as_u(v) & 0x1FFFFFFFu) + (units - 0x10000000u)) & 0x1FFFFFFFu;
        return w <= 2 * units;
    }
};

#if OSTREL_CR_MATH_X86
typedef std::uint64_t U64x2 __attribute__((vector_size(16)));

struct Sse2Pack {
    static constexpr std::size_t width = 2;
    using D = __m128d;
    using U = U64x2;
    using M = __m128d;

    static D load_f(const float* p) {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
    static void store_f(float* p, D v) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
    }
    static D splat(double v) { return _mm_set1_pd(v); }
    static U as_u(D v) { return reinterpret_cast<U>(_mm_castpd_si128(v)); }
    static D as_d(U v) { return _mm_castsi128_pd(reinterpret_cast<__m128i>(v)); }
    static U gather_u(const std::uint64_t* table, U index) { return U{table[index[0]], table[index[1]]}; }
    static void gather_pair(const double* table, U index, D& first, D& second) {
        const D a = _mm_loadu_pd(table + 2 * index[0]);
        const D b = _mm_loadu_pd(table + 2 * index[1]);
        first = _mm_unpacklo_pd(a, b);
        second = _mm_unpackhi_pd(a, b);
    }
    static D min(D a, D b) { return _mm_min_pd(a, b); }
    static D max(D a, D b) { return _mm_max_pd(a, b); }
    static D and_d(D v, std::uint64_t mask) {
        return _mm_and_pd(v, _mm_castsi128_pd(_mm_set1_epi64x(static_cast<long long>(mask))));
    }
    static D abs(D v) { return and_d(v, 0x7FFFFFFFFFFFFFFFull); }
    static M lt(D a, D b) { return _mm_cmplt_pd(a, b); }
    static M gt(D a, D b) { return _mm_cmpgt_pd(a, b); }
    static M eq(D a, D b) { return _mm_cmpeq_pd(a, b); }
    static M m_and(M a, M b) { return _mm_and_pd(a, b); }
    static M m_or(M a, M b) { return _mm_or_pd(a, b); }
    static M m_not(M a) { return _mm_xor_pd(a, _mm_castsi128_pd(_mm_set1_epi64x(-1))); }
    static D select(M m, D a, D b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
    static int mask_bits(M m) { return _mm_movemask_pd(m); }
    // SSE2 has no 64-bit compare, but the 29 low bits sit in the low dword of
    // each lane: compare dwords and spread the even ones over their lanes.
    static M near_midpoint(D v, std::uint64_t units) {
        const __m128i mask = _mm_set1_epi32(0x1FFFFFFF);
        const __m128i low = _mm_and_si128(_mm_castpd_si128(v), mask);
        const __m128i w = _mm_and_si128(_mm_add_epi32(low, _mm_set1_epi32(static_cast<int>(units) - 0x10000000)), mask);
        const __m128i near = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(2 * units + 1)), w);
        return _mm_castsi128_pd(_mm_shuffle_epi32(near, _MM_SHUFFLE(2, 2, 0, 0)));
    }
};
#endif

#if OSTREL_CR_MATH_NEON
// Two doubles per register, as with SSE2. The NEON types take the ordinary
// integer and floating-point operators (GCC and Clang vector extensions).
struct NeonPack {
    static constexpr std::size_t width = 2;
    using D = float64x2_t;
    using U = uint64x2_t;
    using M = uint64x2_t;

    static D load_f(const float* p) { return vcvt_f64_f32(vld1_f32(p)); }
    static void store_f(float* p, D v) { vst1_f32(p, vcvt_f32_f64(v)); }
    static D splat(double v) { return vdupq_n_f64(v); }
    static U as_u(D v) { return vreinterpretq_u64_f64(v); }
    static D as_d(U v) { return vreinterpretq_f64_u64(v); }
    static U gather_u(const std::uint64_t* table, U index) { return U{table[index[0]], table[index[1]]}; }
    static void gather_pair(const double* table, U index, D& first, D& second) {
        const D a = vld1q_f64(table + 2 * index[0]);
        const D b = vld1q_f64(table + 2 * index[1]);
        first = vzip1q_f64(a, b);
        second = vzip2q_f64(a, b);
    }
    // Selects, not fmin/fmax (which return a NaN operand): the operand order of
    // the scalar pack and of minpd/maxpd, the second operand when unordered.
    static D min(D a, D b) { return vbslq_f64(vcltq_f64(a, b), a, b); }
    static D max(D a, D b) { return vbslq_f64(vcgtq_f64(a, b), a, b); }
    static D and_d(D v, std::uint64_t mask) { return as_d(vandq_u64(as_u(v), vdupq_n_u64(mask))); }
    static D abs(D v) { return and_d(v, 0x7FFFFFFFFFFFFFFFull); }
    static M lt(D a, D b) { return vcltq_f64(a, b); }
    static M gt(D a, D b) { return vcgtq_f64(a, b); }
    static M eq(D a, D b) { return vceqq_f64(a, b); }
    static M m_and(M a, M b) { return vandq_u64(a, b); }
    static M m_or(M a, M b) { return vorrq_u64(a, b); }
    static M m_not(M a) { return veorq_u64(a, vdupq_n_u64(~std::uint64_t{0})); }
    static D select(M m, D a, D b) { return vbslq_f64(m, a, b); }
    static int mask_bits(M m) {
        return static_cast<int>((vgetq_lane_u64(m, 0) & 1u) | ((vgetq_lane_u64(m, 1) & 1u) << 1));
    }
    static M near_midpoint(D v, std::uint64_t units) {
        const U mask = vdupq_n_u64(0x1FFFFFFFu);
        const U w = vandq_u64(vaddq_u64(vandq_u64(as_u(v), mask), vdupq_n_u64(units - 0x10000000u)), mask);
        return vcleq_u64(w, vdupq_n_u64(2 * units));
    }
};
#endif

}  // namespace
}  // namespace ostrel::crmath
