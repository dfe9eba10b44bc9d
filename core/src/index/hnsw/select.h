// The selection rule: which candidates a list keeps (construction search, back-links,
// repair).
// Internal to the rooms of index/hnsw/, in an unnamed namespace (index/hnsw.h says why).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "index/hnsw/construction_scores.h"
#include "index/hnsw/graph.h"
#include "simd/float_dots.h"

namespace korvane {
namespace {

// Where a candidate's score against the base comes from.
enum class BaseScores {
    kScored,     // construction_score(x_e, x_base): scored here
    kCandidate,  // equal to the candidate's own score (cosine and dot: dot products commute)
};

// The selection rule on candidates in their final order: a candidate e is kept unless a
// node r kept before it has construction_score(x_e, x_r) strictly above
// construction_score(x_e, x_base) (a NaN to r is above nothing, a NaN to the base counts
// as the lowest), until `max_keep` are kept. `exact` gives a candidate's in-order score
// (for kCandidate). Keeps into `kept`, with the candidates' fast scores.
//
// Candidates go four at a time: their fast scores against the base and the kept nodes
// come from grids of four by four vectors, each loaded once for its sixteen products; a
// candidate out of the running leaves the grids. Scores whose bounds leave the comparison
// open are computed in order, and only if no bound has already decided against the
// candidate.
template <class Exact>
void select_into(const HnswIndex& index, std::uint32_t base, const Bounded* cands, const std::uint8_t* settled,
                 std::size_t count, std::uint64_t max_keep, BaseScores base_scores, Exact&& exact,
                 std::vector<ScoredNode>& kept) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    constexpr std::size_t kSide = simd::kGridSide;
    const std::size_t dim = index.padded_dim;
    const float* xs = index.construction_vectors.data();
    const auto vec = [&](std::uint32_t node) { return xs + std::size_t{node} * dim; };
    const simd::FastDots kernel = BuildScores::kernel();
    const simd::DotErrorModel model = BuildScores::model(dim);
    const auto err = [&](float slope, std::uint32_t node) {
        return BuildScores::bounded(index, node) ? slope * index.node_bounds[node].norms.norm + model.floor : kInf;
    };
    // The columns every candidate is scored against: the base first when its score is
    // computed here, then the kept nodes, each marked when its candidate was settled.
    thread_local std::vector<const float*> col_vec;
    thread_local std::vector<std::uint32_t> col_node;
    thread_local std::vector<float> col_half;
    thread_local std::vector<std::uint8_t> col_settled;
    const bool with_base = base_scores == BaseScores::kScored;
    const std::size_t first_kept = with_base ? 1 : 0;
    col_vec.clear();
    col_node.clear();
    col_half.clear();
    col_settled.clear();
    if (with_base) {
        col_vec.push_back(vec(base));
        col_node.push_back(base);
        col_half.push_back(half_sq(index, base));
        col_settled.push_back(0);
    }
    kept.clear();
    struct Trial {
        const float* x;
        float slope;
        Bounded to_base;
        bool base_known;
        float base_exact;
        bool settled;
        bool out;  // some kept node is above the base for it
    };
    Trial trial[kSide];
    thread_local std::vector<std::uint32_t> open[kSide];  // columns the bounds leave open, by candidate
    thread_local std::vector<const float*> some_vec;
    thread_local std::vector<std::uint32_t> some_col;
    thread_local std::vector<float> some_dot;
    const float* rows[kSide];
    std::size_t alive[kSide];
    float grid[kSide * kSide];
    for (std::size_t i = 0; i < count && kept.size() < max_keep; i += kSide) {
        const std::size_t g = std::min(kSide, count - i);
        for (std::size_t j = 0; j < g; ++j) {
            Trial& t = trial[j];
            const std::uint32_t e = cands[i + j].node;
            t.x = vec(e);
            t.slope = BuildScores::bounded(index, e) ? model.slope(index.node_bounds[e].norms) : kInf;
            t.to_base = cands[i + j];
            t.base_known = false;
            t.settled = settled != nullptr && settled[i + j] != 0;
            t.out = false;
            open[j].clear();
        }
        const auto base_exact = [&](std::size_t j) {
            Trial& t = trial[j];
            if (!t.base_known) {
                t.base_exact = with_base ? nan_lowest(simd::dot_sequential(t.x, col_vec[0], dim) - col_half[0])
                                         : exact(cands[i + j]);
                t.base_known = true;
            }
            return t.base_exact;
        };
        // One column of candidate j, from its fast dot product: the score to the base, or
        // a kept node decided above it, decided not, or left open.
        const auto judge = [&](std::size_t j, std::size_t c, float fd) {
            Trial& t = trial[j];
            Bounded b;
            const bool bounded = bracket(fd - col_half[c], err(t.slope, col_node[c]), col_node[c], b);
            if (c < first_kept) {
                if (!bounded) {
                    t.base_exact = nan_lowest(simd::dot_sequential(t.x, col_vec[0], dim) - col_half[0]);
                    t.base_known = true;
                    b = point(t.base_exact, base);
                }
                t.to_base = b;
                return;
            }
            if (bounded && b.lo > t.to_base.hi) t.out = true;
            else if (!bounded || b.hi > t.to_base.lo) open[j].push_back(static_cast<std::uint32_t>(c));
        };
        // Fast scores of candidate j against the given columns, in order, side by side.
        const auto judge_columns = [&](std::size_t j) {
            some_vec.clear();
            for (std::uint32_t c : some_col) some_vec.push_back(col_vec[c]);
            some_dot.resize(some_col.size());
            kernel.dots(trial[j].x, some_vec.data(), some_vec.size(), dim, some_dot.data());
            for (std::size_t k = 0; k < some_col.size(); ++k) judge(j, some_col[k], some_dot[k]);
        };
        // The columns known now, side by side for the candidates not settled.
        const std::size_t known = col_vec.size();
        for (std::size_t c0 = 0; c0 < known; c0 += kSide) {
            std::size_t n = 0;
            for (std::size_t j = 0; j < g; ++j) {
                if (trial[j].out || trial[j].settled) continue;
                alive[n] = j;
                rows[n++] = trial[j].x;
            }
            if (n == 0) break;
            const std::size_t w = std::min(kSide, known - c0);
            kernel.grid(rows, n, col_vec.data() + c0, w, dim, grid);
            for (std::size_t a = 0; a < n; ++a) {
                for (std::size_t b = 0; b < w; ++b) judge(alive[a], c0 + b, grid[a * w + b]);
            }
        }
        // The walk, one candidate at a time. A settled candidate was kept by the last
        // selection against every settled node before it, so only the others kept before it
        // can be above its base; an unsettled one still meets the candidates of this group
        // kept before it. The bounds decide first, the in-order scores of open columns after.
        for (std::size_t j = 0; j < g && kept.size() < max_keep; ++j) {
            Trial& t = trial[j];
            some_col.clear();
            for (std::size_t c = t.settled ? first_kept : known; c < col_vec.size(); ++c) {
                if (!t.settled || !col_settled[c]) some_col.push_back(static_cast<std::uint32_t>(c));
            }
            if (!some_col.empty()) {
                if (t.settled && with_base) some_col.insert(some_col.begin(), 0);
                judge_columns(j);
            }
            bool keep = !t.out;
            for (std::size_t k = 0; k < open[j].size() && keep; ++k) {
                const std::size_t c = open[j][k];
                keep = !(simd::dot_sequential(t.x, col_vec[c], dim) - col_half[c] > base_exact(j));
            }
            if (keep) {
                const std::uint32_t e = cands[i + j].node;
                kept.push_back({cands[i + j].f, e});
                col_vec.push_back(t.x);
                col_node.push_back(e);
                col_half.push_back(half_sq(index, e));
                col_settled.push_back(t.settled);
            }
        }
    }
}

}  // namespace
}  // namespace korvane
