#include "local_contrast/local_contrast.hpp"

#include <string>
#include <type_traits>

#include "local_contrast/guided_filter.hpp"
#include "local_contrast/row_segments.hpp"

namespace ostrel {

KernelResult local_contrast(const ImageView& input, std::uint32_t radius, float eps, float strength) {
    if (input.channels() != 1) {
        return shape_error("local_contrast expects (H, W, 1) luminance input, got shape " + shape_text(input.shape));
    }
    const std::size_t height = input.height();
    const std::size_t width = input.width();
    // Channel 0, read in place through the input's own strides.
    const PlaneView luminance{input.origin, height, width, input.row_stride, input.col_stride};

    // The filtered plane already has the output's shape and layout; each
    // element is read once and then overwritten by its own output value.
    ResultBuffer output = guided_filter(luminance, radius, eps);
    float* out = output.data();
    const auto detail_pass = [&](auto column_stride) {
        for_each_row_segment(height, width, [&](std::size_t y, std::size_t xa, std::size_t xb) {
            float* row = out + y * width;
            const float* l_row = input.row(y);
            const std::ptrdiff_t step = column_stride;
            for (std::size_t x = xa; x < xb; ++x) {
                const float l = l_row[static_cast<std::ptrdiff_t>(x) * step];
                const float detail = l - row[x];
                const float scaled = detail * strength;
                row[x] = scaled + l;
            }
        });
    };
    // A unit column stride known at compile time lets the loop vectorise.
    if (input.col_stride == 1) {
        detail_pass(std::integral_constant<std::ptrdiff_t, 1>{});
    } else {
        detail_pass(input.col_stride);
    }
    return output;
}

}  // namespace ostrel
