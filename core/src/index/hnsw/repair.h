// Deleted nodes (repair.cpp): marked and searched through, then purged, the lists that
// named them chosen again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/work.h"
#include "index/hnsw/graph.h"

namespace korvane {

class Quantizer;

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
// The same for a graph of `nodes` nodes, `deleted` of them deleted.
bool hnsw_wants_purge(std::size_t nodes, std::size_t deleted);

// How a repair gathers the candidates of a list: its live neighbours, then the live nodes
// found through its deleted ones, following up to kRepairHops deleted nodes in a row,
// nearest in the graph first, until kRepairCandidates · ef_construction are found, or
// kRepairCaps times the list's cap if fewer (never fewer than the cap). Measured as for
// kPurgeShare, recall@10 after purging 30% against a fresh graph of the survivors: at m 8
// every choice is within 0.002 of it (0.990 vs 0.989 here); at m 4, ef_construction 16
// (0.904 fresh), 2 hops give 0.848, 3 hops 0.873 but unbounded they cost 6.6 times the
// bounded purge at m 16; bounded, 0.865. Reading the candidates' vectors is most of a
// repair, while the selection walks few of them: on 10,000 clustered vectors (dim 128 and
// 784, m 16, ef_construction 200, 30% removed) a layer-0 list kept 21 to 25 of its best 86
// to 90 candidates of 400. Four caps (128 there) cost 0.4 times as much; recall@10 at ef 64
// stays within 0.004 of 400's (0.997 to 0.999 of the fresh graph's, also at m 8 and with
// 50% removed), at ef 10 within 0.015.
inline constexpr unsigned kRepairHops = 3;
inline constexpr std::uint64_t kRepairCandidates = 2;
inline constexpr std::uint64_t kRepairCaps = 4;

// Relinks every live list that names a deleted node (its live neighbours and those found
// through deleted ones, up to kRepairHops deep, chosen again by the selection rule), moves
// the entry point off a deleted node, then drops the deleted nodes and renumbers the rest
// in order, `map` receiving old -> new node numbers (kNoNode for the dropped). Each list is
// chosen on the graph as it was, so the result does not depend on work.threads(). Adds the
// lists to relink to work's total and advances it as they are relinked. Once
// work.stop_requested() it stops between units of lists and returns false: the graph is
// whole, its deleted nodes still marked and searched through, `map` untouched, and a later
// purge relinks the lists left. Construction vectors released before are released again.
bool hnsw_purge_deleted(HnswIndex& index, const Quantizer& quantizer, Work& work, std::vector<std::uint32_t>& map);

}  // namespace korvane
