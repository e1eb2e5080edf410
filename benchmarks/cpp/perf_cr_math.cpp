// ns per element of the correctly rounded float functions on every path the
// processor has against the C runtime's, on 16M elements (or the count given
// as the first argument), one thread; and each path's time as a share of the
// scalar path's, the figure that means something under an emulator.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/cr_math.hpp"

namespace {

std::size_t kCount = std::size_t{1} << 24;
constexpr int kRuns = 5;
constexpr float kEncodeExponent = std::bit_cast<float>(std::uint32_t{0x3ED55555});

double median_ns(const std::function<void()>& job) {
    std::vector<double> times;
    for (int run = 0; run <= kRuns; ++run) {
        const auto start = std::chrono::steady_clock::now();
        job();
        const auto stop = std::chrono::steady_clock::now();
        if (run > 0) times.push_back(std::chrono::duration<double, std::nano>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2] / static_cast<double>(kCount);
}

// Deterministic inputs spread evenly over [low, high).
std::vector<float> spread(float low, float high) {
    std::vector<float> v(kCount);
    std::uint32_t state = 12345u;
    for (auto& x : v) {
        state = state * 1664525u + 1013904223u;
        x = low + (high - low) * static_cast<float>(state >> 8) * 0x1p-24f;
    }
    return v;
}

// The scalar path first, then the supported vector paths, slowest first.
std::vector<ostrel::Isa> supported_paths() {
    std::vector<ostrel::Isa> paths{ostrel::Isa::scalar};
    for (auto it = ostrel::kIsaPreference.rbegin(); it != ostrel::kIsaPreference.rend(); ++it) {
        if (*it != ostrel::Isa::scalar && ostrel::isa_supported(*it)) paths.push_back(*it);
    }
    return paths;
}

template <class Libm, class Ours>
void bench(const char* name, const std::vector<float>& input, Libm libm, Ours ours) {
    const float* in = input.data();
    std::vector<float> out(kCount);
    std::vector<float> check(kCount);
    const double libm_ns = median_ns([&] {
        for (std::size_t i = 0; i < kCount; ++i) out[i] = libm(in[i]);
    });
    std::printf("%-22s %9.2f", name, libm_ns);
    double scalar_ns = 0;
    std::string ratios;
    for (const ostrel::Isa isa : supported_paths()) {
        const double ns = median_ns([&] { ours(in, check.data(), kCount, isa); });
        if (isa == ostrel::Isa::scalar) scalar_ns = ns;
        std::printf(" %9.2f", ns);
        if (isa != ostrel::Isa::scalar && scalar_ns > 0) {
            char text[64];
            std::snprintf(text, sizeof text, " %s/scalar %.2f", std::string(ostrel::isa_name(isa)).c_str(),
                          ns / scalar_ns);
            ratios += text;
        }
    }
    std::size_t differ = 0;
    for (std::size_t i = 0; i < kCount; ++i) {
        differ += std::bit_cast<std::uint32_t>(out[i]) != std::bit_cast<std::uint32_t>(check[i]) ? 1u : 0u;
    }
    std::printf(" %9zu %s\n", differ, ratios.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) kCount = std::max<std::size_t>(std::stoul(argv[1]), 1);
    std::printf("%zu elements, one thread, median of %d runs, ns per element\n", kCount, kRuns);
    std::printf("%-22s %9s", "function", "libm");
    for (const ostrel::Isa isa : supported_paths()) std::printf(" %9s", std::string(ostrel::isa_name(isa)).c_str());
    std::printf(" %9s\n", "differ");
    std::vector<float> log_input = spread(-25.0f, 5.0f);
    for (auto& x : log_input) x = std::exp2(x);  // luminances over 30 stops
    bench(
        "logf", log_input, [](float x) { return std::log(x); },
        [](const float* in, float* out, std::size_t n, ostrel::Isa p) { ostrel::cr_logf_batch(in, out, n, p); });
    bench(
        "expf", spread(-30.0f, 0.0f), [](float x) { return std::exp(x); },
        [](const float* in, float* out, std::size_t n, ostrel::Isa p) { ostrel::cr_expf_batch(in, out, n, p); });
    bench(
        "exp2f", spread(-4.0f, 4.0f), [](float x) { return std::exp2(x); },
        [](const float* in, float* out, std::size_t n, ostrel::Isa p) { ostrel::cr_exp2f_batch(in, out, n, p); });
    bench(
        "powf(x, 0.41666666)", spread(0.0031308f, 1.0f), [](float x) { return std::pow(x, kEncodeExponent); },
        [](const float* in, float* out, std::size_t n, ostrel::Isa p) {
            ostrel::cr_powf_batch(in, kEncodeExponent, out, n, p);
        });
    static const ostrel::PowfTable encode_table = ostrel::make_powf_table(kEncodeExponent);
    bench(
        "powf table (same y)", spread(0.0031308f, 1.0f), [](float x) { return std::pow(x, kEncodeExponent); },
        [](const float* in, float* out, std::size_t n, ostrel::Isa p) {
            ostrel::cr_powf_batch(in, encode_table, out, n, p);
        });
    std::printf("(differ: libm results that are not the correctly rounded ones)\n");
    return 0;
}
