#include <cstring>
#include "base/tables.h"
#include "simd/kernels.h"

namespace korvane::simd {

float dot_4bit_scalar(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B) {
    float acc = 0.0f;
    const std::size_t full = B < L / 2 ? B : L / 2;  // bytes whose two slots are in the query
    for (std::size_t i = 0; i < full; ++i) {
        const std::uint8_t byte = codes[i];
        const float p0 = q[2 * i] * CENTROIDS_4BIT[byte & 15];
        const float p1 = q[2 * i + 1] * CENTROIDS_4BIT[byte >> 4];
        acc = (acc + p0) + p1;
    }
    if (full < B && 2 * full < L) acc = acc + q[2 * full] * CENTROIDS_4BIT[codes[full] & 15];
    return acc;
}

float dot_2bit_scalar(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B) {
    float acc = 0.0f;
    const std::size_t full = B < L / 4 ? B : L / 4;  // bytes whose four slots are in the query
    for (std::size_t i = 0; i < full; ++i) {
        const std::uint8_t byte = codes[i];
        acc = acc + q[4 * i] * CENTROIDS_2BIT[byte & 3];
        acc = acc + q[4 * i + 1] * CENTROIDS_2BIT[(byte >> 2) & 3];
        acc = acc + q[4 * i + 2] * CENTROIDS_2BIT[(byte >> 4) & 3];
        acc = acc + q[4 * i + 3] * CENTROIDS_2BIT[byte >> 6];
    }
    if (full < B) {
        for (std::size_t k = 0; k < 4 && 4 * full + k < L; ++k) {
            acc = acc + q[4 * full + k] * CENTROIDS_2BIT[(codes[full] >> (2 * k)) & 3];
        }
    }
    return acc;
}

void dot_4bit_scalar_x4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B, float* out) {
    for (int r = 0; r < 4; ++r) out[r] = dot_4bit_scalar(q, L, rows[r], B);
}

void dot_2bit_scalar_x4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B, float* out) {
    for (int r = 0; r < 4; ++r) out[r] = dot_2bit_scalar(q, L, rows[r], B);
}

void lay_out_tables(const std::uint8_t* tables, std::size_t B, std::uint8_t* out) {
    std::memset(out, 0, laid_out_table_bytes(B));
    for (std::size_t n = 0; n < 2 * B; ++n) {
        std::uint8_t* at = out + laid_out_table_offset(n);
        std::memcpy(at, tables + 16 * n, 16);
        std::memcpy(at + 16, tables + 16 * n, 16);
    }
}

void block_scan_scalar(const std::uint8_t* block, std::size_t B, const std::uint8_t* lut, std::uint32_t* out) {
    std::uint32_t acc[32] = {};
    for (std::size_t b = 0; b < B; ++b, block += 32) {
        const std::uint8_t* lo = lut + (b / 2) * 128 + (b % 2) * 32;
        const std::uint8_t* hi = lo + 64;
        for (int r = 0; r < 32; ++r) acc[r] += std::uint32_t(lo[block[r] & 15]) + hi[block[r] >> 4];
    }
    for (int r = 0; r < 32; ++r) out[r] = acc[r];
}

void block_scan_many_scalar(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts, std::size_t nq,
                            std::uint32_t* out) {
    if (nq == 1) return block_scan_scalar(block, B, luts[0], out);
    std::memset(out, 0, 32 * nq * sizeof(std::uint32_t));
    for (std::size_t b = 0; b < B; ++b, block += 32) {
        const std::size_t lo = (b / 2) * 128 + (b % 2) * 32;
        for (int r = 0; r < 32; ++r) {
            const unsigned low = block[r] & 15, high = block[r] >> 4;
            for (std::size_t q = 0; q < nq; ++q) out[32 * q + r] += std::uint32_t(luts[q][lo + low]) + luts[q][lo + 64 + high];
        }
    }
}

}  // namespace korvane::simd
