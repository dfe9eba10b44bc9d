// The construction parameters of an engine, as stored in index files.
#pragma once

#include <cstdint>

#include "base/types.h"

namespace korvane {

struct EngineConfig {
    std::uint64_t dim = 0;
    std::uint64_t n4_dims = 0;
    std::uint64_t seed = ROTATION_SEED;
    std::uint64_t ivf_nlist = 0;
    std::uint64_t ivf_nprobe = 0;
    std::uint64_t hnsw_m = 0;
    std::uint64_t hnsw_ef_construction = 0;
    std::uint64_t hnsw_ef_search = 0;  // 0 means 2·M, applied when the graph is created
    std::uint8_t bit_width = 4;
    Metric metric = Metric::Cosine;
    IndexType index_type = IndexType::BruteForce;
};

}  // namespace korvane
