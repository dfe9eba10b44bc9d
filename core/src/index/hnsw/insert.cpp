// How nodes join the graph, in three parts. The construction state: prepare_for_insert
// makes it cover the graph, append_for_insert adds a node to it, and
// release_construction_vectors drops it once the graph is built. One insertion
// (hnsw_insert): plan_links (build_search.cpp) chooses the new node's neighbours,
// set_own_links writes them, add_back_link offers the node to each neighbour's list
// (choosing that list again when it overflows), raise_entry_point. Many insertions
// (hnsw_insert_rows): batches whose links are planned side by side on several threads.
#include "index/hnsw/insert.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/hnsw/construction_scores.h"
#include "index/hnsw/lists.h"
#include "index/hnsw/order.h"
#include "index/hnsw/select.h"
#include "quantize/quantizer.h"

namespace korvane {

// ---- the construction state ------------------------------------------------------------

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
        // A list's in-order scores side by side, one lane per link.
        static const simd::ManyDotsFn dots = simd::best_many_dots();
        std::vector<const float*> ys(std::max(index.stride0, index.stride_up));
        for (std::uint32_t owner = 0; owner < n; ++owner) {
            const float* x = index.construction_vectors.data() + std::size_t{owner} * dim;
            for (std::uint64_t layer = 0; layer <= index.levels[owner]; ++layer) {
                HnswIndex::List l = index.list(owner, layer);
                for (std::uint32_t i = 0; i < *l.count; ++i) ys[i] = index.construction_vectors.data() + std::size_t{l.nodes[i]} * dim;
                dots(x, ys.data(), *l.count, dim, l.scores);
                for (std::uint32_t i = 0; i < *l.count; ++i) l.scores[i] = nan_lowest(l.scores[i] - half_sq(index, l.nodes[i]));
            }
        }
        index.link_scores_valid = true;
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

// ---- one insertion, step by step ---------------------------------------------------------

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

namespace {

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

}  // namespace

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

void raise_entry_point(HnswIndex& index, std::uint32_t n) {
    const std::uint64_t level = index.levels[n];
    if (!index.entry_point || level > index.max_level) {
        index.entry_point = n;
        index.max_level = level;
    }
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

// ---- many insertions: batches over threads -------------------------------------------

namespace {

// Nodes a threaded insertion adds at once: each batch is planned on the graph as it stood
// before it, so the batch is kept small beside the graph (and a graph of one node grows
// one node at a time) for its nodes to miss little by not seeing each other.
std::size_t batch_size(std::size_t graph_size) {
    return std::clamp<std::size_t>(graph_size / 16, 1, 256);
}

// Inserts rows [first, first + b) together: each plans its links on the graph before the
// batch, in parallel; then, in node order, each sets its own links, and the back-links
// go to their owners in node order, owners in parallel (a list is changed by its owner's
// back-links only). The graph depends on the batch alone, not on the threads or timing.
void insert_batch(HnswIndex& index, const InsertRows& rows, std::size_t first, std::size_t b, Work& work) {
    const unsigned threads = work.threads();
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
        // (Readers are not let in while the batch is planned: its nodes are appended, and
        // a save or a look-up would see them unlinked.)
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
            insert_batch(index, rows, i, b, work);
        }
        i += b;
        work.advance(b);
        // The batch is linked in whole; the next not begun.
        work.between_units();
    }
    return rows.count;
}

// ---- the selection rule alone, for tests ----------------------------------------------

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

}  // namespace korvane
