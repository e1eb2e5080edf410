// The AVX-512 batch paths of cr_math: eight doubles a pack and native lane
// masks. Only this file is compiled for AVX-512F (no FMA is used), and it runs
// only where the processor has AVX-512F (see core/isa.hpp).
#include <cstddef>
#include <cstdint>

#include "core/cr_math.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// GCC 12's AVX-512 intrinsics start their results from _mm512_undefined_*(),
// which its own flow analysis then reports as maybe uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

// Everything compiled below this point may use AVX-512F. Standard headers stay
// above it so that no shared inline function gets an AVX-512 body.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

#include "core/cr_math_kernels.hpp"

namespace ostrel::crmath {
namespace {

typedef std::uint64_t U64x8 __attribute__((vector_size(64)));

struct Avx512Pack {
    static constexpr std::size_t width = 8;
    using D = __m512d;
    using U = U64x8;
    using M = __mmask8;

    static __m512i to_i(U v) { return reinterpret_cast<__m512i>(v); }
    static __m512i bits(D v) { return _mm512_castpd_si512(v); }

    static D load_f(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
    static void store_f(float* p, D v) { _mm256_storeu_ps(p, _mm512_cvtpd_ps(v)); }
    static D splat(double v) { return _mm512_set1_pd(v); }
    static U as_u(D v) { return reinterpret_cast<U>(bits(v)); }
    static D as_d(U v) { return _mm512_castsi512_pd(to_i(v)); }
    static U gather_u(const std::uint64_t* table, U index) {
        if (table == kExp2Table) return exp2_table(index);
        return reinterpret_cast<U>(_mm512_i64gather_epi64(to_i(index), table, 8));
    }
    // The 64 entries of kExp2Table from registers: four two-register permutes
    // pick by the index's low four bits, its bits 4 and 5 choose among them.
    static U exp2_table(U index) {
        const __m512i i = to_i(index);
        const auto part = [&](int k) {
            const __m512i lo = _mm512_loadu_si512(kExp2Table + 16 * k);
            const __m512i hi = _mm512_loadu_si512(kExp2Table + 16 * k + 8);
            return _mm512_permutex2var_epi64(lo, i, hi);
        };
        const __mmask8 bit4 = _mm512_test_epi64_mask(i, _mm512_set1_epi64(16));
        const __mmask8 bit5 = _mm512_test_epi64_mask(i, _mm512_set1_epi64(32));
        const __m512i low = _mm512_mask_blend_epi64(bit4, part(0), part(1));
        const __m512i high = _mm512_mask_blend_epi64(bit4, part(2), part(3));
        return reinterpret_cast<U>(_mm512_mask_blend_epi64(bit5, low, high));
    }
    static void gather_pair(const double* table, U index, D& first, D& second) {
        const __m512i at = to_i(index + index);
        first = _mm512_i64gather_pd(at, table, 8);
        second = _mm512_i64gather_pd(at, table + 1, 8);
    }
    // vminpd/vmaxpd return the second operand when unordered, like minpd/maxpd.
    static D min(D a, D b) { return _mm512_min_pd(a, b); }
    static D max(D a, D b) { return _mm512_max_pd(a, b); }
    static D and_d(D v, std::uint64_t mask) {
        return _mm512_castsi512_pd(_mm512_and_si512(bits(v), _mm512_set1_epi64(static_cast<long long>(mask))));
    }
    static D abs(D v) { return and_d(v, 0x7FFFFFFFFFFFFFFFull); }
    static M lt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M gt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M eq(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M m_and(M a, M b) { return static_cast<M>(a & b); }
    static M m_or(M a, M b) { return static_cast<M>(a | b); }
    static M m_not(M a) { return static_cast<M>(~a); }
    static D select(M m, D a, D b) { return _mm512_mask_blend_pd(m, b, a); }
    static int mask_bits(M m) { return static_cast<int>(m); }
    static M near_midpoint(D v, std::uint64_t units) {
        const __m512i mask = _mm512_set1_epi64(0x1FFFFFFF);
        const __m512i low = _mm512_and_si512(bits(v), mask);
        const __m512i w = _mm512_and_si512(
            _mm512_add_epi64(low, _mm512_set1_epi64(static_cast<long long>(units) - 0x10000000)), mask);
        return _mm512_cmple_epu64_mask(w, _mm512_set1_epi64(static_cast<long long>(2 * units)));
    }
};

using F = BatchFunctions<Avx512Pack>;

}  // namespace

extern const cr_math_detail::BatchTable kAvx512Batch;
const cr_math_detail::BatchTable kAvx512Batch{F::logf, F::expf, F::exp2f, F::powf, F::powf_table};

}  // namespace ostrel::crmath

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
