#include "index/brute.h"

#include <algorithm>

#include "index/filter.h"
#include "index/scan.h"

namespace korvane {

namespace {

std::uint64_t allowed_rows(const BlockView& store, std::optional<std::span<const VectorId>> allowlist) {
    return allowlist ? std::min<std::uint64_t>(allowlist->size(), store.rows) : store.rows;
}

}  // namespace

std::vector<SearchHit> brute_force_search(const QueryScorer& scorer, const BlockView& store, std::uint64_t k,
                                          std::optional<std::span<const VectorId>> allowlist, const std::uint8_t* dead) {
    std::optional<AllowFilter> filter;
    if (allowlist) filter = AllowFilter::from_ids(*allowlist);
    if (k == 0) return {};
    TopK top(k, store.rows);
    std::optional<ScanTables> tables;
    if (worth_tables(allowed_rows(store, allowlist), k)) tables = ScanTables::build(scorer);
    scan_blocks(scorer, store, filter ? &*filter : nullptr, top, tables ? &*tables : nullptr, 0, dead);
    return std::move(top).finish();
}

std::vector<std::vector<SearchHit>> brute_force_search_batch(std::span<const QueryScorer> scorers,
                                                             const BlockView& store, std::uint64_t k,
                                                             std::optional<std::span<const VectorId>> allowlist, const std::uint8_t* dead) {
    std::optional<AllowFilter> filter;
    if (allowlist) filter = AllowFilter::from_ids(*allowlist);
    std::vector<std::vector<SearchHit>> out(scorers.size());
    if (k == 0) return out;
    std::vector<TopK> tops;
    std::vector<std::optional<ScanTables>> tables(scorers.size());
    std::vector<const ScanTables*> bound(scorers.size(), nullptr);
    tops.reserve(scorers.size());
    const bool worth = worth_tables(allowed_rows(store, allowlist), k);
    for (std::size_t i = 0; i < scorers.size(); ++i) {
        tops.emplace_back(k, store.rows);
        if (worth) tables[i] = ScanTables::build(scorers[i], true);
        if (tables[i]) bound[i] = &*tables[i];
    }
    scan_blocks_batch(scorers, store, filter ? &*filter : nullptr, tops, bound, dead);
    for (std::size_t i = 0; i < scorers.size(); ++i) out[i] = std::move(tops[i]).finish();
    return out;
}

}  // namespace korvane
