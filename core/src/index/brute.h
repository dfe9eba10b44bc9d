// Exhaustive scan of a flat store of packed rows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/config.h"
#include "index/flat_store.h"
#include "quantize/quantizer.h"
#include "index/topk.h"

namespace korvane {

// q is the transformed query (padded_dim floats). Rows whose id the allowlist does not
// hold are never scored. Returns at most k hits, best first.
std::vector<SearchHit> brute_force_search(const Quantizer& qz, const StoreView& store, const float* q,
                                          std::uint64_t k, std::optional<std::span<const VectorId>> allowlist);

}  // namespace korvane
