// The AVX2 batch paths of cr_math. Only this file is compiled for AVX2 (the
// target pragma below is the file-wide form of __attribute__((target("avx2")));
// no FMA), and the dispatch table uses it only where the processor has AVX2.
#include <cstddef>
#include <cstdint>

#include "core/cr_math.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

// Everything compiled below this point may use AVX2. Standard headers stay
// above it so that no shared inline function gets an AVX2 body.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "core/cr_math_kernels.hpp"

namespace ostrel::crmath {
namespace {

typedef std::uint64_t U64x4 __attribute__((vector_size(32)));

struct Avx2Pack {
    static constexpr std::size_t width = 4;
    using D = __m256d;
    using U = U64x4;
    using M = __m256d;

    static D load_f(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static void store_f(float* p, D v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }
    static D splat(double v) { return _mm256_set1_pd(v); }
    static U as_u(D v) { return reinterpret_cast<U>(_mm256_castpd_si256(v)); }
    static D as_d(U v) { return _mm256_castsi256_pd(reinterpret_cast<__m256i>(v)); }
    // Four scalar loads: on common processors they beat the gather instructions.
    static U gather_u(const std::uint64_t* table, U index) {
        return reinterpret_cast<U>(
            _mm256_set_epi64x(static_cast<long long>(table[index[3]]), static_cast<long long>(table[index[2]]),
                              static_cast<long long>(table[index[1]]), static_cast<long long>(table[index[0]])));
    }
    // Lanes 0 and 2, then 1 and 3, share a register: unpacking then sorts the
    // pairs into the two results.
    static void gather_pair(const double* table, U index, D& first, D& second) {
        const D even = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(table + 2 * index[0])),
                                            _mm_loadu_pd(table + 2 * index[2]), 1);
        const D odd = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(table + 2 * index[1])),
                                           _mm_loadu_pd(table + 2 * index[3]), 1);
        first = _mm256_unpacklo_pd(even, odd);
        second = _mm256_unpackhi_pd(even, odd);
    }
    static D min(D a, D b) { return _mm256_min_pd(a, b); }
    static D max(D a, D b) { return _mm256_max_pd(a, b); }
    static D and_d(D v, std::uint64_t mask) {
        return _mm256_and_pd(v, _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(mask))));
    }
    static D abs(D v) { return and_d(v, 0x7FFFFFFFFFFFFFFFull); }
    static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static M eq(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M m_and(M a, M b) { return _mm256_and_pd(a, b); }
    static M m_or(M a, M b) { return _mm256_or_pd(a, b); }
    static M m_not(M a) { return _mm256_xor_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(-1))); }
    static D select(M m, D a, D b) { return _mm256_blendv_pd(b, a, m); }
    static int mask_bits(M m) { return _mm256_movemask_pd(m); }
    static M near_midpoint(D v, std::uint64_t units) {
        const __m256i mask = _mm256_set1_epi64x(0x1FFFFFFF);
        const __m256i low = _mm256_and_si256(_mm256_castpd_si256(v), mask);
        const __m256i w = _mm256_and_si256(
            _mm256_add_epi64(low, _mm256_set1_epi64x(static_cast<long long>(units) - 0x10000000)), mask);
        return _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(2 * units + 1)), w));
    }
};

using F = BatchFunctions<Avx2Pack>;

}  // namespace

extern const cr_math_detail::BatchTable kAvx2Batch;
const cr_math_detail::BatchTable kAvx2Batch{F::logf, F::expf, F::exp2f, F::powf, F::powf_table};

}  // namespace ostrel::crmath

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
