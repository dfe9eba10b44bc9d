#include "index/hnsw.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "index/filter.h"
#include "quantize/quantizer.h"
#include "simd/float_dots.h"

namespace korvane {

void advise_large_pages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only whole large pages inside the block; the rest of their memory is not ours.
    constexpr std::uintptr_t kLarge = std::uintptr_t{2} << 20;
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t begin = (at + kLarge - 1) & ~(kLarge - 1);
    const std::uintptr_t end = (at + bytes) & ~(kLarge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

HnswIndex HnswIndex::empty(const EngineConfig& c, std::uint64_t bytes_per_vec, std::uint64_t padded_dim) {
    HnswIndex h;
    h.nodes = FlatStore(bytes_per_vec);
    h.m = c.hnsw_m;
    h.ef_construction = c.hnsw_ef_construction;
    h.ef_search = c.hnsw_ef_search == 0 ? 2 * c.hnsw_m : c.hnsw_ef_search;
    h.bytes_per_vec = bytes_per_vec;
    h.level_mult = 1.0 / std::max(std::log(static_cast<double>(h.m)), 1e-9);
    h.metric = c.metric;
    h.padded_dim = padded_dim;
    h.stride0 = 2 * h.m;
    h.stride_up = h.m;
    return h;
}

HnswIndex::List HnswIndex::list(std::uint32_t node, std::uint64_t layer) {
    if (layer == 0) return {links0.data() + node * stride0, scores0.data() + node * stride0, &count0[node], cap(0)};
    const std::uint64_t u = upper_at[node] + (layer - 1);
    return {links_up.data() + u * stride_up, scores_up.data() + u * stride_up, &count_up[u], cap(layer)};
}

void HnswIndex::append_node(VectorId id, const std::uint8_t* code, float norm, std::uint64_t level,
                            const std::uint8_t* kept) {
    nodes.reserve_more(1);
    reserve_more(levels, 1);
    reserve_more(count0, 1);
    reserve_more(upper_at, 1);
    reserve_more(links0, stride0);
    reserve_more(scores0, stride0);
    if (level > 0) {
        reserve_more(count_up, level);
        reserve_more(links_up, level * stride_up);
        reserve_more(scores_up, level * stride_up);
    }
    if (!deleted.empty()) reserve_more(deleted, 1);
    nodes.push(id, code, norm, kept);
    if (!deleted.empty()) deleted.push_back(0);
    levels.push_back(static_cast<std::uint8_t>(level));
    count0.push_back(0);
    links0.resize(links0.size() + stride0);
    scores0.resize(scores0.size() + stride0);
    upper_at.push_back(count_up.size());
    if (level > 0) {
        count_up.resize(count_up.size() + level, 0);
        links_up.resize(links_up.size() + level * stride_up);
        scores_up.resize(scores_up.size() + level * stride_up);
    }
}

void HnswIndex::truncate(std::size_t n) {
    if (n >= size()) return;
    const std::size_t lists_up = upper_at[n];
    nodes.truncate(n);
    levels.resize(n);
    count0.resize(n);
    upper_at.resize(n);
    links0.resize(n * stride0);
    if (!scores0.empty()) scores0.resize(n * stride0);
    count_up.resize(lists_up);
    links_up.resize(lists_up * stride_up);
    if (!scores_up.empty()) scores_up.resize(lists_up * stride_up);
    if (construction_vectors.size() > n * padded_dim) construction_vectors.resize(n * padded_dim);
    if (sqnorms.size() > n) sqnorms.resize(n);
    if (node_bounds.size() > n) node_bounds.resize(n);
    if (settled0.size() > n) settled0.resize(n);
    if (settled_up.size() > lists_up) settled_up.resize(lists_up);
    if (!deleted.empty()) {
        n_deleted -= static_cast<std::size_t>(std::count(deleted.begin() + static_cast<std::ptrdiff_t>(n), deleted.end(), 1));
        deleted.resize(n);
    }
}

namespace {

// Copies `lists` lists of `from` slots into lists of `to` slots.
template <class T>
std::vector<T> restride(const std::vector<T>& v, std::size_t lists, std::size_t from, std::size_t to) {
    std::vector<T> out(lists * to);
    for (std::size_t i = 0; i < lists; ++i) std::copy_n(v.begin() + i * from, from, out.begin() + i * to);
    return out;
}

}  // namespace

void HnswIndex::widen_lists() {
    if (stride0 < cap(0)) {
        links0 = restride(links0, size(), stride0, cap(0));
        if (!scores0.empty()) scores0 = restride(scores0, size(), stride0, cap(0));
        stride0 = cap(0);
    }
    if (stride_up < cap(1)) {
        links_up = restride(links_up, count_up.size(), stride_up, cap(1));
        if (!scores_up.empty()) scores_up = restride(scores_up, count_up.size(), stride_up, cap(1));
        stride_up = cap(1);
    }
}

std::uint64_t draw_level(std::uint64_t n, double level_mult) {
    const std::uint64_t x = n * 0x5851F42D4C957F2DULL + 0x6C576FAC43FD007CULL;  // wraps
    const double u = static_cast<double>(x >> 11) * 0x1.0p-53;
    const double g = -std::log(u) * level_mult;
    if (!(g > 0.0)) return 0;
    if (g >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(g);
}

namespace {

// The thread's object through a pointer the compiler cannot trace back to the thread-local
// variable: otherwise it may look the thread-local address up again after every call.
template <class T>
T& opaque(T& object) {
    T* p = &object;
    asm("" : "+r"(p));
    return *p;
}

// ---- the visited set: epoch stamps, one array per thread, reused across calls --------

template <class Stamp>
class VisitedSet {
public:
    static VisitedSet& local() {
        thread_local VisitedSet v;
        return opaque(v);
    }
    void start(std::size_t n) {
        if (stamps_.size() < n) stamps_.resize(n, 0);
        if (++epoch_ == 0) {  // wrapped: old stamps could collide
            std::fill(stamps_.begin(), stamps_.end(), 0);
            epoch_ = 1;
        }
    }
    Stamp* stamps() { return stamps_.data(); }
    Stamp epoch() const { return epoch_; }

private:
    std::vector<Stamp> stamps_;
    Stamp epoch_ = 0;
};
using Visited = VisitedSet<std::uint32_t>;

// ---- ordering helpers -----------------------------------------------------------------

// Candidates come out highest score first; among equal scores the larger node first.
inline bool pops_before(const ScoredNode& a, const ScoredNode& b) {
    if (a.score > b.score) return true;
    if (b.score > a.score) return false;
    return a.node > b.node;
}

class CandidateHeap {
public:
    void clear() { h_.clear(); }
    bool empty() const { return h_.empty(); }
    void push(ScoredNode e) {
        h_.push_back(e);
        std::size_t pos = h_.size() - 1;
        while (pos > 0) {
            const std::size_t parent = (pos - 1) / 2;
            if (!pops_before(e, h_[parent])) break;
            h_[pos] = h_[parent];
            pos = parent;
        }
        h_[pos] = e;
    }
    ScoredNode pop() {
        const ScoredNode top = h_[0];
        const ScoredNode last = h_.back();
        h_.pop_back();
        const std::size_t n = h_.size();
        if (n > 0) {
            std::size_t pos = 0;
            for (;;) {
                std::size_t child = 2 * pos + 1;
                if (child >= n) break;
                if (child + 1 < n && pops_before(h_[child + 1], h_[child])) ++child;
                if (!pops_before(h_[child], last)) break;
                h_[pos] = h_[child];
                pos = child;
            }
            h_[pos] = last;
        }
        return top;
    }

private:
    std::vector<ScoredNode> h_;
};

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

// ---- scorers ----------------------------------------------------------------------------

// A NaN construction score (a row holding NaN, or an overflow to inf − inf) becomes −inf
// where it is made, so it loses to every number in every comparison of insertion and a
// non-finite row never displaces a finite neighbour. A genuine −inf ties with it.
inline float nan_lowest(float s) { return std::isnan(s) ? -std::numeric_limits<float>::infinity() : s; }

// The query score: the kernel's raw score of the node's code, then the
// metric adjustment, four rows at a time.
template <Layout L, Metric M>
struct QueryScores {
    const HnswIndex& index;
    const QueryScorer& scorer;

    void operator()(const std::uint32_t* batch, std::size_t n, float* out) const {
        const std::uint8_t* rows[4];
        std::size_t j = 0;
        for (; j + 4 <= n; j += 4) {
            for (std::size_t r = 0; r < 4; ++r) rows[r] = index.nodes.row(batch[j + r]);
            scorer.template raw4<L>(rows, out + j);
        }
        for (; j < n; ++j) out[j] = scorer.template raw<L>(index.nodes.row(batch[j]));
        for (j = 0; j < n; ++j) out[j] = adjust<M>(out[j], index.nodes.norm(batch[j]));
    }
};

// ---- the beam search on one layer ------------------------------------------------------

struct LayerSearch {
    CandidateHeap heap;
    std::vector<std::uint64_t> queue;  // run_without_nans: a max-heap of key_of
    std::vector<ScoredNode> w;
    std::size_t w_nans = 0;  // NaN scores in w
    bool reference = false;  // run_exact alone: the tests' reference
    std::vector<std::uint32_t> batch;
    std::vector<float> batch_scores;

    // `gone` (null: none) marks nodes the search passes through but never keeps in w: they
    // take no place among the ef results. The search then goes on until w is full, which
    // without marks it always is once more than ef candidates were popped.
    template <class Scores>
    void run(const HnswIndex& index, const Scores& scores, std::uint32_t entry, std::uint64_t ef,
             std::uint64_t layer, const std::uint8_t* gone = nullptr) {
        if (reference || ef == 0 || !run_without_nans(index, scores, entry, ef, layer, gone)) {
            run_exact(index, scores, entry, ef, layer, gone);
        }
    }

    struct Begun {
        std::uint32_t* stamps;
        std::uint32_t epoch;
        float entry_score;
    };
    // A new visited epoch holding the entry, and w holding the entry alone.
    template <class Scores>
    Begun begin(const HnswIndex& index, const Scores& scores, std::uint32_t entry, std::uint64_t ef,
                const std::uint8_t* gone) {
        Visited& visited = Visited::local();
        visited.start(index.size());
        visited.stamps()[entry] = visited.epoch();
        float e;
        scores(&entry, 1, &e);
        w.clear();
        w.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(ef, index.size())) + 1);
        if (!gone || !gone[entry]) w.push_back({e, entry});
        return {visited.stamps(), visited.epoch(), e};
    }

    // The search as run_exact makes it while no score is NaN, which it returns false at
    // the first. Scores then fall in a total order (score, then node index; -0 equal to +0),
    // so any queue that pops in that order pops what the binary heap pops. A node found
    // while the beam is full scoring below the beam's lowest never joins the queue: it could
    // only be the best left once every node of the beam had been popped, so with more than
    // ef popped and the beam's lowest above it, where popping it (or anything below it) ends
    // the search.
    template <class Scores>
    bool run_without_nans(const HnswIndex& index, const Scores& scores, std::uint32_t entry, std::uint64_t ef,
                          std::uint64_t layer, const std::uint8_t* gone) {
        const auto [stamps, epoch, e] = begin(index, scores, entry, ef, gone);
        if (std::isnan(e)) return false;
        queue.clear();
        push_key(queue, key_of(e, entry));
        w_nans = 0;
        bool w_sorted = false;
        float lowest = w.empty() ? std::numeric_limits<float>::infinity() : e;
        std::uint64_t popped = 0;
        while (!queue.empty()) {
            const std::uint64_t top = pop_key(queue);
            const ScoredNode c{score_of(top), static_cast<std::uint32_t>(top)};
            const float worst = lowest;
            ++popped;
            if (worst > c.score && popped > ef && w.size() >= ef) break;
            if (layer > 0 && index.levels[c.node] < layer) continue;
            const std::span<const std::uint32_t> list = index.neighbours(c.node, layer);
            if (batch.size() < list.size()) {
                batch.resize(list.size());
                batch_scores.resize(list.size());
            }
            std::uint32_t* const fresh = batch.data();
            std::size_t n = 0;
            // Without a branch on whether a node was seen, which is as good as random.
            for (std::uint32_t nb : list) {
                const bool unseen = stamps[nb] != epoch;
                stamps[nb] = epoch;
                fresh[n] = nb;
                n += unseen;
            }
            if (n == 0) continue;
            for (std::size_t j = 0; j < n; ++j) __builtin_prefetch(index.nodes.row(fresh[j]));
            scores(fresh, n, batch_scores.data());
            for (std::size_t j = 0; j < n; ++j) {
                const ScoredNode cand{batch_scores[j], fresh[j]};
                if (std::isnan(cand.score)) return false;
                if (w.size() >= ef && cand.score < lowest) continue;
                push_key(queue, key_of(cand.score, cand.node));
                __builtin_prefetch(index.links0.data() + std::size_t{cand.node} * index.stride0);
                if (gone && gone[cand.node]) continue;
                if (w.size() < ef) {
                    if (cand.score < lowest) lowest = cand.score;
                    w.push_back(cand);
                    w_sorted = false;
                } else if (cand.score > worst) {
                    lowest = insert_sorted(cand, w_sorted, ef);
                    w_sorted = true;
                }
            }
        }
        if (w.size() >= 2 && !w_sorted) sort_scored(w);
        return true;
    }

    // Orders (score, node) as the candidate heap pops them: higher scores first, then the
    // larger node; -0 and +0 alike. NaN never reaches it.
    static std::uint64_t key_of(float score, std::uint32_t node) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(score + 0.0f);
        const std::uint32_t ordered = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
        return (std::uint64_t{ordered} << 32) | node;
    }
    static float score_of(std::uint64_t key) {
        const auto ordered = static_cast<std::uint32_t>(key >> 32);
        return std::bit_cast<float>((ordered & 0x80000000u) ? (ordered & 0x7FFFFFFFu) : ~ordered);
    }
    static void push_key(std::vector<std::uint64_t>& h, std::uint64_t key) {
        h.push_back(key);
        std::push_heap(h.begin(), h.end());
    }
    static std::uint64_t pop_key(std::vector<std::uint64_t>& h) {
        std::pop_heap(h.begin(), h.end());
        const std::uint64_t top = h.back();
        h.pop_back();
        return top;
    }

    template <class Scores>
    void run_exact(const HnswIndex& index, const Scores& scores, std::uint32_t entry, std::uint64_t ef,
                   std::uint64_t layer, const std::uint8_t* gone) {
        const auto [stamps, epoch, e] = begin(index, scores, entry, ef, gone);
        heap.clear();
        heap.push({e, entry});
        w_nans = !w.empty() && std::isnan(e);
        bool w_sorted = false;  // w is sorted by score, best first
        // The lowest score in w as a scan from its first entry finds it (an entry replaces
        // the current lowest only when strictly below), kept up to date as w changes.
        float lowest = e;
        std::uint64_t popped = 0;
        while (!heap.empty()) {
            const ScoredNode c = heap.pop();
            const float worst = w.empty() ? std::numeric_limits<float>::infinity() : lowest;  // fixed for this expansion
            ++popped;
            if (worst > c.score && popped > ef && w.size() >= ef) break;
            if (index.levels[c.node] < layer) continue;
            const std::span<const std::uint32_t> list = index.neighbours(c.node, layer);
            if (batch.size() < list.size()) {
                batch.resize(list.size());
                batch_scores.resize(list.size());
            }
            std::uint32_t* const fresh = batch.data();
            std::size_t n = 0;
            for (std::uint32_t nb : list) {
                if (stamps[nb] == epoch) continue;
                stamps[nb] = epoch;
                __builtin_prefetch(index.nodes.row(nb));
                fresh[n++] = nb;
            }
            if (n == 0) continue;
            scores(fresh, n, batch_scores.data());
            for (std::size_t j = 0; j < n; ++j) {
                const ScoredNode cand{batch_scores[j], fresh[j]};
                heap.push(cand);
                // Its list is read when it is expanded, likely soon.
                __builtin_prefetch(index.links0.data() + std::size_t{cand.node} * index.stride0);
                if (gone && gone[cand.node]) continue;
                if (w.size() < ef) {
                    if (w.empty() || cand.score < lowest) lowest = cand.score;
                    w.push_back(cand);
                    w_nans += std::isnan(cand.score);
                    w_sorted = false;
                } else if (cand.score > worst) {
                    lowest = insert_sorted(cand, w_sorted, ef);
                    w_sorted = true;
                }
            }
        }
        if (w.size() >= 2 && !w_sorted) sort_scored(w);
    }

    // Appends `cand`, sorts w stably by score and cuts it to ef entries; returns the lowest
    // score left in w.
    float insert_sorted(const ScoredNode& cand, bool sorted, std::uint64_t ef) {
        const bool plain = sorted && !std::isnan(cand.score) && w_nans == 0;
        if (plain) {
            // w is sorted without NaNs: the new entry goes after every entry not below it.
            auto at = std::upper_bound(w.begin(), w.end(), cand,
                                       [](const ScoredNode& a, const ScoredNode& b) { return a.score > b.score; });
            w.insert(at, cand);
        } else {
            w.push_back(cand);
            sort_scored(w);
        }
        // Without NaNs the entry cut is the lowest, a number; with them w is counted again.
        if (w.size() > ef) w.resize(static_cast<std::size_t>(ef));
        if (!plain) w_nans = static_cast<std::size_t>(std::count_if(w.begin(), w.end(), [](const ScoredNode& x) { return std::isnan(x.score); }));
        if (w.empty()) return 0.0f;
        if (plain) return w.back().score;  // equal lowest scores compare alike either way
        float lowest = w[0].score;
        for (const ScoredNode& x : w) {
            if (x.score < lowest) lowest = x.score;
        }
        return lowest;
    }
};

LayerSearch& layer_search() {
    thread_local LayerSearch s;
    return opaque(s);
}

// ---- construction scores: fast with a bound, in order on demand ------------------------

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
    std::vector<std::uint32_t> pending_, todo_;
};

