#pragma once
// Copies of one element loop compiled for each x86 instruction set, for an
// IsaTable. The loop is a class with a static, always-inline `run`; each copy
// below inlines it into a function compiled for its set, so the loop
// vectorises with that set's vectors. The build forbids floating-point
// contraction, so every copy performs the same IEEE operations and gives the
// same bits. There is no copy below the baseline: the scalar entry shares the
// baseline copy with SSE2 on x86-64 and with NEON on aarch64 (the baseline
// loops use those vectors).
#include "core/isa.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define OSTREL_ISA_VARIANTS_X86 1
#else
#define OSTREL_ISA_VARIANTS_X86 0
#endif

namespace ostrel {

template <class Loop, class... Args>
struct LoopVariants {
    using Entry = void (*)(Args...) noexcept;

    static void baseline(Args... args) noexcept { Loop::run(args...); }
#if OSTREL_ISA_VARIANTS_X86
    [[gnu::target("avx2")]] static void avx2(Args... args) noexcept { Loop::run(args...); }
    [[gnu::target("avx512f")]] static void avx512(Args... args) noexcept { Loop::run(args...); }
    static constexpr IsaTable<Entry> table{{baseline, baseline, avx2, avx512}};
#elif defined(__aarch64__) && defined(__ARM_NEON)
    static constexpr IsaTable<Entry> table{{baseline, nullptr, nullptr, nullptr, baseline}};
#else
    static constexpr IsaTable<Entry> table{{baseline}};
#endif
};

}  // namespace ostrel
