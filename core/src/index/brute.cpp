#include "index/brute.h"

#include <algorithm>

#include "index/filter.h"
#include "index/scan.h"

namespace korvane {

std::vector<SearchHit> brute_force_search(const QueryScorer& scorer, const BlockView& store, std::uint64_t k,
                                          std::optional<std::span<const VectorId>> allowlist) {
    std::optional<AllowFilter> filter;
    if (allowlist) filter = AllowFilter::from_ids(*allowlist);
    if (k == 0) return {};
    TopK top(k, store.rows);
    const std::uint64_t allowed = allowlist ? std::min<std::uint64_t>(allowlist->size(), store.rows) : store.rows;
    std::optional<ScanTables> tables;
    if (worth_tables(allowed, k)) tables = ScanTables::build(scorer);
    scan_blocks(scorer, store, filter ? &*filter : nullptr, top, tables ? &*tables : nullptr);
    return std::move(top).finish();
}

}  // namespace korvane
