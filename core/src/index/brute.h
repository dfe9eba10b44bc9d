// Exhaustive scan of a flat store of packed rows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/config.h"
#include "quantize/quantizer.h"
#include "index/topk.h"

namespace korvane {

// The flat store as the scan sees it: rows of `row_bytes` bytes back to back.
struct FlatStoreView {
    std::span<const std::uint8_t> codes;
    std::span<const VectorId> ids;
    std::span<const float> norms;
    std::uint64_t row_bytes;
};

// q is the transformed query (padded_dim floats). Rows whose id the allowlist does not
// hold are never scored. Returns at most k hits, best first.
std::vector<SearchHit> brute_force_search(const Quantizer& qz, const FlatStoreView& store, const float* q,
                                          std::uint64_t k, std::optional<std::span<const VectorId>> allowlist);

}  // namespace korvane
