#include "index/hnsw.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "index/filter.h"
#include "quantize/quantizer.h"
#include "simd/float_dots.h"

namespace korvane {

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
    nodes.push(id, code, norm, kept);
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

// ---- the visited set: epoch stamps, one array per thread, reused across calls --------

class Visited {
public:
    static Visited& local();
    void start(std::size_t n) {
        if (stamps_.size() < n) stamps_.resize(n, 0);
        if (++epoch_ == 0) {  // wrapped: old stamps could collide
            std::fill(stamps_.begin(), stamps_.end(), 0);
            epoch_ = 1;
        }
    }
    std::uint32_t* stamps() { return stamps_.data(); }
    std::uint32_t epoch() const { return epoch_; }

private:
    std::vector<std::uint32_t> stamps_;
    std::uint32_t epoch_ = 0;
};

template <class T>
T& opaque(T& object);

Visited& Visited::local() {
    thread_local Visited v;
    return opaque(v);
}

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

// construction_score(q, node) for a batch of nodes: q·x summed in index order, minus half
// the node's squared norm under L2.
struct ConstructionScores {
    const HnswIndex& index;
    const float* q;

    const float* vec(std::uint32_t node) const { return index.construction_vectors.data() + node * index.padded_dim; }
    void operator()(const std::uint32_t* batch, std::size_t n, float* out) const {
        static const simd::ManyDotsFn dots = simd::best_many_dots();
        const float* ptrs[64];
        for (std::size_t start = 0; start < n; start += 64) {
            const std::size_t m = std::min<std::size_t>(64, n - start);
            for (std::size_t j = 0; j < m; ++j) ptrs[j] = vec(batch[start + j]);
            dots(q, ptrs, m, index.padded_dim, out + start);
        }
        if (index.metric == Metric::L2) {
            for (std::size_t j = 0; j < n; ++j) out[j] = nan_lowest(out[j] - 0.5f * index.sqnorms[batch[j]]);
        } else {
            for (std::size_t j = 0; j < n; ++j) out[j] = nan_lowest(out[j]);
        }
    }
};

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

    template <class Scores>
    void run(const HnswIndex& index, const Scores& scores, std::uint32_t entry, std::uint64_t ef,
             std::uint64_t layer) {
        if (reference || ef == 0 || !run_without_nans(index, scores, entry, ef, layer)) {
            run_exact(index, scores, entry, ef, layer);
        }
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
                          std::uint64_t layer) {
        Visited& visited = Visited::local();
        visited.start(index.size());
        std::uint32_t* const stamps = visited.stamps();
        const std::uint32_t epoch = visited.epoch();
        stamps[entry] = epoch;
        float e;
        scores(&entry, 1, &e);
        if (std::isnan(e)) return false;
        queue.clear();
        push_key(queue, key_of(e, entry));
        w.clear();
        w.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(ef, index.size())) + 1);
        w.push_back({e, entry});
        w_nans = 0;
        bool w_sorted = false;
        float lowest = e;
        std::uint64_t popped = 0;
        while (!queue.empty()) {
            const std::uint64_t top = pop_key(queue);
            const ScoredNode c{score_of(top), static_cast<std::uint32_t>(top)};
            const float worst = lowest;
            ++popped;
            if (worst > c.score && popped > ef) break;
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
                   std::uint64_t layer) {
        Visited& visited = Visited::local();
        visited.start(index.size());
        std::uint32_t* const stamps = visited.stamps();
        const std::uint32_t epoch = visited.epoch();
        stamps[entry] = epoch;
        float e;
        scores(&entry, 1, &e);
        heap.clear();
        heap.push({e, entry});
        w.clear();
        w.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(ef, index.size())) + 1);
        w.push_back({e, entry});
        w_nans = std::isnan(e);
        bool w_sorted = false;  // w is sorted by score, best first
        // The lowest score in w as a scan from its first entry finds it (an entry replaces
        // the current lowest only when strictly below), kept up to date as w changes.
        float lowest = e;
        std::uint64_t popped = 0;
        while (!heap.empty()) {
            const ScoredNode c = heap.pop();
            const float worst = w.empty() ? std::numeric_limits<float>::infinity() : lowest;  // fixed for this expansion
            ++popped;
            if (worst > c.score && popped > ef) break;
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

// The thread's object through a pointer the compiler cannot trace back to the thread-local
// variable: otherwise it may look the thread-local address up again after every call.
template <class T>
T& opaque(T& object) {
    T* p = &object;
    asm("" : "+r"(p));
    return *p;
}

LayerSearch& layer_search() {
    thread_local LayerSearch s;
    return opaque(s);
}

// ---- neighbour selection and links -----------------------------------------------------

float half_sq(const HnswIndex& index, std::uint32_t node) {
    return index.metric == Metric::L2 ? 0.5f * index.sqnorms[node] : 0.0f;
}

}  // namespace

