// The luminance kernels: the stored tables, the documented values, shape
// errors, and every memory layout against a per-pixel reference.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bw/luminance.hpp"
#include "check.hpp"
#include "core/fault.hpp"

namespace {

// Codes as the Python members carry them; out-of-range ones included.
ostrel::LuminanceStandard standard_code(int code) { return static_cast<ostrel::LuminanceStandard>(code); }
ostrel::ColorFilter filter_code(int code) { return static_cast<ostrel::ColorFilter>(code); }

using ostrel::ChannelWeights;
using ostrel::ImageView;
using ostrel::KernelResult;
using ostrel::Shape3;

float from_bits(std::uint32_t pattern) { return std::bit_cast<float>(pattern); }
std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

bool same_bits(const ChannelWeights& w, std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return bits(w.red) == r && bits(w.green) == g && bits(w.blue) == b;
}

// Equal bits, or NaN on both sides (which NaN an operation returns when both
// operands are NaN depends on the operand order the compiler picked here).
bool same_value(float a, float b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

std::vector<float> pixels_of(KernelResult& result) {
    REQUIRE(result.ok());
    const ostrel::ResultBuffer& buffer = result.value();
    return {buffer.data(), buffer.data() + buffer.size()};
}

// The formula written out, one rounding per operation.
float reference(float r, float g, float b, const ChannelWeights& w) {
    const float pr = r * w.red;
    const float pg = g * w.green;
    const float pb = b * w.blue;
    const float rg = pr + pg;
    return rg + pb;
}

// Pixel values with the awkward cases mixed in among ordinary ones.
std::vector<float> sample_values(std::size_t count, unsigned seed) {
    const std::vector<float> specials{
        std::numeric_limits<float>::quiet_NaN(),
        -std::numeric_limits<float>::quiet_NaN(),
        from_bits(0x7FC00123),
        from_bits(0x7F800001),  // a signalling NaN
        std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(),
        0.0f,
        -0.0f,
        from_bits(0x00000001),
        from_bits(0x807FFFFF),  // denormals
        from_bits(0x00012345),
        3.0e38f,
        -3.4e38f,
        1.0f,
    };
    std::mt19937 engine(seed);
    std::uniform_real_distribution<float> ordinary(-0.5f, 4.0f);
    std::uniform_int_distribution<std::size_t> pick(0, specials.size() * 4 - 1);
    std::vector<float> values(count);
    for (float& v : values) {
        const std::size_t k = pick(engine);
        v = k < specials.size() ? specials[k] : ordinary(engine);
    }
    return values;
}

// An (H, W, 3) image laid out in memory by the given strides (in elements,
// any signs), with the gaps between its elements filled with a marker.
struct StridedImage {
    std::vector<float> storage;
    ImageView view;
};

StridedImage make_image(const std::vector<float>& logical, std::size_t h, std::size_t w, std::ptrdiff_t rs,
                        std::ptrdiff_t cs, std::ptrdiff_t chs) {
    const auto extent = [](std::size_t n, std::ptrdiff_t s) { return static_cast<std::ptrdiff_t>(n - 1) * s; };
    std::ptrdiff_t low = 0;
    std::ptrdiff_t high = 0;
    for (const std::ptrdiff_t e : {extent(h, rs), extent(w, cs), extent(3, chs)}) {
        (e < 0 ? low : high) += e;
    }
    StridedImage image;
    image.storage.assign(static_cast<std::size_t>(high - low + 1), 7777.0f);
    const float* origin = image.storage.data() - low;
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            for (std::size_t c = 0; c < 3; ++c) {
                const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(y) * rs +
                                              static_cast<std::ptrdiff_t>(x) * cs +
                                              static_cast<std::ptrdiff_t>(c) * chs;
                image.storage[static_cast<std::size_t>(offset - low)] = logical[(y * w + x) * 3 + c];
            }
        }
    }
    image.view = ImageView{origin, Shape3{h, w, 3}, rs, cs, chs};
    return image;
}

