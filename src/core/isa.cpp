#include "core/isa.hpp"

#include <atomic>
#include <cstdlib>

namespace ostrel {
namespace {

constexpr std::array<std::string_view, kIsaCount> kNames{"scalar", "sse2", "avx2", "avx512", "neon"};

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
constexpr bool kX86 = true;
#else
constexpr bool kX86 = false;
#endif

// Advanced SIMD is part of every aarch64 processor that runs a general
// purpose system, and the compiler already uses it for the baseline code:
// like SSE2 on x86-64, a build for the architecture has it.
#if defined(__aarch64__) && defined(__ARM_NEON) && (defined(__GNUC__) || defined(__clang__))
constexpr bool kNeon = true;
#else
constexpr bool kNeon = false;
#endif

bool query_support(Isa isa) noexcept {
    switch (isa) {
        case Isa::scalar:
            return true;
        case Isa::sse2:
            return kX86;
        case Isa::avx2:
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
#else
            return false;
#endif
        case Isa::avx512:
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") != 0;
#else
            return false;
#endif
        case Isa::neon:
            return kNeon;
    }
    return false;
}

constexpr int kNotForced = -1;
std::atomic<int> forced{kNotForced};

Isa default_isa() noexcept {
    static const Isa chosen = [] {
        const char* requested = std::getenv("OSTREL_ISA");
        if (requested != nullptr) {
            if (const auto isa = parse_isa(requested); isa && isa_supported(*isa)) return *isa;
        }
        return best_isa();
    }();
    return chosen;
}

}  // namespace

std::string_view isa_name(Isa isa) noexcept {
    const auto index = static_cast<std::size_t>(isa);
    return index < kNames.size() ? kNames[index] : std::string_view("unknown");
}

std::optional<Isa> parse_isa(std::string_view name) noexcept {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i] == name) return static_cast<Isa>(i);
    }
    return std::nullopt;
}

// Every batch call asks, so the answers are kept.
bool isa_supported(Isa isa) noexcept {
    static const std::array<bool, kIsaCount> supported = [] {
        std::array<bool, kIsaCount> answers{};
        for (std::size_t i = 0; i < kIsaCount; ++i) answers[i] = query_support(static_cast<Isa>(i));
        return answers;
    }();
    const auto index = static_cast<std::size_t>(isa);
    return index < supported.size() && supported[index];
}

Isa best_isa() noexcept {
    static const Isa best = [] {
        for (const Isa isa : kIsaPreference) {
            if (isa_supported(isa)) return isa;
        }
        return Isa::scalar;
    }();
    return best;
}

Isa active_isa() noexcept {
    const int value = forced.load(std::memory_order_relaxed);
    return value == kNotForced ? default_isa() : static_cast<Isa>(value);
}

bool force_isa(std::optional<Isa> isa) noexcept {
    if (!isa) {
        forced.store(kNotForced, std::memory_order_relaxed);
        return true;
    }
    if (!isa_supported(*isa)) return false;
    forced.store(static_cast<int>(*isa), std::memory_order_relaxed);
    return true;
}

}  // namespace ostrel
