#include "index/kmeans.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>

#include "simd/float_dots.h"

namespace korvane {

static_assert(simd::kDotLanes == 8);

CentroidSet::CentroidSet(std::vector<float> rows, std::size_t k, std::size_t dim)
    : k_(k), dim_(dim), nblocks_((k + kLanes - 1) / kLanes), rows_(std::move(rows)) {
    refresh();
}

void CentroidSet::refresh(bool codes) {
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
    codes_ = codes ? CentroidCodes(rows_.data(), k_, dim_) : CentroidCodes();
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

void CentroidSet::block_scores(const float* x, std::size_t first, std::size_t count, Metric metric,
                               float* out) const {
    // Every lane sums on its own, so a run of blocks scores as it does among all of them.
    static const simd::BlockDotsFn dots = simd::best_block_dots();
    dots(x, 1, dim_, blocks_.data() + first * dim_ * kLanes, count, dim_, out);
    if (metric != Metric::L2) return;
    const float* sq = sqnorms_.data() + first * kLanes;
    for (std::size_t j = 0; j < count * kLanes; ++j) out[j] = 2.0f * out[j] - sq[j];
}

void CentroidSet::scores_wide(const float* x, Metric metric, double* work, float* out) const {
    // Lane by lane as in `scores`: each centroid's x·c and |c|² summed in index order.
    // Products of two floats are exact in double, and no sum of them can overflow it.
    double top = 0.0;
    for (std::size_t b = 0; b < nblocks_; ++b) {
        const float* block = blocks_.data() + b * dim_ * kLanes;
        double dot[kLanes], sq[kLanes];
        std::fill_n(dot, kLanes, -0.0);
        std::fill_n(sq, kLanes, -0.0);
        for (std::size_t d = 0; d < dim_; ++d) {
            const double xd = x[d];
            for (std::size_t l = 0; l < kLanes; ++l) {
                const double c = block[d * kLanes + l];
                dot[l] += xd * c;
                sq[l] += c * c;
            }
        }
        for (std::size_t l = 0; l < kLanes; ++l) {
            const double s = metric == Metric::L2 ? 2.0 * dot[l] - sq[l] : dot[l];
            work[b * kLanes + l] = s;
            // A centroid that is not finite (a damaged file) must not scale the others to 0.
            if (b * kLanes + l < k_ && std::isfinite(s)) top = std::max(top, std::fabs(s));
        }
    }
    // Brings the largest magnitude into [2^126, 2^127) when it would round to infinity.
    const double scale = std::isinf(static_cast<float>(top)) ? std::ldexp(1.0, 126 - std::ilogb(top)) : 1.0;
    for (std::size_t j = 0; j < padded_size(); ++j) out[j] = static_cast<float>(work[j] * scale);
}

bool all_finite(const float* x, std::size_t n) {
    // All exponent bits set is infinity or NaN; no early exit, so the loop vectorises.
    std::uint32_t special = 0;
    for (std::size_t i = 0; i < n; ++i) special |= (std::bit_cast<std::uint32_t>(x[i]) & 0x7F800000u) == 0x7F800000u;
    return special == 0;
}

bool assign_labels(const CentroidSet& centroids, const float* vectors, std::size_t n, Metric metric,
                   std::uint32_t* labels) {
    Work work;
    return assign_labels(centroids, vectors, n, metric, labels, work);
}

bool assign_labels(const CentroidSet& centroids, const float* vectors, std::size_t n, Metric metric,
                   std::uint32_t* labels, Work& work) {
    // Vectors in chunks, so the score buffer stays small while the dot products run
    // several vectors against each block of centroids; a task takes whole chunks, about a
    // million multiplications of them, so its buffers are had once per task.
    constexpr std::size_t kChunk = 32;
    const std::size_t dim = centroids.dim();
    const std::size_t width = centroids.padded_size();
    const std::size_t per_task = kChunk * std::clamp<std::size_t>((std::size_t{1} << 20) / (kChunk * width * std::max<std::size_t>(dim, 1)), 1, 64);
    std::atomic<bool> changed{false};
    parallel_for(n, work.threads(), per_task, [&](std::size_t begin, std::size_t end) {
        if (work.stop_requested()) return;
        std::vector<float> scores(kChunk * width);
        std::vector<double> wide;  // sized when a vector first needs it
        bool any = false;
        for (std::size_t start = begin; start < end; start += kChunk) {
            const std::size_t m = std::min(kChunk, end - start);
            centroids.scores(vectors + start * dim, m, dim, metric, scores.data());
            for (std::size_t i = 0; i < m; ++i) {
                float* s = scores.data() + i * width;
                bool finite;
                std::uint32_t label = centroids.best(s, finite);
                const float* x = vectors + (start + i) * dim;
                if (!finite && all_finite(x, dim)) {
                    // |c|² or x·c overflowed: the float scores no longer order the centroids.
                    wide.resize(width);
                    centroids.scores_wide(x, metric, wide.data(), s);
                    label = centroids.best(s);
                }
                any |= label != labels[start + i];
                labels[start + i] = label;
            }
        }
        if (any) changed.store(true, std::memory_order_relaxed);
        work.advance(end - begin);
    });
    return changed.load();
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

// The mean of cluster j summed in double, for a cluster whose float sum overflowed: the
// members are finite, so their mean fits a float.
void wide_mean(const float* vectors, std::size_t n, std::size_t dim, const std::uint32_t* labels, std::size_t j,
               std::uint64_t count, std::vector<double>& sum, float* c) {
    sum.assign(dim, -0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (labels[i] != j) continue;
        const float* x = vectors + i * dim;
        for (std::size_t d = 0; d < dim; ++d) sum[d] += x[d];
    }
    for (std::size_t d = 0; d < dim; ++d) c[d] = static_cast<float>(sum[d] / static_cast<double>(count));
}

// Means of the clusters; an empty cluster takes vector (j·RESEED_STRIDE + seed) mod n.
void update(const float* vectors, std::size_t n, std::size_t dim, std::uint64_t seed, Metric metric,
            const std::uint32_t* labels, CentroidSet& centroids, unsigned threads) {
    const std::size_t k = centroids.size();
    std::vector<float> sums(k * dim, -0.0f);
    std::vector<std::uint64_t> counts(k, 0);
    for (std::size_t i = 0; i < n; ++i) ++counts[labels[i]];
    // Members in vector order, element by element: each thread sums its own run of
    // elements (whole cache lines) over every vector, so every sum keeps that order.
    const std::size_t lines = (dim + 15) / 16;
    const std::size_t per_thread = 16 * ((lines + threads - 1) / threads);
    parallel_for(dim, threads, per_thread, [&](std::size_t d0, std::size_t d1) {
        for (std::size_t i = 0; i < n; ++i) {
            float* s = sums.data() + std::size_t{labels[i]} * dim;
            const float* x = vectors + i * dim;
            for (std::size_t d = d0; d < d1; ++d) s[d] += x[d];
        }
    });
    std::vector<float>& rows = centroids.rows();
    std::vector<double> wide;
    for (std::size_t j = 0; j < k; ++j) {
        float* c = rows.data() + j * dim;
        if (counts[j] > 0) {
            const float count = static_cast<float>(counts[j]);
            const float* s = sums.data() + j * dim;
            bool finite = true;
            for (std::size_t d = 0; d < dim; ++d) {
                c[d] = s[d] / count;
                finite &= std::isfinite(c[d]);
            }
            if (!finite) wide_mean(vectors, n, dim, labels, j, counts[j], wide, c);
        } else {
            const std::uint64_t pick = (static_cast<std::uint64_t>(j) * RESEED_STRIDE + seed) % n;
            if (dim != 0) std::memcpy(c, vectors + pick * dim, dim * sizeof(float));
        }
        if (metric == Metric::Cosine) normalise(c, dim);
    }
    centroids.refresh(false);
}

}  // namespace

KMeansResult train_kmeans(const float* vectors, std::size_t n, std::size_t dim, std::size_t k, std::uint64_t seed,
                          Metric metric) {
    Work work;
    return train_kmeans(vectors, n, dim, k, seed, metric, work);
}

KMeansResult train_kmeans(const float* vectors, std::size_t n, std::size_t dim, std::size_t k, std::uint64_t seed,
                          Metric metric, Work& work) {
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
        const bool changed = assign_labels(r.centroids, vectors, n, metric, r.labels.data(), work);
        if (work.stop_requested()) return r;
        if (!changed) {
            settled = true;  // the labels already belong to these centroids
            break;
        }
        update(vectors, n, dim, seed, metric, r.labels.data(), r.centroids, work.threads());
    }
    if (!settled) assign_labels(r.centroids, vectors, n, metric, r.labels.data(), work);
    if (work.stop_requested()) return r;
    if (!r.centroids.codes().usable()) r.centroids.refresh();
    return r;
}

KMeansResult train_kmeans_finite(const float* vectors, std::size_t n, std::size_t dim, std::uint64_t max_k,
                                 std::uint64_t seed, Metric metric, Work& work) {
    std::vector<std::uint8_t> finite(n);
    std::size_t f = 0;
    for (std::size_t i = 0; i < n; ++i) f += finite[i] = all_finite(vectors + i * dim, dim);
    auto k_for = [&](std::size_t count) { return static_cast<std::size_t>(std::min<std::uint64_t>(count, max_k)); };
    if (f == n) return train_kmeans(vectors, n, dim, k_for(n), seed, metric, work);

    // The vectors of one kind side by side, in their order.
    std::vector<float> picked(f * dim);
    auto gather = [&](std::uint8_t kind) {
        float* out = picked.data();
        for (std::size_t i = 0; i < n; ++i) {
            if (finite[i] != kind) continue;
            if (dim != 0) std::memcpy(out, vectors + i * dim, dim * sizeof(float));
            out += dim;
        }
    };
    gather(1);
    KMeansResult r = f > 0 ? train_kmeans(picked.data(), f, dim, k_for(f), seed, metric, work)
                           : KMeansResult{CentroidSet(std::vector<float>(dim, 0.0f), 1, dim), {}};
    if (work.stop_requested()) return r;
    picked.resize((n - f) * dim);
    gather(0);
    std::vector<std::uint32_t> rest(n - f, 0);
    assign_labels(r.centroids, picked.data(), n - f, metric, rest.data(), work);
    std::vector<std::uint32_t> labels(n);
    for (std::size_t i = 0, a = 0, b = 0; i < n; ++i) labels[i] = finite[i] ? r.labels[a++] : rest[b++];
    r.labels = std::move(labels);
    return r;
}

}  // namespace korvane
