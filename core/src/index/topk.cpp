#include "index/topk.h"

#include <algorithm>
#include <cmath>

namespace korvane {

void sort_hits_descending(std::vector<SearchHit>& hits) {
    // With a NaN comparing equal to every score, no entry may pass a NaN: a stable sort
    // leaves each NaN where it is and sorts the runs between NaNs, which is the order
    // an insertion sort gives at any length. Within a run the order is a strict weak
    // ordering, so std::stable_sort applies.
    auto before = [](const SearchHit& a, const SearchHit& b) { return a.score > b.score; };
    auto run = hits.begin();
    for (auto it = hits.begin(); it != hits.end(); ++it) {
        if (std::isnan(it->score)) {
            std::stable_sort(run, it, before);
            run = it + 1;
        }
    }
    std::stable_sort(run, hits.end(), before);
}

void sort_rescored(std::vector<SearchHit>& hits) {
    // A row re-scored to NaN or ±inf holds a value no number compares with sensibly: such
    // rows go last, in the order they came, and the rest sort by score.
    const auto finite_end = std::stable_partition(hits.begin(), hits.end(),
                                                  [](const SearchHit& h) { return std::isfinite(h.score); });
    std::stable_sort(hits.begin(), finite_end, [](const SearchHit& a, const SearchHit& b) { return a.score > b.score; });
}

std::vector<SearchHit> TopK::finish() && {
    std::vector<SearchHit> out = std::move(heap_);
    sort_hits_descending(out);
    return out;
}

}  // namespace korvane
