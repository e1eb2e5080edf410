// What the sanitizer builds must see: concurrent kernels on the shared pool
// and block cache (ThreadSanitizer checks their synchronisation), and, under
// AddressSanitizer, a use after free of a large plane.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bw/luminance.hpp"
#include "check.hpp"
#include "core/aligned_buffer.hpp"
#include "encode/encode_srgb.hpp"
#include "local_contrast/local_contrast.hpp"
#include "tone/zone_curve.hpp"

namespace {

using ostrel::ImageView;
using ostrel::KernelResult;
using ostrel::Shape3;

std::vector<float> random_values(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-0.1f, 1.2f);
    std::vector<float> values(count);
    for (float& value : values) value = distribution(generator);
    return values;
}

std::vector<std::uint32_t> result_bits(KernelResult result) {
    REQUIRE(result.ok());
    const ostrel::ResultBuffer& buffer = result.value();
    std::vector<std::uint32_t> bits(buffer.size());
    if (!bits.empty()) std::memcpy(bits.data(), buffer.data(), bits.size() * sizeof(float));
    return bits;
}

}  // namespace

TEST_CASE("kernels from several threads at once give the bits of one call alone") {
    // Sizes on both sides of the pool's threshold, and planes above 1 MiB,
    // so that results pass through the block cache while others are in use.
    const std::vector<Shape3> shapes{{1, 1, 3}, {31, 47, 3}, {160, 120, 3}, {520, 400, 3}};
    std::vector<std::vector<float>> rgb;
    std::vector<std::vector<float>> grey;
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        const Shape3& s = shapes[i];
        rgb.push_back(random_values(s.height * s.width * 3, static_cast<std::uint32_t>(i)));
        grey.push_back(random_values(s.height * s.width, static_cast<std::uint32_t>(100 + i)));
    }
    auto run = [&](std::size_t kernel, std::size_t i) {
        const Shape3 colour = shapes[i];
        const Shape3 single{colour.height, colour.width, 1};
        const ImageView rgb_view = ImageView::contiguous(rgb[i].data(), colour);
        const ImageView grey_view = ImageView::contiguous(grey[i].data(), single);
        switch (kernel) {
            case 0:
                return result_bits(ostrel::luminance_bw(rgb_view, ostrel::LuminanceStandard::Bt709));
            case 1:
                return result_bits(
                    ostrel::color_filter_bw(rgb_view, ostrel::ColorFilter::Red25A, ostrel::LuminanceStandard::Bt601));
            case 2:
                return result_bits(ostrel::zone_system(grey_view, {{3, -0.5f}, {7, 0.25f}}));
            case 3:
                return result_bits(ostrel::local_contrast(grey_view, 4, 0.01f, 0.7f));
            default:
                return result_bits(ostrel::encode_srgb(rgb_view));
        }
    };
    constexpr std::size_t kKernels = 5;
    std::vector<std::vector<std::uint32_t>> expected;
    for (std::size_t kernel = 0; kernel < kKernels; ++kernel) {
        for (std::size_t i = 0; i < shapes.size(); ++i) expected.push_back(run(kernel, i));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t round = 0; round < 2 * kKernels * shapes.size(); ++round) {
                const std::size_t job = (round * 7 + t * 3) % expected.size();
                if (run(job / shapes.size(), job % shapes.size()) != expected[job]) ++mismatches;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    CHECK(mismatches.load() == 0);
    ostrel::release_cached_blocks();
}

#if defined(__SANITIZE_ADDRESS__)
TEST_CASE("AddressSanitizer reports a read of a freed large plane") {
    CHECK(!ostrel::kBlockCacheEnabled);
    int pipe_ends[2];
    REQUIRE(pipe(pipe_ends) == 0);
    const pid_t child = fork();
    REQUIRE(child >= 0);
    if (child == 0) {
        dup2(pipe_ends[1], 2);
        close(pipe_ends[0]);
        const float* stale = nullptr;
        {
            ostrel::AlignedBuffer<float> plane(std::size_t{2} << 20);  // 8 MiB: a size the cache would keep
            plane[4321] = 1.0f;
            stale = plane.data();
        }
        const volatile float* read = stale + 4321;
        const float value = *read;
        _exit(value == 1.0f ? 0 : 3);  // not reached when the sanitizer sees the read
    }
    close(pipe_ends[1]);
    std::string report;
    char chunk[4096];
    for (ssize_t got; (got = read(pipe_ends[0], chunk, sizeof chunk)) > 0;)
        report.append(chunk, static_cast<std::size_t>(got));
    close(pipe_ends[0]);
    int status = 0;
    REQUIRE(waitpid(child, &status, 0) == child);
    CHECK(!(WIFEXITED(status) && WEXITSTATUS(status) == 0));
    CHECK_MSG(report.find("heap-use-after-free") != std::string::npos, report.substr(0, 400));
}
#endif
