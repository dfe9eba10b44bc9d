// How a query walks the graph. hnsw_search (at the bottom) descends from the entry point
// one layer at a time with a beam of one, then searches layer 0 with a beam of ef_search
// and keeps the k best live nodes. LayerSearch is the beam search of one layer: a fast run
// while no score is NaN, the exact run (a candidate heap in the order pops_before gives)
// otherwise; QueryScores scores the nodes' packed codes against the query.
#include "index/hnsw/search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "index/filter.h"
#include "index/hnsw/order.h"
#include "index/hnsw/visited.h"

namespace korvane {

namespace {

// ---- the candidate heap of the exact run --------------------------------------------------

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

// ---- the query's scores -----------------------------------------------------------------

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

}  // namespace

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

}  // namespace korvane
