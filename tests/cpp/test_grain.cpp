// Film grain: the bits of the steps its header documents (a plain
// formulation over the whole image and its halo, beside the kernel's strips,
// chunks and pool) on every instruction set, a block of an image giving the
// whole image's bits, the NaN rule and paper white and black left alone.
// (Its refusals and statistics: tests/python/test_grain.py.)
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "core/cr_math.hpp"
#include "core/isa.hpp"
#include "encode/encode_srgb.hpp"
#include "encode/srgb_tile.hpp"
#include "forced_isa.hpp"
#include "grain/grain.hpp"

namespace {

using ostrel::Grain;
using ostrel::ImageView;
using ostrel::Placement;
using ostrel::Shape3;

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

template <bool Encoded>
std::vector<float> run(const std::vector<float>& plane, Shape3 shape, const Grain& g, const Placement& p = {}) {
    const ImageView view = ImageView::contiguous(plane.data(), shape);
    ostrel::KernelResult result = Encoded ? ostrel::grain_encode(view, g, p) : ostrel::grain(view, g, p);
    if (!result.ok()) return {};
    return {result.value().data(), result.value().data() + result.value().size()};
}

// A print with every tone, paper white and black, NaNs and infinities.
std::vector<float> print_plane(std::size_t count) {
    std::vector<float> plane(count);
    for (std::size_t i = 0; i < count; ++i) plane[i] = static_cast<float>((i * 7919) % 10007) / 10006.0f;
    return plane;
}

// The header's steps, written out over the whole plane at once.
template <bool Encoded>
std::vector<float> reference(const std::vector<float>& plane, Shape3 shape, const Grain& g) {
    const ostrel::GrainSetup setup = ostrel::grain_setup(g);
    const auto r = static_cast<std::int64_t>(setup.radius);
    const auto h = static_cast<std::int64_t>(shape.height);
    const auto w = static_cast<std::int64_t>(shape.width);
    std::vector<float> rows(static_cast<std::size_t>((h + 2 * r) * w));
    for (std::int64_t y = -r; y < h + r; ++y) {
        for (std::int64_t x = 0; x < w; ++x) {
            float sum = setup.weights[0] * ostrel::grain_noise(g.seed, y, x - r);
            for (std::int64_t k = 1; k <= 2 * r; ++k) {
                sum = sum + setup.weights[k] * ostrel::grain_noise(g.seed, y, x - r + k);
            }
            rows[static_cast<std::size_t>((y + r) * w + x)] = sum;
        }
    }
    ostrel::KernelResult encoded = ostrel::encode_srgb(ImageView::contiguous(plane.data(), shape));
    const float* v = encoded.value().data();
    const float white = 1.055f + -0.055f;
    std::vector<float> out(plane.size());
    for (std::int64_t y = 0; y < h; ++y) {
        for (std::int64_t x = 0; x < w; ++x) {
            float b = setup.weights[0] * rows[static_cast<std::size_t>(y * w + x)];
            for (std::int64_t k = 1; k <= 2 * r; ++k)
                b = b + setup.weights[k] * rows[static_cast<std::size_t>((y + k) * w + x)];
            const auto i = static_cast<std::size_t>(y * w + x);
            const float wv = std::fmin(std::fmax(v[i], 0.0f), white);
            const float s = std::sqrt(wv * (white - wv));
            const float d = (setup.amp * b) * s;
            const float p = plane[i];
            if (Encoded) {
                out[i] = d == 0.0f ? v[i] : v[i] + d;
            } else {
                const float e = v[i] + d;
                const float u = (e - ostrel::srgb::kOffset) / ostrel::srgb::kScale;
                const float decoded =
                    e <= 0.04045f ? e / ostrel::srgb::kLinearSlope : (u * u) * ostrel::cr_powf(u, 0.4f);
                out[i] = std::isnan(p) ? std::bit_cast<float>(bits(p) | 0x00400000u) : (d == 0.0f ? p : decoded);
            }
        }
    }
    return out;
}

constexpr Grain kTriX{1.0f, 17.0f, 9.0f, 5};

}  // namespace

TEST_CASE("grain: the documented steps bit for bit, on every instruction set, linear and encoded") {
    // Taller than a strip and wider than a chunk, with a blur of 3 and of 17 taps.
    const Shape3 shape{71, 1100, 1};
    const std::vector<float> plane = print_plane(shape.height * shape.width);
    for (const Grain& g : {kTriX, Grain{2.0f, 30.0f, 1.3f, 77}}) {
        const std::vector<float> linear = reference<false>(plane, shape, g);
        const std::vector<float> encoded = reference<true>(plane, shape, g);
        for (const ostrel::Isa isa : ostrel::kIsaPreference) {
            if (!ostrel::isa_supported(isa)) continue;
            const check::ForcedIsa forced(isa);
            REQUIRE(forced.ok());
            const std::vector<float> got_linear = run<false>(plane, shape, g);
            const std::vector<float> got_encoded = run<true>(plane, shape, g);
            REQUIRE(got_linear.size() == plane.size());
            REQUIRE(got_encoded.size() == plane.size());
            std::size_t differ = 0;
            for (std::size_t i = 0; i < plane.size(); ++i) {
                differ += bits(got_linear[i]) != bits(linear[i]);
                differ += bits(got_encoded[i]) != bits(encoded[i]);
            }
            CHECK_MSG(differ == 0, ostrel::isa_name(isa) << ": " << differ << " values differ");
        }
    }
}

TEST_CASE("grain: a block of an image gets the whole image's bits; white, black, NaN and infinities") {
    const Shape3 whole{80, 600, 1};
    std::vector<float> plane = print_plane(whole.height * whole.width);
    plane[3] = std::bit_cast<float>(std::uint32_t{0x7F800123u});
    plane[4] = std::numeric_limits<float>::infinity();
    plane[5] = 1.0f;
    plane[6] = 0.0f;
    plane[7] = -0.25f;
    const std::vector<float> full = run<true>(plane, whole, kTriX);
    const std::vector<float> linear = run<false>(plane, whole, kTriX);
    REQUIRE(full.size() == plane.size());
    CHECK(bits(full[3]) == 0x7FC00123u);
    CHECK(bits(linear[3]) == 0x7FC00123u);
    for (std::size_t i = 4; i < 8; ++i) CHECK(bits(linear[i]) == bits(plane[i]));
    CHECK(full[4] == std::numeric_limits<float>::infinity());
    CHECK(full[5] == 1.055f + -0.055f);  // paper white's encoding, untouched
    CHECK(bits(full[6]) == 0u);
    for (const Placement& at : {Placement{0, 0, 80, 600}, Placement{33, 517, 80, 600}, Placement{79, 599, 80, 600}}) {
        const Shape3 block{std::min<std::size_t>(41, 80 - at.top), std::min<std::size_t>(70, 600 - at.left), 1};
        std::vector<float> piece(block.height * block.width);
        for (std::size_t y = 0; y < block.height; ++y) {
            for (std::size_t x = 0; x < block.width; ++x)
                piece[y * block.width + x] = plane[(at.top + y) * whole.width + at.left + x];
        }
        const std::vector<float> tiled = run<true>(piece, block, kTriX, at);
        REQUIRE(tiled.size() == piece.size());
        std::size_t differ = 0;
        for (std::size_t y = 0; y < block.height; ++y) {
            for (std::size_t x = 0; x < block.width; ++x) {
                differ += bits(tiled[y * block.width + x]) != bits(full[(at.top + y) * whole.width + at.left + x]);
            }
        }
        CHECK(differ == 0);
    }
}