// a's score above b's (a strict comparison, as on the in-order scores).
inline bool above(BuildScores& sc, const Bounded& a, const Bounded& b) {
    if (a.lo > b.hi) return true;
    if (a.hi <= b.lo) return false;
    return sc.exact(a.node) > sc.exact(b.node);
}

// The candidate order: the higher score first, among equal scores the larger node.
inline bool pops_first(BuildScores& sc, const Bounded& a, const Bounded& b) {
    if (a.lo > b.hi) return true;
    if (b.lo > a.hi) return false;
    const float x = sc.exact(a.node), y = sc.exact(b.node);
    if (x != y) return x > y;
    return a.node > b.node;
}

// The order of the candidate heap's array: fast values, ties to the larger node.
inline bool fast_first(const Bounded& a, const Bounded& b) { return a.f > b.f || (a.f == b.f && a.node > b.node); }

// A stable merge sort that reuses its scratch.
template <class T, class Before>
void stable_sort_into(std::vector<T>& v, std::vector<T>& scratch, Before before) {
    const std::size_t n = v.size();
    if (n < 2) return;
    scratch.resize(n);
    T* a = v.data();
    T* b = scratch.data();
    constexpr std::size_t kRun = 8;
    for (std::size_t s = 0; s < n; s += kRun) {  // insertion-sorted runs
        const std::size_t e = std::min(n, s + kRun);
        for (std::size_t i = s + 1; i < e; ++i) {
            T x = a[i];
            std::size_t j = i;
            for (; j > s && before(x, a[j - 1]); --j) a[j] = a[j - 1];
            a[j] = x;
        }
    }
    for (std::size_t width = kRun; width < n; width *= 2) {
        for (std::size_t s = 0; s < n; s += 2 * width) {
            const std::size_t mid = std::min(n, s + width), e = std::min(n, s + 2 * width);
            std::size_t i = s, j = mid, o = s;
            while (i < mid && j < e) b[o++] = before(a[j], a[i]) ? a[j++] : a[i++];
            while (i < mid) b[o++] = a[i++];
            while (j < e) b[o++] = a[j++];
        }
        std::swap(a, b);
    }
    if (a != v.data()) std::copy(a, a + n, v.data());
}

