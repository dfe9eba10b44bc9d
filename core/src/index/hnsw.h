// The layered proximity graph of an Hnsw engine.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/config.h"

namespace korvane {

struct HnswNode {
    std::vector<std::uint8_t> code;
    VectorId id = 0;
    float norm = 0.0f;
    std::vector<std::vector<std::uint32_t>> neighbors;  // one list per level
};

struct HnswIndex {
    std::vector<HnswNode> nodes;
    std::vector<std::vector<float>> construction_vectors;
    std::optional<std::uint32_t> entry_point;
    std::uint64_t max_level = 0;
    std::uint64_t m = 0;
    std::uint64_t ef_construction = 0;
    std::uint64_t ef_search = 0;
    std::uint64_t bytes_per_vec = 0;
    double level_mult = 1e9;

    static HnswIndex empty(const EngineConfig& c, std::uint64_t bytes_per_vec) {
        HnswIndex h;
        h.m = c.hnsw_m;
        h.ef_construction = c.hnsw_ef_construction;
        h.ef_search = c.hnsw_ef_search == 0 ? 2 * c.hnsw_m : c.hnsw_ef_search;
        h.bytes_per_vec = bytes_per_vec;
        h.level_mult = 1.0 / std::max(std::log(static_cast<double>(h.m)), 1e-9);
        return h;
    }
};

}  // namespace korvane
