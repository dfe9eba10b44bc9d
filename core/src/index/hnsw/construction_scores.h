// Construction scores: construction_score(x, y) is the dot product of the construction
// vectors, less half y's squared norm under L2. BuildScores gives them fast with a bound
// (Bounded) and in order on demand, and BestFirst sorts them as the in-order scores
// would; the construction search, the selection rule and the repair score with them.
// Internal to the rooms of index/hnsw/, in an unnamed namespace (index/hnsw.h says why).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "index/hnsw/graph.h"
#include "simd/float_dots.h"

namespace korvane {
namespace {

// A NaN construction score (a row holding NaN, or an overflow to inf − inf) becomes −inf
// where it is made, so it loses to every number in every comparison of insertion and a
// non-finite row never displaces a finite neighbour. A genuine −inf ties with it.
inline float nan_lowest(float s) { return std::isnan(s) ? -std::numeric_limits<float>::infinity() : s; }

// What a construction score against `node` subtracts: half its squared norm under L2, else 0.
float half_sq(const HnswIndex& index, std::uint32_t node) {
    return index.metric == Metric::L2 ? 0.5f * index.sqnorms[node] : 0.0f;
}

// A construction score known to lie in [lo, hi], f its fast value (all three equal once
// the in-order score is known).
struct Bounded {
    float f, lo, hi;
    std::uint32_t node;
};

inline Bounded point(float s, std::uint32_t node) { return {s, s, s, node}; }

// The bound of f = fast dot - h, given `dot_err` bounding the fast dot's distance to the
// in-order one. The in-order score rounds its own subtraction: they differ by at most
// dot_err(1 + u) + 2u|f|(1 + 2u); lo and hi are rounded too, by up to u of their size.
// False when there is no bound (then the in-order score must be computed).
inline bool bracket(float f, float dot_err, std::uint32_t node, Bounded& out) {
    if (!(dot_err <= 0x1.0p100f) || !(std::fabs(f) <= 0x1.0p126f)) return false;
    const float e = dot_err * (1.0f + 0x1.0p-20f) + std::fabs(f) * 0x1.0p-21f;
    out = {f, f - e, f + e, node};
    return true;
}

// construction_score(q, ·) for the node being inserted: fast scores with their bounds,
// in-order scores computed when a decision needs them and kept per node for the call.
class BuildScores {
public:
    // Out of line, so that callers hold the address instead of looking it up again.
    [[gnu::noinline]] static BuildScores& local() {
        thread_local BuildScores s;
        return s;
    }

    void start(const HnswIndex& index, std::uint32_t query) {
        index_ = &index;
        dim_ = index.padded_dim;
        q_ = vec(query);
        slope_ = bounded(index, query) ? model(dim_).slope(index.node_bounds[query].norms) : kInf;
        if (stamp_.size() < index.size()) {
            stamp_.resize(index.size(), 0);
            value_.resize(index.size());
        }
        if (++epoch_ == 0) {
            std::fill(stamp_.begin(), stamp_.end(), 0);
            epoch_ = 1;
        }
    }

    // Fast scores of `n` nodes, exact where no bound holds.
    void score(const std::uint32_t* nodes, std::size_t n, Bounded* out) {
        if (ptrs_.size() < n) {
            ptrs_.resize(n);
            fast_.resize(n);
        }
        for (std::size_t j = 0; j < n; ++j) ptrs_[j] = vec(nodes[j]);
        kernel().dots(q_, ptrs_.data(), n, dim_, fast_.data());
        const float floor = model(dim_).floor;
        pending_.clear();
        if (index_->node_bounds.size() == index_->size()) {
            for (std::size_t j = 0; j < n; ++j) {
                const std::uint32_t node = nodes[j];
                const HnswIndex::NodeBound& b = index_->node_bounds[node];
                // Minus 0 leaves a dot product as it is (-0 included).
                if (!bracket(fast_[j] - b.half_sq, slope_ * b.norms.norm + floor, node, out[j]))
                    pending_.push_back(static_cast<std::uint32_t>(j));
            }
        } else {
            for (std::size_t j = 0; j < n; ++j) pending_.push_back(static_cast<std::uint32_t>(j));
        }
        if (pending_.empty()) return;
        for (std::size_t i = 0; i < pending_.size(); ++i) ptrs_[i] = vec(nodes[pending_[i]]);
        compute(ptrs_.data(), pending_.size());
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            const std::uint32_t node = nodes[pending_[i]];
            out[pending_[i]] = point(keep(node, fast_[i]), node);
        }
    }

    // The in-order score of a node.
    float exact(std::uint32_t node) {
        if (stamp_[node] == epoch_) return value_[node];
        const float* p = vec(node);
        compute(&p, 1);
        return keep(node, fast_[0]);
    }

    // Computes the in-order scores of the given nodes not known yet, side by side.
    void resolve(const std::uint32_t* nodes, std::size_t n) {
        todo_.clear();
        for (std::size_t j = 0; j < n; ++j) {
            if (stamp_[nodes[j]] == epoch_) continue;
            stamp_[nodes[j]] = epoch_;  // its value is set below
            todo_.push_back(nodes[j]);
        }
        if (todo_.empty()) return;
        if (ptrs_.size() < todo_.size()) {
            ptrs_.resize(todo_.size());
            fast_.resize(todo_.size());
        }
        for (std::size_t j = 0; j < todo_.size(); ++j) ptrs_[j] = vec(todo_[j]);
        compute(ptrs_.data(), todo_.size());
        for (std::size_t j = 0; j < todo_.size(); ++j) keep(todo_[j], fast_[j]);
    }