struct Layout {
    const char* name;
    std::ptrdiff_t rs, cs, chs;
};

std::vector<Layout> layouts(std::size_t h, std::size_t w) {
    const auto H = static_cast<std::ptrdiff_t>(h);
    const auto W = static_cast<std::ptrdiff_t>(w);
    return {
        {"contiguous", 3 * W, 3, 1},
        {"rows reversed", -3 * W, 3, 1},
        {"columns reversed", 3 * W, -3, 1},
        {"channels reversed", 3 * W, 3, -1},
        {"all reversed", -3 * W, -3, -1},
        {"every other column", 6 * W, 6, 1},
        {"every other row", 6 * W, 3, 1},
        {"transposed", 3, 3 * H, 1},
        {"transposed, channels reversed", -3, 3 * H, -1},
        {"fortran", 1, H, H * W},
        {"channels first", W, 1, H * W},
        {"channels first, columns reversed", W, -1, -H * W},
        {"padded pixels", 4 * W, 4, 1},
    };
}

const std::vector<ChannelWeights>& weight_sets() {
    static const std::vector<ChannelWeights> sets{
        ostrel::standard_weights(standard_code(1)),
        ostrel::filter_weights(filter_code(3), standard_code(2)),
        {-1.0f, 2.0f, 0.0f},
        {1.0f, 0.0f, 0.0f},
        {from_bits(0x00000003), 1.0e30f, -0.0f},
        {std::numeric_limits<float>::quiet_NaN(), 0.5f, std::numeric_limits<float>::infinity()},
    };
    return sets;
}

}  // namespace

TEST_CASE("luminance tables: stored coefficient bits") {
    CHECK(same_bits(ostrel::standard_weights(standard_code(0)), 0x3E991687, 0x3F1645A2, 0x3DE978D5));
    CHECK(same_bits(ostrel::standard_weights(standard_code(1)), 0x3E59B3D0, 0x3F371759, 0x3D93DD98));
    CHECK(same_bits(ostrel::standard_weights(standard_code(2)), 0x3E86809D, 0x3F2D9168, 0x3D72E48F));
}

TEST_CASE("luminance tables: filter weights are coefficient times transmission, rounded once") {
    constexpr std::uint32_t one = 0x3F800000, t09 = 0x3F666666, t055 = 0x3F0CCCCD, t03 = 0x3E99999A, t02 = 0x3E4CCCCD,
                            t01 = 0x3DCCCCCD, t002 = 0x3CA3D70A;
    const std::uint32_t transmissions[6][3] = {{one, one, one},  {one, t09, t03}, {one, t055, t01},
                                               {one, t01, t002}, {t02, one, t03}, {t01, t03, one}};
    for (std::uint8_t standard = 0; standard < 3; ++standard) {
        const ChannelWeights c = ostrel::standard_weights(standard_code(standard));
        for (std::uint8_t filter = 0; filter < 6; ++filter) {
            const std::uint32_t* t = transmissions[filter];
            const ChannelWeights w = ostrel::filter_weights(filter_code(filter), standard_code(standard));
            CHECK_MSG(same_bits(w, bits(c.red * from_bits(t[0])), bits(c.green * from_bits(t[1])),
                                bits(c.blue * from_bits(t[2]))),
                      "filter " << int(filter) << " standard " << int(standard));
        }
        // NoFilter multiplies by exactly one.
        const ChannelWeights none = ostrel::filter_weights(filter_code(0), standard_code(standard));
        CHECK(same_bits(none, bits(c.red), bits(c.green), bits(c.blue)));
    }
}

