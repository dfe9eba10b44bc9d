#include "index/brute.h"

#include "index/filter.h"
#include "index/scan.h"

namespace korvane {

std::vector<SearchHit> brute_force_search(const QueryScorer& scorer, const StoreView& store, std::uint64_t k,
                                          std::optional<std::span<const VectorId>> allowlist) {
    std::optional<AllowFilter> filter;
    if (allowlist) filter = AllowFilter::from_ids(*allowlist);
    if (k == 0) return {};
    TopK top(k, store.rows);
    scan_store(scorer, store, filter ? &*filter : nullptr, top);
    return std::move(top).finish();
}

}  // namespace korvane
