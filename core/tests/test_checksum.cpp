#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "io/checksum.h"

using korvane::io::CrcPath;

namespace {

std::uint32_t bitwise(std::uint32_t state, const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        state ^= p[i];
        for (int k = 0; k < 8; ++k) state = (state & 1u) ? (state >> 1) ^ 0x82F63B78u : state >> 1;
    }
    return state;
}

class CrcPaths : public testing::TestWithParam<CrcPath> {};

// Every length around the blocks each path works in (16, 256, three 4 KiB streams), from
// unaligned starts and any running state, and split anywhere, as the bitwise definition.
TEST_P(CrcPaths, EqualTheBitwiseDefinition) {
    if (!korvane::io::crc_path_supported(GetParam())) GTEST_SKIP() << "this CPU lacks the instructions";
    std::mt19937 rng(7);
    std::vector<std::uint8_t> data(37863 + 4);  // the longest length from the latest start
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n < 600; ++n) lengths.push_back(n);
    for (std::size_t n : {4095u, 12287u, 12288u, 12289u, 24576u + 255u, 37863u}) lengths.push_back(n);
    for (std::size_t n : lengths) {
        const std::size_t at = n % 5;
        const std::uint32_t state = n % 3 == 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rng());
        const std::uint32_t want = bitwise(state, data.data() + at, n);
        ASSERT_EQ(korvane::io::crc32c_update(state, data.data() + at, n, GetParam()), want) << n;
        const std::size_t cut = n == 0 ? 0 : rng() % n;
        const std::uint32_t first = korvane::io::crc32c_update(state, data.data() + at, cut, GetParam());
        ASSERT_EQ(korvane::io::crc32c_update(first, data.data() + at + cut, n - cut, GetParam()), want) << n;
        // The copying form (this CPU's best path) takes the same sum and copies every byte.
        korvane::io::Crc32c copying, plain;
        std::vector<std::uint8_t> copy(n);
        copying.update_copy(copy.data(), data.data() + at, n);
        plain.update(data.data() + at, n);
        ASSERT_TRUE(copying.value() == plain.value() && std::equal(copy.begin(), copy.end(), data.begin() + at)) << n;
    }
    EXPECT_EQ(korvane::io::crc32c("123456789", 9), 0xE3069283u);
}

INSTANTIATE_TEST_SUITE_P(Paths, CrcPaths, testing::Values(CrcPath::Folding, CrcPath::Streams, CrcPath::Bytes),
                         [](const auto& info) {
                             return std::string(info.param == CrcPath::Folding   ? "folding"
                                                : info.param == CrcPath::Streams ? "streams"
                                                                                 : "bytes");
                         });

}  // namespace
