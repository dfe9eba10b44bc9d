#include "index/blocks.h"

#include <emmintrin.h>

namespace korvane {

namespace {

// Transposes a 16 x 16 byte tile: row i of src (at src + i·src_stride) becomes column i
// of dst.
void transpose16(const std::uint8_t* src, std::size_t src_stride, std::uint8_t* dst, std::size_t dst_stride) {
    __m128i a[16], b[16];
    for (int i = 0; i < 16; ++i) a[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * src_stride));
    for (int i = 0; i < 8; ++i) {
        b[2 * i] = _mm_unpacklo_epi8(a[2 * i], a[2 * i + 1]);
        b[2 * i + 1] = _mm_unpackhi_epi8(a[2 * i], a[2 * i + 1]);
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 2; ++j) {
            a[4 * i + j] = _mm_unpacklo_epi16(b[4 * i + j], b[4 * i + j + 2]);
            a[4 * i + j + 2] = _mm_unpackhi_epi16(b[4 * i + j], b[4 * i + j + 2]);
        }
    }
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 4; ++j) {
            b[8 * i + j] = _mm_unpacklo_epi32(a[8 * i + j], a[8 * i + j + 4]);
            b[8 * i + j + 4] = _mm_unpackhi_epi32(a[8 * i + j], a[8 * i + j + 4]);
        }
    }
    for (int j = 0; j < 8; ++j) {
        a[j] = _mm_unpacklo_epi64(b[j], b[j + 8]);
        a[j + 8] = _mm_unpackhi_epi64(b[j], b[j + 8]);
    }
    // After the four rounds output k sits in a[perm(k)], perm reversing the bit order
    // of the first three rounds' pairing.
    static constexpr int kFrom[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int k = 0; k < 16; ++k) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k * dst_stride), a[kFrom[k]]);
    }
}

// dst[c·dst_stride + r] = src[r·src_stride + c] for r < rows, c < cols.
void transpose(const std::uint8_t* src, std::size_t src_stride, std::uint8_t* dst, std::size_t dst_stride,
               std::size_t rows, std::size_t cols) {
    const std::size_t rows16 = rows - rows % 16, cols16 = cols - cols % 16;
    for (std::size_t c = 0; c < cols16; c += 16) {
        for (std::size_t r = 0; r < rows16; r += 16) {
            transpose16(src + r * src_stride + c, src_stride, dst + c * dst_stride + r, dst_stride);
        }
    }
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = r < rows16 ? cols16 : 0; c < cols; ++c) dst[c * dst_stride + r] = src[r * src_stride + c];
    }
}

}  // namespace

void rows_to_block(const std::uint8_t* rows, std::size_t R, std::uint8_t* block) {
    transpose(rows, R, block, kBlockRows, kBlockRows, R);
}

void block_to_rows(const std::uint8_t* block, std::size_t R, std::uint8_t* rows) {
    transpose(block, kBlockRows, rows, R, R, kBlockRows);
}

}  // namespace korvane
