#pragma once
// The kernels' view of an input image and the owned result they hand back.
// Nothing here knows about Python: kernels are plain functions over these types.
#include <cstddef>
#include <string>
#include <utility>
#include <variant>

#include "core/aligned_buffer.hpp"
#include "core/failure.hpp"

namespace ostrel {

struct Shape3 {
    std::size_t height = 0;
    std::size_t width = 0;
    std::size_t channels = 0;

    friend bool operator==(const Shape3&, const Shape3&) = default;
};

// "[H, W, C]", the form every shape message uses.
std::string shape_text(const Shape3& shape);

// Read-only (H, W, C) float32 view with signed strides counted in elements.
// It addresses exactly the elements of the caller's array, in any layout.
struct ImageView {
    const float* origin = nullptr;  // element (0, 0, 0)
    Shape3 shape;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    std::ptrdiff_t channel_stride = 0;

    std::size_t height() const noexcept { return shape.height; }
    std::size_t width() const noexcept { return shape.width; }
    std::size_t channels() const noexcept { return shape.channels; }

    const float* row(std::size_t y) const noexcept { return origin + static_cast<std::ptrdiff_t>(y) * row_stride; }
    const float* pixel(std::size_t y, std::size_t x) const noexcept {
        return row(y) + static_cast<std::ptrdiff_t>(x) * col_stride;
    }

    // NumPy's C-contiguity rule: empty views pass, and an axis of length 1 may
    // carry any stride.
    bool is_c_contiguous() const noexcept;

    // A view over a contiguous row-major (H, W, C) block.
    static ImageView contiguous(const float* data, Shape3 shape) noexcept;
};

// A freshly allocated row-major (H, W, C) float32 image; move-only.
class ResultBuffer {
public:
    // Uninitialised storage for shape.height * width * channels floats.
    explicit ResultBuffer(Shape3 shape);

    ResultBuffer(ResultBuffer&&) noexcept = default;
    ResultBuffer& operator=(ResultBuffer&&) noexcept = default;

    const Shape3& shape() const noexcept { return shape_; }
    std::size_t size() const noexcept { return storage_.size(); }
    float* data() noexcept { return storage_.data(); }
    const float* data() const noexcept { return storage_.data(); }
    float* row(std::size_t y) noexcept { return data() + y * shape_.width * shape_.channels; }
    ImageView view() const noexcept { return ImageView::contiguous(data(), shape_); }

    // Hands the storage to a new owner, which must release it with free_aligned_bytes.
    float* release_storage() noexcept { return storage_.release(); }

private:
    Shape3 shape_;
    AlignedBuffer<float> storage_;
};

// A kernel's outcome: the result image or a kernel error.
class KernelResult {
public:
    KernelResult(ResultBuffer result) noexcept : outcome_(std::move(result)) {}  // NOLINT: implicit by design
    KernelResult(KernelError error) noexcept : outcome_(std::move(error)) {}     // NOLINT

    bool ok() const noexcept { return std::holds_alternative<ResultBuffer>(outcome_); }
    // Only for an outcome of that kind (ok() tells which).
    ResultBuffer& value() noexcept { return *std::get_if<ResultBuffer>(&outcome_); }
    KernelError& error() noexcept { return *std::get_if<KernelError>(&outcome_); }
    const std::string& error_text() const noexcept { return std::get_if<KernelError>(&outcome_)->text; }

private:
    std::variant<ResultBuffer, KernelError> outcome_;
};

}  // namespace ostrel
