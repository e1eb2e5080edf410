#include "core/float_format.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace ostrel {

std::string format_float32(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // to_chars without a precision gives the shortest round-tripping digits,
    // nearest to the exact value among equally short ones; fixed keeps them
    // positional. The largest float needs 39 digits plus sign; the smallest
    // denormal 45 decimals after "0.".
    std::array<char, 64> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc{}) return "NaN";  // cannot happen with this buffer size
    return std::string(text.data(), end);
}

}  // namespace ostrel