namespace {

// The base and the nodes kept so far as columns of 8-lane blocks (column 0 the base),
// so each candidate's dot products with all of them are one pass over its vector.
class KeptColumns {
public:
    void start(std::size_t dim, std::size_t max_columns) {
        dim_ = dim;
        columns_ = 0;
        const std::size_t blocks = (max_columns + simd::kDotLanes - 1) / simd::kDotLanes;
        if (data_.size() < blocks * dim * simd::kDotLanes) data_.resize(blocks * dim * simd::kDotLanes);
    }
    void push(const float* x) {
        float* col = data_.data() + (columns_ / simd::kDotLanes) * dim_ * simd::kDotLanes + columns_ % simd::kDotLanes;
        for (std::size_t d = 0; d < dim_; ++d) col[d * simd::kDotLanes] = x[d];
        ++columns_;
    }
    std::size_t columns() const { return columns_; }
    void truncate(std::size_t n) { columns_ = n; }
    std::size_t blocks() const { return (columns_ + simd::kDotLanes - 1) / simd::kDotLanes; }
    const float* data() const { return data_.data(); }

private:
    std::size_t dim_ = 0;
    std::size_t columns_ = 0;
    std::vector<float> data_;
};

}  // namespace

std::vector<ScoredNode> select_neighbours(const HnswIndex& index, std::uint32_t base,
                                          std::span<const ScoredNode> candidates, std::uint64_t max_keep) {
    static const simd::BlockDotsPtrsFn dots = simd::best_block_dots_ptrs();
    thread_local KeptColumns columns;
    thread_local std::vector<float> out;
    const std::size_t dim = index.padded_dim;
    const float* xs = index.construction_vectors.data();
    const auto vec = [&](std::uint32_t node) { return xs + std::size_t{node} * dim; };
    std::vector<ScoredNode> kept;
    if (max_keep == 0) return kept;
    const std::size_t most = static_cast<std::size_t>(std::min<std::uint64_t>(max_keep, candidates.size()));
    kept.reserve(most);
    constexpr std::size_t kGroup = 4;
    columns.start(dim, 1 + most + kGroup);  // the base, the kept nodes, one group on trial
    columns.push(vec(base));
    const float base_half = half_sq(index, base);

    // Candidates are scored four at a time, each against the base, every node kept so far
    // and the other candidates of its group (added as columns for the pass), so the
    // outcome is that of walking the candidates one at a time.
    std::size_t i = 0;
    while (i < candidates.size() && kept.size() < max_keep) {
        const std::size_t g = std::min(kGroup, candidates.size() - i);
        const float* group[kGroup];
        for (std::size_t j = 0; j < g; ++j) group[j] = vec(candidates[i + j].node);
        const std::size_t known = columns.columns();
        for (std::size_t j = 0; j < g; ++j) columns.push(group[j]);
        const std::size_t width = columns.blocks() * simd::kDotLanes;
        if (out.size() < g * width) out.resize(g * width);
        dots(group, g, columns.data(), columns.blocks(), dim, out.data());
        columns.truncate(known);
        bool accepted[kGroup] = {};
        for (std::size_t j = 0; j < g && kept.size() < max_keep; ++j) {
            const float* d = out.data() + j * width;
            // construction_score(x_e, x_r): the first argument is the query, so under L2
            // the half squared norm subtracted is r's (resp. the base's). A NaN to a kept node
            // already loses the comparison below; a NaN to the base must lose it too.
            const float to_base = nan_lowest(d[0] - base_half);
            bool keep = true;
            for (std::size_t r = 1; r < known && keep; ++r) {
                keep = !(d[r] - half_sq(index, kept[r - 1].node) > to_base);
            }
            for (std::size_t o = 0; o < j && keep; ++o) {
                if (accepted[o]) keep = !(d[known + o] - half_sq(index, candidates[i + o].node) > to_base);
            }
            if (keep) {
                kept.push_back(candidates[i + j]);
                accepted[j] = true;
            }
        }
        for (std::size_t j = 0; j < g; ++j) {
            if (accepted[j]) columns.push(group[j]);
        }
        i += g;
    }
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
    std::vector<ScoredNode> all;
    all.reserve(count + 1);
    for (std::uint32_t i = 0; i < count; ++i) all.push_back({l.scores[i], l.nodes[i]});
    all.push_back({score, n});
    sort_scored(all);
    const std::vector<ScoredNode> kept = select_neighbours(index, owner, all, l.cap);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        l.nodes[i] = kept[i].node;
        l.scores[i] = kept[i].score;
    }
    *l.count = static_cast<std::uint32_t>(kept.size());
}