// In v (n values, highest first), the place after every value not below x: a binary
// search without branches on the values, whose order the CPU cannot guess.
inline std::size_t after_not_below(const float* v, std::size_t n, float x) {
    if (n == 0) return 0;
    const float* p = v;
    while (n > 1) {
        const std::size_t half = n / 2;
        p = p[half] >= x ? p + half : p;
        n -= half;
    }
    return static_cast<std::size_t>(p - v) + (p[0] >= x);
}

// The result list of a construction beam search, kept as the entries it admitted, in
// order. The list itself is the `size` best of them (higher score first, then the earlier
// admitted): admitting appends and the list drops its lowest, which keeps exactly those.
// So the search needs only the lowest score in the list, which lies between the size-th
// largest low end and that plus the widest bound, and at the end the members in order.
class Beam {
public:
    // The list's lowest score at one moment: its bound, and what computes it exactly.
    struct Lowest {
        double lo, hi;
        std::size_t admitted;  // entries admitted then
        std::size_t size;      // the list's size then; 0 means empty (the lowest is +inf)
    };

    void start(const Bounded& e) {
        all_.clear();
        lows_.clear();
        size_ = 0;
        full_ = false;
        fill_lowest_ = kInf;
        widest_ = 0.0;
        known_admitted_ = kNone;
        add(e, 1);
    }
    std::size_t size() const { return size_; }
    void add(const Bounded& b, std::uint64_t ef) {
        all_.push_back(b);
        widest_ = std::max(widest_, static_cast<double>(b.hi) - static_cast<double>(b.lo));
        if (size_ < ef) {
            // Filling: every entry is in the list. Once full, lows_ holds the size_
            // largest low ends, highest first.
            ++size_;
            lows_.push_back(b.lo);
            fill_lowest_ = std::min(fill_lowest_, b.lo);
            full_ = size_ == ef;
            if (full_) std::sort(lows_.begin(), lows_.end(), std::greater<float>());
            return;
        }
        size_ = static_cast<std::size_t>(ef);
        lows_.insert(lows_.begin() + static_cast<std::ptrdiff_t>(after_not_below(lows_.data(), lows_.size(), b.lo)),
                     b.lo);
        lows_.resize(size_);
    }
    Lowest lowest() const {
        if (size_ == 0) return {kInf, kInf, all_.size(), 0};
        // Each score is at most its low end plus the widest bound; widest_ is within 2^-52
        // of a difference of the entries' ends.
        const double lo = full_ ? lows_.back() : fill_lowest_;
        return {lo, lo + widest_ * (1.0 + 0x1.0p-40), all_.size(), size_};
    }

    // l's score strictly above c's.
    bool above(BuildScores& sc, const Lowest& l, const Bounded& c) {
        if (l.size == 0) return c.hi < kInf || sc.exact(c.node) < kInf;
        if (l.lo > c.hi) return true;
        if (l.hi <= c.lo) return false;
        return exact(sc, l) > sc.exact(c.node);
    }
    // c's score strictly above l's.
    bool below(BuildScores& sc, const Lowest& l, const Bounded& c) {
        if (l.size == 0) return false;
        if (c.lo > l.hi) return true;
        if (c.hi <= l.lo) return false;
        return sc.exact(c.node) > exact(sc, l);
    }

