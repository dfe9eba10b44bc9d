// How a query walks the graph (search.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/hnsw/graph.h"
#include "index/scorer.h"
#include "index/topk.h"

namespace korvane {

// At most k hits (k > 0), best first, then only those the allowlist holds.
// `reference`: the plain search alone, which every search answers as (for tests).
std::vector<SearchHit> hnsw_search(const HnswIndex& index, const QueryScorer& scorer, std::uint64_t k,
                                   std::optional<std::span<const VectorId>> allowlist, bool reference = false);

}  // namespace korvane
