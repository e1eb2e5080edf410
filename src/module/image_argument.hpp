#pragma once
// An image argument (`img`, or another plane such as print_stage's
// `detailed`): a NumPy float32 array of three axes, read in place.
#include "core/image.hpp"
#include "module/py_ref.hpp"

namespace ostrel::py {

class ImageArgument {
public:
    // Accepts an ndarray (or subclass) of 3 axes whose dtype is equivalent to
    // native float32, whose data pointer and strides are whole float32
    // elements. Returns false with the exception set (argument '<name>': ...).
    bool convert(PyObject* object, const char* name = "img");

    const ImageView& view() const noexcept { return view_; }

private:
    Ref array_;  // held until the call ends: the kernel reads its memory
    ImageView view_;
};

}  // namespace ostrel::py