    // Drops entries that can never be in the list again (below the size-th largest low
    // end, which only rises while the list is full), once they are many.
    void tidy(std::uint64_t ef) {
        if (!full_ || size_ < ef || all_.size() < 2 * size_ + 32) return;
        const float floor = lows_.back();
        std::erase_if(all_, [&](const Bounded& b) { return b.hi < floor; });
        known_admitted_ = kNone;
    }

    // The list's members, best first (ties: the earlier admitted first).
    void finish(BuildScores& sc, std::vector<Bounded>& w) {
        w.clear();
        const Lowest l = lowest();
        if (l.size == all_.size()) {
            w = all_;
        } else if (l.size > 0) {
            const float v = exact(sc, l);
            std::size_t ties = l.size - above_count_;  // band members needed
            for (const Bounded& b : all_) {
                if (b.lo > l.hi || b.hi < l.lo) continue;
                if (sc.exact(b.node) > v) --ties;
            }
            // In admission order: the entries above the band, those of the band above v,
            // and the first of those equal to v.
            for (const Bounded& b : all_) {
                if (b.lo > l.hi) {
                    w.push_back(b);
                } else if (b.hi >= l.lo) {
                    const float s = sc.exact(b.node);
                    if (s > v || (s == v && ties > 0)) {
                        ties -= s == v;
                        w.push_back(b);
                    }
                }
            }
        }
        sort_best_first(sc, w);
    }

private:
    static constexpr float kInf = std::numeric_limits<float>::infinity();
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // Sorts w by score, best first, equal scores keeping their order. In fast order, a cut
    // where every bound before lies above every bound after separates entries that the
    // in-order scores order the same way; between cuts, the in-order scores are computed
    // side by side and decide.
    void sort_best_first(BuildScores& sc, std::vector<Bounded>& w) {
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

    // A key whose ascending order is f descending (-0 as +0), then i ascending.
    static std::uint64_t descending_key(float f, std::size_t i) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(f + 0.0f);
        const std::uint32_t ascending = bits & 0x80000000u ? ~bits : bits | 0x80000000u;
        return (std::uint64_t{~ascending} << 32) | i;
    }

    // The exact lowest score of the list at moment l: the size-th largest in-order score
    // among the entries admitted then. Entries wholly above the bound are counted, those
    // across it computed side by side.
    float exact(BuildScores& sc, const Lowest& l) {
        if (known_admitted_ == l.admitted && known_size_ == l.size) return known_;
        above_count_ = 0;
        band_.clear();
        for (std::size_t i = 0; i < l.admitted; ++i) {
            const Bounded& b = all_[i];
            if (b.lo > l.hi) ++above_count_;
            else if (b.hi >= l.lo) band_.push_back(b.node);
        }
        sc.resolve(band_.data(), band_.size());
        values_.clear();
        for (std::uint32_t node : band_) values_.push_back(sc.exact(node));
        const std::size_t rank = l.size - above_count_ - 1;  // among the band, best first
        std::nth_element(values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(rank), values_.end(),
                         std::greater<float>());
        known_ = values_[rank];
        known_admitted_ = l.admitted;
        known_size_ = l.size;
        return known_;
    }

    std::vector<Bounded> all_;
    std::vector<float> lows_;
    std::size_t size_ = 0;
    bool full_ = false;
    float fill_lowest_ = kInf;
    double widest_ = 0.0;
    std::vector<std::uint32_t> band_, nodes_;
    std::vector<float> values_, highest_after_;
    std::vector<Bounded> placed_;
    std::vector<std::uint64_t> keys_;
    std::vector<std::pair<std::size_t, std::size_t>> cuts_;
    std::size_t above_count_ = 0;
    std::size_t known_admitted_ = kNone, known_size_ = 0;
    float known_ = 0.0f;
};

// The beam search of one layer during insertion: the steps and decisions of LayerSearch
// on the in-order construction scores, taken on fast scores wherever their bounds decide.
class BuildSearch {
public:
    std::vector<Bounded> w;

    // Out of line, so that callers hold the address instead of looking it up again.
    [[gnu::noinline]] static BuildSearch& local() {
        thread_local BuildSearch s;
        return s;
    }

    void run(const HnswIndex& index, BuildScores& sc, std::uint32_t entry, std::uint64_t ef, std::uint64_t layer) {
        // Two-byte stamps: half the memory to miss in, a clearing every 65,535 searches.
        visited_.start(index.size());
        std::uint16_t* const stamps = visited_.stamps();
        const std::uint16_t epoch = visited_.epoch();
        stamps[entry] = epoch;
        Bounded e;
        sc.score(&entry, 1, &e);
        heap_.clear();
        bin_.clear();
        bin_hi_ = -kInf;
        widest_ = 0.0f;
        push(e);
        beam_.start(e);
        std::uint64_t popped = 0;
        while (!heap_.empty() || !bin_.empty()) {
            beam_.tidy(ef);
            const Beam::Lowest worst = beam_.lowest();  // fixed for this expansion
            if (!bin_.empty() && (heap_.empty() || !(heap_[0].lo > bin_hi_))) {
                // The next candidate might be a set-aside one, which is below the list's
                // lowest score. Past ef expansions, with every entry of the heap below it too
                // (none reaches beyond the top's fast value plus twice the widest bound), the
                // search stops at that candidate whichever it is; else they rejoin the heap.
                if (popped + 1 > ef &&
                    (heap_.empty() || static_cast<double>(heap_[0].f) + 2.0 * widest_ < worst.lo))
                    break;
                for (const Bounded& b : bin_) push(b);
                bin_.clear();
                bin_hi_ = -kInf;
            }
            const Bounded c = pop(sc);
            ++popped;
            if (popped > ef && beam_.above(sc, worst, c)) break;
            if (layer > 0 && index.levels[c.node] < layer) continue;
            const std::span<const std::uint32_t> list = index.neighbours(c.node, layer);
            if (fresh_.size() < list.size()) {
                fresh_.resize(list.size());
                scored_.resize(list.size());
            }
            std::size_t n_fresh = 0;
            for (std::uint32_t nb : list) {
                if (stamps[nb] == epoch) continue;
                stamps[nb] = epoch;
                __builtin_prefetch(index.construction_vectors.data() + std::size_t{nb} * index.padded_dim);
                fresh_[n_fresh++] = nb;
            }
            if (n_fresh == 0) continue;
            sc.score(fresh_.data(), n_fresh, scored_.data());
            // Once the list is full its lowest score only rises: a candidate below it now is
            // never admitted and comes out of the heap only if the heap holds nothing above
            // it, so it waits aside.
            const bool full = ef > 0 && worst.size == ef;
            for (std::size_t j = 0; j < n_fresh; ++j) {
                const Bounded& cand = scored_[j];
                if (full && static_cast<double>(cand.hi) < worst.lo) {
                    bin_.push_back(cand);
                    bin_hi_ = std::max(bin_hi_, cand.hi);
                    continue;
                }
                push(cand);
                // Its list is read when it is expanded, likely soon.
                __builtin_prefetch(index.links0.data() + std::size_t{cand.node} * index.stride0);
                if (beam_.size() < ef || beam_.below(sc, worst, cand)) beam_.add(cand, ef);
            }
        }
        beam_.finish(sc, w);
    }

private:
    void push(const Bounded& b) {
        widest_ = std::max(widest_, std::max(b.hi - b.f, b.f - b.lo));
        heap_.push_back(b);
        sift_up(heap_.size() - 1);
    }
    void sift_up(std::size_t pos) {
        const Bounded b = heap_[pos];
        while (pos > 0) {
            const std::size_t parent = (pos - 1) / 2;
            if (!fast_first(b, heap_[parent])) break;
            heap_[pos] = heap_[parent];
            pos = parent;
        }
        heap_[pos] = b;
    }
    void sift_down(std::size_t pos) {
        const std::size_t n = heap_.size();
        const Bounded b = heap_[pos];
        for (;;) {
            std::size_t child = 2 * pos + 1;
            if (child >= n) break;
            if (child + 1 < n && fast_first(heap_[child + 1], heap_[child])) ++child;
            if (!fast_first(heap_[child], b)) break;
            heap_[pos] = heap_[child];
            pos = child;
        }
        heap_[pos] = b;
    }

