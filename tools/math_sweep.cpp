// Exhaustive accuracy sweep of the correctly rounded float functions against
// the C runtime's, over all 2^32 float inputs.
//
// Build (the CMake target math_sweep, with OSTREL_BUILD_TOOLS=ON, e.g. the
// `dev` preset: cmake --preset dev && cmake --build --preset dev --target math_sweep)
// Run:
//   out/build-dev/math_sweep [logf] [expf] [exp2f] [powf] [powf-table] [--step N] [--threads T]
// (no function names: all five; --step N tests every N-th bit pattern only).
//
// The reference is the long double libm rounded to float; where that value
// lies within 2^-56 (relative) of a rounding boundary, far wider than its own
// error, a 113-bit result decides instead: libquadmath's where long double
// has a 64-bit significand (x86-64), the long double function itself where
// long double is binary128 (aarch64 Linux). For each function the tool
// reports, for ours and for the C runtime: the largest error in ulps and the
// number of results that are not correctly rounded. For ours it also reports
// how often the slow path ran, the largest relative error of the
// double-precision fast path, and whether every instruction set the
// processor has gave the scalar path's bits. The functions, the calls into
// our code and the reference's parts are shared with the C++ tests
// (tests/cpp/cr_reference.hpp).
#include <atomic>
#include <bit>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/cr_math.hpp"
#include "cr_reference.hpp"

namespace {

using cr_reference::Fn;
using cr_reference::Power;
using cr_reference::same_bits;

// The powers' exponent and tables: the sRGB encoding's.
const Power& power() {
    static const Power fixed(cr_reference::kEncodeExponent);
    return fixed;
}

// The row of the table: the function with the exponent the powers use.
std::string label(Fn f) {
    std::string name = cr_reference::name(f);
    if (f == Fn::pow) return name + "(x, 0x1.aaaaaap-2)";
    if (f == Fn::pow_table) return name + " (same y)";
    return name;
}

float glibc(Fn f, float x) {
    switch (f) {
        case Fn::log:
            return logf(x);
        case Fn::exp:
            return expf(x);
        case Fn::exp2:
            return exp2f(x);
        case Fn::pow:
        case Fn::pow_table:
            return powf(x, power().y);
    }
    return 0;
}

// Correctly rounded reference and the long double value behind it.
struct Reference {
    float rounded;
    long double value;
    bool by_quad;
};

Reference reference(Fn f, float x) {
    const long double v = cr_reference::libm_long_double(f, x, power().y);
    const float r = static_cast<float>(v);
    if (std::isnan(v) || std::isinf(v) || v == 0) return {r, v, false};
    if (cr_reference::boundary_gap(v, r) <= fabsl(v) * 0x1p-56L) {
        return {static_cast<float>(cr_reference::quad_libm(f, x, power().y)), v, true};
    }
    return {r, v, false};
}

// Error of `got` in units of the last place at the exact value.
double ulp_error(float got, const Reference& ref) {
    if (std::isnan(ref.value) || std::isnan(got)) return std::isnan(ref.value) && std::isnan(got) ? 0.0 : INFINITY;
    if (same_bits(got, ref.rounded)) {
        if (std::isinf(got)) return 0.0;
    }
    const long double exact = ref.value;
    const long double g = std::isinf(got) ? std::copysign(0x1p128L, static_cast<long double>(got)) : got;
    const float fa = std::fmin(std::fabs(ref.rounded), FLT_MAX);
    long double ulp = cr_reference::float_ulp(fa);
    if (cr_reference::half_gap(fabsl(exact), fa) < ulp / 2) ulp /= 2;
    return static_cast<double>(fabsl(g - exact) / ulp);
}

struct Stats {
    std::uint64_t tested = 0;
    std::uint64_t ours_wrong = 0;
    std::uint64_t glibc_wrong = 0;
    double ours_max_ulp = 0;
    double glibc_max_ulp = 0;
    std::uint64_t slow = 0;
    std::uint64_t by_quad = 0;
    std::uint64_t path_mismatch = 0;
    double fast_max_rel = 0;
    std::uint32_t first_ours_wrong = 0;
    bool has_ours_wrong = false;

