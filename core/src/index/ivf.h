// IVF-Flat: k-means cells over the transformed space, each cell a flat store of packed
// rows, searched by scanning the nprobe cells whose centroids score best.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/types.h"
#include "index/flat_store.h"
#include "index/kmeans.h"
#include "index/scorer.h"
#include "index/topk.h"

namespace korvane {

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

// Appends each row to the list whose centroid it scores best on (the assignment rule of
// the build). Allocates before changing anything, so std::bad_alloc leaves the index as
// it was.
void append_to_lists(IvfIndex& index, const BlockStore& rows, const float* training);

// At most k hits (k > 0) from the nprobe best lists, best first; the allowlist then keeps
// only the hits it holds.
std::vector<SearchHit> ivf_search(const IvfIndex& index, const QueryScorer& scorer, std::uint64_t k,
                                  std::optional<std::span<const VectorId>> allowlist);

}  // namespace korvane
