// Exhaustive scan of a flat store.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/flat_store.h"
#include "index/scorer.h"
#include "index/topk.h"

namespace korvane {

// Rows whose id the allowlist does not hold are never scored. Returns at most k hits,
// best first.
// `dead` (null: none) marks rows removed but still stored, never offered.
std::vector<SearchHit> brute_force_search(const QueryScorer& scorer, const BlockView& store, std::uint64_t k,
                                          std::optional<std::span<const VectorId>> allowlist,
                                          const std::uint8_t* dead = nullptr);

// brute_force_search for each scorer (one layout and metric), the store read once for all.
std::vector<std::vector<SearchHit>> brute_force_search_batch(std::span<const QueryScorer> scorers,
                                                             const BlockView& store, std::uint64_t k,
                                                             std::optional<std::span<const VectorId>> allowlist,
                                                             const std::uint8_t* dead = nullptr);

}  // namespace korvane