    // Takes out the candidate the in-order scores pop first. The heap is ordered by fast
    // values; only entries whose bound reaches the top's can come before it, and a subtree
    // whose root's fast value plus twice the widest bound is below the top's low end
    // holds none (widest_ is at least hi - f of every entry up to a rounding, and at
    // least 8u|f|). Those that can get their in-order scores side by side, kept in the
    // heap as points.
    Bounded pop(BuildScores& sc) {
        const Bounded top = heap_[0];
        const double reach = static_cast<double>(top.lo) - 2.0 * widest_;
        const std::size_t size = heap_.size();
        near_.clear();
        stack_.clear();
        for (std::size_t c = 1; c <= 2 && c < size; ++c) {
            if (static_cast<double>(heap_[c].f) >= reach) stack_.push_back(c);
        }
        while (!stack_.empty()) {
            const std::size_t p = stack_.back();
            stack_.pop_back();
            if (heap_[p].hi >= top.lo) near_.push_back(p);
            for (std::size_t c = 2 * p + 1; c <= 2 * p + 2 && c < size; ++c) {
                if (static_cast<double>(heap_[c].f) >= reach) stack_.push_back(c);
            }
        }
        std::size_t best = 0;
        if (!near_.empty()) {
            nodes_.clear();
            nodes_.push_back(top.node);
            for (std::size_t p : near_) nodes_.push_back(heap_[p].node);
            sc.resolve(nodes_.data(), nodes_.size());
            to_point(sc, heap_[0]);
            for (std::size_t p : near_) {
                to_point(sc, heap_[p]);
                if (pops_first(sc, heap_[p], heap_[best])) best = p;
            }
        }
        const Bounded out = heap_[best];
        const Bounded last = heap_.back();
        heap_.pop_back();
        if (best < heap_.size()) {
            heap_[best] = last;
            if (best > 0 && fast_first(last, heap_[(best - 1) / 2])) sift_up(best);
            else sift_down(best);
        }
        return out;
    }
    // The bound of an entry whose in-order score is known becomes that score; its fast
    // value stays, as the heap's order.
    static void to_point(BuildScores& sc, Bounded& b) { b.lo = b.hi = sc.exact(b.node); }

    static constexpr float kInf = std::numeric_limits<float>::infinity();

    VisitedSet<std::uint16_t> visited_;
    std::vector<Bounded> heap_;
    std::vector<Bounded> bin_;  // candidates set aside, below the full list's lowest score
    float bin_hi_ = -kInf;      // the highest bound among them
    Beam beam_;
    float widest_ = 0.0f;
    std::vector<std::uint32_t> fresh_;
    std::vector<Bounded> scored_;
    std::vector<std::size_t> near_, stack_;
    std::vector<std::uint32_t> nodes_;
};

float half_sq(const HnswIndex& index, std::uint32_t node) {
    return index.metric == Metric::L2 ? 0.5f * index.sqnorms[node] : 0.0f;
}

// ---- neighbour selection ----------------------------------------------------------------

// The settled count of a list, or null where the index keeps none for it.
std::uint32_t* settled_slot(HnswIndex& index, std::uint32_t node, std::uint64_t layer) {
    if (layer == 0) return node < index.settled0.size() ? &index.settled0[node] : nullptr;
    const std::uint64_t u = index.upper_at[node] + (layer - 1);
    return u < index.settled_up.size() ? &index.settled_up[u] : nullptr;
}

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

std::vector<ScoredNode> select_neighbours(const HnswIndex& index, std::uint32_t base,
                                          std::span<const ScoredNode> candidates, std::uint64_t max_keep) {
    std::vector<Bounded> cands;
    cands.reserve(candidates.size());
    for (const ScoredNode& c : candidates) cands.push_back(point(c.score, c.node));
    std::vector<ScoredNode> kept;
    select_into(index, base, cands.data(), nullptr, cands.size(), max_keep, BaseScores::kScored,
                [](const Bounded& b) { return b.f; }, kept);
    return kept;
}

void add_back_link(HnswIndex& index, std::uint32_t owner, std::uint64_t layer, std::uint32_t n, float score) {
    HnswIndex::List l = index.list(owner, layer);
    const std::uint32_t count = *l.count;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (l.nodes[i] == n) return;
    }
    if (count < l.cap) {
        l.nodes[count] = n;
        l.scores[count] = score;
        ++*l.count;
        return;
    }
    struct Entry {
        float score;
        std::uint32_t node;
        bool settled;
    };
    thread_local std::vector<Entry> all, scratch;
    thread_local std::vector<Bounded> cands;
    thread_local std::vector<std::uint8_t> settled;
    thread_local std::vector<ScoredNode> kept;
    std::uint32_t* const settled_count = settled_slot(index, owner, layer);
    const std::uint32_t stable = settled_count ? std::min(*settled_count, count) : 0;
    all.clear();
    for (std::uint32_t i = 0; i < count; ++i) all.push_back({l.scores[i], l.nodes[i], i < stable});
    all.push_back({score, n, false});
    if (std::any_of(all.begin(), all.end(), [](const Entry& e) { return std::isnan(e.score); })) {
        // Stored scores are never NaN; were one, the sort of the scored lists decides.
        std::vector<ScoredNode> plain;
        for (const Entry& e : all) plain.push_back({e.score, e.node});
        sort_scored(plain);
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = {plain[i].score, plain[i].node, false};
    } else {
        stable_sort_into(all, scratch, [](const Entry& a, const Entry& b) { return a.score > b.score; });
    }
    cands.clear();
    settled.clear();
    for (const Entry& e : all) {
        cands.push_back(point(e.score, e.node));
        settled.push_back(e.settled);
    }
    // A stored score is construction_score of one end against the other; under cosine and
    // dot that is the owner's score against the neighbour either way.
    const BaseScores base_scores = index.metric == Metric::L2 ? BaseScores::kScored : BaseScores::kCandidate;
    select_into(index, owner, cands.data(), settled.data(), cands.size(), l.cap,
                base_scores, [](const Bounded& b) { return b.f; }, kept);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        l.nodes[i] = kept[i].node;
        l.scores[i] = kept[i].score;
    }
    *l.count = static_cast<std::uint32_t>(kept.size());
    if (settled_count) *settled_count = static_cast<std::uint32_t>(kept.size());
}

void prepare_for_insert(HnswIndex& index, const Quantizer& quantizer) {
    index.widen_lists();
    const std::size_t n = index.size();
    const std::size_t dim = index.padded_dim;
    // Vectors decoded from codes score differently: no list is settled for them.
    if (index.construction_vectors.size() < n * dim || !index.link_scores_valid) {
        index.settled0.assign(n, 0);
        index.settled_up.assign(index.count_up.size(), 0);
    }
    if (index.construction_vectors.size() < n * dim) {
        // Released by build() or never loaded: the codes stand in for the vectors.
        index.construction_vectors.resize(n * dim);
        for (std::size_t i = 0; i < n; ++i) quantizer.decode(index.nodes.row(i), index.construction_vectors.data() + i * dim);
    }
    if (index.sqnorms.size() < n) {
        index.sqnorms.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const float* x = index.construction_vectors.data() + i * dim;
            index.sqnorms[i] = simd::dot_sequential(x, x, dim);
        }
    }
    if (index.node_bounds.size() < n) {
        index.node_bounds.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            index.node_bounds[i] = {half_sq(index, static_cast<std::uint32_t>(i)),
                                    simd::dot_norms(index.construction_vectors.data() + i * dim, dim)};
    }
    if (!index.link_scores_valid) {
        index.scores0.assign(index.links0.size(), 0.0f);
        index.scores_up.assign(index.links_up.size(), 0.0f);
        for (std::uint32_t owner = 0; owner < n; ++owner) {
            const float* x = index.construction_vectors.data() + std::size_t{owner} * dim;
            for (std::uint64_t layer = 0; layer <= index.levels[owner]; ++layer) {
                HnswIndex::List l = index.list(owner, layer);
                for (std::uint32_t i = 0; i < *l.count; ++i) {
                    const std::uint32_t nb = l.nodes[i];
                    const float* y = index.construction_vectors.data() + std::size_t{nb} * dim;
                    l.scores[i] = nan_lowest(simd::dot_sequential(x, y, dim) - half_sq(index, nb));
                }
            }
        }
        index.link_scores_valid = true;
    }
}