TEST_CASE("luminance: neutral pixel under each standard and through a red filter") {
    const std::vector<float> white(3 * 5, 1.0f);  // five pixels: one SIMD group and a tail
    const ImageView view = ImageView::contiguous(white.data(), Shape3{1, 5, 3});
    const std::uint32_t expected[3] = {0x3F800000, 0x3F800000, 0x3F7FFFFF};  // Bt2020 sums to just under one
    for (std::uint8_t standard = 0; standard < 3; ++standard) {
        KernelResult result = ostrel::luminance_bw(view, standard_code(standard));
        for (const float v : pixels_of(result)) CHECK_MSG(bits(v) == expected[standard], "standard " << int(standard));
    }
    KernelResult red = ostrel::color_filter_bw(view, filter_code(3), standard_code(1));
    for (const float v : pixels_of(red)) CHECK(std::fabs(v - 0.285564f) < 1e-6f);
}

TEST_CASE("luminance: shape errors name the shape and come before any code check") {
    std::vector<float> data(4 * 5 * 4);
    const ImageView one = ImageView::contiguous(data.data(), Shape3{4, 5, 1});
    const ImageView four = ImageView::contiguous(data.data(), Shape3{4, 5, 4});
    const ImageView none{nullptr, Shape3{0, 4, 0}, 0, 0, 1};
    KernelResult a = ostrel::luminance_bw(one, standard_code(1));
    REQUIRE(!a.ok());
    CHECK(a.error_text() == "expected (H, W, 3) RGB array, got shape [4, 5, 1]");
    KernelResult b = ostrel::channel_mixer_bw(four, 1.0f, 1.0f, 1.0f);
    REQUIRE(!b.ok());
    CHECK(b.error_text() == "expected (H, W, 3) RGB array, got shape [4, 5, 4]");
    KernelResult c = ostrel::color_filter_bw(none, filter_code(0), standard_code(1));
    REQUIRE(!c.ok());
    CHECK(c.error_text() == "expected (H, W, 3) RGB array, got shape [0, 4, 0]");
    // Codes are not looked at for an input that is refused anyway.
    KernelResult d = ostrel::color_filter_bw(four, filter_code(200), standard_code(200));
    CHECK(!d.ok());
}

TEST_CASE("luminance: out-of-range codes are internal faults") {
    std::vector<float> data(6, 0.5f);
    const ImageView view = ImageView::contiguous(data.data(), Shape3{1, 2, 3});
    const auto faults = [](auto&& call) {
        try {
            (void)call();
        } catch (const ostrel::InternalFault&) {
            return true;
        }
        return false;
    };
    CHECK(faults([&] { return ostrel::luminance_bw(view, standard_code(3)); }));
    CHECK(faults([&] { return ostrel::color_filter_bw(view, filter_code(6), standard_code(1)); }));
    CHECK(faults([&] { return ostrel::color_filter_bw(view, filter_code(0), standard_code(255)); }));
    CHECK(!faults([&] { return ostrel::color_filter_bw(view, filter_code(5), standard_code(2)); }));
}

TEST_CASE("luminance: empty images give empty results") {
    for (const Shape3 shape : {Shape3{0, 5, 3}, Shape3{4, 0, 3}, Shape3{0, 0, 3}}) {
        const ImageView view{nullptr, shape, 0, 0, 1};
        KernelResult result = ostrel::luminance_bw(view, standard_code(0));
        REQUIRE(result.ok());
        CHECK(result.value().size() == 0);
        CHECK(result.value().shape() == (Shape3{shape.height, shape.width, 1}));
    }
}

TEST_CASE("luminance: denormal inputs and weights are not flushed to zero") {
    // Eleven pixels: two groups of four and a tail of three.
    std::vector<float> data(11 * 3, 0.0f);
    for (std::size_t i = 0; i < 11; ++i) data[3 * i] = from_bits(static_cast<std::uint32_t>(i + 1));
    const ImageView view = ImageView::contiguous(data.data(), Shape3{1, 11, 3});
    KernelResult kept = ostrel::channel_mixer_bw(view, 1.0f, 0.0f, 0.0f);
    const std::vector<float> out = pixels_of(kept);
    for (std::size_t i = 0; i < 11; ++i) CHECK_MSG(bits(out[i]) == i + 1, "pixel " << i);
    // A denormal weight times an ordinary value gives a denormal product.
    std::vector<float> ones(11 * 3, 1.0f);
    KernelResult tiny =
        ostrel::channel_mixer_bw(ImageView::contiguous(ones.data(), Shape3{1, 11, 3}), from_bits(5), 0.0f, 0.0f);
    for (const float v : pixels_of(tiny)) CHECK(bits(v) == 5u);
}

