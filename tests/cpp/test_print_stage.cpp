// The print stage: its refusals, the values its header documents (identity
// bits, paper black and white, infinities, the NaN rule's operand order), a
// double-precision formulation of each segment, and one set of bits for the
// scalar form, the pool's pieces and every instruction set.
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
#include "print/print_stage.hpp"

namespace {

using ostrel::ImageView;
using ostrel::PrintCurve;
using ostrel::Shape3;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr PrintCurve kCurve{0.02f, 0.1f, 2.5f, 0.7f, 3.0f, 0.98f};

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }
float from_bits(std::uint32_t pattern) { return std::bit_cast<float>(pattern); }

ImageView line(const std::vector<float>& values) {
    return ImageView::contiguous(values.data(), Shape3{1, values.size(), 1});
}

std::vector<float> values_of(ostrel::KernelResult result) {
    if (!result.ok()) return {};
    const ostrel::ResultBuffer& buffer = result.value();
    return {buffer.data(), buffer.data() + buffer.size()};
}

std::string fault_of(const ImageView& base, const ImageView* detailed, const PrintCurve& curve) {
    try {
        if (detailed != nullptr) {
            (void)ostrel::print_stage(base, *detailed, curve);
        } else {
            (void)ostrel::print_stage(base, curve);
        }
    } catch (const ostrel::InternalFault& fault) {
        return fault.message();
    }
    return "";
}

// The paper curve in double precision, from its definition.
double paper_in_double(double y, const PrintCurve& c) {
    if (y <= c.black) return 0.0;
    if (y < c.toe_end) {
        const double u = 1.0 - (y - c.black) / (c.toe_end - c.black);
        return c.toe_end * (1.0 - u * c.toe_gain / (u * (c.toe_gain - 1.0) + 1.0));
    }
    if (y <= c.shoulder_start) return y;
    if (y < c.white) {
        const double u = (y - c.shoulder_start) / (c.white - c.shoulder_start);
        const double g = u * c.shoulder_gain / (u * (c.shoulder_gain - 1.0) + 1.0);
        return std::fmin(c.shoulder_start + (1.0 - c.shoulder_start) * g, 1.0);
    }
    return 1.0;
}

}  // namespace

TEST_CASE("print_stage: shapes, layouts and parameters it refuses") {
    const std::vector<float> rgb(12, 0.5f);
    ostrel::KernelResult three = ostrel::print_stage(ImageView::contiguous(rgb.data(), Shape3{2, 2, 3}), kCurve);
    REQUIRE(!three.ok());
    CHECK(three.error_text() == "print_stage expects (H, W, 1) luminance input, got shape [2, 2, 3]");

    const std::vector<float> plane(6, 0.5f);
    const ImageView base = ImageView::contiguous(plane.data(), Shape3{2, 3, 1});
    const ImageView other = ImageView::contiguous(plane.data(), Shape3{3, 2, 1});
    ostrel::KernelResult mismatch = ostrel::print_stage(base, other, kCurve);
    REQUIRE(!mismatch.ok());
    CHECK(mismatch.error_text() == "print_stage expects detailed of img's shape [2, 3, 1], got shape [3, 2, 1]");

    const ImageView strided{plane.data(), Shape3{1, 3, 1}, 6, 2, 1};
    CHECK(fault_of(strided, nullptr, kCurve) == "print_stage: img must be C-contiguous");
    const ImageView tight = ImageView::contiguous(plane.data(), Shape3{1, 3, 1});
    CHECK(fault_of(tight, &strided, kCurve) == "print_stage: detailed must be C-contiguous");
    CHECK(fault_of(tight, nullptr, PrintCurve{0.2f, 0.1f}) ==
          "print_stage: black must not exceed toe_end, got black=0.2, toe_end=0.1");
}

TEST_CASE("print_stage: each broken condition is named with its parameter") {
    struct Row {
        PrintCurve curve;
        const char* problem;
    };
    const float nan = from_bits(0x7FC00000);
    const std::vector<Row> rows{
        {PrintCurve{}, ""},                                    // the defaults: no toe, no shoulder
        {PrintCurve{0.1f, 0.1f, 1.0f, 0.5f, 1.0f, 0.9f}, ""},  // an empty toe
        {PrintCurve{nan}, "black must be finite, got NaN"},
        {PrintCurve{0.0f, 0.1f, kInf}, "toe_gain must be finite, got inf"},
        {PrintCurve{0.0f, 0.1f, 1.0f, 0.5f, 1.0f, -kInf}, "white must be finite, got -inf"},
        {PrintCurve{0.0f, 0.6f, 1.0f, 0.5f, 1.0f, 0.9f},
         "toe_end must not exceed shoulder_start, got toe_end=0.6, shoulder_start=0.5"},
        {PrintCurve{0.0f, 0.1f, 1.0f, 0.5f, 1.0f, 0.5f},
         "shoulder_start must be below white, got shoulder_start=0.5, white=0.5"},
        {PrintCurve{0.0f, 0.1f, 1.0f, 1.0f, 1.0f, 1.5f}, "shoulder_start must be below 1, got 1"},
        {PrintCurve{0.0f, 0.1f, 1.0f, 0.9f, 1.0f, 1.0f}, ""},
        {PrintCurve{0.0f, 0.1f, 0.0f, 0.5f, 1.0f, 0.9f}, "toe_gain must be positive, got 0"},
        {PrintCurve{0.0f, 0.1f, 1.0f, 0.5f, -2.0f, 0.9f}, "shoulder_gain must be positive, got -2"},
    };
    for (const Row& row : rows) CHECK_MSG(ostrel::print_curve_problem(row.curve) == row.problem, row.problem);
}

