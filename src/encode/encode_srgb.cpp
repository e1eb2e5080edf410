#include "encode/encode_srgb.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "core/cr_math.hpp"
#include "core/fault.hpp"
#include "core/vector_clones.hpp"
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

}  // namespace

float encode_srgb_value(float linear) noexcept {
    if (linear <= kLinearThreshold) return linear * kLinearSlope;
    return cr_powf(linear, kExponent) * kScale + kOffset;
}

namespace {

// encode_srgb_value over a run, a tile at a time: the powers of a tile go
// through the vectorised table power (correctly rounded like cr_powf, so the
// bits are those of encode_srgb_value). Values of the linear segment feed it
// 1.0 instead, which costs nothing and keeps zeros and negatives, common in
// real images, off its slow special-value lane.
OSTREL_VECTOR_CLONES
void encode_run(const float* input, float* output, std::size_t count, const PowfTable& power) noexcept {
    constexpr std::size_t kTile = 512;
    float scratch[kTile];
    for (std::size_t base = 0; base < count; base += kTile) {
        const std::size_t n = std::min(kTile, count - base);
        const float* x = input + base;
        for (std::size_t i = 0; i < n; ++i) scratch[i] = x[i] <= kLinearThreshold ? 1.0f : x[i];
        cr_powf_batch(scratch, power, scratch, n);
        float* y = output + base;
        for (std::size_t i = 0; i < n; ++i) {
            y[i] = x[i] <= kLinearThreshold ? x[i] * kLinearSlope : scratch[i] * kScale + kOffset;
        }
    }
}

}  // namespace

KernelResult encode_srgb(const ImageView& input) {
    if (!input.is_c_contiguous()) raise_internal_fault("encode_srgb: input must be C-contiguous");
    ResultBuffer output(input.shape);
    const float* source = input.origin;
    float* target = output.data();
    // The exponent is a constant: its tables are made once per process.
    static const PowfTable power = make_powf_table(kExponent);
    parallel::for_each_range(output.size(), [&](std::size_t begin, std::size_t end) {
        encode_run(source + begin, target + begin, end - begin, power);
    });
    return output;
}

}  // namespace ostrel
