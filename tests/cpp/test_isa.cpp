// The dispatch mechanism: names, the test switch, table selection along the
// fallback chains, and the kernels giving the same bits on every instruction
// set this processor supports.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/isa.hpp"
#include "encode/encode_srgb.hpp"
#include "forced_isa.hpp"
#include "tone/zone_curve.hpp"

namespace {

using check::ForcedIsa;
using ostrel::Isa;

std::vector<Isa> supported_sets() {
    std::vector<Isa> sets;
    for (Isa isa : ostrel::kIsaPreference) {
        if (ostrel::isa_supported(isa)) sets.push_back(isa);
    }
    return sets;
}

// Values that exercise every lane kind: ordinary, tiny, huge, denormal,
// zeros, negatives, infinities, NaN; an odd count leaves partial vectors.
std::vector<float> test_values() {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(-0.25f, 4.0f);
    std::uniform_int_distribution<std::uint32_t> any_bits(0, 0xFFFFFFFFu);
    std::vector<float> values;
    for (int i = 0; i < 3001; ++i) values.push_back(unit(rng));
    for (int i = 0; i < 1000; ++i) values.push_back(std::bit_cast<float>(any_bits(rng)));
    for (float special : {0.0f, -0.0f, 1e-45f, 1e-38f, 0.0031308f, 1.0f, 3e38f, std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
        values.push_back(special);
    }
    return values;
}

std::vector<std::uint32_t> bits_of(ostrel::KernelResult& result) {
    std::vector<std::uint32_t> bits;
    if (!result.ok()) return bits;
    const ostrel::ResultBuffer& buffer = result.value();
    for (std::size_t i = 0; i < buffer.size(); ++i) bits.push_back(std::bit_cast<std::uint32_t>(buffer.data()[i]));
    return bits;
}

}  // namespace

TEST_CASE("isa: names read back, unknown names are refused") {
    for (std::size_t i = 0; i < ostrel::kIsaCount; ++i) {
        const auto isa = static_cast<Isa>(i);
        CHECK(ostrel::parse_isa(ostrel::isa_name(isa)) == isa);
    }
    CHECK(ostrel::isa_name(Isa::avx512) == "avx512");
    CHECK(!ostrel::parse_isa("AVX2").has_value());
    CHECK(!ostrel::parse_isa("").has_value());
    CHECK(!ostrel::parse_isa("avx2 ").has_value());
}

TEST_CASE("isa: scalar is always supported and the best set is the first supported") {
    CHECK(ostrel::isa_supported(Isa::scalar));
    const std::vector<Isa> sets = supported_sets();
    REQUIRE(!sets.empty());
    CHECK(ostrel::best_isa() == sets.front());
    // Each chain ends at scalar.
    for (Isa isa : ostrel::kIsaPreference) {
        int steps = 0;
        while (isa != Isa::scalar && steps < 10) {
            isa = ostrel::isa_fallback(isa);
            ++steps;
        }
        CHECK(isa == Isa::scalar);
    }
}

TEST_CASE("isa: the switch forces each supported set, refuses others and returns to the default") {
    const Isa before = ostrel::active_isa();
    for (Isa isa : ostrel::kIsaPreference) {
        if (ostrel::isa_supported(isa)) {
            ForcedIsa forced(isa);
            CHECK(forced.ok());
            CHECK(ostrel::active_isa() == isa);
        } else {
            CHECK(!ostrel::force_isa(isa));
            CHECK(ostrel::active_isa() == before);
        }
    }
    CHECK(ostrel::active_isa() == before);
}

TEST_CASE("isa: a table takes the entry of the set, else the next one down its chain") {
    using Entry = int (*)();
    constexpr Entry scalar = [] { return 0; };
    constexpr Entry sse2 = [] { return 1; };
    constexpr Entry avx512 = [] { return 3; };
    constexpr Entry neon = [] { return 4; };
    const ostrel::IsaTable<Entry> full{{scalar, sse2, [] { return 2; }, avx512, neon}};
    const ostrel::IsaTable<Entry> gap{{scalar, sse2, nullptr, avx512, nullptr}};
    const ostrel::IsaTable<Entry> scalar_only{{scalar}};
    for (Isa isa : ostrel::kIsaPreference) {
        // The set itself when supported, else the first supported one below it.
        Isa expected = isa;
        while (!ostrel::isa_supported(expected)) expected = ostrel::isa_fallback(expected);
        CHECK(full.select(isa)() == static_cast<int>(expected));
        CHECK(scalar_only.select(isa)() == 0);
    }
    CHECK(gap.select(Isa::avx2)() == (ostrel::isa_supported(Isa::sse2) ? 1 : 0));
    CHECK(gap.select(Isa::neon)() == 0);
}

TEST_CASE("isa: a processor has the x86 sets or NEON, and its baseline vector set") {
#if defined(__x86_64__)
    CHECK(ostrel::isa_supported(Isa::sse2));
    CHECK(!ostrel::isa_supported(Isa::neon));
#elif defined(__aarch64__)
    CHECK(ostrel::isa_supported(Isa::neon));
    CHECK(ostrel::best_isa() == Isa::neon);
    for (Isa isa : {Isa::sse2, Isa::avx2, Isa::avx512}) CHECK(!ostrel::isa_supported(isa));
#endif
    CHECK(ostrel::isa_name(Isa::neon) == "neon");
    CHECK(ostrel::isa_fallback(Isa::neon) == Isa::scalar);
}

TEST_CASE("isa: zone_system and encode_srgb give the same bits on every supported set") {
    const std::vector<float> values = test_values();
    const auto view = ostrel::ImageView::contiguous(values.data(), ostrel::Shape3{1, values.size(), 1});
    const ostrel::ZoneOffsets offsets{{2, -0.4f}, {3, -0.3f}, {5, 0.5f}, {7, 0.25f}, {8, 1.0f}};
    std::vector<std::uint32_t> zone_reference;
    std::vector<std::uint32_t> encode_reference;
    {
        ForcedIsa forced(Isa::scalar);
        REQUIRE(forced.ok());
        ostrel::KernelResult zone = ostrel::zone_system(view, offsets);
        ostrel::KernelResult encode = ostrel::encode_srgb(view);
        zone_reference = bits_of(zone);
        encode_reference = bits_of(encode);
    }
    REQUIRE(zone_reference.size() == values.size());
    REQUIRE(encode_reference.size() == values.size());
    for (Isa isa : supported_sets()) {
        ForcedIsa forced(isa);
        ostrel::KernelResult zone = ostrel::zone_system(view, offsets);
        ostrel::KernelResult encode = ostrel::encode_srgb(view);
        CHECK_MSG(bits_of(zone) == zone_reference, "zone_system on " << ostrel::isa_name(isa));
        CHECK_MSG(bits_of(encode) == encode_reference, "encode_srgb on " << ostrel::isa_name(isa));
    }
}
