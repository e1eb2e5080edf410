#include "encode/encode_srgb.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "core/cr_math.hpp"
#include "core/fault.hpp"
#include "core/isa_variants.hpp"
#include "parallel/parallel_for.hpp"

namespace ostrel {
namespace {

// The constants as stored bit patterns, so no decimal-to-binary rounding of a
// compiler can change them.
constexpr float kLinearThreshold = std::bit_cast<float>(std::uint32_t{0x3B4D2E1C});  // 0.0031308
constexpr float kLinearSlope = std::bit_cast<float>(std::uint32_t{0x414EB852});      // 12.92
constexpr float kExponent = std::bit_cast<float>(std::uint32_t{0x3ED55555});         // 1/2.4
constexpr float kScale = std::bit_cast<float>(std::uint32_t{0x3F870A3D});            // 1.055
constexpr float kOffset = std::bit_cast<float>(std::uint32_t{0xBD6147AE});           // -0.055

// The encoding of one value x, in single precision: x * 12.92 up to the
// threshold, else 1.055 * x^(1/2.4) - 0.055. Encoded a run at a time, a tile
// at a time: the powers of a tile go through the vectorised table power
// (correctly rounded like cr_powf, so the bits are those of the formula).
// Values of the linear segment feed it 1.0 instead, which costs nothing and
// keeps zeros and negatives, common in real images, off its slow
// special-value lane. Compiled once per instruction set; `isa` picks the
// batch power of the same set. Only x itself can be NaN here (the constants
// never are, and no operation makes a NaN from numbers: x^(1/2.4) of a
// negative x never runs), so every NaN result is x's own, quieted, which is
// the NaN rule's result (core/nan_rule.hpp) on every architecture.
struct EncodeRun {
    [[gnu::always_inline]] static inline void run(const float* input, float* output, std::size_t count,
                                                  const PowfTable& power, Isa isa) noexcept {
        // 2 KiB of scratch: enough values per batch call to amortise its set-up.
        constexpr std::size_t kTile = 512;
        float scratch[kTile];
        for (std::size_t base = 0; base < count; base += kTile) {
            const std::size_t n = std::min(kTile, count - base);
            const float* x = input + base;
            for (std::size_t i = 0; i < n; ++i) scratch[i] = x[i] <= kLinearThreshold ? 1.0f : x[i];
            cr_powf_batch(scratch, power, scratch, n, isa);
            float* y = output + base;
            for (std::size_t i = 0; i < n; ++i) {
                y[i] = x[i] <= kLinearThreshold ? x[i] * kLinearSlope : scratch[i] * kScale + kOffset;
            }
        }
    }
};

using EncodeRuns = LoopVariants<EncodeRun, const float*, float*, std::size_t, const PowfTable&, Isa>;

}  // namespace

KernelResult encode_srgb(const ImageView& input) {
    if (!input.is_c_contiguous()) raise_internal_fault("encode_srgb: input must be C-contiguous");
    ResultBuffer output(input.shape);
    const float* source = input.origin;
    float* target = output.data();
    // The exponent is a constant: its tables are made once per process.
    static const PowfTable power = make_powf_table(kExponent);
    const Isa isa = active_isa();  // one instruction set for the whole call
    const auto run = EncodeRuns::table.select(isa);
    parallel::for_each_range(output.size(), [&](std::size_t begin, std::size_t end) {
        run(source + begin, target + begin, end - begin, power, isa);
    });
    return output;
}

}  // namespace ostrel