TEST_CASE("print_stage: the documented values") {
    const PrintCurve& c = kCurve;
    // Paper black at and below black, paper white at and above white, the
    // identity's own bits between toe_end and shoulder_start.
    for (const float y : {-kInf, -1.0f, 0.0f, c.black}) CHECK(bits(ostrel::print_value(y, c)) == 0u);
    for (const float y : {c.white, 1.0f, 7.0f, kInf}) CHECK(bits(ostrel::print_value(y, c)) == bits(1.0f));
    for (const float y : {c.toe_end, 0.25f, 0.5f, c.shoulder_start}) CHECK(bits(ostrel::print_value(y, c)) == bits(y));
    // Each segment against the curve in double precision.
    for (int i = 1; i < 1000; ++i) {
        const float y = c.black + static_cast<float>(i) * ((c.white - c.black) / 1000.0f);
        const double expected = paper_in_double(y, c);
        CHECK_MSG(std::fabs(ostrel::print_value(y, c) - expected) <= 1e-6, "y=" << y);
    }
    // The limiter: detail towards white or black stops short of them, and
    // infinite detail is their limit.
    CHECK(ostrel::print_value(0.9f, 0.9f, c) == ostrel::print_value(0.9f, c));
    CHECK(ostrel::print_value(0.5f, 1.0e6f, c) < 1.0f);
    CHECK(ostrel::print_value(0.5f, kInf, c) == 1.0f);
    CHECK(ostrel::print_value(0.5f, -1.0e6f, c) > 0.0f);
    CHECK(ostrel::print_value(0.5f, -kInf, c) <= 1.0e-6f);  // black, give or take the rounding of b + d
    CHECK(ostrel::print_value(1.5f, 3.0f, c) == 1.0f);      // above white: no room, the base value's tone
    CHECK(ostrel::print_value(0.01f, -3.0f, c) == 0.0f);
}

TEST_CASE("print_stage: NaN rule, the base value's NaN first, then the detailed value's") {
    const float quiet = from_bits(0x7FC00123);
    const float signalling = from_bits(0xFF800005);  // comes out as 0xFFC00005
    const PrintCurve& c = kCurve;
    CHECK(bits(ostrel::print_value(signalling, c)) == 0xFFC00005u);
    CHECK(bits(ostrel::print_value(signalling, quiet, c)) == 0xFFC00005u);
    CHECK(bits(ostrel::print_value(0.5f, signalling, c)) == 0xFFC00005u);
    CHECK(bits(ostrel::print_value(quiet, signalling, c)) == 0x7FC00123u);
    // Made NaNs: inf - inf in e - b, and in b + d for an infinite base value.
    CHECK(bits(ostrel::print_value(kInf, kInf, c)) == 0xFFC00000u);
    CHECK(bits(ostrel::print_value(kInf, 0.5f, c)) == 0xFFC00000u);
    CHECK(bits(ostrel::print_value(-kInf, 0.5f, c)) == 0xFFC00000u);
    CHECK(bits(ostrel::print_value(-kInf, -kInf, c)) == 0xFFC00000u);
}

TEST_CASE("print_stage: the kernel's bits are the scalar form's on every instruction set and any split") {
    // Long enough for the pool to cut it; awkward values at a prime step.
    const std::vector<std::uint32_t> awkward{0x7FC00000, 0xFFC0ABCD, 0x7F800001, 0xFF9ABCDE, 0x7F800000, 0xFF800000,
                                             0x00000000, 0x80000000, 0x00000001, 0x7F7FFFFF, 0xFF7FFFFF, 0x3CA3D70A,
                                             0x3DCCCCCD, 0x3F333333, 0x3F7AE148, 0x3F800000};
    std::vector<float> base(40007);
    std::vector<float> detailed(base.size());
    for (std::size_t i = 0; i < base.size(); ++i) {
        base[i] = static_cast<float>(i % 1201) * (1.3f / 1201.0f) - 0.15f;
        detailed[i] = base[i] + static_cast<float>(i % 37) * (0.8f / 37.0f) - 0.4f;
        if (i % 13 == 0) base[i] = from_bits(awkward[(i / 13) % awkward.size()]);
        if (i % 17 == 0) detailed[i] = from_bits(awkward[(i / 17) % awkward.size()]);
    }
    for (const ostrel::Isa isa : ostrel::kIsaPreference) {
        if (!ostrel::isa_supported(isa)) continue;
        const check::ForcedIsa forced(isa);
        REQUIRE(forced.ok());
        const std::vector<float> plain = values_of(ostrel::print_stage(line(base), kCurve));
        const std::vector<float> limited = values_of(ostrel::print_stage(line(base), line(detailed), kCurve));
        REQUIRE(plain.size() == base.size() && limited.size() == base.size());
        std::size_t differ = 0;
        for (std::size_t i = 0; i < base.size(); ++i) {
            differ += bits(plain[i]) != bits(ostrel::print_value(base[i], kCurve));
            differ += bits(limited[i]) != bits(ostrel::print_value(base[i], detailed[i], kCurve));
        }
        CHECK_MSG(differ == 0, ostrel::isa_name(isa) << ": " << differ << " values differ");
    }
}
