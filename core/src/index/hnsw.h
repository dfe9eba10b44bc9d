// The layered proximity graph of an Hnsw engine: built on exact float vectors, searched
// on packed codes. The header the other layers include; the graph lives in rooms under
// index/hnsw/, one concern each:
//   graph.h, graph.cpp       the graph itself: nodes, levels, link lists, entry point, storage
//   search.h, search.cpp     how a query walks the graph
//   insert.h, insert.cpp     how nodes join: construction state, own links, back-links, batches
//   build_search.cpp         the construction search that chooses a new node's neighbours
//   repair.h, repair.cpp     deleted nodes: marked, searched through, purged
// and, shared by several rooms only: visited.h (the visited set), order.h (sorting scored
// lists), construction_scores.h (fast scores with bounds), select.h (the selection rule),
// lists.h (settled counts, pending back-links). Those keep their contents in an unnamed
// namespace, as when the rooms were one file: each room compiles its own copy, inlined
// where it is called, and their thread-local objects keep the cheap access of internal
// linkage.
#pragma once

#include "index/hnsw/graph.h"
#include "index/hnsw/insert.h"
#include "index/hnsw/repair.h"
#include "index/hnsw/search.h"
