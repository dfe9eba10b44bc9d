// IVF-Flat cells: members of each cell are stored as in the flat store.
#pragma once

#include <cstdint>
#include <vector>

#include "base/config.h"

namespace korvane {

struct IvfList {
    std::vector<float> centroid;  // padded_dim floats, in the transformed space
    std::vector<std::uint8_t> codes;
    std::vector<VectorId> ids;
    std::vector<float> norms;
};

struct IvfIndex {
    std::vector<IvfList> lists;
    std::uint64_t bytes_per_vec = 0;
    std::uint64_t nprobe = 0;
    std::uint64_t padded_dim = 0;
    Metric metric = Metric::Cosine;

    std::uint64_t n_vectors() const {
        std::uint64_t n = 0;
        for (const auto& l : lists) n += l.ids.size();
        return n;
    }
};

}  // namespace korvane
