// The order of scored lists that may hold NaN (query search, back-links).
// Internal to the rooms of index/hnsw/, in an unnamed namespace (index/hnsw.h says why).
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "index/hnsw/graph.h"

namespace korvane {
namespace {

// Stable sort by score descending, a NaN comparing equal to every score (no entry passes
// a NaN; the runs between NaNs are sorted).
void sort_scored(std::vector<ScoredNode>& v) {
    auto before = [](const ScoredNode& a, const ScoredNode& b) { return a.score > b.score; };
    auto run = v.begin();
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (std::isnan(it->score)) {
            std::stable_sort(run, it, before);
            run = it + 1;
        }
    }
    std::stable_sort(run, v.end(), before);
}

}  // namespace
}  // namespace korvane
