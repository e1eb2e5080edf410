// Edge burning: its refusals, the gain its header documents (1 in the middle,
// 2^stops at the corners, half the stops at the midpoint) against a
// double-precision formulation, a block of an image giving the whole image's
// bits, the NaN rule, and one set of bits for every instruction set.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/fault.hpp"
#include "core/isa.hpp"
#include "forced_isa.hpp"
#include "vignette/vignette.hpp"

namespace {

using ostrel::ImageView;
using ostrel::Placement;
using ostrel::Shape3;
using ostrel::Vignette;

constexpr Vignette kBurn{-1.5f, 0.7f, 0.6f};

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

std::vector<float> run(const std::vector<float>& plane, Shape3 shape, const Vignette& v, const Placement& p = {}) {
    ostrel::KernelResult result = ostrel::vignette(ImageView::contiguous(plane.data(), shape), v, p);
    if (!result.ok()) return {};
    return {result.value().data(), result.value().data() + result.value().size()};
}

// The gain from its definition, in double precision.
double gain_in_double(double y, double x, double h, double w, const Vignette& v) {
    const double d = std::sqrt(w * w + h * h);
    const double r = std::hypot((2 * x + 1 - w) / d, (2 * y + 1 - h) / d);
    const double t = std::fmin(std::fmax((r - (v.midpoint - v.feather / 2)) / v.feather, 0.0), 1.0);
    return std::exp2(v.stops * t * t * (3 - 2 * t));
}

}  // namespace

TEST_CASE("vignette: shapes, placements and parameters it refuses") {
    const std::vector<float> rgb(12, 0.5f);
    ostrel::KernelResult three = ostrel::vignette(ImageView::contiguous(rgb.data(), Shape3{2, 2, 3}), kBurn);
    REQUIRE(!three.ok());
    CHECK(three.error_text() == "vignette expects (H, W, 1) luminance input, got shape [2, 2, 3]");
    const std::vector<float> plane(6, 0.5f);
    ostrel::KernelResult outside =
        ostrel::vignette(ImageView::contiguous(plane.data(), Shape3{2, 3, 1}), kBurn, Placement{9, 0, 10, 3});
    REQUIRE(!outside.ok());
    CHECK(outside.error_text() ==
          "vignette: a plane of shape [2, 3, 1] at row 9, column 0 does not fit a 10 x 3 image");
    CHECK(ostrel::vignette_problem({20.0f, 0.5f, 0.5f}) == "stops must be finite and at most 16 either way, got 20");
    CHECK(ostrel::vignette_problem({1.0f, 0.5f, 0.0f}) == "feather must be above 0, up to 2, got 0");
    CHECK(ostrel::vignette_problem({1.0f, -0.1f, 0.5f}) == "midpoint must be 0..2, got -0.1");
    bool faulted = false;
    try {
        (void)ostrel::vignette(ImageView::contiguous(plane.data(), Shape3{2, 3, 1}), {1.0f, 0.5f, 0.0f});
    } catch (const ostrel::InternalFault&) {
        faulted = true;
    }
    CHECK(faulted);
}

TEST_CASE("vignette: the gain follows its definition, 1 inside and 2^stops at the corners") {
    const std::size_t h = 301;
    const std::size_t w = 457;
    double worst = 0.0;
    for (std::size_t y = 0; y < h; y += 7) {
        for (std::size_t x = 0; x < w; x += 5) {
            const double exact = gain_in_double(double(y), double(x), double(h), double(w), kBurn);
            const double got = ostrel::vignette_gain(y, x, h, w, kBurn);
            worst = std::fmax(worst, std::fabs(got - exact) / exact);
        }
    }
    CHECK(worst < 1e-6);
    CHECK(ostrel::vignette_gain(150, 228, h, w, kBurn) == 1.0f);  // the centre pixel is untouched
    const Vignette corner_only{-2.0f, 0.5f, 0.2f};                // fully on beyond r = 0.6
    CHECK(ostrel::vignette_gain(0, 0, h, w, corner_only) == 0.25f);
}

TEST_CASE("vignette: a block of an image gets the whole image's bits, the NaN rule") {
    const Shape3 whole{64, 96, 1};
    std::vector<float> plane(whole.height * whole.width);
    for (std::size_t i = 0; i < plane.size(); ++i) plane[i] = 0.001f * static_cast<float>(i % 977);
    plane[5] = std::bit_cast<float>(std::uint32_t{0x7F800123u});
    plane[6] = std::numeric_limits<float>::infinity();
    const std::vector<float> full = run(plane, whole, kBurn);
    REQUIRE(full.size() == plane.size());
    CHECK(bits(full[5]) == 0x7FC00123u);
    CHECK(bits(full[6]) == 0x7F800000u);
    const std::size_t top = 17;
    const std::size_t left = 29;
    const Shape3 block{20, 33, 1};
    std::vector<float> part(block.height * block.width);
    for (std::size_t y = 0; y < block.height; ++y) {
        for (std::size_t x = 0; x < block.width; ++x)
            part[y * block.width + x] = plane[(top + y) * whole.width + left + x];
    }
    const std::vector<float> tiled = run(part, block, kBurn, Placement{top, left, whole.height, whole.width});
    REQUIRE(tiled.size() == part.size());
    std::size_t differ = 0;
    for (std::size_t y = 0; y < block.height; ++y) {
        for (std::size_t x = 0; x < block.width; ++x) {
            differ += bits(tiled[y * block.width + x]) != bits(full[(top + y) * whole.width + left + x]);
        }
    }
    CHECK(differ == 0);
}

TEST_CASE("vignette: one set of bits for the scalar form, the pool and every instruction set") {
    const Shape3 shape{211, 389, 1};
    std::vector<float> plane(shape.height * shape.width);
    for (std::size_t i = 0; i < plane.size(); ++i) plane[i] = 0.37f + 0.0001f * static_cast<float>(i % 1013);
    for (const ostrel::Isa isa : ostrel::kIsaPreference) {
        if (!ostrel::isa_supported(isa)) continue;
        const check::ForcedIsa forced(isa);
        REQUIRE(forced.ok());
        const std::vector<float> out = run(plane, shape, kBurn);
        REQUIRE(out.size() == plane.size());
        std::size_t differ = 0;
        for (std::size_t y = 0; y < shape.height; ++y) {
            for (std::size_t x = 0; x < shape.width; ++x) {
                const float expected =
                    plane[y * shape.width + x] * ostrel::vignette_gain(y, x, shape.height, shape.width, kBurn);
                differ += bits(out[y * shape.width + x]) != bits(expected);
            }
        }
        CHECK_MSG(differ == 0, ostrel::isa_name(isa) << ": " << differ << " values differ");
    }
}
