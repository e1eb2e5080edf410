#pragma once
// How many worker threads the pool gets, decided once from the environment.
#include <cstddef>
#include <optional>
#include <string_view>

namespace ostrel::parallel {

// A decimal count: ASCII digits with an optional leading '+', no blanks,
// fitting an unsigned 64-bit integer. Anything else is not a count.
std::optional<unsigned long long> parse_thread_count(std::string_view text) noexcept;

// RAYON_NUM_THREADS (0 selects the default at once), then RAYON_RS_NUM_CPUS,
// then the number of logical processors available to the process (at least 1).
// Values are capped at kMaxPoolThreads.
std::size_t configured_pool_size() noexcept;

// A guard against absurd counts: creating that many threads would exhaust the
// process long before it helped.
inline constexpr std::size_t kMaxPoolThreads = 1024;

}  // namespace ostrel::parallel
