// The layered proximity graph of an Hnsw engine: built on exact float vectors, searched
// on packed codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/config.h"
#include "base/work.h"
#include "index/flat_store.h"
#include "index/scorer.h"
#include "index/topk.h"
#include "simd/float_dots.h"

namespace korvane {

class Quantizer;

// Asks the OS to back [p, p + bytes) with large pages where it can (a hint; nothing
// happens elsewhere).
void advise_large_pages(void* p, std::size_t bytes);

// Blocks of 4 MiB and more get large pages before they are first written: the
// construction vectors are read at random, and with small pages most reads would also
// miss the address translation cache.
template <class T>
struct LargePageAllocator {
    using value_type = T;
    LargePageAllocator() = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U>&) {}
    T* allocate(std::size_t n) {
        T* p = std::allocator<T>().allocate(n);
        if (n * sizeof(T) >= (std::size_t{4} << 20)) advise_large_pages(p, n * sizeof(T));
        return p;
    }
    void deallocate(T* p, std::size_t n) { std::allocator<T>().deallocate(p, n); }
    bool operator==(const LargePageAllocator&) const = default;
};

struct Neighbor {
    std::uint32_t node;
    // The score recorded when the link was made: construction_score(owner, node) for a
    // node's own links; a back-link keeps the new node's score for the owner.
    float score;
};

struct ScoredNode {
    float score;
    std::uint32_t node;
};

// Node indices are 32-bit; this value means "none" (no entry point).
inline constexpr std::uint32_t kNoNode = 0xFFFFFFFFu;

struct HnswIndex {
    // Node i: its id, packed row and quantized norm, all nodes in one contiguous store.
    FlatStore nodes;
    std::vector<std::uint8_t> levels;  // per node
    std::optional<std::uint32_t> entry_point;
    std::uint64_t max_level = 0;
    std::uint64_t m = 0;
    std::uint64_t ef_construction = 0;
    std::uint64_t ef_search = 0;
    std::uint64_t bytes_per_vec = 0;
    double level_mult = 1e9;
    Metric metric = Metric::Cosine;
    std::uint64_t padded_dim = 0;

    // Neighbour lists in flat arrays. Layer 0: stride0 slots per node. Upper layers: the
    // lists of node i are numbered upper_at[i], upper_at[i] + 1, ... (one per layer above
    // 0), list u taking stride_up slots from u · stride_up. The strides are the caps
    // (2·m and m) unless a loaded file held longer lists.
    std::uint64_t stride0 = 0;
    std::uint64_t stride_up = 0;
    // The scores are kept while the graph is being built; build() and load leave them
    // empty (link_scores_valid false) until an insertion recomputes them.
    std::vector<std::uint32_t> links0;
    std::vector<float> scores0;
    std::vector<std::uint32_t> count0;
    std::vector<std::uint64_t> upper_at;
    std::vector<std::uint32_t> links_up;
    std::vector<float> scores_up;
    std::vector<std::uint32_t> count_up;  // one per upper list

    // Construction state: the transformed vector of every node while insertion needs it,
    // and its squared norm (for L2). Released by build(); rebuilt from the codes when a
    // later add needs it, link scores included.
    std::vector<float, LargePageAllocator<float>> construction_vectors;
    std::vector<float> sqnorms;
    // Per node, what a construction score against it subtracts (half its squared norm
    // under L2, else 0) and what bounds a fast score's distance to the in-order one, side
    // by side; a node without them is scored in order only.
    struct NodeBound {
        float half_sq;
        simd::DotNorms norms;
    };
    std::vector<NodeBound> node_bounds;
    // Per list (layer 0 by node, upper lists by number): how many of its first entries its
    // last selection chose. Selecting among them again would keep them all, so a new
    // selection compares them only with the entries added since.
    std::vector<std::uint32_t> settled0;
    std::vector<std::uint32_t> settled_up;
    bool link_scores_valid = true;

    // Per node, 1 when it is marked deleted: searched through, never returned. Empty while
    // no node was ever marked, so a graph that never deletes pays nothing for it.
    std::vector<std::uint8_t> deleted;
    std::size_t n_deleted = 0;

    static HnswIndex empty(const EngineConfig& c, std::uint64_t bytes_per_vec, std::uint64_t padded_dim);

    std::size_t size() const { return nodes.size(); }
    std::size_t live_size() const { return size() - n_deleted; }
    bool is_deleted(std::uint32_t node) const { return !deleted.empty() && deleted[node] != 0; }
    // The most entries a list keeps: 2·m on layer 0, m above.
    std::uint64_t cap(std::uint64_t layer) const { return layer == 0 ? 2 * m : m; }

    // The list of `node` on `layer` (the node's level must be at least `layer`).
    struct List {
        std::uint32_t* nodes;
        float* scores;
        std::uint32_t* count;
        std::uint64_t cap;
    };
    List list(std::uint32_t node, std::uint64_t layer);
    std::span<const std::uint32_t> neighbours(std::uint32_t node, std::uint64_t layer) const {
        if (layer == 0) return {links0.data() + node * stride0, count0[node]};
        const std::uint64_t u = upper_at[node] + (layer - 1);
        return {links_up.data() + u * stride_up, count_up[u]};
    }

    // Makes every list at least as wide as its cap (a loaded graph is only as wide as its
    // longest list).
    void widen_lists();

    // Drops the nodes from n on, which no list may name; never allocates.
    void truncate(std::size_t n);

    // Appends a node with `level` empty lists; the caller fills them.
    void append_node(VectorId id, const std::uint8_t* code, float norm, std::uint64_t level,
                     const std::uint8_t* kept = nullptr);
};

// The level of node n: a fixed function of n and level_mult.
std::uint64_t draw_level(std::uint64_t n, double level_mult);

