#pragma once
// The self-guided He-Sun-Tang filter over one float plane. Every window mean
// comes from a double summed-area table (four reads per window), windows are
// clipped at the border and divide by their true pixel count, and the
// coefficients a and b are rounded to float before their own window means.
// The operation order is fixed, so the bits never depend on the thread count;
// NaN results follow the NaN rule (core/nan_rule.hpp) with the operands in the
// order written, so they do not depend on the architecture either.
#include <cstddef>
#include <cstdint>

#include "core/image.hpp"

namespace ostrel {

// A read-only (H, W) float plane with signed element strides, in any layout.
struct PlaneView {
    const float* origin = nullptr;  // element (0, 0)
    std::size_t height = 0;
    std::size_t width = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
};

// The two settings a GuidedFilterParams object carries into the kernel.
struct GuidedFilterSettings {
    std::uint32_t radius = 0;
    float eps = 0.0f;
};

// The filtered plane q, row-major, as a buffer of shape (H, W, 1) so that the
// caller may finish its own pass in place and hand it on as a result.
// Accepts every input, radius and eps; an empty plane gives an empty buffer.
ResultBuffer guided_filter(const PlaneView& plane, std::uint32_t radius, float eps);

// The same bits from whole-plane tables: 20 bytes per pixel besides the result.
ResultBuffer guided_filter_plain(const PlaneView& plane, std::uint32_t radius, float eps);

// The same bits from tables kept as rings of 2 * radius + band_rows + 4 rows
// (capped at the height), advancing `band_rows` rows at a time (rounded up to
// a multiple of 4; 0 chooses from the width). guided_filter takes this form
// unless the rings would outweigh the whole planes.
ResultBuffer guided_filter_rolling(const PlaneView& plane, std::uint32_t radius, float eps, std::size_t band_rows);

}  // namespace ostrel
