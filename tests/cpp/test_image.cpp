// Shared image types and helpers: the contiguity rule of views, shape text,
// result buffers that cannot exist, the reuse of large freed blocks, and the
// float text of the representations.
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/aligned_buffer.hpp"
#include "core/fault.hpp"
#include "core/float_format.hpp"
#include "core/image.hpp"
#include "encode/encode_srgb.hpp"

namespace {

using ostrel::ImageView;
using ostrel::Shape3;

ImageView strided(Shape3 shape, std::ptrdiff_t row, std::ptrdiff_t col, std::ptrdiff_t channel) {
    static const float storage[4] = {};
    return ImageView{storage, shape, row, col, channel};
}

template <class F>
bool throws_bad_alloc(F&& f) {
    try {
        f();
    } catch (const std::bad_alloc&) {
        return true;
    }
    return false;
}

}  // namespace

TEST_CASE("ImageView::is_c_contiguous follows NumPy's rule") {
    // Row-major strides.
    CHECK(strided({4, 5, 3}, 15, 3, 1).is_c_contiguous());
    CHECK(ImageView::contiguous(nullptr, {7, 2, 4}).is_c_contiguous());
    // A step, a transpose, a Fortran layout, a negative stride, a broadcast.
    CHECK(!strided({4, 5, 3}, 30, 6, 1).is_c_contiguous());
    CHECK(!strided({4, 5, 3}, 3, 12, 1).is_c_contiguous());
    CHECK(!strided({4, 5, 3}, 1, 4, 20).is_c_contiguous());
    CHECK(!strided({4, 5, 3}, -15, 3, 1).is_c_contiguous());
    CHECK(!strided({4, 5, 3}, 15, -3, 1).is_c_contiguous());
    CHECK(!strided({4, 5, 3}, 15, 3, -1).is_c_contiguous());
    CHECK(!strided({4, 5, 3}, 0, 3, 1).is_c_contiguous());
    CHECK(!strided({4, 5, 3}, 15, 3, 0).is_c_contiguous());
    // Axes of length 1 may carry any stride.
    CHECK(strided({1, 5, 3}, -999, 3, 1).is_c_contiguous());
    CHECK(strided({4, 1, 3}, 3, 12345, 1).is_c_contiguous());
    CHECK(strided({4, 5, 1}, 5, 1, -7).is_c_contiguous());
    CHECK(strided({1, 1, 1}, 3, -2, 9).is_c_contiguous());
    CHECK(strided({1, 1, 6}, 0, 0, 1).is_c_contiguous());
    CHECK(!strided({1, 1, 6}, 0, 0, 2).is_c_contiguous());
    // ... but the other strides still count the real lengths.
    CHECK(!strided({4, 1, 3}, 9, 3, 1).is_c_contiguous());
    CHECK(strided({4, 1, 3}, 3, 3, 1).is_c_contiguous());
    // Empty views pass whatever their strides.
    CHECK(strided({0, 5, 3}, -1, 77, 5).is_c_contiguous());
    CHECK(strided({4, 0, 3}, 1, 1, 1).is_c_contiguous());
    CHECK(strided({4, 5, 0}, 1, 1, 1).is_c_contiguous());
}

TEST_CASE("shape_text writes [H, W, C]") {
    CHECK(ostrel::shape_text({4, 5, 3}) == "[4, 5, 3]");
    CHECK(ostrel::shape_text({0, 0, 0}) == "[0, 0, 0]");
    CHECK(ostrel::shape_text({std::numeric_limits<std::size_t>::max(), 1, 12}) == "[18446744073709551615, 1, 12]");
}

TEST_CASE("ResultBuffer has the requested shape and its own storage") {
    ostrel::ResultBuffer buffer({3, 4, 2});
    CHECK(buffer.size() == 24);
    CHECK((buffer.shape() == Shape3{3, 4, 2}));
    CHECK(reinterpret_cast<std::uintptr_t>(buffer.data()) % 64 == 0);
    CHECK(buffer.row(2) == buffer.data() + 16);
    const ImageView view = buffer.view();
    CHECK(view.is_c_contiguous());
    CHECK(view.row_stride == 8 && view.col_stride == 2 && view.channel_stride == 1);
    // An empty result still gets a block of its own (NumPy needs a data pointer).
    ostrel::ResultBuffer empty({0, 5, 3});
    CHECK(empty.size() == 0);
    CHECK(empty.data() != nullptr);
}

TEST_CASE("ResultBuffer that cannot exist throws std::bad_alloc") {
    // A product of the axis lengths that overflows.
    CHECK(throws_bad_alloc([] { ostrel::ResultBuffer({std::size_t{1} << 32, std::size_t{1} << 32, 2}); }));
    CHECK(throws_bad_alloc([] { ostrel::ResultBuffer({std::numeric_limits<std::size_t>::max(), 2, 1}); }));
    CHECK(throws_bad_alloc([] { ostrel::ResultBuffer({3, std::numeric_limits<std::size_t>::max(), 3}); }));
    // An element count whose byte size overflows.
    CHECK(throws_bad_alloc([] { ostrel::ResultBuffer({1, std::size_t{1} << 62, 1}); }));
    // Fits size_t but not this machine: refused before anything is touched.
    CHECK(throws_bad_alloc([] { ostrel::ResultBuffer({1, (std::size_t{1} << 61) - 1, 1}); }));
    CHECK(throws_bad_alloc([] { ostrel::ResultBuffer({1, ostrel::allocation_limit_bytes() / sizeof(float) + 1, 1}); }));
    // A zero axis makes everything else irrelevant.
    ostrel::ResultBuffer empty({std::numeric_limits<std::size_t>::max(), 0, 7});
    CHECK(empty.size() == 0);
}

