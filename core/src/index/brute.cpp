#include "index/brute.h"

#include <algorithm>

#include "index/filter.h"
#include "index/score.h"

namespace korvane {

void sort_hits_descending(std::vector<SearchHit>& hits) {
    // A merge sort that is stable and well defined for any comparator (a NaN makes the
    // order not a strict weak ordering, which std::stable_sort may not assume).
    const std::size_t n = hits.size();
    if (n < 2) return;
    std::vector<SearchHit> buf(n);
    auto before = [](const SearchHit& a, const SearchHit& b) { return a.score > b.score; };
    // short runs by insertion
    constexpr std::size_t kRun = 16;
    for (std::size_t s = 0; s < n; s += kRun) {
        const std::size_t e = std::min(n, s + kRun);
        for (std::size_t i = s + 1; i < e; ++i) {
            const SearchHit x = hits[i];
            std::size_t j = i;
            while (j > s && before(x, hits[j - 1])) {
                hits[j] = hits[j - 1];
                --j;
            }
            hits[j] = x;
        }
    }
    std::vector<SearchHit>* src = &hits;
    std::vector<SearchHit>* dst = &buf;
    for (std::size_t width = kRun; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
            std::size_t i = lo, j = mid, o = lo;
            while (i < mid && j < hi) {
                // take from the right run only when it is strictly before: ties keep order
                (*dst)[o++] = before((*src)[j], (*src)[i]) ? (*src)[j++] : (*src)[i++];
            }
            while (i < mid) (*dst)[o++] = (*src)[i++];
            while (j < hi) (*dst)[o++] = (*src)[j++];
        }
        std::swap(src, dst);
    }
    if (src != &hits) hits.swap(buf);
}

std::vector<SearchHit> TopK::finish() && {
    std::vector<SearchHit> out = std::move(heap_);
    sort_hits_descending(out);
    return out;
}

namespace {

template <Layout L, bool Filtered>
void scan(const RowScorer& scorer, const StoreView& store, std::size_t rows, const float* q, Metric metric,
          const AllowFilter* filter, TopK& top) {
    const std::uint8_t* codes = store.codes;
    const VectorId* ids = store.ids;
    const float* norms = store.norms;
    const std::uint64_t rb = store.row_bytes;
    const bool has_norms = norms != nullptr;
    // Allowed rows are scored four at a time and offered in row order.
    std::size_t group[4];
    const std::uint8_t* group_rows[4];
    float raw[4];
    int filled = 0;
    auto offer = [&](std::size_t i, float r) {
        top.offer(ids[i], has_norms ? adjust_score(r, norms[i], metric) : r);
    };
    for (std::size_t i = 0; i < rows; ++i) {
        if constexpr (Filtered) {
            if (!filter->allows(ids[i])) continue;
        }
        group[filled] = i;
        group_rows[filled] = codes + i * rb;
        if (++filled == 4) {
            scorer.score4<L>(q, group_rows, raw);
            for (int r = 0; r < 4; ++r) offer(group[r], raw[r]);
            filled = 0;
        }
    }
    for (int r = 0; r < filled; ++r) offer(group[r], scorer.score<L>(q, group_rows[r]));
}

template <Layout L>
void scan_layout(const RowScorer& scorer, const StoreView& store, std::size_t rows, const float* q,
                 Metric metric, const AllowFilter* filter, TopK& top) {
    if (filter) scan<L, true>(scorer, store, rows, q, metric, filter, top);
    else scan<L, false>(scorer, store, rows, q, metric, filter, top);
}

}  // namespace

std::vector<SearchHit> brute_force_search(const Quantizer& qz, const StoreView& store, const float* q,
                                          std::uint64_t k, std::optional<std::span<const VectorId>> allowlist) {
    std::optional<AllowFilter> filter;
    if (allowlist) filter = AllowFilter::from_ids(*allowlist);
    if (k == 0) return {};
    const std::size_t rows = store.rows;
    TopK top(k, rows);
    const RowScorer scorer(qz);
    const AllowFilter* f = filter ? &*filter : nullptr;
    switch (scorer.layout) {
        case Layout::Pure2: scan_layout<Layout::Pure2>(scorer, store, rows, q, qz.metric, f, top); break;
        case Layout::Pure4: scan_layout<Layout::Pure4>(scorer, store, rows, q, qz.metric, f, top); break;
        case Layout::Mixed: scan_layout<Layout::Mixed>(scorer, store, rows, q, qz.metric, f, top); break;
    }
    return std::move(top).finish();
}

}  // namespace korvane
