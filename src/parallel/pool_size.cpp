#include "parallel/pool_size.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "core/platform.hpp"

namespace ostrel::parallel {
namespace {

std::optional<unsigned long long> read_count(const char* variable) noexcept {
    const char* value = std::getenv(variable);
    if (value == nullptr) return std::nullopt;
    return parse_thread_count(value);
}

std::size_t logical_processors() noexcept { return platform::available_processors(); }

std::size_t capped(unsigned long long count) noexcept {
    return static_cast<std::size_t>(std::min<unsigned long long>(count, kMaxPoolThreads));
}

}  // namespace

std::optional<unsigned long long> parse_thread_count(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    unsigned long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<unsigned long long>(c - '0');
        if (value > (std::numeric_limits<unsigned long long>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t configured_pool_size() noexcept {
    if (const auto requested = read_count("RAYON_NUM_THREADS")) {
        if (*requested > 0) return capped(*requested);
        return capped(logical_processors());
    }
    if (const auto cpus = read_count("RAYON_RS_NUM_CPUS"); cpus && *cpus > 0) return capped(*cpus);
    return capped(logical_processors());
}

}  // namespace ostrel::parallel