TEST_CASE("an absurd contiguous input fails with bad_alloc, not a read out of bounds") {
    // The kernel checks the layout, then allocates: the huge result cannot be
    // allocated, so the (tiny) input is never read past its end. NumPy cannot
    // describe such an array without a real buffer behind it, which is why
    // this lives here rather than in the Python tests.
    const float one = 1.0f;
    const ImageView huge = ImageView::contiguous(&one, {1, (std::size_t{1} << 61) - 1, 1});
    CHECK(throws_bad_alloc([&] { (void)ostrel::encode_srgb(huge); }));
    // A non-contiguous view is refused before any allocation.
    ImageView odd = huge;
    odd.col_stride = 2;
    bool fault = false;
    try {
        (void)ostrel::encode_srgb(odd);
    } catch (const ostrel::InternalFault& error) {
        fault = error.message() == "encode_srgb: input must be C-contiguous";
    }
    CHECK(fault);
}

TEST_CASE("format_float32 writes the shortest positional digits") {
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {
        {0.5f, "0.5"},
        {-0.3f, "-0.3"},
        {1.0f, "1"},
        {-1.0f, "-1"},
        {1.0f / 3.0f, "0.33333334"},
        {1e-5f, "0.00001"},
        {1e10f, "10000000000"},
        {0.0f, "0"},
        {-0.0f, "-0"},
        {100.0f, "100"},
        {123.456f, "123.456"},
        {0.1f, "0.1"},
        {16777216.0f, "16777216"},
        {16777217.0f, "16777216"},  // not representable: rounds to 2**24
        {1e38f, "100000000000000000000000000000000000000"},
        {std::numeric_limits<float>::max(), "340282350000000000000000000000000000000"},
        {std::numeric_limits<float>::min(), "0.000000000000000000000000000000000000011754944"},
        {std::numeric_limits<float>::denorm_min(), "0.000000000000000000000000000000000000000000001"},
        {-std::numeric_limits<float>::denorm_min(), "-0.000000000000000000000000000000000000000000001"},
        {std::numeric_limits<float>::infinity(), "inf"},
        {-std::numeric_limits<float>::infinity(), "-inf"},
        {std::numeric_limits<float>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<float>::quiet_NaN(), "NaN"},
        {std::bit_cast<float>(std::uint32_t{0x7F800001}), "NaN"},  // signalling payload
    };
    for (const Case& c : cases) {
        const std::string text = ostrel::format_float32(c.value);
        CHECK_MSG(text == c.text, "format_float32(" << c.text << ") gave " << text);
    }
}

TEST_CASE("format_float32 reads back as the same float") {
    // Every text must parse back to the same bits (strtof rounds to nearest).
    std::uint32_t state = 12345;
    int mismatches = 0;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1664525u + 1013904223u;
        const float value = std::bit_cast<float>(state);
        if (!std::isfinite(value)) continue;
        const std::string text = ostrel::format_float32(value);
        const float back = std::strtof(text.c_str(), nullptr);
        if (std::bit_cast<std::uint32_t>(back) != std::bit_cast<std::uint32_t>(value) ||
            text.find('e') != std::string::npos) {
            if (++mismatches <= 5) CHECK_MSG(false, "bits " << std::hex << state << " -> " << text);
        }
    }
    CHECK(mismatches == 0);
}

TEST_CASE("large freed blocks are reused, never while alive, and the cache stays bounded") {
    if (!ostrel::kBlockCacheEnabled) return;  // a sanitized build frees every block at once
    using Block = ostrel::AlignedBuffer<float>;
    constexpr std::size_t kEightMiB = std::size_t{2} << 20;  // floats
    ostrel::release_cached_blocks();
    Block a(kEightMiB);
    Block b(kEightMiB);
    const float* const first = a.data();
    CHECK(first != b.data());
    a = Block();
    Block c(kEightMiB);
    CHECK(c.data() == first);  // a's block again
    CHECK(c.data() != b.data());
    // More than twice the request: kept for a better fit.
    c = Block();
    Block half(kEightMiB / 2 - 1024);
    CHECK(half.data() != first);
    Block fits(kEightMiB);
    CHECK(fits.data() == first);
    // Three freed, two kept: the oldest goes back to the system.
    ostrel::release_cached_blocks();
    std::vector<Block> blocks;
    for (int i = 0; i < 3; ++i) blocks.emplace_back(kEightMiB);
    std::vector<const float*> freed;
    for (Block& block : blocks) {
        freed.push_back(block.data());
        block = Block();
    }
    Block again1(kEightMiB);
    Block again2(kEightMiB);
    const bool kept_newest = (again1.data() == freed[1] || again1.data() == freed[2]) &&
                             (again2.data() == freed[1] || again2.data() == freed[2]) && again1.data() != again2.data();
    CHECK(kept_newest);
    ostrel::release_cached_blocks();
}

TEST_CASE("the block cache hands each block to one owner under concurrent use") {
    constexpr std::size_t kFloats = std::size_t{5} << 18;  // 5 MiB
    std::atomic<int> overwritten{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 40; ++round) {
                ostrel::AlignedBuffer<float> block(kFloats + static_cast<std::size_t>(round % 3));
                const float mark = static_cast<float>(t * 1000 + round);
                for (std::size_t i = 0; i < kFloats; i += 4096) block[i] = mark;
                std::this_thread::yield();
                for (std::size_t i = 0; i < kFloats; i += 4096) {
                    if (block[i] != mark) ++overwritten;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    CHECK(overwritten.load() == 0);
    ostrel::release_cached_blocks();
}
