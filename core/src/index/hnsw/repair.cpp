// Deleted nodes: marked, searched through, and purged once they pass a share of the
// graph. hnsw_purge_deleted (at the bottom) counts the live lists that name a deleted node
// (lists_to_relink), readies the construction state, then takes three steps: relink_lists
// chooses those lists again, a unit at a time (relink: its live neighbours and those
// reached through deleted ones, by the selection rule), and offers the links gained back;
// move_entry_point moves the entry point off a deleted node; drop_deleted drops the
// deleted nodes and renumbers the rest in order. A stop takes effect between units.
#include "index/hnsw/repair.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/work.h"
#include "index/hnsw/construction_scores.h"
#include "index/hnsw/insert.h"
#include "index/hnsw/lists.h"
#include "index/hnsw/select.h"
#include "index/hnsw/visited.h"

namespace korvane {

bool hnsw_mark_deleted(HnswIndex& index, std::uint32_t node) {
    if (node >= index.size() || index.is_deleted(node)) return false;
    if (index.deleted.empty()) index.deleted.assign(index.size(), 0);
    index.deleted[node] = 1;
    ++index.n_deleted;
    return true;
}

bool hnsw_wants_purge(const HnswIndex& index) { return hnsw_wants_purge(index.size(), index.n_deleted); }

bool hnsw_wants_purge(std::size_t nodes, std::size_t deleted) {
    return deleted > 0 && static_cast<double>(deleted) > kPurgeShare * static_cast<double>(nodes);
}

namespace {

// The new list of `node` on `layer`, chosen among its live neighbours and the live nodes
// reached through deleted ones, reading the graph as it stands. Found nodes are scored fast
// with bounds, side by side; the order and the selection are those of their in-order
// scores (equal scores in the order found), which are computed only where a bound leaves
// a decision open.
void relink(const HnswIndex& index, std::uint32_t node, std::uint64_t layer, std::vector<ScoredNode>& kept) {
    thread_local VisitedSet<std::uint32_t> seen_of_thread;
    thread_local std::vector<std::uint32_t> found_of_thread;
    thread_local std::vector<Bounded> cands_of_thread;
    thread_local std::vector<std::pair<std::uint32_t, unsigned>> through_of_thread;  // deleted node, hops
    thread_local BestFirst order_of_thread;
    VisitedSet<std::uint32_t>& seen = seen_of_thread;
    std::vector<std::uint32_t>& found = found_of_thread;
    std::vector<Bounded>& cands = cands_of_thread;
    auto& through = through_of_thread;
    seen.start(index.size());
    std::uint32_t* const stamps = seen.stamps();
    const std::uint32_t epoch = seen.epoch();
    stamps[node] = epoch;
    found.clear();
    through.clear();
    const std::uint64_t cap = index.cap(layer);
    const auto most = static_cast<std::size_t>(std::max(std::min(kRepairCandidates * index.ef_construction, kRepairCaps * cap), cap));
    const auto visit = [&](std::uint32_t from, unsigned hops) {
        for (std::uint32_t nb : index.neighbours(from, layer)) {
            if (found.size() >= most) return;
            if (stamps[nb] == epoch) continue;
            stamps[nb] = epoch;
            if (index.is_deleted(nb)) {
                if (hops < kRepairHops) through.push_back({nb, hops + 1});
                continue;
            }
            found.push_back(nb);
        }
    };
    visit(node, 0);
    for (std::size_t i = 0; i < through.size() && found.size() < most; ++i) visit(through[i].first, through[i].second);
    BuildScores& scores = BuildScores::local();
    scores.start(index, node);
    cands.resize(found.size());
    scores.score(found.data(), found.size(), cands.data());
    order_of_thread.sort(scores, cands);
    const BaseScores base_scores = index.metric == Metric::L2 ? BaseScores::kScored : BaseScores::kCandidate;
    select_into(index, node, cands.data(), nullptr, cands.size(), cap, base_scores,
                [&](const Bounded& b) { return scores.exact(b.node); }, kept);
    scores.make_exact(kept);
}

// Lists relinked between two points where a stop may take effect.
constexpr std::size_t kRelinkUnit = 256;

// A live list that names a deleted node.
struct Job {
    std::uint32_t node;
    std::uint32_t layer;
};

std::vector<Job> lists_to_relink(const HnswIndex& index) {
    std::vector<Job> jobs;
    for (std::uint32_t v = 0; v < index.size(); ++v) {
        if (index.is_deleted(v)) continue;
        for (std::uint64_t layer = 0; layer <= index.levels[v]; ++layer) {
            const auto list = index.neighbours(v, layer);
            if (std::any_of(list.begin(), list.end(), [&](std::uint32_t nb) { return index.is_deleted(nb); }))
                jobs.push_back({v, static_cast<std::uint32_t>(layer)});
        }
    }
    return jobs;
}

// Chooses the lists of `jobs` again, a unit of lists at a time, then offers each link a
// list gained back to its target. Each list is chosen from its own entries and the deleted
// nodes' lists, which no relinking changes while the back-links wait: every list is chosen
// from the graph as it stood before the repair, whatever the threads and the units. Once
// work.stop_requested() it stops between units, offers the links gained so far and returns
// false; the lists not relinked still name deleted nodes.
bool relink_lists(HnswIndex& index, const std::vector<Job>& jobs, Work& work) {
    std::vector<std::vector<ScoredNode>> chosen(std::min(jobs.size(), kRelinkUnit));
    std::vector<BackLink> back;
    const std::size_t dim = index.padded_dim;
    bool finished = true;
    for (std::size_t first = 0; first < jobs.size(); first += kRelinkUnit) {
        // The graph is whole here.
        work.between_units();
        if (work.stop_requested()) {
            finished = false;
            break;
        }
        const std::size_t count = std::min(kRelinkUnit, jobs.size() - first);
        {
            // Choosing lists only reads the graph: searches go on beside it.
            const Work::Alongside readers(work);
            parallel_for(count, work.threads(), 8, [&](std::size_t begin, std::size_t end) {
                for (std::size_t j = begin; j < end; ++j) relink(index, jobs[first + j].node, jobs[first + j].layer, chosen[j]);
            });
        }
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint32_t v = jobs[first + j].node;
            const std::uint32_t layer = jobs[first + j].layer;
            HnswIndex::List l = index.list(v, layer);
            const std::vector<ScoredNode>& c = chosen[j];
            // A link the new list gained is offered back to its target, as an insertion
            // offers its links: without that, nodes that deleted ones pointed to would stay
            // hard to reach.
            for (const ScoredNode& e : c) {
                if (std::find(l.nodes, l.nodes + *l.count, e.node) != l.nodes + *l.count) continue;
                const float* xc = index.construction_vectors.data() + std::size_t{e.node} * dim;
                const float* xv = index.construction_vectors.data() + std::size_t{v} * dim;
                back.push_back({e.node, layer, v, nan_lowest(simd::dot_sequential(xc, xv, dim) - half_sq(index, v))});
            }
            for (std::size_t i = 0; i < c.size(); ++i) {
                l.nodes[i] = c[i].node;
                l.scores[i] = c[i].score;
            }
            *l.count = static_cast<std::uint32_t>(c.size());
            if (std::uint32_t* settled = settled_slot(index, v, layer)) *settled = *l.count;
        }
        work.advance(count);
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
    return finished;
}

// The entry point: the highest live node, the first among equals.
void move_entry_point(HnswIndex& index) {
    const std::size_t n = index.size();
    if (index.entry_point && index.is_deleted(*index.entry_point)) {
        std::optional<std::uint32_t> best;
        for (std::uint32_t v = 0; v < n; ++v) {
            if (!index.is_deleted(v) && (!best || index.levels[v] > index.levels[*best])) best = v;
        }
        index.entry_point = best;
        index.max_level = best ? index.levels[*best] : 0;
    }
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

// Drops the deleted nodes and their marks; live nodes keep their order. `map` receives old ->
// new node numbers (kNoNode for the dropped).
void drop_deleted(HnswIndex& index, std::vector<std::uint32_t>& map) {
    const std::size_t n = index.size();
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
}

}  // namespace

bool hnsw_purge_deleted(HnswIndex& index, const Quantizer& quantizer, Work& work, std::vector<std::uint32_t>& map) {
    const std::size_t n = index.size();
    if (index.n_deleted == 0) {
        map.resize(n);
        for (std::size_t i = 0; i < n; ++i) map[i] = static_cast<std::uint32_t>(i);
        std::vector<std::uint8_t>().swap(index.deleted);
        return true;
    }
    // Counted before the construction state is made, which may take a while.
    const std::vector<Job> jobs = lists_to_relink(index);
    work.set_total(work.total() + jobs.size());
    const bool released = index.construction_vectors.size() < n * index.padded_dim;
    prepare_for_insert(index, quantizer);
    const bool finished = relink_lists(index, jobs, work);
    if (finished) {
        move_entry_point(index);
        map.resize(n);
        drop_deleted(index, map);
    }
    if (released) release_construction_vectors(index);
    return finished;
}

}  // namespace korvane
