// The NaN rule (core/nan_rule.hpp): its results spelled out as bit patterns,
// on x86-64 the hardware's own answers with the operand order pinned, and
// the kernels' NaN results worked out by hand from the rule.
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "bw/luminance.hpp"
#include "check.hpp"
#include "core/cr_math.hpp"
#include "core/nan_rule.hpp"
#include "local_contrast/guided_filter.hpp"
#include "local_contrast/local_contrast.hpp"
#include "tone/zone_curve.hpp"

namespace {

namespace rule = ostrel::nan_rule;

float f(std::uint32_t pattern) { return std::bit_cast<float>(pattern); }
std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }
double d(std::uint64_t pattern) { return std::bit_cast<double>(pattern); }
std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::uint32_t kQuietA = 0x7FC00123;      // quiet, positive
constexpr std::uint32_t kQuietB = 0xFFC0ABCD;      // quiet, negative
constexpr std::uint32_t kSignalling = 0x7F800005;  // signalling: quiet form 0x7FC00005
constexpr std::uint32_t kMade = 0xFFC00000;        // the NaN an operation makes

std::vector<float> values_of(ostrel::KernelResult& result) {
    REQUIRE(result.ok());
    return {result.value().data(), result.value().data() + result.value().size()};
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// x86's scalar operations with the first operand fixed in the instruction.
float x86_add(float a, float b) {
    __asm__("addss %1, %0" : "+x"(a) : "x"(b));
    return a;
}
float x86_sub(float a, float b) {
    __asm__("subss %1, %0" : "+x"(a) : "x"(b));
    return a;
}
float x86_mul(float a, float b) {
    __asm__("mulss %1, %0" : "+x"(a) : "x"(b));
    return a;
}
float x86_div(float a, float b) {
    __asm__("divss %1, %0" : "+x"(a) : "x"(b));
    return a;
}
double x86_add(double a, double b) {
    __asm__("addsd %1, %0" : "+x"(a) : "x"(b));
    return a;
}
double x86_mul(double a, double b) {
    __asm__("mulsd %1, %0" : "+x"(a) : "x"(b));
    return a;
}
#endif

}  // namespace

