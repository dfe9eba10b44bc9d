#include "base/types.h"

namespace korvane {

const char* metric_text(Metric m) {
    switch (m) {
        case Metric::Cosine: return "cosine";
        case Metric::Dot: return "dot";
        case Metric::L2: return "l2";
    }
    return "cosine";
}

const char* index_type_text(IndexType t) {
    switch (t) {
        case IndexType::BruteForce: return "BruteForce";
        case IndexType::IvfFlat: return "IvfFlat";
        case IndexType::Hnsw: return "Hnsw";
    }
    return "BruteForce";
}

std::optional<std::uint64_t> padded_dim_for(std::uint64_t dim) {
    if (dim < 2) return 1;
    if (dim > (std::uint64_t{1} << 63)) return std::nullopt;
    std::uint64_t p = 1;
    while (p < dim) p <<= 1;
    return p;
}

}  // namespace korvane