    // Replaces the scores of `chosen` by their in-order ones, computed side by side.
    void make_exact(std::vector<ScoredNode>& chosen) {
        chosen_nodes_.clear();
        for (const ScoredNode& c : chosen) chosen_nodes_.push_back(c.node);
        resolve(chosen_nodes_.data(), chosen_nodes_.size());
        for (ScoredNode& c : chosen) c.score = exact(c.node);
    }

    static bool bounded(const HnswIndex& index, std::uint32_t node) { return node < index.node_bounds.size(); }
    static const simd::FastDots& kernel() {
        static const simd::FastDots k = simd::best_fast_dots();
        return k;
    }
    static simd::DotErrorModel model(std::size_t dim) {
        thread_local std::size_t for_dim = 0;
        thread_local simd::DotErrorModel m{};
        if (for_dim != dim || dim == 0) {
            m = simd::fast_dot_error_model(dim, kernel().partials);
            for_dim = dim;
        }
        return m;
    }

private:
    static constexpr float kInf = std::numeric_limits<float>::infinity();

    const float* vec(std::uint32_t node) const {
        return index_->construction_vectors.data() + std::size_t{node} * dim_;
    }
    // In-order dot products of q with `n` vectors, into fast_ (which must hold n).
    void compute(const float* const* ptrs, std::size_t n) {
        static const simd::ManyDotsFn dots = simd::best_many_dots();
        if (fast_.size() < n) fast_.resize(n);
        if (n == 1) fast_[0] = simd::dot_sequential(q_, ptrs[0], dim_);  // no lanes to fill
        else dots(q_, ptrs, n, dim_, fast_.data());
    }
    float keep(std::uint32_t node, float dot) {
        const float s = nan_lowest(index_->metric == Metric::L2 ? dot - 0.5f * index_->sqnorms[node] : dot);
        stamp_[node] = epoch_;
        value_[node] = s;
        return s;
    }

    const HnswIndex* index_ = nullptr;
    std::size_t dim_ = 0;
    const float* q_ = nullptr;
    float slope_ = kInf;
    std::vector<std::uint32_t> stamp_;
    std::vector<float> value_;
    std::uint32_t epoch_ = 0;
    std::vector<const float*> ptrs_;
    std::vector<float> fast_;
    std::vector<std::uint32_t> pending_, todo_, chosen_nodes_;
};

// Sorts bounded scores by their in-order scores, best first, equal scores keeping their
// order. In fast order, a cut where every bound before lies above every bound after
// separates entries that the in-order scores order the same way; between cuts, the
// in-order scores are computed side by side and decide.
class BestFirst {
public:
    void sort(BuildScores& sc, std::vector<Bounded>& w) {
        const std::size_t n = w.size();
        if (n < 2) return;
        keys_.resize(n);
        for (std::size_t i = 0; i < n; ++i) keys_[i] = descending_key(w[i].f, i);
        std::sort(keys_.begin(), keys_.end());
        placed_.resize(n);
        for (std::size_t i = 0; i < n; ++i) placed_[i] = w[keys_[i] & 0xFFFFFFFFu];
        highest_after_.resize(n + 1);
        highest_after_[n] = -kInf;
        for (std::size_t i = n; i-- > 0;) highest_after_[i] = std::max(highest_after_[i + 1], placed_[i].hi);
        nodes_.clear();
        float lowest_before = kInf;
        std::size_t start = 0;
        cuts_.clear();
        for (std::size_t i = 0; i < n; ++i) {
            lowest_before = std::min(lowest_before, placed_[i].lo);
            // A cut after i, or the end: entries since the last cut are ordered exactly.
            if (i + 1 == n || highest_after_[i + 1] < lowest_before) {
                if (i > start) {
                    for (std::size_t k = start; k <= i; ++k) nodes_.push_back(placed_[k].node);
                    cuts_.push_back({start, i + 1});
                }
                start = i + 1;
                lowest_before = kInf;
            }
        }
        if (!cuts_.empty()) {
            sc.resolve(nodes_.data(), nodes_.size());
            for (const auto& [from, to] : cuts_) {
                // By in-order score, then place in w.
                for (std::size_t k = from; k < to; ++k)
                    keys_[k] = descending_key(sc.exact(placed_[k].node), keys_[k] & 0xFFFFFFFFu);
                std::sort(keys_.begin() + static_cast<std::ptrdiff_t>(from), keys_.begin() + static_cast<std::ptrdiff_t>(to));
                for (std::size_t k = from; k < to; ++k) placed_[k] = w[keys_[k] & 0xFFFFFFFFu];
            }
        }
        w.swap(placed_);
    }

private:
    static constexpr float kInf = std::numeric_limits<float>::infinity();

    // A key whose ascending order is f descending (-0 as +0), then i ascending.
    static std::uint64_t descending_key(float f, std::size_t i) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(f + 0.0f);
        const std::uint32_t ascending = bits & 0x80000000u ? ~bits : bits | 0x80000000u;
        return (std::uint64_t{~ascending} << 32) | i;
    }

    std::vector<std::uint64_t> keys_;
    std::vector<Bounded> placed_;
    std::vector<float> highest_after_;
    std::vector<std::uint32_t> nodes_;
    std::vector<std::pair<std::size_t, std::size_t>> cuts_;
};

}  // namespace
}  // namespace korvane