TEST_CASE("nan_rule: the first NaN operand, quieted; made NaNs are negative") {
    struct Case {
        std::uint32_t a, b, add, mul;
    };
    const Case cases[] = {
        {kQuietA, kQuietB, kQuietA, kQuietA},               // two quiet NaNs: the first
        {kQuietB, kQuietA, kQuietB, kQuietB},               // ... whatever their signs
        {kQuietA, kSignalling, kQuietA, kQuietA},           // a quiet NaN before a signalling one wins
        {kSignalling, kQuietA, 0x7FC00005, 0x7FC00005},     // a signalling one first: quieted
        {0x3F800000, kSignalling, 0x7FC00005, 0x7FC00005},  // one NaN: quieted
        {0xFF800001, 0x3F800000, 0xFFC00001, 0xFFC00001},   // sign and payload kept
        {0x7F800000, 0xFF800000, kMade, 0xFF800000},        // inf + -inf makes a NaN
        {0x00000000, 0x7F800000, 0x7F800000, kMade},        // 0 * inf makes a NaN
        {0x3F800000, 0x40000000, 0x40400000, 0x40000000},   // ordinary operands: the operation
    };
    for (const Case& c : cases) {
        CHECK_MSG(bits(rule::add(f(c.a), f(c.b))) == c.add, std::hex << c.a << " + " << c.b);
        CHECK_MSG(bits(rule::mul(f(c.a), f(c.b))) == c.mul, std::hex << c.a << " * " << c.b);
    }
    CHECK(bits(rule::sub(f(0x7F800000), f(0x7F800000))) == kMade);
    CHECK(bits(rule::div(f(0), f(0))) == kMade);
    CHECK(bits(rule::div(f(kQuietB), f(kQuietA))) == kQuietB);
    // Double: the quiet bit is bit 51, the made NaN 0xFFF8000000000000.
    CHECK(bits(rule::add(d(0x7FF0000000000001ull), d(0x7FF8000000000002ull))) == 0x7FF8000000000001ull);
    CHECK(bits(rule::sub(d(0x7FF0000000000000ull), d(0x7FF0000000000000ull))) == 0xFFF8000000000000ull);
    CHECK(bits(rule::mul(d(0x3FF0000000000000ull), d(0xFFF0000000000009ull))) == 0xFFF8000000000009ull);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
TEST_CASE("nan_rule: x86's SSE arithmetic gives the rule's bits") {
    const std::vector<std::uint32_t> patterns{kQuietA,    kQuietB,    kSignalling, 0xFF800001, 0x7FFFFFFF, 0x7F800000,
                                              0xFF800000, 0x00000000, 0x80000000,  0x3F800000, 0x00000001, 0x7F7FFFFF};
    for (const std::uint32_t a : patterns) {
        for (const std::uint32_t b : patterns) {
            CHECK(bits(rule::add(f(a), f(b))) == bits(x86_add(f(a), f(b))));
            CHECK(bits(rule::sub(f(a), f(b))) == bits(x86_sub(f(a), f(b))));
            CHECK(bits(rule::mul(f(a), f(b))) == bits(x86_mul(f(a), f(b))));
            CHECK(bits(rule::div(f(a), f(b))) == bits(x86_div(f(a), f(b))));
            const double wa = static_cast<double>(f(a));
            const double wb = static_cast<double>(f(b));
            CHECK(bits(rule::add(wa, wb)) == bits(x86_add(wa, wb)));
            CHECK(bits(rule::mul(wa, wb)) == bits(x86_mul(wa, wb)));
        }
    }
}
#endif

TEST_CASE("nan_rule: the kernels' NaN results, worked out by hand") {
    // Luminance: ((R*wR) + (G*wG)) + B*wB, a pixel value before its weight.
    const ostrel::ChannelWeights weights{f(kQuietB), 0.5f, 1.0f};
    const float pixels[] = {f(kQuietA), f(kSignalling), 1.0f,  // R's NaN before its weight's
                            1.0f,       f(kSignalling), 2.0f,  // the weight's NaN before G's
                            kInf,       1.0f,           -kInf};
    const auto rgb = ostrel::ImageView::contiguous(pixels, ostrel::Shape3{1, 3, 3});
    ostrel::KernelResult mixed = ostrel::mix_channels(rgb, weights);
    const std::vector<float> lum = values_of(mixed);
    CHECK(bits(lum[0]) == kQuietA);
    CHECK(bits(lum[1]) == kQuietB);
    CHECK(bits(lum[2]) == kQuietB);  // inf * NaN weight: the weight's
    const ostrel::ChannelWeights unit{1.0f, 1.0f, 1.0f};
    ostrel::KernelResult cancelled = ostrel::mix_channels(rgb, unit);
    CHECK(bits(values_of(cancelled)[2]) == kMade);  // (inf + 1) + -inf

    // Zone System: the bumps add up in zone order, each product before the sum.
    const ostrel::ZoneOffsets two_nans = ostrel::make_zone_offsets({{1, f(kQuietA)}, {6, f(kQuietB)}});
    CHECK(bits(ostrel::zone_curve_value(1.0f, ostrel::zone_terms(two_nans))) == kQuietB);
    // The floor 1e-10 sits at zone -25.7: a huge offset there gives zero and
    // NaN an infinite gain, while middle grey keeps a gain of one.
    const ostrel::ZoneOffsets huge = ostrel::make_zone_offsets({{-26, 1000.0f}});
    const float grey[] = {0.0f, 0.18f, f(kSignalling)};
    const auto plane = ostrel::ImageView::contiguous(grey, ostrel::Shape3{1, 3, 1});
    ostrel::KernelResult zoned = ostrel::zone_system(plane, huge);
    const std::vector<float> zones = values_of(zoned);
    CHECK(bits(zones[0]) == kMade);  // 0 * inf
    CHECK(zones[1] == 0.18f);
    CHECK(bits(zones[2]) == 0x7FC00005u);

    // Guided filter on [A, B], radius 1: T = [A, (B + 0) + A = B]; both windows
    // read B, so mean_I = B, a = 0 (no d > 0) and b = B; q = mean_b + I * mean_a
    // = B everywhere.
    const float two[] = {f(kQuietA), f(kQuietB)};
    const ostrel::PlaneView nans{two, 1, 2, 2, 1};
    const ostrel::ResultBuffer q = ostrel::guided_filter(nans, 1, 0.01f);
    CHECK(bits(q.data()[0]) == kQuietB);
    CHECK(bits(q.data()[1]) == kQuietB);
    // Local contrast: ((L - q) * s) + L takes L's NaN first.
    ostrel::KernelResult detail =
        ostrel::local_contrast(ostrel::ImageView::contiguous(two, ostrel::Shape3{1, 2, 1}), 1, 0.01f, 0.5f);
    const std::vector<float> out = values_of(detail);
    CHECK(bits(out[0]) == kQuietA);
    CHECK(bits(out[1]) == kQuietB);
    // [inf, 1]: var = inf - inf*inf is a made NaN, so a = 0 and b = inf; at the
    // infinite pixel q = inf + inf * 0, a made NaN; at the other q = inf.
    const float infinite[] = {kInf, 1.0f};
    const ostrel::ResultBuffer qi = ostrel::guided_filter(ostrel::PlaneView{infinite, 1, 2, 2, 1}, 1, 0.01f);
    CHECK(bits(qi.data()[0]) == kMade);
    CHECK(qi.data()[1] == kInf);

    // powf with two NaNs: the base's.
    CHECK(bits(ostrel::cr_powf(f(kQuietA), f(kSignalling))) == kQuietA);
    CHECK(bits(ostrel::cr_powf(f(kSignalling), f(kQuietA))) == 0x7FC00005u);
}
