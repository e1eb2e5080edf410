// The golden corpus: a fixed set of inputs for every kernel (awkward values,
// NaNs with quiet and signalling payloads of both signs, infinities, values
// whose squares overflow, NaN and infinite parameters), each output's SHA-256
// checked against tests/golden/kernel_outputs.sha256. The file was recorded
// on x86-64; the same check on every architecture, on every instruction set
// the processor has and in every memory layout, proves one set of bits
// everywhere, NaN payloads included.
//
// Each line of the file is `case input-sha256 output-sha256`: the input's
// hash pins the corpus itself, so a changed generator cannot pass unnoticed.
// OSTREL_WRITE_GOLDEN=1 in the environment rewrites the file from this
// machine's results instead of checking them (only ever on x86-64, and only
// when a kernel's bits are meant to change).
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "bands/bands.hpp"
#include "bw/luminance.hpp"
#include "check.hpp"
#include "core/isa.hpp"
#include "encode/encode_srgb.hpp"
#include "forced_isa.hpp"
#include "grain/grain.hpp"
#include "local_contrast/guided_filter.hpp"
#include "local_contrast/local_contrast.hpp"
#include "print/print_stage.hpp"
#include "quantize/quantize.hpp"
#include "sha256.hpp"
#include "tone/zone_curve.hpp"
#include "toning/toning.hpp"
#include "vignette/vignette.hpp"

