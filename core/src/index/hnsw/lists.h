// What insertion and repair share when they change lists: a list's settled count and a
// back-link waiting for its owner.
// Internal to the rooms of index/hnsw/, in an unnamed namespace (index/hnsw.h says why).
#pragma once

#include <cstdint>

#include "index/hnsw/graph.h"

namespace korvane {
namespace {

// The settled count of a list, or null where the index keeps none for it.
std::uint32_t* settled_slot(HnswIndex& index, std::uint32_t node, std::uint64_t layer) {
    if (layer == 0) return node < index.settled0.size() ? &index.settled0[node] : nullptr;
    const std::uint64_t u = index.upper_at[node] + (layer - 1);
    return u < index.settled_up.size() ? &index.settled_up[u] : nullptr;
}

// A link owner -> node with its score, to be offered to the owner's list.
struct BackLink {
    std::uint32_t owner;
    std::uint32_t layer;
    std::uint32_t node;
    float score;
};

}  // namespace
}  // namespace korvane
