// The graph's storage: large pages for the construction vectors, an empty graph, a node's
// lists, appending and dropping nodes, widening the lists, and the level of a new node.
#include "index/hnsw/graph.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

}  // namespace korvane
