// The seeded randomized Hadamard rotation: zero-pad to a power of two, flip signs by a
// ChaCha20-derived ±1 diagonal, Walsh–Hadamard butterflies, divide by √padded_dim.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// Eight PCG32 (XSH-RR) outputs from a state that starts at the seed; the 256-bit key.
std::array<std::uint32_t, 8> pcg32_key_words(std::uint64_t seed);

// One ChaCha20 block (Bernstein layout is the caller's business: `input` is the full
// 16-word state). Returns the 16 output words.
std::array<std::uint32_t, 16> chacha20_block(const std::array<std::uint32_t, 16>& input);

// The first `count` words of the keystream for `key` with nonce 0 and counter from 0.
std::vector<std::uint32_t> chacha20_keystream(const std::array<std::uint32_t, 8>& key, std::size_t count);

class RhdhRotation {
public:
    RhdhRotation() = default;
    // `dim` must have a representable padded size (the engine checks that first).
    RhdhRotation(std::uint64_t dim, std::uint64_t seed);

    std::uint64_t dim() const { return dim_; }
    std::uint64_t padded_dim() const { return padded_dim_; }
    const std::vector<std::int8_t>& signs() const { return signs_; }

    // y holds padded_dim floats whose first n entries are the input and the rest 0.0;
    // rotates in place (sign flip, butterflies, multiplication by 1/√padded_dim).
    void apply_in_place(float* y, std::size_t n) const;

    // The inverse of apply_in_place on padded_dim floats, within float rounding (the
    // butterflies, then 1/√padded_dim, then the signs).
    void invert_in_place(float* y) const;

    // Allocating form: x.size() <= padded_dim.
    std::vector<float> apply(std::span<const float> x) const;

private:
    std::uint64_t dim_ = 0;
    std::uint64_t padded_dim_ = 1;
    float inv_sqrt_ = 1.0f;
    std::vector<std::int8_t> signs_;
};

// In-place unnormalised Walsh–Hadamard transform in natural order; n is a power of two.
void walsh_hadamard(float* y, std::size_t n);

}  // namespace korvane
