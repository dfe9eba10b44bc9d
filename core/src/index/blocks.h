// The scan layout: rows in blocks of 32, byte-transposed, so that one load reads the same
// code byte of 32 rows (what a table lookup by shuffle needs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvane {

inline constexpr std::size_t kBlockRows = 32;

// 32 rows of R bytes back to back -> one block: byte b of row r at block[b·32 + r].
void rows_to_block(const std::uint8_t* rows, std::size_t R, std::uint8_t* block);
// The inverse.
void block_to_rows(const std::uint8_t* block, std::size_t R, std::uint8_t* rows);
// Row r (< 32) of a block into out (R bytes).
inline void block_row(const std::uint8_t* block, std::size_t R, std::size_t r, std::uint8_t* out) {
    const std::uint8_t* p = block + r;
    std::size_t b = 0;
    // Eight bytes gathered into one word, one store for them (little-endian order).
    for (; b + 8 <= R; b += 8, p += 8 * kBlockRows) {
        std::uint64_t w = 0;
        for (std::size_t i = 0; i < 8; ++i) w |= std::uint64_t{p[i * kBlockRows]} << (8 * i);
        std::memcpy(out + b, &w, 8);
    }
    for (; b < R; ++b, p += kBlockRows) out[b] = *p;
}

}  // namespace korvane
