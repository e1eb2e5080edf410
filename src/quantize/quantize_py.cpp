// Python face of quantize: the codes go into the caller's array (`out`, a
// writable C-contiguous uint8 or uint16 buffer), which the kernel fills
// without the lock, as NumPy's `out=` arguments do.
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "darkroom/registry.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/image_argument.hpp"
#include "quantize/quantize.hpp"

namespace ostrel::py {
namespace {

constexpr Parameter kParameters[] = {
    {"img"},
    {"out"},
};

// A buffer held for the call and released at its end.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool acquire(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
        return held_;
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// 8 or 16 for a buffer of native uint8 or uint16 items, else 0.
int code_bits(const Py_buffer& buffer) noexcept {
    const char* format = buffer.format != nullptr ? buffer.format : "B";
    if (format[0] == '=' || format[0] == '@') ++format;
    if (buffer.itemsize == 1 && std::strcmp(format, "B") == 0) return 8;
    if (buffer.itemsize == 2 && std::strcmp(format, "H") == 0) return 16;
    return 0;
}

PyObject* quantize_body(const KernelArguments& args) {
    HeldBuffer out;
    if (!out.acquire(args[1])) {
        prefix_argument_error(args.name(1));
        return nullptr;
    }
    const Py_buffer& buffer = out.view();
    const int bits = code_bits(buffer);
    if (bits == 0) {
        PyErr_SetString(PyExc_TypeError, "quantize: out must be an array of uint8 or uint16");
        return nullptr;
    }
    const ImageView& view = args.image();
    const std::size_t samples = view.height() * view.width() * view.channels();
    if (static_cast<std::size_t>(buffer.len) != samples * static_cast<std::size_t>(buffer.itemsize)) {
        PyErr_Format(PyExc_ValueError, "quantize: out holds %zd codes, img has %zu samples",
                     buffer.len / buffer.itemsize, samples);
        return nullptr;
    }
    std::optional<Failure> failure;
    {
        GilReleased unlocked;
        try {
            if (bits == 8) {
                quantize(view, std::span(static_cast<std::uint8_t*>(buffer.buf), samples));
            } else {
                quantize(view, std::span(static_cast<std::uint16_t*>(buffer.buf), samples));
            }
        } catch (...) {
            failure.emplace(Failure::current_exception());
        }
    }
    if (failure) {
        raise_failure(*failure);
        return nullptr;
    }
    Py_INCREF(args[1]);
    return args[1];
}

constexpr const char kDoc[] =
    "Display values to the nearest 8- or 16-bit code, into ``out``.\n"
    "\n"
    "Each sample is clipped to [0, 1] (NaN to 0) and multiplied by the top\n"
    "code (255 for a uint8 ``out``, 65535 for uint16) in double precision,\n"
    "which is exact, then rounded to the nearest integer, ties to even:\n"
    "NumPy's ``rint`` of the same product.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Shape ``(H, W, C)``, dtype ``float32``, any strides: display values.\n"
    "out : numpy.ndarray\n"
    "    Writable, C-contiguous, dtype ``uint8`` or ``uint16``, H * W * C\n"
    "    items: the codes in row-major order.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    ``out``.\n"
    "\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If ``out`` is not a writable C-contiguous uint8 or uint16 buffer.\n"
    "ValueError\n"
    "    If ``out`` does not hold one code per sample.";

}  // namespace

const KernelDeclaration quantize_kernel{"quantize", kParameters, kDoc, quantize_body};

}  // namespace ostrel::py
