// IVF-Flat: k-means cells over the transformed space, each cell a flat store of packed
// rows, searched by scanning the nprobe cells whose centroids score best.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/types.h"
#include "base/work.h"
#include "index/flat_store.h"
#include "index/kmeans.h"
#include "index/scan_tables.h"
#include "index/scorer.h"
#include "index/topk.h"

namespace korvane {

// How the bounded rankings of an index went lately, so that searches skip bounds that keep
// failing to prune at this nprobe (one in kRetry still tries). Only time depends on it,
// never a result; a copy starts afresh.
class RankingHint {
public:
    RankingHint() = default;
    RankingHint(const RankingHint&) noexcept {}
    RankingHint& operator=(const RankingHint&) noexcept { return *this; }

    bool worth_bounds(std::uint64_t probes) const;
    void record(std::uint64_t probes, bool pruned) const;

private:
    static constexpr std::uint64_t kMisses = 3;
    static constexpr std::uint32_t kRetry = 64;
    mutable std::atomic<std::uint64_t> state_{0};  // probes in the high half, misses in a row below
    mutable std::atomic<std::uint32_t> tick_{0};
};

struct IvfList {
    BlockStore members;  // ids, packed rows and norms, in the order they were added
};

struct IvfIndex {
    std::vector<IvfList> lists;  // list j belongs to centroids.row(j)
    CentroidSet centroids;
    std::uint64_t bytes_per_vec = 0;
    std::uint64_t nprobe = 0;
    std::uint64_t padded_dim = 0;
    Metric metric = Metric::Cosine;
    RankingHint hint;

    std::uint64_t n_vectors() const {
        std::uint64_t n = 0;
        for (const auto& l : lists) n += l.members.size();
        return n;
    }
};

// Clusters `rows` (whose transformed vectors are `training`, padded_dim floats each, in
// the same order) into min(rows with a finite vector, nlist) lists, or one list when none
// is finite; every row joins a list. nlist >= 1 and rows non-empty.
IvfIndex build_ivf(const BlockStore& rows, const float* training, std::uint64_t padded_dim, std::uint64_t nlist,
                   std::uint64_t nprobe, std::uint64_t seed, Metric metric);
// The same with k-means on work.threads() threads (the same index for any count),
// advancing `work` as train_kmeans does; nothing once a stop was asked. `labels`, when
// given, receives the list of each row.
std::optional<IvfIndex> build_ivf(const BlockStore& rows, const float* training, std::uint64_t padded_dim,
                                  std::uint64_t nlist, std::uint64_t nprobe, std::uint64_t seed, Metric metric,
                                  Work& work, std::vector<std::uint32_t>* labels = nullptr);

// Appends each row to the list whose centroid it scores best on (the assignment rule of
// the build). Allocates before changing anything, so std::bad_alloc leaves the index as
// it was, and so does a stop asked of `work` (then it returns false).
void append_to_lists(IvfIndex& index, const BlockStore& rows, const float* training);
bool append_to_lists(IvfIndex& index, const BlockStore& rows, const float* training, Work& work,
                     std::vector<std::uint32_t>* labels = nullptr);

// The `probes` best lists (1 <= probes <= nlists) for query q, best first, each with its
// centroid's score: by score descending, lower list numbers first among equal scores, a NaN
// score after every number. Every centroid scored in float; the reference ranking.
std::vector<SearchHit> rank_lists_full(const CentroidSet& centroids, const float* q, Metric metric,
                                       std::size_t probes);

// Per centroid, an interval [lo, hi] that holds the score rank_lists_full gives it, from
// its 4-bit code; nothing when q or a centroid is not finite, a score might overflow, or
// no table can be built for q. `tables`, when given, are q's for the layout
// RowLayout::of(dim, dim) (a 4-bit scan of the lists may share them).
struct ScoreBounds {
    std::vector<float> lo, hi;
};
std::optional<ScoreBounds> centroid_bounds(const CentroidSet& centroids, const float* q, Metric metric,
                                           const ScanTables* tables = nullptr);

// rank_lists_full's ranking, bit for bit, from the bounds: only the candidates, centroids
// whose interval reaches the probes-th best lower bound, are scored in float, or every
// centroid when the candidates lie in more than max_blocks lane blocks of 8 (`pruned`
// tells which). Nothing when there are no bounds.
std::optional<std::vector<SearchHit>> rank_lists_bounded(const CentroidSet& centroids, const float* q,
                                                         Metric metric, std::size_t probes, std::size_t max_blocks,
                                                         const ScanTables* tables = nullptr,
                                                         bool* pruned = nullptr);

// At most k hits (k > 0) from the nprobe best lists, best first; the allowlist then keeps
// only the hits it holds.
std::vector<SearchHit> ivf_search(const IvfIndex& index, const QueryScorer& scorer, std::uint64_t k,
                                  std::optional<std::span<const VectorId>> allowlist);

// ivf_search for each scorer (one layout and metric): the queries whose lists are ranked
// by every centroid's float score share that pass over the centroids.
std::vector<std::vector<SearchHit>> ivf_search_many(const IvfIndex& index, std::span<const QueryScorer> scorers,
                                                    std::uint64_t k, std::optional<std::span<const VectorId>> allowlist);

}  // namespace korvane
