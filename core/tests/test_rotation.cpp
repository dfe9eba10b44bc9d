#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <numeric>
#include <vector>

#include "engine/construct.h"
#include "quantize/quantizer.h"
#include "quantize/rotation.h"

using namespace korvane;

namespace {

std::array<std::uint32_t, 16> chacha_state(const std::array<std::uint32_t, 8>& key, std::uint32_t w12,
                                           std::uint32_t w13, std::uint32_t w14, std::uint32_t w15) {
    std::array<std::uint32_t, 16> s{0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
    for (int i = 0; i < 8; ++i) s[4 + i] = key[i];
    s[12] = w12;
    s[13] = w13;
    s[14] = w14;
    s[15] = w15;
    return s;
}

std::vector<std::uint8_t> le_bytes(const std::vector<std::uint32_t>& words) {
    std::vector<std::uint8_t> out;
    for (auto w : words) {
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
    }
    return out;
}

}  // namespace

TEST(ChaCha20, ZeroKeyAndNonceKeystream) {
    const std::vector<std::uint8_t> expected = {
        0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53, 0x86, 0xbd, 0x28,
        0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7,
        0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48, 0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37,
        0x6a, 0x43, 0xb8, 0xf4, 0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86,
    };
    const auto stream = chacha20_keystream({}, 16);
    EXPECT_EQ(le_bytes(stream), expected);
}

TEST(ChaCha20, BlockFunctionTestVector) {
    // Key 00 01 .. 1f, counter 1, nonce 00000009 0000004a 00000000 (a 32-bit counter layout;
    // the block function is the same).
    std::array<std::uint32_t, 8> key{};
    for (int i = 0; i < 8; ++i) {
        key[i] = static_cast<std::uint32_t>(4 * i) | static_cast<std::uint32_t>(4 * i + 1) << 8 |
                 static_cast<std::uint32_t>(4 * i + 2) << 16 | static_cast<std::uint32_t>(4 * i + 3) << 24;
    }
    const auto out = chacha20_block(chacha_state(key, 1, 0x09000000u, 0x4a000000u, 0));
    const std::array<std::uint32_t, 16> expected = {
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
        0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2,
    };
    EXPECT_EQ(out, expected);
}

TEST(ChaCha20, KeystreamCountsBlocksInOrder) {
    const auto key = pcg32_key_words(ROTATION_SEED);
    const auto stream = chacha20_keystream(key, 40);
    for (std::uint32_t block = 0; block < 3; ++block) {
        const auto b = chacha20_block(chacha_state(key, block, 0, 0, 0));
        for (std::size_t j = 0; j < 16 && 16 * block + j < stream.size(); ++j) {
            EXPECT_EQ(stream[16 * block + j], b[j]) << "word " << 16 * block + j;
        }
    }
}

TEST(Pcg32, KeyWordsOfRotationSeed) {
    // Step by step with 128-bit arithmetic, independent of the library's wrapping.
    std::array<std::uint32_t, 8> expected{};
    unsigned __int128 state = ROTATION_SEED;
    for (auto& w : expected) {
        state = (state * 0x5851F42D4C957F2DULL + 0xA17654E46FBE17F3ULL) & 0xFFFFFFFFFFFFFFFFULL;
        const auto s = static_cast<std::uint64_t>(state);
        const auto xorshifted = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        w = std::rotr(xorshifted, static_cast<int>(s >> 59));
    }
    EXPECT_EQ(pcg32_key_words(ROTATION_SEED), expected);
    EXPECT_EQ(expected[0], 0x552f9cefu);
    EXPECT_EQ(expected[7], 0xab9da059u);
}

TEST(Rotation, PaddedSizes) {
    EXPECT_EQ(RhdhRotation(0, 1).padded_dim(), 1u);
    EXPECT_EQ(RhdhRotation(1, 1).padded_dim(), 1u);
    EXPECT_EQ(RhdhRotation(3, 1).padded_dim(), 4u);
    EXPECT_EQ(RhdhRotation(1024, 1).padded_dim(), 1024u);
    EXPECT_EQ(RhdhRotation(1025, 1).padded_dim(), 2048u);
    EXPECT_FALSE(padded_dim_for((std::uint64_t{1} << 63) + 1).has_value());
    EXPECT_EQ(padded_dim_for(std::uint64_t{1} << 63), std::uint64_t{1} << 63);
}

TEST(Rotation, SignsFollowTheKeystreamAndShareLeadingEntries) {
    const RhdhRotation small(100, ROTATION_SEED), large(1500, ROTATION_SEED), again(100, ROTATION_SEED);
    EXPECT_EQ(small.signs(), again.signs());
    const auto stream = chacha20_keystream(pcg32_key_words(ROTATION_SEED), large.padded_dim());
    for (std::size_t j = 0; j < large.padded_dim(); ++j) {
        ASSERT_EQ(large.signs()[j], (stream[j] & 1) ? -1 : 1) << j;
        if (j < small.padded_dim()) {
            ASSERT_EQ(small.signs()[j], large.signs()[j]);
        }
    }
    // roughly balanced
    const int sum = std::accumulate(large.signs().begin(), large.signs().end(), 0);
    EXPECT_LT(std::abs(sum), 200);
    EXPECT_NE(RhdhRotation(100, 1).signs(), small.signs());
}

TEST(Rotation, TinySizesAreSignFlips) {
    const RhdhRotation r(1, ROTATION_SEED);
    const float s0 = r.signs()[0];
    EXPECT_EQ(r.apply(std::vector<float>{2.5f})[0], s0 * 2.5f);
    EXPECT_EQ(r.apply(std::vector<float>{})[0], 0.0f);

    const RhdhRotation two(2, ROTATION_SEED);
    const float r2 = 1.0f / std::sqrt(2.0f);
    const auto y = two.apply(std::vector<float>{1.0f, 0.0f});
    EXPECT_EQ(y[0], two.signs()[0] * r2);
    EXPECT_EQ(y[1], two.signs()[0] * r2);
}

TEST(Rotation, MatchesTheHadamardSumExactlyOnIntegers) {
    // Integer inputs keep every butterfly exact, so the transform must equal the
    // natural-order sum of (-1)^popcount(i & j) x[j] exactly; padded 64 is a power of
    // four, so both normalising factors are exact as well.
    const std::uint64_t n = 64;
    const RhdhRotation r(n - 5, 7);
    std::vector<float> x(n - 5);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>((i * 37) % 11) - 5.0f;
    auto y = r.apply(x);
    for (std::size_t i = 0; i < n; ++i) {
        double want = 0;
        for (std::size_t j = 0; j < x.size(); ++j) {
            const double v = r.signs()[j] * x[j];
            want += (std::popcount(i & j) % 2) ? -v : v;
        }
        ASSERT_EQ(y[i] * 8.0f, static_cast<float>(want)) << i;
    }
}

TEST(Rotation, KeepsTheNorm) {
    for (std::uint64_t dim : {3u, 100u, 768u, 1536u}) {
        const RhdhRotation r(dim, ROTATION_SEED);
        std::vector<float> x(dim);
        for (std::size_t i = 0; i < dim; ++i) x[i] = std::sin(0.37f * static_cast<float>(i) + 1.0f);
        const auto y = r.apply(x);
        double nx = 0, ny = 0;
        for (float v : x) nx += double(v) * v;
        for (float v : y) ny += double(v) * v;
        EXPECT_NEAR(std::sqrt(ny), std::sqrt(nx), 1e-5 * std::sqrt(nx)) << dim;
    }
}

TEST(WalshHadamard, InPlaceOrderOfButterflies) {
    std::vector<float> y = {1, 2, 3, 4, 5, 6, 7, 8};
    walsh_hadamard(y.data(), y.size());
    EXPECT_EQ(y, (std::vector<float>{36, -4, -8, 0, -16, 0, 0, 0}));
}

TEST(Rotation, SizesBeyondMemoryAreMemoryExhaustion) {
    // Refused before allocating, and as std::bad_alloc whatever the reason: the binding
    // turns that into MemoryError, never another exception type.
    for (std::uint64_t dim : {std::uint64_t{1} << 61, (std::uint64_t{1} << 63) + 1, ~std::uint64_t{0}}) {
        EXPECT_THROW(RhdhRotation(dim, ROTATION_SEED), std::bad_alloc) << dim;
        EngineConfig c;
        c.dim = dim;
        c.n4_dims = 0;
        EXPECT_THROW((void)Quantizer::create(c), std::bad_alloc) << dim;
    }
}
