// local_contrast on a 4000x3000 luminance image for radii 2, 8 and 64: the
// cost should not depend on the radius. Also times the bare guided filter
// against its whole-plane form, and reports the peak extra resident memory of
// each call (its 4-byte-per-pixel result not counted), measured in a forked
// child so that no earlier call's freed blocks hide part of the peak.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "local_contrast/guided_filter.hpp"
#include "local_contrast/local_contrast.hpp"
#include "parallel/parallel_for.hpp"
#include "perf_timing.hpp"

namespace {

using perf::kHeight;
using perf::kWidth;
constexpr int kRuns = 5;

// A /proc/self/status field in bytes, or -1.
long long status_bytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::stoll(line.substr(length + 1)) * 1024;
        }
    }
    return -1;
}

// Peak resident bytes above the level at the call, less the result's bytes,
// per pixel; runs `kernel` once in a child process. The child resets the
// high-water mark first (clear_refs 5) and falls back to ru_maxrss, which is
// only right when the child's mark starts at its resident size.
template <class Kernel>
double peak_extra_bytes_per_pixel(Kernel&& kernel) {
    int channel[2];
    if (pipe(channel) != 0) return std::nan("");
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        ostrel::parallel::pool_size();  // start the child's pool before the mark
        bool reset = false;
        if (std::FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
            reset = std::fputs("5", refs) >= 0;
            reset = std::fclose(refs) == 0 && reset;
        }
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const long long before = reset ? status_bytes("VmRSS") : usage.ru_maxrss * 1024LL;
        ostrel::ResultBuffer result = kernel();
        getrusage(RUSAGE_SELF, &usage);
        const long long peak = reset ? status_bytes("VmHWM") : usage.ru_maxrss * 1024LL;
        const double extra = static_cast<double>(peak - before) - static_cast<double>(result.size() * sizeof(float));
        const double per_pixel = extra / static_cast<double>(kHeight * kWidth);
        const ssize_t written = write(channel[1], &per_pixel, sizeof per_pixel);
        _exit(written == sizeof per_pixel ? 0 : 1);
    }
    close(channel[1]);
    double per_pixel = std::nan("");
    if (child > 0) {
        if (read(channel[0], &per_pixel, sizeof per_pixel) != sizeof per_pixel) per_pixel = std::nan("");
        int status = 0;
        waitpid(child, &status, 0);
    }
    close(channel[0]);
    return per_pixel;
}

// Median time of the guided filter alone; the result is kept alive and used.
template <class Filter>
double filter_median_ms(Filter&& filter) {
    return perf::median_ms([&] { return ostrel::KernelResult(filter()); }, kRuns);
}

}  // namespace

int main() {
    std::vector<float> image(kHeight * kWidth);
    for (std::size_t y = 0; y < kHeight; ++y) {
        for (std::size_t x = 0; x < kWidth; ++x) {
            const float fx = static_cast<float>(x) * 0.01f;
            const float fy = static_cast<float>(y) * 0.013f;
            image[y * kWidth + x] = 0.5f + 0.25f * std::sin(fx) * std::cos(fy) + 0.05f * std::sin(fx * 17.0f);
        }
    }
    const ostrel::ImageView view = ostrel::ImageView::contiguous(image.data(), ostrel::Shape3{kHeight, kWidth, 1});
    const ostrel::PlaneView plane{image.data(), kHeight, kWidth, static_cast<std::ptrdiff_t>(kWidth), 1};
    const double pixels = static_cast<double>(kHeight * kWidth);
    const std::uint32_t radii[] = {2u, 8u, 64u};

    // Memory first, before this process has run any filter.
    std::printf("local_contrast 4000x3000, %zu threads, median of %d\n", ostrel::parallel::pool_size(), kRuns);
    double memory[3];
    double memory_filter[3];
    double memory_plain[3];
    for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t radius = radii[k];
        memory[k] = peak_extra_bytes_per_pixel(
            [&] { return std::move(ostrel::local_contrast(view, radius, 0.01f, 1.5f).value()); });
        memory_filter[k] = peak_extra_bytes_per_pixel([&] { return ostrel::guided_filter(plane, radius, 0.01f); });
        memory_plain[k] = peak_extra_bytes_per_pixel([&] { return ostrel::guided_filter_plain(plane, radius, 0.01f); });
    }
    for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t radius = radii[k];
        const double ms = perf::median_ms([&] { return ostrel::local_contrast(view, radius, 0.01f, 1.5f); }, kRuns);
        std::printf("radius %-3u %9.2f ms %9.1f Mpix/s   peak extra %5.2f bytes/pixel\n", radius, ms, pixels / ms / 1e3,
                    memory[k]);
    }
    std::printf("guided filter alone: guided_filter vs guided_filter_plain (interleaved)\n");
    for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t radius = radii[k];
        double rolling = 0.0;
        double plain = 0.0;
        for (int round = 0; round < 2; ++round) {  // interleaved against drifting machine load
            rolling += filter_median_ms([&] { return ostrel::guided_filter(plane, radius, 0.01f); });
            plain += filter_median_ms([&] { return ostrel::guided_filter_plain(plane, radius, 0.01f); });
        }
        std::printf("radius %-3u %9.2f ms vs %9.2f ms   peak extra %5.2f vs %5.2f bytes/pixel\n", radius, rolling / 2.0,
                    plain / 2.0, memory_filter[k], memory_plain[k]);
    }
    return 0;
}