void plan_links(const HnswIndex& index, std::uint32_t n, LinkPlan& plan) {
    const std::uint64_t level = index.levels[n];
    plan.chosen.resize(static_cast<std::size_t>(level) + 1);
    for (auto& c : plan.chosen) c.clear();
    if (!index.entry_point) return;
    BuildScores& scores = BuildScores::local();
    scores.start(index, n);
    BuildSearch& search = BuildSearch::local();
    thread_local std::vector<std::uint32_t> kept_nodes;
    thread_local std::vector<Bounded> live_found;
    std::uint32_t ep = *index.entry_point;
    const std::uint64_t top = index.max_level;
    for (std::uint64_t lc = top; lc > level; --lc) {
        search.run(index, scores, ep, 1, lc);
        if (!search.w.empty()) ep = search.w[0].node;
    }
    // A layer's links and back-links change only that layer's lists, which the searches
    // below it never read: planning every layer first chooses what inserting layer by
    // layer chooses.
    const BaseScores base_scores = index.metric == Metric::L2 ? BaseScores::kScored : BaseScores::kCandidate;
    for (std::uint64_t lc = std::min(top, level) + 1; lc-- > 0;) {
        search.run(index, scores, ep, index.ef_construction, lc);
        std::vector<ScoredNode>& chosen = plan.chosen[lc];
        // Deleted nodes guide the search but are not linked to: a purge would drop them.
        const std::vector<Bounded>* found = &search.w;
        if (index.n_deleted > 0) {
            live_found.clear();
            for (const Bounded& b : search.w) {
                if (!index.is_deleted(b.node)) live_found.push_back(b);
            }
            found = &live_found;
        }
        select_into(index, n, found->data(), nullptr, found->size(), index.cap(lc), base_scores,
                    [&](const Bounded& b) { return scores.exact(b.node); }, chosen);
        // The scores kept with the links are the in-order ones, computed side by side.
        kept_nodes.clear();
        for (const ScoredNode& c : chosen) kept_nodes.push_back(c.node);
        scores.resolve(kept_nodes.data(), kept_nodes.size());
        for (ScoredNode& c : chosen) c.score = scores.exact(c.node);
        if (!search.w.empty()) ep = search.w[0].node;
    }
}

void set_own_links(HnswIndex& index, std::uint32_t n, const LinkPlan& plan) {
    for (std::size_t lc = 0; lc < plan.chosen.size(); ++lc) {
        const std::vector<ScoredNode>& chosen = plan.chosen[lc];
        HnswIndex::List own = index.list(n, lc);
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            own.nodes[i] = chosen[i].node;
            own.scores[i] = chosen[i].score;
        }
        *own.count = static_cast<std::uint32_t>(chosen.size());
        if (std::uint32_t* settled = settled_slot(index, n, lc)) *settled = static_cast<std::uint32_t>(chosen.size());
    }
}

void raise_entry_point(HnswIndex& index, std::uint32_t n) {
    const std::uint64_t level = index.levels[n];
    if (!index.entry_point || level > index.max_level) {
        index.entry_point = n;
        index.max_level = level;
    }
}

void append_for_insert(HnswIndex& index, const std::uint8_t* code, float norm, VectorId id, const float* vector,
                       const std::uint8_t* kept) {
    const std::size_t dim = index.padded_dim;
    const auto n = static_cast<std::uint32_t>(index.size());
    reserve_more(index.construction_vectors, dim);
    reserve_more(index.sqnorms, 1);
    reserve_more(index.node_bounds, 1);
    index.append_node(id, code, norm, draw_level(n, index.level_mult), kept);
    index.construction_vectors.insert(index.construction_vectors.end(), vector, vector + dim);
    index.sqnorms.push_back(simd::dot_sequential(vector, vector, dim));
    if (index.node_bounds.size() == n) index.node_bounds.push_back({half_sq(index, n), simd::dot_norms(vector, dim)});
    index.settled0.resize(index.size(), 0);
    index.settled_up.resize(index.count_up.size(), 0);
}

void hnsw_insert(HnswIndex& index, const std::uint8_t* code, float norm, VectorId id, const float* vector,
                 const std::uint8_t* kept) {
    thread_local LinkPlan plan;
    const auto n = static_cast<std::uint32_t>(index.size());
    append_for_insert(index, code, norm, id, vector, kept);
    plan_links(index, n, plan);
    set_own_links(index, n, plan);
    for (std::size_t lc = plan.chosen.size(); lc-- > 0;) {
        for (const ScoredNode& t : plan.chosen[lc]) add_back_link(index, t.node, lc, n, t.score);
    }
    raise_entry_point(index, n);
}

namespace {

// Nodes a threaded insertion adds at once: each batch is planned on the graph as it stood
// before it, so the batch is kept small beside the graph (and a graph of one node grows
// one node at a time) for its nodes to miss little by not seeing each other.
std::size_t batch_size(std::size_t graph_size) {
    return std::clamp<std::size_t>(graph_size / 16, 1, 256);
}

struct BackLink {
    std::uint32_t owner;
    std::uint32_t layer;
    std::uint32_t node;
    float score;
};

// Inserts rows [first, first + b) together: each plans its links on the graph before the
// batch, in parallel; then, in node order, each sets its own links, and the back-links
// go to their owners in node order, owners in parallel (a list is changed by its owner's
// back-links only). The graph depends on the batch alone, not on the threads or timing.
void insert_batch(HnswIndex& index, const InsertRows& rows, std::size_t first, std::size_t b, unsigned threads) {
    // Named through references: a lambda run on another thread would see that thread's own.
    thread_local std::vector<LinkPlan> plans_of_thread;
    thread_local std::vector<BackLink> links_of_thread;
    thread_local std::vector<std::size_t> owner_starts_of_thread;
    std::vector<LinkPlan>& plans = plans_of_thread;
    std::vector<BackLink>& links = links_of_thread;
    std::vector<std::size_t>& owner_starts = owner_starts_of_thread;
    const std::size_t n0 = index.size();
    if (plans.size() < b) plans.resize(b);
    try {
        for (std::size_t j = 0; j < b; ++j) {
            const std::size_t i = first + j;
            append_for_insert(index, rows.codes + i * index.bytes_per_vec, rows.norms[i], rows.ids[i],
                              rows.vectors + i * index.padded_dim,
                              rows.kept ? rows.kept + i * rows.kept_bytes : nullptr);
        }
        parallel_for(b, threads, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j) plan_links(index, static_cast<std::uint32_t>(n0 + j), plans[j]);
        });
        links.clear();
        for (std::size_t j = 0; j < b; ++j) {
            const auto n = static_cast<std::uint32_t>(n0 + j);
            for (std::size_t lc = plans[j].chosen.size(); lc-- > 0;) {
                for (const ScoredNode& t : plans[j].chosen[lc]) {
                    links.push_back({t.node, static_cast<std::uint32_t>(lc), n, t.score});
                }
            }
        }
        std::stable_sort(links.begin(), links.end(), [](const BackLink& a, const BackLink& c) { return a.owner < c.owner; });
        owner_starts.clear();
        for (std::size_t i = 0; i < links.size(); ++i) {
            if (i == 0 || links[i].owner != links[i - 1].owner) owner_starts.push_back(i);
        }
        owner_starts.push_back(links.size());
    } catch (...) {
        // Nothing links to the batch yet: the index is as it was before it.
        index.truncate(n0);
        throw;
    }
    // Past this point only back-link pruning allocates (its scratch, before it changes a
    // list), as in a one-node insertion.
    for (std::size_t j = 0; j < b; ++j) {
        set_own_links(index, static_cast<std::uint32_t>(n0 + j), plans[j]);
        raise_entry_point(index, static_cast<std::uint32_t>(n0 + j));
    }
    parallel_for(owner_starts.size() - 1, threads, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t o = begin; o < end; ++o) {
            for (std::size_t i = owner_starts[o]; i < owner_starts[o + 1]; ++i) {
                const BackLink& l = links[i];
                add_back_link(index, l.owner, l.layer, l.node, l.score);
            }
        }
    });
}

}  // namespace

