#include "core/image.hpp"

namespace ostrel {

std::string shape_text(const Shape3& shape) {
    std::string text = "[";
    text += std::to_string(shape.height);
    text += ", ";
    text += std::to_string(shape.width);
    text += ", ";
    text += std::to_string(shape.channels);
    text += ']';
    return text;
}

bool ImageView::is_c_contiguous() const noexcept {
    if (shape.height == 0 || shape.width == 0 || shape.channels == 0) return true;
    const auto c = static_cast<std::ptrdiff_t>(shape.channels);
    const auto w = static_cast<std::ptrdiff_t>(shape.width);
    if (shape.channels != 1 && channel_stride != 1) return false;
    if (shape.width != 1 && col_stride != c) return false;
    if (shape.height != 1 && row_stride != w * c) return false;
    return true;
}

ImageView ImageView::contiguous(const float* data, Shape3 shape) noexcept {
    const auto c = static_cast<std::ptrdiff_t>(shape.channels);
    const auto w = static_cast<std::ptrdiff_t>(shape.width);
    return ImageView{data, shape, w * c, c, 1};
}

ResultBuffer::ResultBuffer(Shape3 s) : shape_(s) {
    // Each factor is at most a NumPy dimension; guard the product all the same.
    std::size_t count = s.height;
    if (s.width != 0 && count > SIZE_MAX / s.width) throw std::bad_alloc();
    count *= s.width;
    if (s.channels != 0 && count > SIZE_MAX / s.channels) throw std::bad_alloc();
    count *= s.channels;
    storage_ = AlignedBuffer<float>(count);
}

}  // namespace ostrel
