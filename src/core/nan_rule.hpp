#pragma once
// The project's NaN rule, the same on every architecture.
//
// IEEE 754 leaves open which NaN an operation returns when it meets two, and
// the hardware differs: x86 returns the first operand's NaN, ARM prefers a
// signalling operand over a quiet one; x86's own NaN (from 0 * inf, inf - inf)
// has the sign bit set, ARM's has not. A compiler may also swap the operands
// of an addition or a multiplication. So the kernels compute with plain
// operations and, for the rare results that are NaN, take the NaN this rule
// gives, which is x86's:
//
//   a op b = the first NaN operand, made quiet (its payload and sign kept,
//            the quiet bit set); with no NaN operand, the operation itself,
//            except that a NaN it makes is the negative quiet NaN 0xFFC00000
//            (double: 0xFFF8000000000000).
//
// Whether a result is NaN never depends on the payloads or on the operand
// order, so a plain result that is not NaN is already the rule's result.
#include <bit>
#include <cstdint>

namespace ostrel::nan_rule {

inline constexpr bool is_nan(float v) noexcept { return (std::bit_cast<std::uint32_t>(v) & 0x7FFFFFFFu) > 0x7F800000u; }
inline constexpr bool is_nan(double v) noexcept {
    return (std::bit_cast<std::uint64_t>(v) & 0x7FFFFFFFFFFFFFFFull) > 0x7FF0000000000000ull;
}

// A loop that ORs nan_flag() over its values and tests any_nan() after it
// learns whether one was NaN, and still vectorises: the top bit of the flag is
// set exactly for a NaN (its magnitude bits exceed infinity's).
inline constexpr std::uint32_t nan_flag(float v) noexcept {
    return 0x7F800000u - (std::bit_cast<std::uint32_t>(v) & 0x7FFFFFFFu);
}
inline constexpr bool any_nan(std::uint32_t flags) noexcept { return (flags >> 31) != 0; }

inline constexpr float quiet(float v) noexcept {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(v) | 0x00400000u);
}
inline constexpr double quiet(double v) noexcept {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) | 0x0008000000000000ull);
}

inline constexpr float kMadeNaN = std::bit_cast<float>(std::uint32_t{0xFFC00000u});
inline constexpr double kMadeNaNDouble = std::bit_cast<double>(std::uint64_t{0xFFF8000000000000ull});

inline constexpr float made_nan(float) noexcept { return kMadeNaN; }
inline constexpr double made_nan(double) noexcept { return kMadeNaNDouble; }

// The rule around a plain result r of a op b.
template <class T>
constexpr T resolve(T a, T b, T r) noexcept {
    if (is_nan(a)) return quiet(a);
    if (is_nan(b)) return quiet(b);
    return is_nan(r) ? made_nan(r) : r;
}

template <class T>
constexpr T add(T a, T b) noexcept {
    return resolve(a, b, a + b);
}
template <class T>
constexpr T sub(T a, T b) noexcept {
    return resolve(a, b, a - b);
}
template <class T>
constexpr T mul(T a, T b) noexcept {
    return resolve(a, b, a * b);
}
template <class T>
constexpr T div(T a, T b) noexcept {
    return resolve(a, b, a / b);
}

// The two arithmetics of a kernel written once over either: plain operations
// for speed, and the rule's for the results that came out NaN.
struct Plain {
    template <class T>
    static T add(T a, T b) noexcept {
        return a + b;
    }
    template <class T>
    static T sub(T a, T b) noexcept {
        return a - b;
    }
    template <class T>
    static T mul(T a, T b) noexcept {
        return a * b;
    }
    template <class T>
    static T div(T a, T b) noexcept {
        return a / b;
    }
};

struct Ruled {
    template <class T>
    static T add(T a, T b) noexcept {
        return nan_rule::add(a, b);
    }
    template <class T>
    static T sub(T a, T b) noexcept {
        return nan_rule::sub(a, b);
    }
    template <class T>
    static T mul(T a, T b) noexcept {
        return nan_rule::mul(a, b);
    }
    template <class T>
    static T div(T a, T b) noexcept {
        return nan_rule::div(a, b);
    }
};

}  // namespace ostrel::nan_rule
