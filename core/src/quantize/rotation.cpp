#include "quantize/rotation.h"

#include <cmath>
#include <cstring>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "base/types.h"
#include "simd/encode_loops.h"

namespace korvane {

std::array<std::uint32_t, 8> pcg32_key_words(std::uint64_t seed) {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t state = seed;
    for (auto& word : key) {
        state = state * 6364136223846793005ULL + 11634580027462260723ULL;
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rot = static_cast<std::uint32_t>(state >> 59);
        word = (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
    }
    return key;
}

namespace {

inline std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b; d ^= a; d = rotl(d, 16);
    c += d; b ^= c; b = rotl(b, 12);
    a += b; d ^= a; d = rotl(d, 8);
    c += d; b ^= c; b = rotl(b, 7);
}

}  // namespace

std::array<std::uint32_t, 16> chacha20_block(const std::array<std::uint32_t, 16>& input) {
    auto x = input;
    for (int i = 0; i < 10; ++i) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) x[i] += input[i];
    return x;
}

namespace {

// Bernstein layout: constants, the eight key words, a 64-bit block counter (low word
// first) and a zero 64-bit nonce.
std::array<std::uint32_t, 16> chacha20_state(const std::array<std::uint32_t, 8>& key, std::uint64_t counter) {
    std::array<std::uint32_t, 16> state{0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
    for (int i = 0; i < 8; ++i) state[4 + i] = key[i];
    state[12] = static_cast<std::uint32_t>(counter);
    state[13] = static_cast<std::uint32_t>(counter >> 32);
    return state;
}

}  // namespace

std::vector<std::uint32_t> chacha20_keystream(const std::array<std::uint32_t, 8>& key, std::size_t count) {
    std::vector<std::uint32_t> out;
    out.reserve(count);
    for (std::uint64_t counter = 0; out.size() < count; ++counter) {
        const auto block = chacha20_block(chacha20_state(key, counter));
        for (std::size_t i = 0; i < 16 && out.size() < count; ++i) out.push_back(block[i]);
    }
    return out;
}

RhdhRotation::RhdhRotation(std::uint64_t dim, std::uint64_t seed) : dim_(dim) {
    const auto padded = padded_dim_for(dim);
    // Sizes are checked before anything is allocated: a dimension whose padded vectors
    // cannot be held in memory is memory exhaustion, whichever path asked for it.
    if (!padded || *padded > static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(float)) throw std::bad_alloc();
    padded_dim_ = *padded;
    inv_sqrt_ = 1.0f / std::sqrt(static_cast<float>(padded_dim_));
    // One keystream word per padded coordinate, block by block, without keeping the stream.
    const auto key = pcg32_key_words(seed);
    signs_.resize(padded_dim_);
    for (std::uint64_t j = 0; j < padded_dim_; j += 16) {
        const auto block = chacha20_block(chacha20_state(key, j / 16));
        for (std::uint64_t w = 0; w < 16 && j + w < padded_dim_; ++w) signs_[j + w] = (block[w] & 1u) ? -1 : 1;
    }
}

void walsh_hadamard(float* y, std::size_t n) { encode_loops().walsh_hadamard(y, n); }

void RhdhRotation::apply_in_place(float* y, std::size_t n) const {
    if (n > padded_dim_) throw std::logic_error("rotation input longer than padded_dim");
    const std::int8_t* s = signs_.data();
    for (std::size_t i = 0; i < n; ++i) y[i] = s[i] < 0 ? -y[i] : y[i];
    const EncodeLoops& loops = encode_loops();
    loops.walsh_hadamard(y, padded_dim_);
    loops.scale_in_place(y, padded_dim_, inv_sqrt_);  // multiplication by the reciprocal
}

void RhdhRotation::invert_in_place(float* y) const {
    const EncodeLoops& loops = encode_loops();
    loops.walsh_hadamard(y, padded_dim_);
    loops.scale_in_place(y, padded_dim_, inv_sqrt_);
    const std::int8_t* s = signs_.data();
    for (std::size_t i = 0; i < padded_dim_; ++i) y[i] = s[i] < 0 ? -y[i] : y[i];
}

std::vector<float> RhdhRotation::apply(std::span<const float> x) const {
    if (x.size() > padded_dim_) throw std::logic_error("rotation input longer than padded_dim");
    std::vector<float> y(padded_dim_, 0.0f);
    if (!x.empty()) std::memcpy(y.data(), x.data(), x.size() * sizeof(float));  // never a null source
    apply_in_place(y.data(), x.size());
    return y;
}

}  // namespace korvane
