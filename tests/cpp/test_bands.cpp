// Colour bands: the refusals, the smoothed offset map against a brute-force
// formulation of the header's operation order (every window summed pixel by
// pixel, no running sums, rings or strips), exact greys, the NaN rule, and
// one set of bits for every instruction set.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "bands/bands.hpp"
#include "check.hpp"
#include "core/fault.hpp"
#include "core/isa.hpp"
#include "forced_isa.hpp"

namespace {

using ostrel::Bands;
using ostrel::ImageView;
using ostrel::Shape3;

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

Bands mix(std::uint32_t radius) {
    Bands b;
    b.offsets = {1.0f, 0.5f, -0.25f, 1.5f, 0.0f, -1.0f, 0.75f, -0.5f};
    b.radius = radius;
    return b;
}

// A photo-like RGB image: smooth colours, a grey square and a little noise.
std::vector<float> photo(std::size_t h, std::size_t w) {
    std::vector<float> rgb(3 * h * w);
    std::uint32_t state = 2463534242u;
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            const bool grey = y > h / 3 && y < h / 2 && x > w / 4 && x < w / 2;
            for (std::size_t c = 0; c < 3; ++c) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                const float noise = static_cast<float>(state >> 8) * 0x1p-24f * 0.05f;
                const float wave = 0.5f + 0.45f * std::sin(0.05f * static_cast<float>(x + 2 * c * y) + float(c));
                rgb[3 * (y * w + x) + c] = grey ? 0.3f : wave * wave + noise;
            }
        }
    }
    return rgb;
}

// The header's analysis, scalar: Q and the gate of one pixel.
void analyse(const float* p, const Bands& b, std::int32_t& q, bool& gate) {
    float v[3];
    for (int c = 0; c < 3; ++c) v[c] = std::sqrt(p[c] > 0.0f ? p[c] : 0.0f);
    const float big = std::max({v[0], v[1], v[2]});
    const float chroma = big - std::min({v[0], v[1], v[2]});
    float t = ((chroma / std::max(big, ostrel::kSaturationFloor)) - b.low) *
              static_cast<float>(1.0 / (double(b.high) - double(b.low)));
    t = std::min(t > 0.0f ? t : 0.0f, 1.0f);
    const float w = t * t * (3.0f - 2.0f * t);
    float h = big == v[0] ? (v[1] - v[2]) / chroma + 0.0f
                          : (big == v[1] ? (v[2] - v[0]) / chroma + 2.0f : (v[0] - v[1]) / chroma + 4.0f);
    if (h < 0.0f) h += 6.0f;
    const float centres[9] = {0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 4.0f, 4.5f, 5.25f, 6.0f};
    std::size_t k = 0;
    while (k < 7 && h >= centres[k + 1]) ++k;
    float u = (h - centres[k]) * static_cast<float>(1.0 / (double(centres[k + 1]) - double(centres[k])));
    u = std::min(u > 0.0f ? u : 0.0f, 1.0f);
    const float band = b.offsets[k] + (b.offsets[(k + 1) % 8] - b.offsets[k]) * (u * u * (3.0f - 2.0f * u));
    gate = w > 0.0f && std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
    q = static_cast<std::int32_t>(std::nearbyint((gate ? w * band : 0.0f) * 65536.0f));
}

// The offset map with every window summed pixel by pixel.
std::vector<float> brute_force(const std::vector<float>& rgb, std::size_t h, std::size_t w, const Bands& b) {
    const std::size_t n = h * w;
    std::vector<std::int32_t> q(n);
    std::vector<bool> gate(n);
    for (std::size_t i = 0; i < n; ++i) {
        bool g = false;
        analyse(&rgb[3 * i], b, q[i], g);
        gate[i] = g;
    }
    const auto r = static_cast<std::ptrdiff_t>(b.radius);
    const auto window = [&](std::size_t y, std::size_t x, auto&& add) {
        std::int64_t count = 0;
        for (std::ptrdiff_t yy = std::ptrdiff_t(y) - r; yy <= std::ptrdiff_t(y) + r; ++yy) {
            for (std::ptrdiff_t xx = std::ptrdiff_t(x) - r; xx <= std::ptrdiff_t(x) + r; ++xx) {
                if (yy < 0 || xx < 0 || yy >= std::ptrdiff_t(h) || xx >= std::ptrdiff_t(w)) continue;
                add(std::size_t(yy) * w + std::size_t(xx));
                ++count;
            }
        }
        return 1.0 / static_cast<double>(count);
    };
    std::vector<std::int32_t> slope(n), intercept(n);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            std::int64_t s1 = 0, s2 = 0;
            const double inv = window(y, x, [&](std::size_t j) {
                s1 += q[j];
                s2 += std::int64_t{q[j]} * q[j];
            });
            const double mean = static_cast<double>(s1) * inv;
            const double var = std::max(static_cast<double>(s2) * inv - mean * mean, 0.0);
            const double a = var / (var + double(b.eps) * 4294967296.0);
            slope[y * w + x] = static_cast<std::int32_t>(std::nearbyint(a * 1048576.0));
            intercept[y * w + x] = static_cast<std::int32_t>(std::nearbyint(mean - a * mean));
        }
    }
    std::vector<float> o(n);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            std::int64_t sa = 0, sb = 0;
            const double inv = window(y, x, [&](std::size_t j) {
                sa += slope[j];
                sb += intercept[j];
            });
            const std::size_t i = y * w + x;
            const double value = (static_cast<double>(sa) * inv) / 1048576.0 * q[i] + static_cast<double>(sb) * inv;
            o[i] = gate[i] ? static_cast<float>(value / 65536.0) : 0.0f;
        }
    }
    return o;
}

