// The linear scan shared by the brute-force search and the IVF probes.
#pragma once

#include <span>

#include "index/filter.h"
#include "index/flat_store.h"
#include "index/scan_tables.h"
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

// The same for a store in the scan layout, with the same offers in the same order and so
// the same selection. With `tables` (built for this scorer), a row whose score provably
// cannot enter the full selection is skipped without being scored.
// `dead` (null: none) marks rows never offered, one flag per row.
void scan_blocks(const QueryScorer& scorer, const BlockView& store, const AllowFilter* filter, TopK& top,
                 const ScanTables* tables, std::uint64_t first_row = 0, const std::uint8_t* dead = nullptr);

// scan_blocks for several queries at once (scorers with one layout and metric), each
// offering to its own selection exactly what scan_blocks would offer; each block is read
// once for a group of up to eight queries while it is in cache.
void scan_blocks_batch(std::span<const QueryScorer> scorers, const BlockView& store, const AllowFilter* filter,
                       std::span<TopK> tops, std::span<const ScanTables* const> tables,
                       const std::uint8_t* dead = nullptr);

// Whether tables pay for themselves on a scan of `rows` rows for the k best: the bound
// prunes only once the selection is full.
inline bool worth_tables(std::uint64_t rows, std::uint64_t k) { return rows >= 256 && rows / 8 >= k; }

}  // namespace korvane