TEST_CASE("luminance: every layout equals the per-pixel formula, widths 1 to 70") {
    int failures = 0;
    for (std::size_t h : {std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
        for (std::size_t w = 1; w <= 70; ++w) {
            const std::vector<float> logical = sample_values(h * w * 3, static_cast<unsigned>(h * 100 + w));
            for (const Layout& layout : layouts(h, w)) {
                const StridedImage image = make_image(logical, h, w, layout.rs, layout.cs, layout.chs);
                for (const ChannelWeights& weights : weight_sets()) {
                    KernelResult result = ostrel::mix_channels(image.view, weights);
                    const std::vector<float> out = pixels_of(result);
                    REQUIRE(out.size() == h * w);
                    for (std::size_t p = 0; p < h * w; ++p) {
                        const float expected =
                            reference(logical[3 * p], logical[3 * p + 1], logical[3 * p + 2], weights);
                        if (!same_value(out[p], expected) && failures++ < 10) {
                            CHECK_MSG(false, layout.name << " " << h << "x" << w << " pixel " << p << ": got 0x"
                                                         << std::hex << bits(out[p]) << " expected 0x" << bits(expected)
                                                         << std::dec);
                        }
                    }
                }
            }
        }
    }
    CHECK(failures == 0);
}

TEST_CASE("luminance: layouts agree bit for bit, NaN payloads included, on parallel sizes") {
    // Large enough for the pool to split the grid, and tall enough for several
    // bands of a column-major walk; odd sizes give uneven pieces.
    const std::size_t h = 301;
    const std::size_t w = 43;
    const std::vector<float> logical = sample_values(h * w * 3, 2024);
    const ChannelWeights weights = ostrel::filter_weights(filter_code(2), standard_code(0));
    const StridedImage plain = make_image(logical, h, w, static_cast<std::ptrdiff_t>(3 * w), 3, 1);
    KernelResult base = ostrel::mix_channels(plain.view, weights);
    const std::vector<float> expected = pixels_of(base);
    for (std::size_t p = 0; p < h * w; ++p) {
        REQUIRE(same_value(expected[p], reference(logical[3 * p], logical[3 * p + 1], logical[3 * p + 2], weights)));
    }
    for (const Layout& layout : layouts(h, w)) {
        const StridedImage image = make_image(logical, h, w, layout.rs, layout.cs, layout.chs);
        KernelResult result = ostrel::mix_channels(image.view, weights);
        const std::vector<float> out = pixels_of(result);
        std::size_t mismatches = 0;
        for (std::size_t p = 0; p < h * w; ++p) {
            if (bits(out[p]) != bits(expected[p])) ++mismatches;
        }
        CHECK_MSG(mismatches == 0, layout.name << ": " << mismatches << " pixels differ");
    }
}

TEST_CASE("luminance: length-one axes may carry any stride") {
    const std::vector<float> logical = sample_values(9 * 3, 5);
    const ChannelWeights weights = ostrel::standard_weights(standard_code(0));
    // One column walked down its rows, with the zero column stride the frame
    // passes for an axis of length one; one row likewise.
    const ImageView column{logical.data(), Shape3{9, 1, 3}, 3, 0, 1};
    const ImageView row{logical.data(), Shape3{1, 9, 3}, 0, 3, 1};
    for (const ImageView& view : {column, row}) {
        KernelResult result = ostrel::mix_channels(view, weights);
        const std::vector<float> out = pixels_of(result);
        for (std::size_t p = 0; p < 9; ++p) {
            CHECK(same_value(out[p], reference(logical[3 * p], logical[3 * p + 1], logical[3 * p + 2], weights)));
        }
    }
}
