#pragma once
// Local contrast: the detail that the guided filter removes from the
// luminance plane, scaled by a strength and added back.
#include <cstdint>

#include "core/image.hpp"

namespace ostrel {

// output = ((L - q) * strength) + L in float, q the guided filter of L, over
// an (H, W, 1) image in any layout. Another channel count is a kernel error.
KernelResult local_contrast(const ImageView& input, std::uint32_t radius, float eps, float strength);

}  // namespace ostrel
