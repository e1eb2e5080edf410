#pragma once
#include "core/image.hpp"

namespace ostrel {

// The IEC 61966-2-1 sRGB transfer encoding of every value of a C-contiguous
// (H, W, C) image, whatever C is.
// A view that is not C-contiguous is an internal fault.
KernelResult encode_srgb(const ImageView& input);

}  // namespace ostrel