void prepare_for_insert(HnswIndex& index, const Quantizer& quantizer) {
    index.widen_lists();
    const std::size_t n = index.size();
    const std::size_t dim = index.padded_dim;
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
    const float* q = index.construction_vectors.data() + std::size_t{n} * index.padded_dim;
    const ConstructionScores scores{index, q};
    LayerSearch& search = layer_search();
    std::uint32_t ep = *index.entry_point;
    const std::uint64_t top = index.max_level;
    for (std::uint64_t lc = top; lc > level; --lc) {
        search.run(index, scores, ep, 1, lc);
        if (!search.w.empty()) ep = search.w[0].node;
    }
    // A layer's links and back-links change only that layer's lists, which the searches
    // below it never read: planning every layer first chooses what inserting layer by
    // layer chooses.
    for (std::uint64_t lc = std::min(top, level) + 1; lc-- > 0;) {
        search.run(index, scores, ep, index.ef_construction, lc);
        plan.chosen[lc] = select_neighbours(index, n, search.w, index.cap(lc));
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
    index.append_node(id, code, norm, draw_level(n, index.level_mult), kept);
    index.construction_vectors.insert(index.construction_vectors.end(), vector, vector + dim);
    index.sqnorms.push_back(simd::dot_sequential(vector, vector, dim));
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
    } catch (...) {
        // Nothing links to the batch yet: the index is as it was before it.
        index.truncate(n0);
        throw;
    }
    // Past this point only back-link pruning allocates (its scratch, before it changes a list).
    for (std::size_t j = 0; j < b; ++j) set_own_links(index, static_cast<std::uint32_t>(n0 + j), plans[j]);
    std::stable_sort(links.begin(), links.end(), [](const BackLink& a, const BackLink& c) { return a.owner < c.owner; });
    owner_starts.clear();
    for (std::size_t i = 0; i < links.size(); ++i) {
        if (i == 0 || links[i].owner != links[i - 1].owner) owner_starts.push_back(i);
    }
    owner_starts.push_back(links.size());
    parallel_for(owner_starts.size() - 1, threads, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t o = begin; o < end; ++o) {
            for (std::size_t i = owner_starts[o]; i < owner_starts[o + 1]; ++i) {
                const BackLink& l = links[i];
                add_back_link(index, l.owner, l.layer, l.node, l.score);
            }
        }
    });
    for (std::size_t j = 0; j < b; ++j) raise_entry_point(index, static_cast<std::uint32_t>(n0 + j));
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
    std::vector<float>().swap(index.construction_vectors);
    std::vector<float>().swap(index.sqnorms);
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
        search.run(index, scores, ep, std::max<std::uint64_t>(index.ef_search, k), 0);
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

}  // namespace korvane
