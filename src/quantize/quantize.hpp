#pragma once
// Quantising: display values to the nearest 8- or 16-bit code, the last step
// before a print is written.
//
// Per sample x (float32), with T = 255 or 65535, in double precision:
//
//   v = x where 0 <= x <= 1; 0 where x < 0 or x is NaN; 1 where x > 1
//   y = v * T                          (exact: 24 + 16 significant bits fit in 53)
//   code = (y + 2^52) - 2^52           (y rounded to the nearest integer, ties to
//                                       even, under the default rounding mode)
//
// So the code is the nearest to the exact value of x * T, ties to even:
// NumPy's rint of the same product. NaN gives 0 (black), +inf the top code.
// Each code depends only on its own sample: the same bits for any thread
// count, instruction set and layout.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/image.hpp"

namespace ostrel {

// One sample's code (the scalar form of the kernel).
std::uint16_t quantized_value(float x, std::uint32_t top) noexcept;

// codes[i] for the samples of `view` in row-major (y, x, c) order, any
// strides. `codes` must hold exactly H * W * C elements (else an internal
// fault).
void quantize(const ImageView& view, std::span<std::uint8_t> codes);
void quantize(const ImageView& view, std::span<std::uint16_t> codes);

}  // namespace ostrel
