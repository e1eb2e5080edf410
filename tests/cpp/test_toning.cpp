// Toning: its refusals, the values its header documents (strength 0 is the
// grey's bits in every channel, paper white stays white, the NaN rule), the
// luminance it keeps against a double-precision formulation, and one set of
// bits for the scalar form, the pool's pieces and every instruction set.
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
#include "toning/toning.hpp"

namespace {

using ostrel::ImageView;
using ostrel::Shape3;
using ostrel::Toner;

// A warm shadow and a cool highlight, each of BT.709 luminance 1.
Toner split_toner(float strength) {
    Toner t;
    t.shadow = {1.6f, 0.86f, 0.6f};
    t.highlight = {0.8f, 1.0f, 1.4f};
    // Scale each to luminance 1 exactly enough for the test.
    for (auto* c : {&t.shadow, &t.highlight}) {
        const double y = 0.2126 * (*c)[0] + 0.7152 * (*c)[1] + 0.0722 * (*c)[2];
        for (float& v : *c) v = static_cast<float>(v / y);
    }
    t.blend = 0.2195f;
    t.strength = strength;
    return t;
}

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

std::vector<float> ramp(std::size_t n) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = -0.05f + 1.1f * static_cast<float>(i) / static_cast<float>(n - 1);
    return v;
}

std::vector<float> toned(const std::vector<float>& plane, const Toner& t) {
    ostrel::KernelResult result =
        ostrel::tone_print(ImageView::contiguous(plane.data(), Shape3{1, plane.size(), 1}), t);
    if (!result.ok()) return {};
    return {result.value().data(), result.value().data() + result.value().size()};
}

std::string fault_of(const Toner& t) {
    const std::vector<float> plane(4, 0.5f);
    try {
        (void)ostrel::tone_print(ImageView::contiguous(plane.data(), Shape3{2, 2, 1}), t);
    } catch (const ostrel::InternalFault& fault) {
        return fault.message();
    }
    return "";
}

}  // namespace

TEST_CASE("tone_print: shapes and toners it refuses") {
    const std::vector<float> rgb(12, 0.5f);
    ostrel::KernelResult three = ostrel::tone_print(ImageView::contiguous(rgb.data(), Shape3{2, 2, 3}), split_toner(1));
    REQUIRE(!three.ok());
    CHECK(three.error_text() == "tone_print expects an (H, W, 1) print plane, got shape [2, 2, 3]");
    Toner bad = split_toner(1.0f);
    bad.shadow[1] = -1.0f;
    CHECK(fault_of(bad) == "tone_print: shadow green must be finite and not negative, got -1");
    bad = split_toner(1.0f);
    bad.blend = std::numeric_limits<float>::infinity();
    CHECK(fault_of(bad) == "tone_print: blend must be positive, got inf");
    CHECK(fault_of(split_toner(2.0f)) == "tone_print: strength must be 0..1, got 2");
    CHECK(fault_of(split_toner(0.5f)).empty());
}

TEST_CASE("tone_print: strength 0 is the grey, white stays white, the luminance is kept") {
    const std::vector<float> plane = ramp(1001);
    const std::vector<float> grey = toned(plane, split_toner(0.0f));
    REQUIRE(grey.size() == 3 * plane.size());
    bool exact = true;
    for (std::size_t i = 0; i < plane.size(); ++i) {
        for (std::size_t c = 0; c < 3; ++c) exact = exact && bits(grey[3 * i + c]) == bits(plane[i]);
    }
    CHECK(exact);
    const std::vector<float> full = toned(plane, split_toner(1.0f));
    double worst = 0.0;
    bool in_gamut = true;
    for (std::size_t i = 0; i < plane.size(); ++i) {
        const double y = 0.2126 * full[3 * i] + 0.7152 * full[3 * i + 1] + 0.0722 * full[3 * i + 2];
        if (plane[i] >= 0.0f && plane[i] <= 1.0f) {
            worst = std::fmax(worst, std::fabs(y - plane[i]));
            for (std::size_t c = 0; c < 3; ++c) in_gamut = in_gamut && full[3 * i + c] <= 1.0f + 1e-6f;
        }
    }
    CHECK(worst <= std::ldexp(1.0, -20));
    CHECK(in_gamut);
    const auto white = ostrel::toned_value(1.0f, split_toner(1.0f));
    CHECK(white[0] == 1.0f && white[1] == 1.0f && white[2] == 1.0f);
    const auto mid = ostrel::toned_value(0.05f, split_toner(1.0f));
    CHECK(mid[0] > mid[1] && mid[1] > mid[2]);  // the shadows take the warm tint
}

TEST_CASE("tone_print: the NaN rule") {
    const float signalling = std::bit_cast<float>(std::uint32_t{0x7F800123u});
    const auto out = ostrel::toned_value(signalling, split_toner(1.0f));
    for (float v : out) CHECK(bits(v) == 0x7FC00123u);
    Toner zero = split_toner(1.0f);
    zero.shadow = {0.0f, 1.0f, 1.0f};  // -inf * (1 + 1 * (0 - 1)) = -inf * 0
    const auto made = ostrel::toned_value(-std::numeric_limits<float>::infinity(), zero);
    CHECK(bits(made[0]) == 0xFFC00000u);
    CHECK(bits(made[1]) == 0xFF800000u);
}

TEST_CASE("tone_print: one set of bits for the scalar form, the pool and every instruction set") {
    std::vector<float> plane = ramp(70001);
    plane[17] = std::numeric_limits<float>::quiet_NaN();
    plane[400] = std::numeric_limits<float>::infinity();
    const Toner t = split_toner(0.8f);
    std::vector<float> scalar;
    for (float p : plane) {
        for (float v : ostrel::toned_value(p, t)) scalar.push_back(v);
    }
    for (const ostrel::Isa isa : ostrel::kIsaPreference) {
        if (!ostrel::isa_supported(isa)) continue;
        const check::ForcedIsa forced(isa);
        REQUIRE(forced.ok());
        const std::vector<float> run = toned(plane, t);
        bool same = run.size() == scalar.size();
        for (std::size_t i = 0; same && i < run.size(); ++i) same = bits(run[i]) == bits(scalar[i]);
        CHECK_MSG(same, ostrel::isa_name(isa) << ": bits differ");
    }
}