namespace {

using check::ForcedIsa;

using ostrel::ImageView;
using ostrel::Isa;
using ostrel::Shape3;

float from_bits(std::uint32_t pattern) { return std::bit_cast<float>(pattern); }

constexpr float kInf = std::numeric_limits<float>::infinity();

// SplitMix64: a generator defined by its arithmetic alone, so the corpus is
// the same on every machine and with every standard library.
class Generator {
public:
    explicit Generator(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Below `n`.
    std::uint64_t below(std::uint64_t n) { return next() % n; }
    // An exact float in [low, high): 24 random bits scaled, no libm.
    float uniform(float low, float high) {
        const auto fraction = static_cast<float>(next() >> 40) * 0x1p-24f;
        return low + fraction * (high - low);
    }

private:
    std::uint64_t state_;
};

// The awkward values: NaNs (quiet and signalling, both signs, several
// payloads, x86's and ARM's default NaNs among them), infinities, zeros,
// denormals, the largest floats, values whose float square overflows, and
// the kernels' thresholds with their neighbours.
const std::vector<std::uint32_t>& awkward_patterns() {
    static const std::vector<std::uint32_t> patterns{
        0x7FC00000, 0xFFC00000, 0x7FC00123, 0xFFC0ABCD, 0x7FFFFFFF, 0xFFFFFFFF,  // quiet NaNs
        0x7F800001, 0x7FA00000, 0xFF800001, 0xFFBFFFFF, 0x7F812345, 0xFF9ABCDE,  // signalling NaNs
        0x7F800000, 0xFF800000, 0x00000000, 0x80000000,                          // infinities, zeros
        0x00000001, 0x807FFFFF, 0x00012345, 0x00800000,                          // denormals, least normal
        0x7F7FFFFF, 0xFF7FFFFF, 0x5F800000, 0x5F800001, 0xE2800000,              // FLT_MAX, 2^64, -2^70
        0x2EDBE6FE, 0x2EDBE6FF, 0x2EDBE700,                                      // zone_system's floor 1e-10
        0x3B4D2E1B, 0x3B4D2E1C, 0x3B4D2E1D,                                      // encode_srgb's threshold
        0x3F800000, 0xBF800000, 0x3E3851EC,                                      // 1, -1, 0.18
    };
    return patterns;
}

// `count` values: ordinary ones in [-0.25, 1.5) with one in `one_in` drawn
// from the awkward values instead.
std::vector<float> corpus_values(std::size_t count, std::uint64_t seed, std::uint64_t one_in) {
    Generator generator(seed);
    const auto& awkward = awkward_patterns();
    std::vector<float> values(count);
    for (float& v : values) {
        if (generator.below(one_in) == 0) {
            v = from_bits(awkward[generator.below(awkward.size())]);
        } else {
            v = generator.uniform(-0.25f, 1.5f);
        }
    }
    return values;
}

// A view of `logical` (row-major (H, W, C)) stored with the given element
// strides; the storage between elements holds a marker.
struct Stored {
    std::vector<float> storage;
    ImageView view;
};

Stored store(const std::vector<float>& logical, Shape3 shape, std::ptrdiff_t rs, std::ptrdiff_t cs,
             std::ptrdiff_t chs) {
    const auto extent = [](std::size_t n, std::ptrdiff_t s) {
        return n == 0 ? 0 : static_cast<std::ptrdiff_t>(n - 1) * s;
    };
    std::ptrdiff_t low = 0;
    std::ptrdiff_t high = 0;
    for (const std::ptrdiff_t e : {extent(shape.height, rs), extent(shape.width, cs), extent(shape.channels, chs)}) {
        (e < 0 ? low : high) += e;
    }
    Stored stored;
    stored.storage.assign(static_cast<std::size_t>(high - low + 1), 7777.0f);
    for (std::size_t y = 0; y < shape.height; ++y) {
        for (std::size_t x = 0; x < shape.width; ++x) {
            for (std::size_t c = 0; c < shape.channels; ++c) {
                const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(y) * rs +
                                              static_cast<std::ptrdiff_t>(x) * cs +
                                              static_cast<std::ptrdiff_t>(c) * chs;
                stored.storage[static_cast<std::size_t>(offset - low)] =
                    logical[(y * shape.width + x) * shape.channels + c];
            }
        }
    }
    stored.view = ImageView{stored.storage.data() - low, shape, rs, cs, chs};
    return stored;
}

struct Layout {
    const char* name;
    std::ptrdiff_t rs, cs, chs;
};

// Memory layouts of an (H, W, C) image, as NumPy arrays may have them.
std::vector<Layout> layouts(Shape3 shape) {
    const auto h = static_cast<std::ptrdiff_t>(shape.height);
    const auto w = static_cast<std::ptrdiff_t>(shape.width);
    const auto c = static_cast<std::ptrdiff_t>(shape.channels);
    return {
        {"C order", w * c, c, 1},
        {"Fortran order", 1, h, h * w},
        {"channels first", w, 1, h * w},
        {"all reversed", -w * c, -c, -1},
        {"every other column", 2 * w * c, 2 * c, 1},
    };
}

// One case of the corpus: its input, and its output in each layout that the
// kernel accepts.
struct Case {
    std::string name;
    std::vector<float> input;
    Shape3 shape;
    bool any_layout;  // false: C-contiguous input only
    std::function<ostrel::KernelResult(const ImageView&)> kernel;
};

// The two channels of a corpus input as two C-contiguous (H, W, 1) planes:
// the base and the detailed plane of the print stage.
class TwoPlanes {
public:
    explicit TwoPlanes(const ImageView& v)
        : shape_{v.height(), v.width(), 1}, base_(v.height() * v.width()), detailed_(base_.size()) {
        for (std::size_t y = 0; y < v.height(); ++y) {
            for (std::size_t x = 0; x < v.width(); ++x) {
                base_[y * v.width() + x] = v.pixel(y, x)[0];
                detailed_[y * v.width() + x] = v.pixel(y, x)[v.channel_stride];
            }
        }
    }
    ImageView base() const { return ImageView::contiguous(base_.data(), shape_); }
    ImageView detailed() const { return ImageView::contiguous(detailed_.data(), shape_); }

private:
    Shape3 shape_;
    std::vector<float> base_;
    std::vector<float> detailed_;
};

// The four channels of a corpus input as C-contiguous (H, W, 3) RGB and an
// (H, W, 1) luminance: the inputs of bands.
class RgbAndPlane {
public:
    explicit RgbAndPlane(const ImageView& v)
        : height_(v.height()), width_(v.width()), rgb_(3 * v.height() * v.width()), lum_(v.height() * v.width()) {
        for (std::size_t y = 0; y < v.height(); ++y) {
            for (std::size_t x = 0; x < v.width(); ++x) {
                const std::size_t i = y * v.width() + x;
                for (std::size_t c = 0; c < 3; ++c) {
                    rgb_[3 * i + c] = v.pixel(y, x)[static_cast<std::ptrdiff_t>(c) * v.channel_stride];
                }
                lum_[i] = v.pixel(y, x)[3 * v.channel_stride];
            }
        }
    }
    ImageView rgb() const { return ImageView::contiguous(rgb_.data(), Shape3{height_, width_, 3}); }
    ImageView lum() const { return ImageView::contiguous(lum_.data(), Shape3{height_, width_, 1}); }

private:
    std::size_t height_;
    std::size_t width_;
    std::vector<float> rgb_;
    std::vector<float> lum_;
};

std::vector<Case> corpus() {
    std::vector<Case> cases;
    const auto add = [&](std::string name, Shape3 shape, std::uint64_t seed, std::uint64_t one_in, bool any_layout,
                         std::function<ostrel::KernelResult(const ImageView&)> kernel) {
        std::vector<float> input = corpus_values(shape.height * shape.width * shape.channels, seed, one_in);
        cases.push_back({std::move(name), std::move(input), shape, any_layout, std::move(kernel)});
    };
    const float quiet = from_bits(0x7FC00321);
    const float quiet_negative = from_bits(0xFFC00777);
    const float signalling = from_bits(0x7F800005);

    // Luminance: dense awkward values, so that NaNs meet NaNs in the products
    // and sums; NaN, infinite and zero weights.
    const Shape3 rgb{23, 37, 3};
    add("luminance_bw Bt709", rgb, 1, 3, true,
        [](const ImageView& v) { return ostrel::luminance_bw(v, ostrel::LuminanceStandard::Bt709); });
    add("color_filter_bw Red25A Bt601", rgb, 2, 3, true, [](const ImageView& v) {
        return ostrel::color_filter_bw(v, ostrel::ColorFilter::Red25A, ostrel::LuminanceStandard::Bt601);
    });
    add("channel_mixer_bw NaN, 0.5, -inf", rgb, 3, 3, true,
        [=](const ImageView& v) { return ostrel::channel_mixer_bw(v, quiet, 0.5f, -kInf); });
    add("channel_mixer_bw 0, inf, -NaN", rgb, 4, 3, true,
        [=](const ImageView& v) { return ostrel::channel_mixer_bw(v, 0.0f, kInf, quiet_negative); });
    add("channel_mixer_bw sNaN, 1, -1", rgb, 5, 3, true,
        [=](const ImageView& v) { return ostrel::channel_mixer_bw(v, signalling, 1.0f, -1.0f); });

    // Zone System: ordinary, NaN, infinite and huge offsets (gains of 0 and
    // infinity meet zeros and infinities of the input).
    const Shape3 plane{19, 41, 1};
    const std::vector<std::pair<const char*, ostrel::ZoneOffsets>> zone_tables{
        {"ordinary", {{2, -0.4f}, {3, -0.3f}, {5, 0.5f}, {7, 0.25f}, {8, 1.0f}}},
        {"NaN offsets", {{1, quiet}, {4, -0.5f}, {6, quiet_negative}, {9, signalling}}},
        {"infinite offsets", {{0, kInf}, {5, 0.3f}, {10, -kInf}}},
        {"huge offsets", {{3, 300.0f}, {8, -300.0f}}},
        {"negative zones", {{-3, 2.0f}, {12, -2.0f}}},
    };
    std::uint64_t seed = 10;
    for (const auto& [label, offsets] : zone_tables) {
        add(std::string("zone_system ") + label, plane, seed++, 4, false,
            [table = ostrel::make_zone_offsets(offsets)](const ImageView& v) { return ostrel::zone_system(v, table); });
    }

    // sRGB encoding: one channel and three.
    add("encode_srgb (H, W, 1)", plane, 20, 4, false, [](const ImageView& v) { return ostrel::encode_srgb(v); });
    add("encode_srgb (H, W, 3)", rgb, 21, 4, false, [](const ImageView& v) { return ostrel::encode_srgb(v); });

    // Local contrast: sparse awkward values (NaNs of several payloads meet in
    // the summed-area tables, infinities cancel there into new NaNs) and a
    // dense plane; NaN, infinite and zero strengths and eps.
    struct Filter {
        std::uint32_t radius;
        float eps;
        float strength;
    };
    const std::vector<Filter> filters{
        {0, 0.01f, 0.5f}, {1, 0.001f, 1.0f}, {3, 0.01f, 0.6f}, {8, 1e-4f, -0.5f},         {2, 0.01f, 0.0f},
        {2, 0.01f, kInf}, {2, 0.01f, quiet}, {2, 0.0f, 0.7f},  {2, quiet_negative, 0.7f}, {40, 0.05f, 0.8f},
    };
    seed = 30;
    for (const Filter& f : filters) {
        std::ostringstream name;
        name << "local_contrast r=" << f.radius << " eps=" << f.eps << " strength=" << f.strength;
        const auto kernel = [f](const ImageView& v) { return ostrel::local_contrast(v, f.radius, f.eps, f.strength); };
        add(name.str() + " sparse", Shape3{47, 53, 1}, seed++, 150, true, kernel);
        add(name.str() + " dense", Shape3{13, 17, 1}, seed++, 6, true, kernel);
    }
    add("local_contrast r=2 clean", Shape3{40, 64, 1}, 60, std::numeric_limits<std::uint64_t>::max(), true,
        [](const ImageView& v) { return ostrel::local_contrast(v, 2, 0.01f, 0.5f); });

    // The print stage: the base plane alone, and with the detailed plane as
    // the second channel of the corpus input (that case copies the channels
    // into two C-contiguous planes, so every layout of its input applies).
    // Ordinary curves, an empty toe, the defaults, and gains far from 1.
    const std::vector<std::pair<const char*, ostrel::PrintCurve>> curves{
        {"ordinary", {0.02f, 0.1f, 2.5f, 0.7f, 3.0f, 0.98f}},
        {"empty toe", {0.05f, 0.05f, 1.0f, 0.6f, 0.5f, 1.2f}},
        {"defaults", {}},
        {"steep gains", {-0.1f, 0.3f, 0.01f, 0.4f, 100.0f, 1.0f}},
        {"half room", {0.0f, 0.0f, 1.0f, 0.59f, 1.2f, 1.09f, 0.5f}},
    };
    seed = 70;
    for (const auto& [label, curve] : curves) {
        add(std::string("print_stage ") + label, plane, seed++, 4, false,
            [curve](const ImageView& v) { return ostrel::print_stage(v, curve); });
        add(std::string("print_stage ") + label + " detailed", Shape3{19, 41, 2}, seed++, 4, true,
            [curve](const ImageView& v) {
                const TwoPlanes planes(v);
                return ostrel::print_stage(planes.base(), planes.detailed(), curve);
            });
    }
    // The print stage ending in the encoding: one plain and one detailed case.
    const ostrel::PrintCurve ordinary{0.02f, 0.1f, 2.5f, 0.7f, 3.0f, 0.98f, 0.5f};
    add("print_encode ordinary", plane, seed++, 4, false,
        [ordinary](const ImageView& v) { return ostrel::print_encode(v, ordinary); });
    add("print_encode ordinary detailed", Shape3{19, 41, 2}, seed++, 4, true, [ordinary](const ImageView& v) {
        const TwoPlanes planes(v);
        return ostrel::print_encode(planes.base(), planes.detailed(), ordinary);
    });

    // Toning: a split toner at full and part strength and at 0, and colours
    // that reach 0 in a channel (-inf times 0 makes a NaN there).
    const std::vector<std::pair<const char*, ostrel::Toner>> toners{
        {"split", {{1.9f, 0.8f, 0.45f}, {0.75f, 1.02f, 1.5f}, 0.22f, 1.0f}},
        {"split part", {{1.9f, 0.8f, 0.45f}, {0.75f, 1.02f, 1.5f}, 3.0f, 0.4f}},
        {"strength 0", {{1.9f, 0.8f, 0.45f}, {0.75f, 1.02f, 1.5f}, 0.22f, 0.0f}},
        {"zero channel", {{3.0f, 0.5f, 0.0f}, {0.0f, 0.2f, 11.8f}, 40.0f, 1.0f}},
    };
    seed = 90;
    for (const auto& [label, toner] : toners) {
        add(std::string("tone_print ") + label, plane, seed, 4, false,
            [toner](const ImageView& v) { return ostrel::tone_print(v, toner); });
        add(std::string("tone_print_encode ") + label, plane, seed++, 4, false,
            [toner](const ImageView& v) { return ostrel::tone_print_encode(v, toner); });
    }

    // Edge burning: burnt and dodged, a hard edge, and a block placed inside
    // a larger image.
    const std::vector<std::pair<const char*, ostrel::Vignette>> vignettes{
        {"burn", {-1.5f, 0.7f, 0.6f}},
        {"dodge", {0.8f, 0.4f, 0.3f}},
        {"hard edge", {-3.0f, 0.9f, 0.01f}},
    };
    seed = 100;
    for (const auto& [label, v] : vignettes) {
        add(std::string("vignette ") + label, plane, seed++, 4, false,
            [v](const ImageView& view) { return ostrel::vignette(view, v); });
    }
    add("vignette burn placed", plane, seed++, 4, false, [](const ImageView& view) {
        return ostrel::vignette(view, {-1.5f, 0.7f, 0.6f}, ostrel::Placement{11, 23, 64, 96});
    });

    // Film grain: a 35 mm pitch (3 taps), a fine one (the widest blur), a
    // coarse one (no blur), linear and encoded, and a placed block.
    const std::vector<std::pair<const char*, ostrel::Grain>> grains{
        {"35mm", {1.0f, 17.0f, 9.0f, 0}},
        {"fine", {2.5f, 10.0f, 0.4f, 7}},
        {"coarse", {1.0f, 40.0f, 60.0f, 4000000000u}},
    };
    seed = 110;
    for (const auto& [label, g] : grains) {
        add(std::string("grain ") + label, plane, seed, 4, false,
            [g](const ImageView& view) { return ostrel::grain(view, g); });
        add(std::string("grain_encode ") + label, plane, seed++, 4, false,
            [g](const ImageView& view) { return ostrel::grain_encode(view, g); });
    }
    add("grain_encode 35mm placed", plane, seed++, 4, false, [](const ImageView& view) {
        return ostrel::grain_encode(view, {1.0f, 17.0f, 9.0f, 3}, ostrel::Placement{11, 23, 64, 96});
    });
    // Colour bands: unsmoothed, smoothed, and the offset map alone, on
    // awkward RGB and luminance.
    ostrel::Bands mixed;
    mixed.offsets = {1.0f, 0.5f, -0.25f, 1.5f, 0.0f, -1.0f, 0.75f, -3.0f};
    ostrel::Bands smoothed = mixed;
    smoothed.radius = 3;
    smoothed.eps = 0.2f;
    seed = 110;
    add("bands naive", Shape3{21, 33, 4}, seed++, 4, true, [mixed](const ImageView& v) {
        const RgbAndPlane inputs(v);
        return ostrel::bands(inputs.rgb(), inputs.lum(), mixed);
    });
    add("bands smoothed", Shape3{37, 29, 4}, seed++, 4, true, [smoothed](const ImageView& v) {
        const RgbAndPlane inputs(v);
        return ostrel::bands(inputs.rgb(), inputs.lum(), smoothed);
    });
    add("band_offsets smoothed", Shape3{37, 29, 4}, seed++, 8, true, [smoothed](const ImageView& v) {
        const RgbAndPlane inputs(v);
        return ostrel::band_offsets(inputs.rgb(), smoothed);
    });
    // Quantising, 8 and 16 bits, in every layout: the codes (as floats) of
    // values on both sides of [0, 1], awkward ones and NaNs among them.
    seed = 120;
    for (const int bits : {8, 16}) {
        add("quantize " + std::to_string(bits), Shape3{19, 23, 3}, seed++, 4, true,
            [bits](const ImageView& v) -> ostrel::KernelResult {
                std::vector<std::uint16_t> wide(v.height() * v.width() * v.channels());
                std::vector<std::uint8_t> narrow(wide.size());
                if (bits == 8) {
                    ostrel::quantize(v, std::span(narrow));
                    std::copy(narrow.begin(), narrow.end(), wide.begin());
                } else {
                    ostrel::quantize(v, std::span(wide));
                }
                ostrel::ResultBuffer codes(v.shape);
                for (std::size_t i = 0; i < wide.size(); ++i) codes.data()[i] = static_cast<float>(wide[i]);
                return codes;
            });
    }
    return cases;
}

std::string output_hash(ostrel::KernelResult& result) {
    if (!result.ok()) return "error:" + result.error_text();
    const ostrel::ResultBuffer& buffer = result.value();
    return check::sha256_of_floats(buffer.data(), buffer.size());
}

struct Golden {
    std::string input;
    std::string output;
};

std::map<std::string, Golden> read_golden(const char* path) {
    std::map<std::string, Golden> golden;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        // The name may hold spaces; the two hashes are the last two fields.
        const std::size_t second = line.rfind(' ');
        const std::size_t first = line.rfind(' ', second - 1);
        if (second == std::string::npos || first == std::string::npos) continue;
        golden[line.substr(0, first)] = {line.substr(first + 1, second - first - 1), line.substr(second + 1)};
    }
    return golden;
}

}  // namespace

