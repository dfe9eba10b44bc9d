// k-means in the transformed space, in single precision with every sum in a fixed order,
// so labels and centroids are reproducible bit for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/types.h"
#include "base/work.h"
#include "index/centroid_codes.h"

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
    // Recomputes the blocks, norms and codes after the rows changed; without `codes` the
    // codes are dropped instead (k-means steps have no use for them), and scoring takes
    // the float path until the next full refresh.
    void refresh(bool codes = true);

    // Scores of vector x against every centroid: x·c for cosine and dot, 2·(x·c) − |c|²
    // for L2, each dot product and |c|² summed in index order from -0.0.
    void scores(const float* x, Metric metric, float* out) const { scores(x, 1, dim_, metric, out); }
    // The same for nx vectors at x + i·stride; out holds nx rows of padded_size() floats.
    void scores(const float* x, std::size_t nx, std::size_t stride, Metric metric, float* out) const;
    std::size_t padded_size() const { return nblocks_ * kLanes; }
    // The scores of centroids 8·first .. 8·(first + count) − 1 alone (count lane blocks),
    // each bit for bit what `scores` gives it.
    void block_scores(const float* x, std::size_t first, std::size_t count, Metric metric, float* out) const;
    // |c_j|² as the L2 score subtracts it.
    float sqnorm(std::size_t j) const { return sqnorms_[j]; }
    const CentroidCodes& codes() const { return codes_; }

    // The same in double precision, each sum in index order, then scaled by one power of
    // two so that the largest magnitude fits a float, and rounded. For a finite x whose
    // float scores overflowed: the order of the scores survives the scaling. `work`
    // holds padded_size() doubles.
    void scores_wide(const float* x, Metric metric, double* work, float* out) const;

    // The best centroid: the highest score, a later centroid winning ties (it replaces the
    // current best unless the best is strictly greater). A NaN score loses to every
    // number, so one broken vector cannot take every cell; with only NaNs the label is 0.
    // `finite` tells whether every score was finite.
    std::uint32_t best(const float* scores, bool& finite) const {
        std::uint32_t label = 0;
        float top = scores[0];
        bool ok = std::isfinite(top);
        for (std::size_t j = 1; j < k_; ++j) {
            const float s = scores[j];
            ok &= std::isfinite(s);
            if (!(top > s) && !std::isnan(s)) {
                top = s;
                label = static_cast<std::uint32_t>(j);
            }
        }
        finite = ok;
        return label;
    }
    std::uint32_t best(const float* scores) const {
        bool finite;
        return best(scores, finite);
    }

private:
    static constexpr std::size_t kLanes = 8;
    std::size_t k_ = 0;
    std::size_t dim_ = 0;
    std::size_t nblocks_ = 0;
    std::vector<float> rows_;
    std::vector<float> blocks_;
    std::vector<float> sqnorms_;  // padded with zeros to whole blocks
    CentroidCodes codes_;
};

struct KMeansResult {
    CentroidSet centroids;
    std::vector<std::uint32_t> labels;  // one per vector
};

// n vectors of `dim` floats at `vectors`; 1 <= k <= n. The per-vector steps run on
// work.threads() threads with the same result for any count; every vector assigned
// advances `work` by 1 (at most (KMEANS_MAX_ITERATIONS + 1)·n in all). Once a stop is
// asked it returns early with a result of no use.
KMeansResult train_kmeans(const float* vectors, std::size_t n, std::size_t dim, std::size_t k, std::uint64_t seed,
                          Metric metric, Work& work);
KMeansResult train_kmeans(const float* vectors, std::size_t n, std::size_t dim, std::size_t k, std::uint64_t seed,
                          Metric metric);

// k-means over the vectors that are entirely finite (NaN or infinity must not pull a
// centroid along), exactly as train_kmeans over those alone with k = min(their count,
// max_k); with none, one centroid of zeros. Then every vector, finite or not, gets its
// best centroid by the assignment rule. max_k >= 1, n >= 1.
KMeansResult train_kmeans_finite(const float* vectors, std::size_t n, std::size_t dim, std::uint64_t max_k,
                                 std::uint64_t seed, Metric metric, Work& work);

// Whether none of the n floats is NaN or infinite.
bool all_finite(const float* x, std::size_t n);

// Labels of n vectors by the assignment rule; returns whether any label differs from
// what `labels` held before. A finite vector whose float scores overflowed is labelled
// by its wide scores.
bool assign_labels(const CentroidSet& centroids, const float* vectors, std::size_t n, Metric metric,
                   std::uint32_t* labels);
// The same on work.threads() threads, advancing `work` by the vectors assigned; once a
// stop is asked the vectors not yet reached keep their labels.
bool assign_labels(const CentroidSet& centroids, const float* vectors, std::size_t n, Metric metric,
                   std::uint32_t* labels, Work& work);

}  // namespace korvane
