// k-means in the transformed space, in single precision with every sum in a fixed order,
// so labels and centroids are reproducible bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/types.h"

namespace korvane {

inline constexpr std::size_t KMEANS_MAX_ITERATIONS = 25;
inline constexpr std::uint64_t RESEED_STRIDE = 7919;

// Centroids as rows, plus what scoring reads: the rows transposed in blocks (one SIMD
// lane per centroid) and each centroid's squared norm.
class CentroidSet {
public:
    CentroidSet() = default;
    // k centroids of `dim` floats, row after row.
    CentroidSet(std::vector<float> rows, std::size_t k, std::size_t dim);

    std::size_t size() const { return k_; }
    std::size_t dim() const { return dim_; }
    const float* row(std::size_t j) const { return rows_.data() + j * dim_; }
    std::vector<float>& rows() { return rows_; }
    // Recomputes the blocks and norms after the rows changed.
    void refresh();

    // Scores of vector x against every centroid: x·c for cosine and dot, 2·(x·c) − |c|²
    // for L2, each dot product and |c|² summed in index order from -0.0.
    void scores(const float* x, Metric metric, float* out) const { scores(x, 1, dim_, metric, out); }
    // The same for nx vectors at x + i·stride; out holds nx rows of padded_size() floats.
    void scores(const float* x, std::size_t nx, std::size_t stride, Metric metric, float* out) const;
    std::size_t padded_size() const { return nblocks_ * kLanes; }

    // The best centroid: the highest score, a later centroid winning ties (it replaces the
    // current best unless the best is strictly greater).
    std::uint32_t best(const float* scores) const {
        std::uint32_t label = 0;
        float top = scores[0];
        for (std::size_t j = 1; j < k_; ++j) {
            if (!(top > scores[j])) {
                top = scores[j];
                label = static_cast<std::uint32_t>(j);
            }
        }
        return label;
    }

private:
    static constexpr std::size_t kLanes = 8;
    std::size_t k_ = 0;
    std::size_t dim_ = 0;
    std::size_t nblocks_ = 0;
    std::vector<float> rows_;
    std::vector<float> blocks_;
    std::vector<float> sqnorms_;  // padded with zeros to whole blocks
};

struct KMeansResult {
    CentroidSet centroids;
    std::vector<std::uint32_t> labels;  // one per vector
};

// n vectors of `dim` floats at `vectors`; 1 <= k <= n.
KMeansResult train_kmeans(const float* vectors, std::size_t n, std::size_t dim, std::size_t k, std::uint64_t seed,
                          Metric metric);

// Labels of n vectors by the assignment rule; returns whether any label differs from
// what `labels` held before.
bool assign_labels(const CentroidSet& centroids, const float* vectors, std::size_t n, Metric metric,
                   std::uint32_t* labels);

}  // namespace korvane
