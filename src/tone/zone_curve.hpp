#pragma once
// The Zone System tone curve: each zone adds a Gaussian bump of its offset (in
// stops) around its position, and every pixel is scaled by 2^(sum of bumps).
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/image.hpp"

namespace ostrel {

// Zone index -> offset in stops, sorted by ascending zone index with unique
// indices. The sorted order is also the summation order of the curve, so equal
// tables give identical bits in every process.
using ZoneOffsets = std::vector<std::pair<std::int32_t, float>>;

// The table for entries given in insertion order: sorted by zone index, and
// of entries with the same index the last one wins.
ZoneOffsets make_zone_offsets(ZoneOffsets entries);

// One bump of the curve: its centre on the zone axis and its height in stops.
struct ZoneTerm {
    float centre;
    float offset;
};

// The terms in table order.
std::vector<ZoneTerm> zone_terms(const ZoneOffsets& offsets);

// The zone position of a luminance value: log2(max(g, 1e-10) / 0.18) + 5,
// evaluated in the fixed single-precision operation order of the kernel.
float zone_position(float g) noexcept;

// One output value for input `g` with a non-empty term list.
float zone_curve_value(float g, std::span<const ZoneTerm> terms) noexcept;

// Applies the curve to a C-contiguous (H, W, 1) luminance image. Another
// channel count is a kernel error; a view that is not C-contiguous is an
// internal fault.
KernelResult zone_system(const ImageView& input, const ZoneOffsets& offsets);

}  // namespace ostrel