std::size_t hnsw_insert_rows(HnswIndex& index, const InsertRows& rows, Work& work) {
    const std::size_t row_bytes = index.bytes_per_vec;
    const unsigned threads = work.threads();
    std::size_t i = 0;
    while (i < rows.count) {
        if (work.stop_requested()) return i;
        const std::size_t b = threads > 1 ? std::min(batch_size(index.size()), rows.count - i) : 1;
        if (b == 1) {
            hnsw_insert(index, rows.codes + i * row_bytes, rows.norms[i], rows.ids[i],
                        rows.vectors + i * index.padded_dim, rows.kept ? rows.kept + i * rows.kept_bytes : nullptr);
        } else {
            insert_batch(index, rows, i, b, threads);
        }
        i += b;
        work.advance(b);
    }
    return rows.count;
}

void release_construction_vectors(HnswIndex& index) {
    decltype(index.construction_vectors)().swap(index.construction_vectors);
    std::vector<float>().swap(index.sqnorms);
    std::vector<HnswIndex::NodeBound>().swap(index.node_bounds);
    std::vector<std::uint32_t>().swap(index.settled0);
    std::vector<std::uint32_t>().swap(index.settled_up);
    // The link scores are construction data too: a later add recomputes them from the
    // decoded codes, like the vectors.
    std::vector<float>().swap(index.scores0);
    std::vector<float>().swap(index.scores_up);
    index.link_scores_valid = false;
    // What stays is searched, not grown: give back the room kept for growth.
    index.nodes.shrink_to_fit();
    index.levels.shrink_to_fit();
    index.links0.shrink_to_fit();
    index.count0.shrink_to_fit();
    index.upper_at.shrink_to_fit();
    index.links_up.shrink_to_fit();
    index.count_up.shrink_to_fit();
}

std::vector<SearchHit> hnsw_search(const HnswIndex& index, const QueryScorer& scorer, std::uint64_t k,
                                   std::optional<std::span<const VectorId>> allowlist, bool reference) {
    if (!index.entry_point) return {};
    std::vector<SearchHit> hits;
    scorer.dispatch([&]<Layout L, Metric M>() {
        const QueryScores<L, M> scores{index, scorer};
        LayerSearch& search = layer_search();
        search.reference = reference;
        std::uint32_t ep = *index.entry_point;
        for (std::uint64_t l = index.max_level; l >= 1; --l) {
            search.run(index, scores, ep, 1, l);
            if (!search.w.empty()) ep = search.w[0].node;
        }
        // Deleted nodes may lead the descent, but only live ones are answers.
        search.run(index, scores, ep, std::max<std::uint64_t>(index.ef_search, k), 0,
                   index.deleted.empty() ? nullptr : index.deleted.data());
        search.reference = false;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(k, search.w.size()));
        hits.reserve(take);
        for (std::size_t i = 0; i < take; ++i) {
            const ScoredNode& w = search.w[i];
            hits.push_back({index.nodes.id(w.node), w.score, w.node});
        }
    });
    if (allowlist) {
        const AllowFilter filter = AllowFilter::from_ids(*allowlist);
        std::erase_if(hits, [&](const SearchHit& h) { return !filter.allows(h.id); });
    }
    return hits;
}

// ---- deleted nodes -------------------------------------------------------------------------

bool hnsw_mark_deleted(HnswIndex& index, std::uint32_t node) {
    if (node >= index.size() || index.is_deleted(node)) return false;
    if (index.deleted.empty()) index.deleted.assign(index.size(), 0);
    index.deleted[node] = 1;
    ++index.n_deleted;
    return true;
}

bool hnsw_wants_purge(const HnswIndex& index) {
    return index.n_deleted > 0 && static_cast<double>(index.n_deleted) > kPurgeShare * static_cast<double>(index.size());
}

namespace {

// The new list of `node` on `layer`, chosen among its live neighbours and the live nodes
// reached through deleted ones, reading the graph as it stands.
void relink(const HnswIndex& index, std::uint32_t node, std::uint64_t layer, std::vector<ScoredNode>& kept) {
    thread_local VisitedSet<std::uint32_t> seen_of_thread;
    thread_local std::vector<Bounded> cands_of_thread;
    thread_local std::vector<std::pair<std::uint32_t, unsigned>> through_of_thread;  // deleted node, hops
    VisitedSet<std::uint32_t>& seen = seen_of_thread;
    std::vector<Bounded>& cands = cands_of_thread;
    auto& through = through_of_thread;
    seen.start(index.size());
    std::uint32_t* const stamps = seen.stamps();
    const std::uint32_t epoch = seen.epoch();
    stamps[node] = epoch;
    const std::size_t dim = index.padded_dim;
    const float* x = index.construction_vectors.data() + std::size_t{node} * dim;
    cands.clear();
    through.clear();
    const std::size_t most = static_cast<std::size_t>(std::max(kRepairCandidates * index.ef_construction, index.cap(layer)));
    const auto visit = [&](std::uint32_t from, unsigned hops) {
        for (std::uint32_t nb : index.neighbours(from, layer)) {
            if (cands.size() >= most) return;
            if (stamps[nb] == epoch) continue;
            stamps[nb] = epoch;
            if (index.is_deleted(nb)) {
                if (hops < kRepairHops) through.push_back({nb, hops + 1});
                continue;
            }
            const float* y = index.construction_vectors.data() + std::size_t{nb} * dim;
            cands.push_back(point(nan_lowest(simd::dot_sequential(x, y, dim) - half_sq(index, nb)), nb));
        }
    };
    visit(node, 0);
    for (std::size_t i = 0; i < through.size() && cands.size() < most; ++i) visit(through[i].first, through[i].second);
    // Best first; equal scores in the order they were found, so the list is the same on
    // every thread.
    std::stable_sort(cands.begin(), cands.end(), [](const Bounded& a, const Bounded& b) { return a.f > b.f; });
    const BaseScores base_scores = index.metric == Metric::L2 ? BaseScores::kScored : BaseScores::kCandidate;
    select_into(index, node, cands.data(), nullptr, cands.size(), index.cap(layer), base_scores,
                [](const Bounded& b) { return b.f; }, kept);
}

// Moves row i of `width` values to row map[i] for the rows kept, in order.
template <class V>
void compact_rows(V& v, std::size_t width, const std::vector<std::uint32_t>& map) {
    if (v.empty() || width == 0) return;
    std::size_t out = 0;
    for (std::size_t i = 0; i < map.size(); ++i) {
        if (map[i] == kNoNode) continue;
        if (out != i) std::copy_n(v.begin() + static_cast<std::ptrdiff_t>(i * width), width, v.begin() + static_cast<std::ptrdiff_t>(out * width));
        ++out;
    }
    v.resize(out * width);
}

}  // namespace

