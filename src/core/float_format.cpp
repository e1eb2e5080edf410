#include "core/float_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>

namespace ostrel {

std::string format_float32(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // The shortest round-tripping digits come from the scientific form (nearest
    // to the exact value among equally short candidates), then are laid out
    // positionally. The fixed form of to_chars is no substitute: for large
    // values every positional string has the same length, so it prints the
    // exact integer instead of the short digits padded with zeros.
    std::array<char, 32> text{};
    const auto [end, error] =
        std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::scientific);
    if (error != std::errc{}) return "NaN";  // cannot happen with this buffer size
    std::string_view scientific(text.data(), static_cast<std::size_t>(end - text.data()));

    std::string result;
    if (scientific.front() == '-') {
        result += '-';
        scientific.remove_prefix(1);
    }
    // "d[.ddd]e(+|-)xx"
    const std::size_t e_pos = scientific.find('e');
    std::string digits;
    for (char c : scientific.substr(0, e_pos)) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    std::string_view exponent_text = scientific.substr(e_pos + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

    const auto count = static_cast<int>(digits.size());
    if (exponent >= count - 1) {
        result += digits;
        result.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
    } else if (exponent >= 0) {
        const auto whole = static_cast<std::size_t>(exponent + 1);
        result.append(digits, 0, whole);
        result += '.';
        result.append(digits, whole);
    } else {
        result += "0.";
        result.append(static_cast<std::size_t>(-exponent - 1), '0');
        result += digits;
    }
    return result;
}

}  // namespace ostrel
