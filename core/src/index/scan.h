// The linear scan shared by the brute-force search and the IVF probes.
#pragma once

#include "index/filter.h"
#include "index/flat_store.h"
#include "index/scorer.h"
#include "index/topk.h"

namespace korvane {

// Scores every row of `store` whose id `filter` allows (every row when it is null), in
// store order, and offers it to `top` (which must have k > 0). A row's score is
// adjust_score(raw, norm) with the scorer's metric, or the raw score when the store
// holds no norms.
// Row r is offered with the locator first_row + r.
void scan_store(const QueryScorer& scorer, const StoreView& store, const AllowFilter* filter, TopK& top,
                std::uint64_t first_row = 0);

}  // namespace korvane
