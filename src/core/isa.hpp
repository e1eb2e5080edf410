#pragma once
// The one run-time dispatch mechanism: which instruction set the vectorised
// code runs on. Every vectorised piece (the cr_math batch functions, the
// kernels' element loops) keeps an IsaTable, one entry per instruction set,
// and takes the entry of active_isa(). Every entry performs the same IEEE
// operations in the same order, so the choice changes the speed, never a bit.
//
// A new instruction set is an enumerator below plus its name, its fallback,
// its place in kIsaPreference and its processor check in isa.cpp; tables that
// have no copy for it fall back along its chain.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ostrel {

enum class Isa : std::uint8_t {
    scalar,  // no vector instructions at all
    sse2,    // two doubles, four floats: the baseline of every x86-64 processor
    avx2,    // four doubles, eight floats (no FMA: contraction is off anyway)
    avx512,  // AVX-512F: eight doubles, sixteen floats
    neon,    // ARM Advanced SIMD (ASIMD): two doubles, four floats; the baseline of every aarch64 processor
};
inline constexpr std::size_t kIsaCount = 5;

// The fastest first: best_isa() is the first supported one. A processor has
// either the x86 sets or NEON, never both.
inline constexpr std::array<Isa, kIsaCount> kIsaPreference{Isa::avx512, Isa::avx2, Isa::sse2, Isa::neon, Isa::scalar};

// The set to use instead when `isa` has no entry in a table or is not
// supported: the next slower one on the same processor family.
constexpr Isa isa_fallback(Isa isa) noexcept {
    switch (isa) {
        case Isa::avx512:
            return Isa::avx2;
        case Isa::avx2:
            return Isa::sse2;
        case Isa::sse2:
        case Isa::neon:
        case Isa::scalar:
            return Isa::scalar;
    }
    return Isa::scalar;
}

// "scalar", "sse2", "avx2", "avx512", "neon"; parse_isa reads them back.
std::string_view isa_name(Isa isa) noexcept;
std::optional<Isa> parse_isa(std::string_view name) noexcept;

// Whether this build has code for `isa` and this processor can run it
// (scalar always can). Asked of the processor once.
bool isa_supported(Isa isa) noexcept;
// The fastest supported set.
Isa best_isa() noexcept;

// The set the kernels use now: the one force_isa() set, else the one named by
// the environment variable OSTREL_ISA when the process first asks (if it
// names a supported set), else best_isa().
Isa active_isa() noexcept;

// For tests: makes every later call use `isa`, process-wide, or returns to the
// default with std::nullopt. Returns false and changes nothing when `isa` is
// not supported here.
bool force_isa(std::optional<Isa> isa) noexcept;

// One entry (a function pointer, or a pointer to a table of them) per
// instruction set; a null entry means no copy for that set.
template <class Entry>
struct IsaTable {
    std::array<Entry, kIsaCount> entries{};

    // The entry of `isa`, or of the first set down its fallback chain that has
    // one and is supported. The scalar entry must be present.
    Entry select(Isa isa) const noexcept {
        for (;;) {
            const Entry entry = entries[static_cast<std::size_t>(isa)];
            if ((entry != nullptr && isa_supported(isa)) || isa == Isa::scalar) return entry;
            isa = isa_fallback(isa);
        }
    }
};

}  // namespace ostrel
