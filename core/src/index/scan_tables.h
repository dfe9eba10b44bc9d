// What lets a block scan skip rows without changing any answer: per query, a table of
// 8-bit integers for each code position (a nibble of a packed row) whose sum over a row
// estimates its raw score, and the constants that turn such a sum into a rigorous upper
// bound of the raw score the float kernels would return for that row.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "index/scorer.h"

namespace korvane {

class ScanTables {
public:
    // Nothing when no bound can be had: a query value that is not finite or so large
    // that a table entry would overflow, an all-zero query, or rows too long for exact
    // integer sums.
    // `shared`: for a scan whose rows several queries read while they are in cache.
    static std::optional<ScanTables> build(const QueryScorer& scorer, bool shared = false);

    // 2·row_bytes tables of 16 entries (table 2b for the low nibble of byte b, 2b + 1 for
    // the high nibble) as the block scan reads them (simd::lay_out_tables).
    const std::uint8_t* lut() const { return lut_.data(); }

    // No raw score of a row whose table sum is `sum` exceeds this, whichever kernel
    // computes it: the float expression rounds up by construction.
    float upper(std::uint32_t sum) const { return static_cast<float>(static_cast<std::int32_t>(sum)) * scale_ + base_; }
    // No raw score of such a row is below this, nor is the exact sum of its products: the
    // same margins taken off, rounded down.
    float lower(std::uint32_t sum) const {
        return static_cast<float>(static_cast<std::int32_t>(sum)) * scale_ + base_lower_;
    }

    // Byte positions of the first stage of a two-stage scan (even), or 0 when rows are too
    // short for one to pay.
    std::size_t prefix() const { return prefix_; }
    // With the sum over the first prefix() positions alone and the row's norm (the norm of
    // its dequantized codes), no raw score exceeds this: the rest of the row adds at most
    // |q over the rest| · norm (Cauchy-Schwarz). Three float roundings, each covered by
    // the margin.
    float upper_prefix(std::uint32_t sum, float norm) const {
        const float a = static_cast<float>(static_cast<std::int32_t>(sum)) * scale_;
        const float c = rest_ * norm;
        const float u = (a + base_prefix_) + c;
        return u + (std::fabs(a) + std::fabs(base_prefix_) + c) * 0x1p-21f;
    }

private:
    std::vector<std::uint8_t> lut_;
    float scale_ = 0.0f;
    float base_ = 0.0f;
    float base_lower_ = 0.0f;
    std::size_t prefix_ = 0;
    float base_prefix_ = 0.0f;
    float rest_ = 0.0f;
};

}  // namespace korvane
