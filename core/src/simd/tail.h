// Slot-by-slot tails shared by the vector kernels: a separate multiply and add per slot,
// each slot only when its query position is below L.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/tables.h"

namespace korvane::simd::detail {

inline float tail_4bit(float acc, const float* q, std::size_t L, const std::uint8_t* codes,
                       std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (2 * i < L) acc = acc + q[2 * i] * CENTROIDS_4BIT[codes[i] & 15];
        if (2 * i + 1 < L) acc = acc + q[2 * i + 1] * CENTROIDS_4BIT[codes[i] >> 4];
    }
    return acc;
}

inline float tail_2bit(float acc, const float* q, std::size_t L, const std::uint8_t* codes,
                       std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        for (std::size_t k = 0; k < 4; ++k) {
            if (4 * i + k < L) acc = acc + q[4 * i + k] * CENTROIDS_2BIT[(codes[i] >> (2 * k)) & 3];
        }
    }
    return acc;
}

}  // namespace korvane::simd::detail
