// How nodes join the graph (insert.cpp): the construction state, the steps of one
// insertion, batched insertion, and the neighbour selection alone (for tests). plan_links,
// the construction search that chooses a new node's neighbours, is in build_search.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/work.h"
#include "index/hnsw/graph.h"

namespace korvane {

class Quantizer;

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

// Drops the construction state (vectors, norms, bounds, settled counts, link scores) once
// the graph is built, and the room kept for growth; prepare_for_insert makes it again.
void release_construction_vectors(HnswIndex& index);

// The neighbour selection: walks `candidates` (sorted by score, best first) and keeps a
// node e unless a node r already kept has construction_score(x_e, x_r) strictly above
// construction_score(x_e, x_base), a NaN score counting as the lowest; stops at `max_keep`.
// Exposed for tests.
std::vector<ScoredNode> select_neighbours(const HnswIndex& index, std::uint32_t base,
                                          std::span<const ScoredNode> candidates, std::uint64_t max_keep);

}  // namespace korvane
