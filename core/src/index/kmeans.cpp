#include "index/kmeans.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "simd/float_dots.h"

namespace korvane {

static_assert(simd::kDotLanes == 8);

CentroidSet::CentroidSet(std::vector<float> rows, std::size_t k, std::size_t dim)
    : k_(k), dim_(dim), nblocks_((k + kLanes - 1) / kLanes), rows_(std::move(rows)) {
    refresh();
}

void CentroidSet::refresh() {
    blocks_.assign(nblocks_ * dim_ * kLanes, 0.0f);
    sqnorms_.assign(nblocks_ * kLanes, 0.0f);
    for (std::size_t j = 0; j < k_; ++j) {
        const float* c = row(j);
        float* block = blocks_.data() + (j / kLanes) * dim_ * kLanes + j % kLanes;
        float s = -0.0f;
        for (std::size_t d = 0; d < dim_; ++d) {
            block[d * kLanes] = c[d];
            s += c[d] * c[d];  // in index order
        }
        sqnorms_[j] = s;
    }
}

void CentroidSet::scores(const float* x, std::size_t nx, std::size_t stride, Metric metric, float* out) const {
    static const simd::BlockDotsFn dots = simd::best_block_dots();
    dots(x, nx, stride, blocks_.data(), nblocks_, dim_, out);
    if (metric != Metric::L2) return;
    const std::size_t width = padded_size();
    for (std::size_t i = 0; i < nx; ++i) {
        float* o = out + i * width;
        for (std::size_t j = 0; j < width; ++j) o[j] = 2.0f * o[j] - sqnorms_[j];
    }
}

bool assign_labels(const CentroidSet& centroids, const float* vectors, std::size_t n, Metric metric,
                   std::uint32_t* labels) {
    // Vectors in chunks, so the score buffer stays small while the dot products run
    // several vectors against each block of centroids.
    constexpr std::size_t kChunk = 32;
    const std::size_t dim = centroids.dim();
    const std::size_t width = centroids.padded_size();
    std::vector<float> scores(kChunk * width);
    bool changed = false;
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t m = std::min(kChunk, n - start);
        centroids.scores(vectors + start * dim, m, dim, metric, scores.data());
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint32_t label = centroids.best(scores.data() + i * width);
            changed |= label != labels[start + i];
            labels[start + i] = label;
        }
    }
    return changed;
}

namespace {

void normalise(float* c, std::size_t dim) {
    float s = -0.0f;
    for (std::size_t d = 0; d < dim; ++d) s += c[d] * c[d];
    const float n = std::sqrt(s);
    if (n > 1e-9f) {
        for (std::size_t d = 0; d < dim; ++d) c[d] /= n;
    }
}

// Means of the clusters; an empty cluster takes vector (j·RESEED_STRIDE + seed) mod n.
void update(const float* vectors, std::size_t n, std::size_t dim, std::uint64_t seed, Metric metric,
            const std::uint32_t* labels, CentroidSet& centroids) {
    const std::size_t k = centroids.size();
    std::vector<float> sums(k * dim, -0.0f);
    std::vector<std::uint64_t> counts(k, 0);
    for (std::size_t i = 0; i < n; ++i) {  // members in vector order, element by element
        float* s = sums.data() + std::size_t{labels[i]} * dim;
        const float* x = vectors + i * dim;
        for (std::size_t d = 0; d < dim; ++d) s[d] += x[d];
        ++counts[labels[i]];
    }
    std::vector<float>& rows = centroids.rows();
    for (std::size_t j = 0; j < k; ++j) {
        float* c = rows.data() + j * dim;
        if (counts[j] > 0) {
            const float count = static_cast<float>(counts[j]);
            const float* s = sums.data() + j * dim;
            for (std::size_t d = 0; d < dim; ++d) c[d] = s[d] / count;
        } else {
            const std::uint64_t pick = (static_cast<std::uint64_t>(j) * RESEED_STRIDE + seed) % n;
            if (dim != 0) std::memcpy(c, vectors + pick * dim, dim * sizeof(float));
        }
        if (metric == Metric::Cosine) normalise(c, dim);
    }
    centroids.refresh();
}

}  // namespace

KMeansResult train_kmeans(const float* vectors, std::size_t n, std::size_t dim, std::size_t k, std::uint64_t seed,
                          Metric metric) {
    const std::uint64_t stride = std::max<std::uint64_t>(n / k, 1);
    const std::uint64_t offset = seed % stride;
    std::vector<float> rows(k * dim);
    for (std::size_t j = 0; j < k; ++j) {
        const std::uint64_t pick = (static_cast<std::uint64_t>(j) * stride + offset) % n;
        if (dim != 0) std::memcpy(rows.data() + j * dim, vectors + pick * dim, dim * sizeof(float));
    }
    KMeansResult r{CentroidSet(std::move(rows), k, dim), std::vector<std::uint32_t>(n, 0)};
    bool settled = false;
    for (std::size_t it = 0; it < KMEANS_MAX_ITERATIONS; ++it) {
        if (!assign_labels(r.centroids, vectors, n, metric, r.labels.data())) {
            settled = true;  // the labels already belong to these centroids
            break;
        }
        update(vectors, n, dim, seed, metric, r.labels.data(), r.centroids);
    }
    if (!settled) assign_labels(r.centroids, vectors, n, metric, r.labels.data());
    return r;
}

}  // namespace korvane