// Makes the construction state cover every node (decoding codes where the vectors were
// released) and recomputes link scores a load left at 0.
void prepare_for_insert(HnswIndex& index, const Quantizer& quantizer);

// Inserts one vector: code and norm from the quantizer, `vector` its transformed floats.
// `kept` is the node's kept vector when its store keeps them.
void hnsw_insert(HnswIndex& index, const std::uint8_t* code, float norm, VectorId id, const float* vector,
                 const std::uint8_t* kept = nullptr);

// The steps of an insertion, for inserting several nodes at once.
// Appends a node (its level drawn from its number) and its construction state, unlinked.
void append_for_insert(HnswIndex& index, const std::uint8_t* code, float norm, VectorId id, const float* vector,
                       const std::uint8_t* kept);
// Node n's neighbours on each layer up to its level, chosen on the graph as it stands.
// Reads the index only, so several nodes may plan at once.
struct LinkPlan {
    std::vector<std::vector<ScoredNode>> chosen;  // by layer
};
void plan_links(const HnswIndex& index, std::uint32_t n, LinkPlan& plan);
void set_own_links(HnswIndex& index, std::uint32_t n, const LinkPlan& plan);
// Adds a link owner -> n with `score` unless present; an overflowing list is sorted by its
// stored scores and replaced by the selection of its owner.
void add_back_link(HnswIndex& index, std::uint32_t owner, std::uint64_t layer, std::uint32_t n, float score);
// Makes n the entry point when it is the first node or the highest so far.
void raise_entry_point(HnswIndex& index, std::uint32_t n);

// Rows ready to join the graph, `count` of each: packed codes (bytes_per_vec each), norms,
// ids, transformed vectors (padded_dim floats each) and kept rows (null when none are kept).
struct InsertRows {
    const std::uint8_t* codes = nullptr;
    const float* norms = nullptr;
    const VectorId* ids = nullptr;
    const float* vectors = nullptr;
    const std::uint8_t* kept = nullptr;
    std::size_t kept_bytes = 0;
    std::size_t count = 0;
};

// Inserts the rows in order. With one thread each joins as hnsw_insert makes it join;
// with more, the graph is the same for every thread count above one. Stops at a clean
// point once work.stop_requested(), advancing work by the rows inserted; returns how many
// were inserted.
std::size_t hnsw_insert_rows(HnswIndex& index, const InsertRows& rows, Work& work);

void release_construction_vectors(HnswIndex& index);

// Marks a node deleted; returns whether it was live (false too for a node out of range).
// Until a purge, a deleted node keeps its links and is searched through. A node inserted
// meanwhile never chooses one as a neighbour, so no back-link goes to a deleted node's
// list; a live list that overflows is chosen again as usual, deleted entries competing
// like the others (the purge replaces whichever stay).
bool hnsw_mark_deleted(HnswIndex& index, std::uint32_t node);

// A graph wants a purge once more than this share of its nodes is deleted. Measured on
// 4,000 clustered vectors (dim 64, m 8 and 16), recall@10 at ef 64: searching through
// marks loses nothing up to 30% deleted (0.991 marked, 0.988 purged at 20%, m 8), but each
// search scores the deleted nodes it passes: +10% time at 10% deleted, +15-25% at 20%,
// +30% at 30%, +65% at 50%. A purge relinks nearly every list at any of these shares (a
// list of 2·m links likely names some deleted node), so the rarer it runs the less it costs
// per removal: 20% keeps the slowdown near a fifth.
inline constexpr double kPurgeShare = 0.2;
bool hnsw_wants_purge(const HnswIndex& index);

// How a repair gathers the candidates of a list: its live neighbours, then the live nodes
// found through its deleted ones, following up to kRepairHops deleted nodes in a row,
// nearest in the graph first, until kRepairCandidates · ef_construction (at least the
// list's cap) are found. Measured as for kPurgeShare, recall@10 after purging 30% against a
// fresh graph of the survivors: at m 8 every choice is within 0.002 of it (0.990 vs 0.989
// here); at m 4, ef_construction 16 (0.904 fresh), 2 hops give 0.848, 3 hops 0.873 but
// unbounded they cost 6.6 times the bounded purge at m 16; bounded, 0.865.
inline constexpr unsigned kRepairHops = 3;
inline constexpr std::uint64_t kRepairCandidates = 2;

// Relinks every live list that names a deleted node (its live neighbours and those found
// through deleted ones, up to kRepairHops deep, chosen again by the selection rule), moves
// the entry point off a deleted node, then drops the deleted nodes and renumbers the rest
// in order. Returns old -> new node numbers (kNoNode for the dropped). Each list is chosen
// on the graph as it was, so the result does not depend on work.threads(). Construction
// vectors released before are released again.
std::vector<std::uint32_t> hnsw_purge_deleted(HnswIndex& index, const Quantizer& quantizer, Work& work);

// At most k hits (k > 0), best first, then only those the allowlist holds.
// `reference`: the plain search alone, which every search answers as (for tests).
std::vector<SearchHit> hnsw_search(const HnswIndex& index, const QueryScorer& scorer, std::uint64_t k,
                                   std::optional<std::span<const VectorId>> allowlist, bool reference = false);

// The neighbour selection: walks `candidates` (sorted by score, best first) and keeps a
// node e unless a node r already kept has construction_score(x_e, x_r) strictly above
// construction_score(x_e, x_base), a NaN score counting as the lowest; stops at `max_keep`.
// Exposed for tests.
std::vector<ScoredNode> select_neighbours(const HnswIndex& index, std::uint32_t base,
                                          std::span<const ScoredNode> candidates, std::uint64_t max_keep);

}  // namespace korvane
