// The graph itself: its nodes (ids, packed codes, norms), their levels, the neighbour
// lists of every layer in flat arrays, the entry point, and the construction state kept
// beside them while nodes are inserted. How the graph is searched, grown and repaired
// lives in the other rooms of index/hnsw/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/config.h"
#include "index/flat_store.h"
#include "simd/float_dots.h"

namespace korvane {

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

}  // namespace korvane