std::vector<float> offsets(const std::vector<float>& rgb, std::size_t h, std::size_t w, const Bands& b) {
    ostrel::KernelResult result = ostrel::band_offsets(ImageView::contiguous(rgb.data(), Shape3{h, w, 3}), b);
    if (!result.ok()) return {};
    return {result.value().data(), result.value().data() + result.value().size()};
}

std::size_t differences(const std::vector<float>& a, const std::vector<float>& b) {
    std::size_t count = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) count += bits(a[i]) != bits(b[i]);
    return count;
}

}  // namespace

TEST_CASE("bands: shapes and settings it refuses") {
    const std::vector<float> rgb(12, 0.5f);
    const std::vector<float> lum(4, 0.5f);
    const ImageView rgb_view = ImageView::contiguous(rgb.data(), Shape3{2, 2, 3});
    ostrel::KernelResult wrong = ostrel::bands(ImageView::contiguous(rgb.data(), Shape3{2, 2, 3}),
                                               ImageView::contiguous(lum.data(), Shape3{1, 4, 1}), mix(0));
    REQUIRE(!wrong.ok());
    CHECK(wrong.error_text() == "bands: luminance of shape [1, 4, 1] for RGB of shape [2, 2, 3]");
    ostrel::KernelResult plane = ostrel::band_offsets(ImageView::contiguous(lum.data(), Shape3{2, 2, 1}), mix(0));
    REQUIRE(!plane.ok());
    CHECK(plane.error_text() == "bands expects (H, W, 3) RGB input, got shape [2, 2, 1]");
    Bands b = mix(0);
    b.offsets[3] = std::numeric_limits<float>::quiet_NaN();
    CHECK(ostrel::bands_problem(b) == "offsets must be finite and at most 4 either way, got NaN");
    b = mix(2049);
    CHECK(ostrel::bands_problem(b) == "radius must be at most 2048, got 2049");
    b = mix(0);
    b.low = 0.3f;
    CHECK(ostrel::bands_problem(b) == "thresholds must be 0 <= low < high <= 1, got 0.3 and 0.25");
    bool faulted = false;
    try {
        (void)ostrel::band_offsets(rgb_view, b);
    } catch (const ostrel::InternalFault&) {
        faulted = true;
    }
    CHECK(faulted);
}

TEST_CASE("bands: the offset map matches every window summed pixel by pixel") {
    // Tall enough for several strips; narrower and shorter than the window too.
    for (const auto& [h, w, radius] : {std::array<std::size_t, 3>{157, 41, 3}, {61, 53, 0}, {9, 5, 7}, {300, 23, 1}}) {
        const std::vector<float> rgb = photo(h, w);
        const Bands b = mix(static_cast<std::uint32_t>(radius));
        const std::size_t differ = differences(offsets(rgb, h, w, b), brute_force(rgb, h, w, b));
        CHECK_MSG(differ == 0, h << "x" << w << " radius " << radius << ": " << differ << " values differ");
    }
}

TEST_CASE("bands: greys keep their bits, NaN luminance comes out quiet, non-finite RGB is neutral") {
    const std::size_t h = 40;
    const std::size_t w = 30;
    std::vector<float> rgb = photo(h, w);
    std::vector<float> lum(h * w);
    for (std::size_t i = 0; i < lum.size(); ++i) lum[i] = 0.01f * static_cast<float>(i % 97);
    lum[7] = std::bit_cast<float>(std::uint32_t{0xFF800321u});
    rgb[3 * 8] = std::numeric_limits<float>::quiet_NaN();
    rgb[3 * 9 + 1] = std::numeric_limits<float>::infinity();
    ostrel::KernelResult result = ostrel::bands(ImageView::contiguous(rgb.data(), Shape3{h, w, 3}),
                                                ImageView::contiguous(lum.data(), Shape3{h, w, 1}), mix(4));
    REQUIRE(result.ok());
    const float* out = result.value().data();
    CHECK(bits(out[7]) == 0xFFC00321u);
    CHECK(bits(out[8]) == bits(lum[8]));
    CHECK(bits(out[9]) == bits(lum[9]));
    std::size_t greys = 0;
    std::size_t moved = 0;
    for (std::size_t i = 0; i < lum.size(); ++i) {
        const bool grey = rgb[3 * i] == rgb[3 * i + 1] && rgb[3 * i + 1] == rgb[3 * i + 2];
        greys += grey;
        moved += grey && bits(out[i]) != bits(lum[i]);
    }
    CHECK(greys > 30);
    CHECK(moved == 0);
}

TEST_CASE("bands: one set of bits for every instruction set") {
    const std::size_t h = 83;
    const std::size_t w = 191;
    const std::vector<float> rgb = photo(h, w);
    const std::vector<float> expected = brute_force(rgb, h, w, mix(5));
    for (const ostrel::Isa isa : ostrel::kIsaPreference) {
        if (!ostrel::isa_supported(isa)) continue;
        const check::ForcedIsa forced(isa);
        REQUIRE(forced.ok());
        const std::size_t differ = differences(offsets(rgb, h, w, mix(5)), expected);
        CHECK_MSG(differ == 0, ostrel::isa_name(isa) << ": " << differ << " values differ");
    }
}
