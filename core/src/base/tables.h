// Lloyd-Max tables for a standard normal variable and the code-selection thresholds.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace korvane {

namespace detail {
constexpr float f32(std::uint32_t bits) { return std::bit_cast<float>(bits); }
}  // namespace detail

// Built from bit patterns so that no decimal rounding can creep in.
inline constexpr std::array<float, 16> CENTROIDS_4BIT = {
    detail::f32(0xC02EE2BF), detail::f32(0xC0046AC7), detail::f32(0xBFCF1C25), detail::f32(0xBFA0CC2F),
    detail::f32(0xBF713D3A), detail::f32(0xBF28215D), detail::f32(0xBEC6AE44), detail::f32(0xBE0379FB),
    detail::f32(0x3E0379FB), detail::f32(0x3EC6AE44), detail::f32(0x3F28215D), detail::f32(0x3F713D3A),
    detail::f32(0x3FA0CC2F), detail::f32(0x3FCF1C25), detail::f32(0x40046AC7), detail::f32(0x402EE2BF),
};

inline constexpr std::array<float, 4> CENTROIDS_2BIT = {
    detail::f32(0xBFC1555D), detail::f32(0xBEE7D2C8), detail::f32(0x3EE7D2C8), detail::f32(0x3FC1555D),
};

// Threshold k separates code k from code k + 1. These are constants in their own right,
// not computed midpoints: ±0.25822169 sits one ulp above the single-precision midpoint.
inline constexpr std::array<float, 15> BOUNDARIES_4BIT = {
    detail::f32(0xC019A6C3), detail::f32(0xBFEBF8DA), detail::f32(0xBFB7F42A), detail::f32(0xBF8CB566),
    detail::f32(0xBF4CAF4C), detail::f32(0xBF05BC40), detail::f32(0xBE8435A2), detail::f32(0x00000000),
    detail::f32(0x3E8435A2), detail::f32(0x3F05BC40), detail::f32(0x3F4CAF4C), detail::f32(0x3F8CB566),
    detail::f32(0x3FB7F42A), detail::f32(0x3FEBF8DA), detail::f32(0x4019A6C3),
};

inline constexpr std::array<float, 3> BOUNDARIES_2BIT = {
    detail::f32(0xBF7B4A0F), detail::f32(0x00000000), detail::f32(0x3F7B4A0F),
};

// The code of v is the number of thresholds not above it: a value equal to a threshold
// takes the upper code, and a NaN (for which every `v < t` is false) the top code.
inline std::uint8_t code_4bit(float v) {
    std::uint8_t c = 0;
    for (float t : BOUNDARIES_4BIT) c += !(v < t);
    return c;
}

inline std::uint8_t code_2bit(float v) {
    std::uint8_t c = 0;
    for (float t : BOUNDARIES_2BIT) c += !(v < t);
    return c;
}

inline constexpr std::size_t bytes_4bit(std::size_t n) { return (n + 1) / 2; }
inline constexpr std::size_t bytes_2bit(std::size_t n) { return (n + 3) / 4; }

}  // namespace korvane
