// The Zone System kernel: shape and layout rules, the documented values of
// the curve, and agreement with a double-precision formulation.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/fault.hpp"
#include "tone/zone_curve.hpp"

namespace {

using ostrel::ImageView;
using ostrel::Shape3;
using ostrel::ZoneOffsets;

ImageView line_view(const std::vector<float>& values) {
    return ImageView::contiguous(values.data(), Shape3{1, values.size(), 1});
}

std::vector<float> run(const std::vector<float>& values, const ZoneOffsets& offsets) {
    ostrel::KernelResult result = ostrel::zone_system(line_view(values), offsets);
    if (!result.ok()) return {};
    const ostrel::ResultBuffer& buffer = result.value();
    return {buffer.data(), buffer.data() + buffer.size()};
}

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

// The curve in double precision, straight from its definition.
double curve_in_double(double g, const ZoneOffsets& offsets) {
    const double x = g > 1e-10 ? g : 1e-10;
    const double z = std::log2(x / 0.18) + 5.0;
    double stops = 0.0;
    for (const auto& [zone, offset] : offsets) {
        const double d = z - zone;
        stops += offset * std::exp(-d * d / (2.0 * 0.8 * 0.8));
    }
    return g * std::exp2(stops);
}

// Runs the kernel and reports the internal fault's message, or "" if none.
std::string fault_of(const ImageView& view) {
    try {
        (void)ostrel::zone_system(view, ZoneOffsets{{5, 1.0f}});
    } catch (const ostrel::InternalFault& fault) {
        return fault.message();
    }
    return "";
}

}  // namespace

TEST_CASE("zone offsets: sorted by signed index, the last entry of an index wins") {
    const ZoneOffsets table = ostrel::make_zone_offsets({{5, 0.5f}, {-3, 1.0f}, {5, 0.75f}, {2, -1.0f}, {-3, 2.0f}});
    const ZoneOffsets expected{{-3, 2.0f}, {2, -1.0f}, {5, 0.75f}};
    CHECK(table == expected);
    CHECK(ostrel::make_zone_offsets({}).empty());
    const auto terms = ostrel::zone_terms(expected);
    REQUIRE(terms.size() == 3);
    CHECK(terms[0].centre == -3.0f && terms[0].offset == 2.0f);
    CHECK(terms[2].centre == 5.0f && terms[2].offset == 0.75f);
}

TEST_CASE("zone_system: channel count other than one is a kernel error, checked before the layout") {
    std::vector<float> data(2 * 3 * 3);
    ostrel::KernelResult result = ostrel::zone_system(ImageView::contiguous(data.data(), Shape3{2, 3, 3}), {});
    REQUIRE(!result.ok());
    CHECK(result.error_text() == "zone_system expects (H, W, 1) luminance input, got shape [2, 3, 3]");

    // Not contiguous as well: the shape error still wins.
    const ImageView strided{data.data(), Shape3{2, 2, 3}, 9, 6, 1};
    ostrel::KernelResult both = ostrel::zone_system(strided, {{5, 1.0f}});
    REQUIRE(!both.ok());
    CHECK(both.error_text() == "zone_system expects (H, W, 1) luminance input, got shape [2, 2, 3]");

    ostrel::KernelResult empty = ostrel::zone_system(ImageView{nullptr, Shape3{0, 4, 0}, 0, 0, 1}, {});
    REQUIRE(!empty.ok());
    CHECK(empty.error_text() == "zone_system expects (H, W, 1) luminance input, got shape [0, 4, 0]");
}

TEST_CASE("zone_system: layout rule") {
    std::vector<float> data(64, 0.18f);
    const float* p = data.data();
    const std::string message = "zone_system: input must be C-contiguous";
    CHECK(fault_of(ImageView{p, Shape3{3, 4, 1}, 4, 1, 1}).empty());
    CHECK(fault_of(ImageView{p, Shape3{3, 4, 1}, 4, 1, 7}).empty());  // channel stride is never examined
    CHECK(fault_of(ImageView{p, Shape3{3, 4, 1}, 4, 1, -5}).empty());
    CHECK(fault_of(ImageView{p, Shape3{5, 1, 1}, 1, 9, 1}).empty());   // one column: any column stride
    CHECK(fault_of(ImageView{p, Shape3{1, 6, 1}, 40, 1, 1}).empty());  // one row: any row stride
    CHECK(fault_of(ImageView{p, Shape3{0, 6, 1}, 3, 2, 1}).empty());   // empty: nothing checked
    CHECK(fault_of(ImageView{p, Shape3{6, 0, 1}, 3, 2, 1}).empty());
    CHECK(fault_of(ImageView{p, Shape3{3, 4, 1}, 4, 2, 1}) == message);
    CHECK(fault_of(ImageView{p, Shape3{3, 4, 1}, 8, 1, 1}) == message);
    CHECK(fault_of(ImageView{p + 8, Shape3{3, 4, 1}, -4, 1, 1}) == message);
    CHECK(fault_of(ImageView{p, Shape3{3, 4, 1}, 1, 3, 1}) == message);  // column-major
    CHECK(fault_of(ImageView{p, Shape3{5, 1, 1}, 2, 1, 1}) == message);

    // An empty image gives an empty result of the same shape.
    ostrel::KernelResult empty = ostrel::zone_system(ImageView{nullptr, Shape3{0, 7, 1}, 7, 1, 1}, {{5, 1.0f}});
    REQUIRE(empty.ok());
    CHECK(empty.value().shape() == (Shape3{0, 7, 1}));
    CHECK(empty.value().size() == 0);
}