    void merge(const Stats& o) {
        tested += o.tested;
        ours_wrong += o.ours_wrong;
        glibc_wrong += o.glibc_wrong;
        ours_max_ulp = std::fmax(ours_max_ulp, o.ours_max_ulp);
        glibc_max_ulp = std::fmax(glibc_max_ulp, o.glibc_max_ulp);
        slow += o.slow;
        by_quad += o.by_quad;
        path_mismatch += o.path_mismatch;
        fast_max_rel = std::fmax(fast_max_rel, o.fast_max_rel);
        if (o.has_ours_wrong && (!has_ours_wrong || o.first_ours_wrong < first_ours_wrong)) {
            first_ours_wrong = o.first_ours_wrong;
            has_ours_wrong = true;
        }
    }
};

void sweep_chunk(Fn f, std::uint64_t begin, std::uint64_t count, std::uint64_t step, Stats& st) {
    std::vector<float> in;
    in.reserve(count / step + 1);
    // The multiples of `step` in [begin, begin + count): one global stride.
    for (std::uint64_t b = (begin + step - 1) / step * step; b < begin + count; b += step)
        in.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
    const std::size_t n = in.size();
    std::vector<float> best(n), scalar(n), other(n);
    cr_reference::batch(f, in.data(), best.data(), n, ostrel::best_isa(), power());
    cr_reference::batch(f, in.data(), scalar.data(), n, ostrel::Isa::scalar, power());
    for (std::size_t i = 0; i < n; ++i) {
        if (!same_bits(best[i], scalar[i])) ++st.path_mismatch;
    }
    for (const ostrel::Isa isa : ostrel::kIsaPreference) {
        if (isa == ostrel::best_isa() || isa == ostrel::Isa::scalar || !ostrel::isa_supported(isa)) continue;
        cr_reference::batch(f, in.data(), other.data(), n, isa, power());
        for (std::size_t i = 0; i < n; ++i) {
            if (!same_bits(other[i], scalar[i])) ++st.path_mismatch;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const float x = in[i];
        const Reference ref = reference(f, x);
        ++st.tested;
        if (ref.by_quad) ++st.by_quad;
        const float ours = best[i];
        if (!same_bits(ours, ref.rounded)) {
            ++st.ours_wrong;
            const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
            if (!st.has_ours_wrong || bits < st.first_ours_wrong) st.first_ours_wrong = bits;
            st.has_ours_wrong = true;
        }
        st.ours_max_ulp = std::fmax(st.ours_max_ulp, ulp_error(ours, ref));
        const float g = glibc(f, x);
        if (!same_bits(g, ref.rounded)) ++st.glibc_wrong;
        st.glibc_max_ulp = std::fmax(st.glibc_max_ulp, ulp_error(g, ref));
        const ostrel::cr_math_detail::Approx a = cr_reference::approx(f, x, power());
        if (a.slow) ++st.slow;
        if (std::isfinite(ref.value) && ref.value != 0 && std::isfinite(a.value) && fabsl(ref.value) > 0x1p-150L &&
            fabsl(ref.value) < 0x1p128L) {
            const double rel = static_cast<double>(fabsl((static_cast<long double>(a.value) - ref.value) / ref.value));
            st.fast_max_rel = std::fmax(st.fast_max_rel, rel);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Fn> fns;
    std::uint64_t step = 1;
    unsigned threads = std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "logf")
            fns.push_back(Fn::log);
        else if (a == "expf")
            fns.push_back(Fn::exp);
        else if (a == "exp2f")
            fns.push_back(Fn::exp2);
        else if (a == "powf")
            fns.push_back(Fn::pow);
        else if (a == "powf-table")
            fns.push_back(Fn::pow_table);
        else if (a == "--step" && i + 1 < argc)
            step = std::stoull(argv[++i]);
        else if (a == "--threads" && i + 1 < argc)
            threads = static_cast<unsigned>(std::stoul(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [logf] [expf] [exp2f] [powf] [powf-table] [--step N] [--threads T]\n",
                         argv[0]);
            return 2;
        }
    }
    if (fns.empty()) fns.assign(std::begin(cr_reference::kAllFns), std::end(cr_reference::kAllFns));
    const std::string path(ostrel::isa_name(ostrel::best_isa()));
    std::printf("inputs: every %llu-th of the 2^32 float bit patterns; threads: %u; best path: %s\n",
                static_cast<unsigned long long>(step), threads, path.c_str());
    std::printf("%-24s %14s %10s %12s %10s %12s %10s %9s %12s %8s %7s\n", "function", "tested", "ours ulp",
                "ours wrong", "libm ulp", "libm wrong", "slow path", "by quad", "fast err", "paths", "seconds");
    int failures = 0;
    for (Fn f : fns) {
        const auto start = std::chrono::steady_clock::now();
        constexpr std::uint64_t kChunk = std::uint64_t{1} << 20;
        const std::uint64_t chunks = (std::uint64_t{1} << 32) / kChunk;
        std::atomic<std::uint64_t> next{0};
        Stats total;
        std::mutex lock;
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < threads; ++t) {
            pool.emplace_back([&] {
                Stats local;
                for (std::uint64_t c = next++; c < chunks; c = next++) sweep_chunk(f, c * kChunk, kChunk, step, local);
                std::lock_guard<std::mutex> guard(lock);
                total.merge(local);
            });
        }
        for (auto& t : pool) t.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char fast_err[32];
        std::snprintf(fast_err, sizeof fast_err, "2^%.2f",
                      total.fast_max_rel > 0 ? std::log2(total.fast_max_rel) : -999.0);
        std::printf("%-24s %14llu %10.4f %12llu %10.4f %12llu %10llu %9llu %12s %8s %7.0f\n", label(f).c_str(),
                    static_cast<unsigned long long>(total.tested), total.ours_max_ulp,
                    static_cast<unsigned long long>(total.ours_wrong), total.glibc_max_ulp,
                    static_cast<unsigned long long>(total.glibc_wrong), static_cast<unsigned long long>(total.slow),
                    static_cast<unsigned long long>(total.by_quad), fast_err,
                    total.path_mismatch == 0 ? "same" : "DIFFER", seconds);
        if (total.has_ours_wrong) {
            std::printf("  first wrong input of ours: 0x%08X\n", total.first_ours_wrong);
        }
        if (total.ours_wrong != 0 || total.path_mismatch != 0) ++failures;
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
