#include "encode/encode_srgb.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "core/fault.hpp"
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
    return std::pow(linear, kExponent) * kScale + kOffset;
}

KernelResult encode_srgb(const ImageView& input) {
    if (!input.is_c_contiguous()) raise_internal_fault("encode_srgb: input must be C-contiguous");
    ResultBuffer output(input.shape);
    const float* source = input.origin;
    float* target = output.data();
    parallel::for_each_range(output.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) target[i] = encode_srgb_value(source[i]);
    });
    return output;
}

}  // namespace ostrel
