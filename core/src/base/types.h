// Vocabulary shared by every layer: ids, metrics, index types and the padded size.
#pragma once

#include <cstdint>
#include <optional>

namespace korvane {

using VectorId = std::uint64_t;

inline constexpr std::uint64_t ROTATION_SEED = 0x3D71A5C08E42F96BULL;

enum class Metric : std::uint8_t { Cosine = 0, Dot = 1, L2 = 2 };
enum class IndexType : std::uint8_t { BruteForce = 0, IvfFlat = 1, Hnsw = 2 };

const char* metric_text(Metric m);            // "cosine", "dot", "l2"
const char* index_type_text(IndexType t);     // "BruteForce", "IvfFlat", "Hnsw"

// 1 when dim < 2, otherwise the smallest power of two >= dim; nullopt when that power
// of two does not fit in 64 bits.
std::optional<std::uint64_t> padded_dim_for(std::uint64_t dim);

}  // namespace korvane