TEST_CASE("golden: SHA-256 of the standard's test messages") {
    const auto digest = [](const std::string& text) {
        check::Sha256 hash;
        hash.update(reinterpret_cast<const unsigned char*>(text.data()), text.size());
        return hash.hex();
    };
    CHECK(digest("") == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    CHECK(digest("abc") == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    CHECK(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq") ==
          "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    CHECK(digest(std::string(1000000, 'a')) == "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Floats go in as little-endian bytes: 1.0f is 00 00 80 3f.
    const float one = 1.0f;
    check::Sha256 bytes;
    const unsigned char le[4] = {0x00, 0x00, 0x80, 0x3F};
    bytes.update(le, 4);
    CHECK(check::sha256_of_floats(&one, 1) == bytes.hex());
}

TEST_CASE("golden: every kernel's corpus gives the recorded bits on every instruction set and layout") {
    const std::vector<Case> cases = corpus();
    if (std::getenv("OSTREL_WRITE_GOLDEN") != nullptr) {
        std::ofstream file(OSTREL_GOLDEN_FILE);
        file << "# SHA-256 of each golden case's input and output (float32, little-endian), recorded on x86-64.\n"
             << "# Checked by tests/cpp/test_golden.cpp on every architecture: case input-sha256 output-sha256\n";
        for (const Case& c : cases) {
            const Stored stored = store(c.input, c.shape, static_cast<std::ptrdiff_t>(c.shape.width * c.shape.channels),
                                        static_cast<std::ptrdiff_t>(c.shape.channels), 1);
            ostrel::KernelResult result = c.kernel(stored.view);
            file << c.name << ' ' << check::sha256_of_floats(c.input) << ' ' << output_hash(result) << '\n';
        }
        REQUIRE(file.good());
        return;
    }
    const std::map<std::string, Golden> golden = read_golden(OSTREL_GOLDEN_FILE);
    REQUIRE(golden.size() == cases.size());
    std::vector<Isa> sets;
    for (Isa isa : ostrel::kIsaPreference) {
        if (ostrel::isa_supported(isa)) sets.push_back(isa);
    }
    for (const Case& c : cases) {
        const auto found = golden.find(c.name);
        CHECK_MSG(found != golden.end(), c.name << ": not in the golden file");
        if (found == golden.end()) continue;
        CHECK_MSG(check::sha256_of_floats(c.input) == found->second.input, c.name << ": the corpus input changed");
        std::vector<Layout> views = layouts(c.shape);
        if (!c.any_layout) views.resize(1);
        for (const Layout& layout : views) {
            const Stored stored = store(c.input, c.shape, layout.rs, layout.cs, layout.chs);
            for (Isa isa : sets) {
                const ForcedIsa forced(isa);
                REQUIRE(forced.ok());
                ostrel::KernelResult result = c.kernel(stored.view);
                CHECK_MSG(output_hash(result) == found->second.output,
                          c.name << ", " << layout.name << ", " << ostrel::isa_name(isa) << ": output differs");
            }
        }
    }
}

TEST_CASE("golden: the whole-plane and rolling guided filter agree on the corpus planes") {
    // guided_filter picks one form per shape; both must agree with it on the
    // corpus planes, so the golden hashes cover both.
    for (const Case& c : corpus()) {
        if (c.name.rfind("local_contrast", 0) != 0) continue;
        const ostrel::PlaneView plane{c.input.data(), c.shape.height, c.shape.width,
                                      static_cast<std::ptrdiff_t>(c.shape.width), 1};
        for (const std::uint32_t radius : {0u, 2u, 9u}) {
            const ostrel::ResultBuffer chosen = ostrel::guided_filter(plane, radius, 0.01f);
            const std::string expected = check::sha256_of_floats(chosen.data(), chosen.size());
            const ostrel::ResultBuffer plain = ostrel::guided_filter_plain(plane, radius, 0.01f);
            CHECK_MSG(check::sha256_of_floats(plain.data(), plain.size()) == expected, c.name << " plain r=" << radius);
            for (const std::size_t band : {std::size_t{4}, std::size_t{0}}) {
                const ostrel::ResultBuffer rolling = ostrel::guided_filter_rolling(plane, radius, 0.01f, band);
                CHECK_MSG(check::sha256_of_floats(rolling.data(), rolling.size()) == expected,
                          c.name << " rolling r=" << radius << " band " << band);
            }
        }
    }
}
