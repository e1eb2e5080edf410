#pragma once
// The sRGB encoding of one tile of values, shared by encode_srgb and by the
// darkroom's kernels that end in the encoding (so that both give the same
// bits): x * 12.92 up to the threshold, else 1.055 * x^(1/2.4) - 0.055, in
// single precision, the power through the vectorised table power (correctly
// rounded like cr_powf). Values of the linear segment feed the power 1.0
// instead, which costs nothing and keeps zeros and negatives off its slow
// special-value lane. Only x itself can be NaN here (the constants never
// are, and no operation makes a NaN from numbers: x^(1/2.4) of a negative x
// never runs), so every NaN result is x's own, quieted: the NaN rule's
// result (core/nan_rule.hpp) on every architecture.
#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/cr_math.hpp"
#include "core/isa.hpp"

namespace ostrel::srgb {

// The constants as stored bit patterns, so no decimal-to-binary rounding of a
// compiler can change them.
inline constexpr float kLinearThreshold = std::bit_cast<float>(std::uint32_t{0x3B4D2E1C});  // 0.0031308
inline constexpr float kLinearSlope = std::bit_cast<float>(std::uint32_t{0x414EB852});      // 12.92
inline constexpr float kExponent = std::bit_cast<float>(std::uint32_t{0x3ED55555});         // 1/2.4
inline constexpr float kScale = std::bit_cast<float>(std::uint32_t{0x3F870A3D});            // 1.055
inline constexpr float kOffset = std::bit_cast<float>(std::uint32_t{0xBD6147AE});           // -0.055

// Values per tile: 2 KiB of scratch, enough per batch power call to amortise its set-up.
inline constexpr std::size_t kTile = 512;

// The power tables of 1/2.4, made once per process.
const PowfTable& power_table() noexcept;

// y[i] = the encoding of x[i] for i < n <= kTile; `scratch` holds n floats.
// x and y may be the same array; scratch overlaps neither. Compiled into the
// caller's instruction-set copy; `isa` picks the batch power of that set.
[[gnu::always_inline]] inline void encode_tile(const float* x, float* y, std::size_t n, const PowfTable& power, Isa isa,
                                               float* scratch) noexcept {
    for (std::size_t i = 0; i < n; ++i) scratch[i] = x[i] <= kLinearThreshold ? 1.0f : x[i];
    cr_powf_batch(scratch, power, scratch, n, isa);
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = x[i] <= kLinearThreshold ? x[i] * kLinearSlope : scratch[i] * kScale + kOffset;
    }
}

}  // namespace ostrel::srgb
