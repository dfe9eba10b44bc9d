#include "index/topk.h"

#include <algorithm>

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

}  // namespace korvane