TEST_CASE("zone_system: empty and all-zero tables return the input") {
    const float nan_payload = std::bit_cast<float>(std::uint32_t{0x7FC12345});
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> input{0.18f, -0.0f, 0.0f, -2.5f, 1e-38f, 1e-45f, 3e38f, inf, -inf, nan_payload, 5.76f};
    const std::vector<float> copied = run(input, {});
    REQUIRE(copied.size() == input.size());
    for (std::size_t i = 0; i < input.size(); ++i) CHECK_MSG(bits(copied[i]) == bits(input[i]), "index " << i);

    const std::vector<float> zeroed = run(input, {{0, 0.0f}, {5, -0.0f}, {10, 0.0f}, {30, 0.0f}});
    REQUIRE(zeroed.size() == input.size());
    for (std::size_t i = 0; i + 2 < input.size(); ++i) CHECK_MSG(bits(zeroed[i]) == bits(input[i]), "index " << i);
    CHECK(std::isnan(zeroed[9]));
    CHECK(zeroed[10] == 5.76f);
}

TEST_CASE("zone_system: one stop on zone V") {
    const std::vector<float> out = run({0.18f, 0.36f, 0.09f, 5.76f}, {{5, 1.0f}});
    REQUIRE(out.size() == 4);
    CHECK(std::fabs(out[0] - 0.36f) < 1e-6f);
    CHECK(std::fabs(out[1] - 0.49445f) < 5e-6f);
    CHECK(std::fabs(out[2] - 0.12361f) < 5e-6f);
    CHECK(bits(out[3]) == bits(5.76f));  // zone X: the gain rounds to exactly one

    ZoneOffsets all_zones;
    for (std::int32_t zone = 0; zone <= 10; ++zone) all_zones.emplace_back(zone, 1.0f);
    const std::vector<float> lifted = run({0.18f}, all_zones);
    CHECK(std::fabs(lifted[0] - 0.72266f) < 5e-6f);
}

TEST_CASE("zone_system: zone positions") {
    CHECK(std::fabs(ostrel::zone_position(0.18f) - 5.0f) < 1e-6f);
    CHECK(std::fabs(ostrel::zone_position(5.76f) - 10.0f) < 2e-6f);
    CHECK(std::fabs(ostrel::zone_position(1e-10f) + 25.745f) < 1e-3f);
    const float floor_zone = ostrel::zone_position(0.0f);
    CHECK(bits(ostrel::zone_position(std::nanf(""))) == bits(floor_zone));
    CHECK(bits(ostrel::zone_position(-7.0f)) == bits(floor_zone));
    CHECK(bits(ostrel::zone_position(1e-10f)) == bits(floor_zone));
}

TEST_CASE("zone_system: floor, NaN and infinities") {
    const float inf = std::numeric_limits<float>::infinity();
    const ZoneOffsets offsets{{0, -3.0f}, {5, 1.0f}, {10, 3.0f}};
    const std::vector<float> input{0.0f, -0.0f, -0.5f, -inf, 1e-10f, 5e-11f, inf, std::nanf("")};
    const std::vector<float> out = run(input, offsets);
    REQUIRE(out.size() == input.size());
    for (std::size_t i = 0; i < 6; ++i) CHECK_MSG(bits(out[i]) == bits(input[i]), "index " << i);
    CHECK(out[6] == inf);
    CHECK(std::isnan(out[7]));

    // 0 * inf in the sum: a non-finite offset reaches even underflowed bumps.
    const std::vector<float> poisoned = run({0.0f, 0.18f}, {{5, inf}});
    CHECK(std::isnan(poisoned[0]));
    CHECK(poisoned[1] == inf);
}

TEST_CASE("zone_system: agrees with the curve in double precision") {
    const ZoneOffsets offsets{{-2, 0.4f}, {0, -0.5f}, {2, 0.3f},  {3, -0.3f},
                              {5, 0.5f},  {7, 1.0f},  {9, -1.5f}, {12, 0.7f}};
    std::vector<float> input;
    for (int i = 0; i <= 4000; ++i) input.push_back(std::exp2(-16.0f + 0.006f * static_cast<float>(i)));
    const std::vector<float> out = run(input, offsets);
    REQUIRE(out.size() == input.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const double exact = curve_in_double(input[i], offsets);
        worst = std::fmax(worst, std::fabs(out[i] - exact) / exact);
    }
    // Rounding of z (about 1e-7 relative at zone 5) moves the exponent by a
    // few 1e-7 stops; the result stays within a few parts in a million.
    CHECK_MSG(worst < 4e-6, "worst relative error " << worst);
}

TEST_CASE("zone_system: the parallel loop gives each pixel its own value") {
    const std::size_t height = 301;
    const std::size_t width = 263;  // well above the sequential threshold, odd sizes
    std::vector<float> data(height * width);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::exp2(static_cast<float>(i % 9973) * 0.002f - 12.0f);
    const ZoneOffsets offsets{{1, 0.2f}, {4, -0.6f}, {5, 0.5f}, {8, 1.25f}};
    const auto terms = ostrel::zone_terms(offsets);
    ostrel::KernelResult result =
        ostrel::zone_system(ImageView::contiguous(data.data(), Shape3{height, width, 1}), offsets);
    REQUIRE(result.ok());
    CHECK(result.value().shape() == (Shape3{height, width, 1}));
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (bits(result.value().data()[i]) != bits(ostrel::zone_curve_value(data[i], terms))) ++mismatches;
    }
    CHECK_MSG(mismatches == 0, mismatches << " pixels differ from the sequential evaluation");
}
