// A look inside an index's structure, for tests of a graph or of the lists: nothing the
// engine or the binding reads goes this way (they ask IndexStructure).
#pragma once

#include <optional>

#include "engine/structure.h"

namespace korvane {

// The graph of an Hnsw index, the lists of an IvfFlat one; none for another index type.
const std::optional<HnswIndex>& graph_of(const IndexStructure& structure);
const std::optional<IvfIndex>& lists_of(const IndexStructure& structure);

}  // namespace korvane
