// Raw score of a transformed query against one packed row, by layout, and the metric
// adjustment that makes a higher score always closer.
#pragma once

#include <cstdint>

#include "base/config.h"
#include "quantize/quantizer.h"
#include "simd/kernels.h"

namespace korvane {

// Kernels and layout fetched once per search; calling it never re-dispatches.
struct RowScorer {
    simd::DotFn dot4;
    simd::DotFn dot2;
    simd::Dot4Fn dot4_x4;
    simd::Dot4Fn dot2_x4;
    std::uint64_t n4_dims;
    std::uint64_t n2_dims;
    std::uint64_t padded_dim;
    std::uint64_t pb4;
    std::uint64_t row_bytes;
    Layout layout;

    explicit RowScorer(const Quantizer& qz, const simd::Kernels& k = simd::best_kernels())
        : dot4(k.dot_4bit),
          dot2(k.dot_2bit),
          dot4_x4(k.dot_4bit_x4),
          dot2_x4(k.dot_2bit_x4),
          n4_dims(qz.n4_dims),
          n2_dims(qz.n2_dims),
          padded_dim(qz.padded_dim()),
          pb4(qz.pb4_per_vec),
          row_bytes(qz.packed_bytes_per_vec()),
          layout(qz.layout()) {}

    template <Layout L>
    float score(const float* q, const std::uint8_t* row) const {
        if constexpr (L == Layout::Pure2) {
            return dot2(q, padded_dim, row, row_bytes);
        } else if constexpr (L == Layout::Pure4) {
            return dot4(q, padded_dim, row, row_bytes);
        } else {
            const float a = dot4(q, n4_dims, row, pb4);
            const float b = dot2(q + n4_dims, n2_dims, row + pb4, row_bytes - pb4);
            return a + b;
        }
    }

    // Four rows at once; out[r] equals score<L>(q, rows[r]) bit for bit.
    template <Layout L>
    void score4(const float* q, const std::uint8_t* const* rows, float* out) const {
        if constexpr (L == Layout::Pure2) {
            dot2_x4(q, padded_dim, rows, row_bytes, out);
        } else if constexpr (L == Layout::Pure4) {
            dot4_x4(q, padded_dim, rows, row_bytes, out);
        } else {
            float a[4], b[4];
            dot4_x4(q, n4_dims, rows, pb4, a);
            const std::uint8_t* tails[4] = {rows[0] + pb4, rows[1] + pb4, rows[2] + pb4, rows[3] + pb4};
            dot2_x4(q + n4_dims, n2_dims, tails, row_bytes - pb4, b);
            for (int r = 0; r < 4; ++r) out[r] = a[r] + b[r];
        }
    }

    float operator()(const float* q, const std::uint8_t* row) const {
        switch (layout) {
            case Layout::Pure2: return score<Layout::Pure2>(q, row);
            case Layout::Pure4: return score<Layout::Pure4>(q, row);
            case Layout::Mixed: break;
        }
        return score<Layout::Mixed>(q, row);
    }
};

// q has padded_dim floats, row packed_bytes_per_vec bytes.
inline float score_row(const Quantizer& qz, const float* q, const std::uint8_t* row) {
    return RowScorer(qz)(q, row);
}

// Cosine divides by a norm above 1e-9, L2 subtracts half the squared norm, dot keeps raw.
inline float adjust_score(float raw, float norm, Metric metric) {
    switch (metric) {
        case Metric::Cosine: return norm > 1e-9f ? raw / norm : raw;
        case Metric::L2: return raw + ((norm * -0.5f) * norm);
        case Metric::Dot: break;
    }
    return raw;
}

}  // namespace korvane
