#include "local_contrast/local_contrast.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>

#include "core/nan_rule.hpp"
#include "local_contrast/guided_filter.hpp"
#include "local_contrast/row_segments.hpp"

namespace ostrel {
namespace {

// ((L - q) * strength) + L by the NaN rule.
float ruled_detail(float l, float q, float strength) noexcept {
    return nan_rule::add(nan_rule::mul(nan_rule::sub(l, q), strength), l);
}

}  // namespace

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
    // A run of values goes through a small buffer: where one came out NaN, its
    // q is still in place to compute it again by the NaN rule.
    const auto detail_pass = [&](auto column_stride) {
        for_each_row_segment(height, width, [&](std::size_t y, std::size_t xa, std::size_t xb) {
            float* row = out + y * width;
            const float* l_row = input.row(y);
            const std::ptrdiff_t step = column_stride;
            constexpr std::size_t kRun = 256;
            float values[kRun];
            for (std::size_t begin = xa; begin < xb; begin += kRun) {
                const std::size_t n = std::min(kRun, xb - begin);
                std::uint32_t nan_flags = 0;
                for (std::size_t k = 0; k < n; ++k) {
                    const float l = l_row[static_cast<std::ptrdiff_t>(begin + k) * step];
                    const float detail = l - row[begin + k];
                    const float scaled = detail * strength;
                    values[k] = scaled + l;
                    nan_flags |= nan_rule::nan_flag(values[k]);
                }
                if (nan_rule::any_nan(nan_flags)) {
                    for (std::size_t k = 0; k < n; ++k) {
                        if (!nan_rule::is_nan(values[k])) continue;
                        const float l = l_row[static_cast<std::ptrdiff_t>(begin + k) * step];
                        values[k] = ruled_detail(l, row[begin + k], strength);
                    }
                }
                std::copy(values, values + n, row + begin);
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