std::vector<std::uint32_t> hnsw_purge_deleted(HnswIndex& index, const Quantizer& quantizer, Work& work) {
    const std::size_t n = index.size();
    std::vector<std::uint32_t> map(n);
    if (index.n_deleted == 0) {
        for (std::size_t i = 0; i < n; ++i) map[i] = static_cast<std::uint32_t>(i);
        std::vector<std::uint8_t>().swap(index.deleted);
        return map;
    }
    const bool released = index.construction_vectors.size() < n * index.padded_dim;
    prepare_for_insert(index, quantizer);

    // The lists to choose again, each from the graph before any of them changes.
    struct Job {
        std::uint32_t node;
        std::uint32_t layer;
    };
    std::vector<Job> jobs;
    for (std::uint32_t v = 0; v < n; ++v) {
        if (index.is_deleted(v)) continue;
        for (std::uint64_t layer = 0; layer <= index.levels[v]; ++layer) {
            const auto list = index.neighbours(v, layer);
            if (std::any_of(list.begin(), list.end(), [&](std::uint32_t nb) { return index.is_deleted(nb); }))
                jobs.push_back({v, static_cast<std::uint32_t>(layer)});
        }
    }
    // The new lists by chunk of jobs, each chunk's lists one after another: a selection
    // keeps far fewer links than a cap's worth.
    constexpr std::size_t kChunk = 64;
    std::vector<std::vector<ScoredNode>> chosen((jobs.size() + kChunk - 1) / kChunk);
    std::vector<std::uint32_t> chosen_count(jobs.size());
    parallel_for(jobs.size(), work.threads(), kChunk, [&](std::size_t begin, std::size_t end) {
        thread_local std::vector<ScoredNode> kept_of_thread;
        std::vector<ScoredNode>& kept = kept_of_thread;
        std::vector<ScoredNode>& out = chosen[begin / kChunk];
        for (std::size_t j = begin; j < end; ++j) {
            relink(index, jobs[j].node, jobs[j].layer, kept);
            out.insert(out.end(), kept.begin(), kept.end());
            chosen_count[j] = static_cast<std::uint32_t>(kept.size());
        }
    });
    std::vector<std::size_t> chosen_at(jobs.size());  // where job j's list starts in its chunk
    for (std::size_t j = 0; j < jobs.size(); ++j) chosen_at[j] = j % kChunk == 0 ? 0 : chosen_at[j - 1] + chosen_count[j - 1];
    const auto chosen_of = [&](std::size_t j) { return chosen[j / kChunk].data() + chosen_at[j]; };
    // A link the new list gained is offered back to its target, as an insertion offers
    // its links: without that, nodes that deleted ones pointed to would stay hard to reach.
    std::vector<BackLink> back;
    const std::size_t dim = index.padded_dim;
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        const std::uint32_t v = jobs[j].node;
        HnswIndex::List l = index.list(v, jobs[j].layer);
        const std::uint32_t had = *l.count;
        for (std::uint32_t i = 0; i < chosen_count[j]; ++i) {
            const std::uint32_t c = chosen_of(j)[i].node;
            if (std::find(l.nodes, l.nodes + had, c) != l.nodes + had) continue;
            const float* xc = index.construction_vectors.data() + std::size_t{c} * dim;
            const float* xv = index.construction_vectors.data() + std::size_t{v} * dim;
            back.push_back({c, jobs[j].layer, v, nan_lowest(simd::dot_sequential(xc, xv, dim) - half_sq(index, v))});
        }
    }
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        HnswIndex::List l = index.list(jobs[j].node, jobs[j].layer);
        for (std::uint32_t i = 0; i < chosen_count[j]; ++i) {
            l.nodes[i] = chosen_of(j)[i].node;
            l.scores[i] = chosen_of(j)[i].score;
        }
        *l.count = chosen_count[j];
        if (std::uint32_t* settled = settled_slot(index, jobs[j].node, jobs[j].layer)) *settled = chosen_count[j];
    }
    // By owner, in the order made; owners in parallel (each changes its own list only).
    std::stable_sort(back.begin(), back.end(), [](const BackLink& a, const BackLink& b) { return a.owner < b.owner; });
    std::vector<std::size_t> owner_starts;
    for (std::size_t i = 0; i < back.size(); ++i) {
        if (i == 0 || back[i].owner != back[i - 1].owner) owner_starts.push_back(i);
    }
    owner_starts.push_back(back.size());
    parallel_for(owner_starts.size() - 1, work.threads(), 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t o = begin; o < end; ++o) {
            for (std::size_t i = owner_starts[o]; i < owner_starts[o + 1]; ++i)
                add_back_link(index, back[i].owner, back[i].layer, back[i].node, back[i].score);
        }
    });

    // The entry point: the highest live node, the first among equals.
    if (index.entry_point && index.is_deleted(*index.entry_point)) {
        std::optional<std::uint32_t> best;
        for (std::uint32_t v = 0; v < n; ++v) {
            if (!index.is_deleted(v) && (!best || index.levels[v] > index.levels[*best])) best = v;
        }
        index.entry_point = best;
        index.max_level = best ? index.levels[*best] : 0;
    }

    // Compaction: live nodes keep their order.
    std::uint32_t next = 0;
    std::size_t first_gone = n;
    for (std::size_t i = 0; i < n; ++i) {
        if (index.deleted[i]) {
            map[i] = kNoNode;
            first_gone = std::min(first_gone, i);
        } else {
            map[i] = next++;
        }
    }
    std::vector<std::uint64_t> upper_at(next);
    // Nothing below allocates but this, which changes nothing when it fails.
    index.nodes.erase_rows(first_gone, [&](std::size_t i) { return index.deleted[i] != 0; });
    // Upper lists: each live node's run of lists, in node order.
    std::size_t out_list = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (map[i] == kNoNode) continue;
        const std::uint64_t from = index.upper_at[i], count = index.levels[i];
        upper_at[map[i]] = out_list;
        for (std::uint64_t u = from; u < from + count; ++u, ++out_list) {
            if (u == out_list) continue;
            index.count_up[out_list] = index.count_up[u];
            std::copy_n(index.links_up.begin() + static_cast<std::ptrdiff_t>(u * index.stride_up), index.stride_up,
                        index.links_up.begin() + static_cast<std::ptrdiff_t>(out_list * index.stride_up));
            if (!index.scores_up.empty())
                std::copy_n(index.scores_up.begin() + static_cast<std::ptrdiff_t>(u * index.stride_up), index.stride_up,
                            index.scores_up.begin() + static_cast<std::ptrdiff_t>(out_list * index.stride_up));
            if (index.settled_up.size() > u) index.settled_up[out_list] = index.settled_up[u];
        }
    }
    index.count_up.resize(out_list);
    index.links_up.resize(out_list * index.stride_up);
    if (!index.scores_up.empty()) index.scores_up.resize(out_list * index.stride_up);
    if (index.settled_up.size() > out_list) index.settled_up.resize(out_list);
    index.upper_at = std::move(upper_at);
    compact_rows(index.levels, 1, map);
    compact_rows(index.count0, 1, map);
    compact_rows(index.links0, index.stride0, map);
    compact_rows(index.scores0, index.stride0, map);
    compact_rows(index.construction_vectors, index.padded_dim, map);
    compact_rows(index.sqnorms, 1, map);
    compact_rows(index.node_bounds, 1, map);
    compact_rows(index.settled0, 1, map);
    // Every list now names live nodes only.
    for (std::uint32_t v = 0; v < next; ++v) {
        std::uint32_t* l = index.links0.data() + std::size_t{v} * index.stride0;
        for (std::uint32_t i = 0; i < index.count0[v]; ++i) l[i] = map[l[i]];
    }
    for (std::size_t u = 0; u < index.count_up.size(); ++u) {
        std::uint32_t* l = index.links_up.data() + u * index.stride_up;
        for (std::uint32_t i = 0; i < index.count_up[u]; ++i) l[i] = map[l[i]];
    }
    if (index.entry_point) index.entry_point = map[*index.entry_point];
    std::vector<std::uint8_t>().swap(index.deleted);
    index.n_deleted = 0;
    if (released) release_construction_vectors(index);
    return map;
}

}  // namespace korvane
