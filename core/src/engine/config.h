// Engine configuration: metric and index-type enumerations, the constructor's text
// parsing and the resolution of the number of 4-bit dimensions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

using VectorId = std::uint64_t;

inline constexpr std::uint64_t ROTATION_SEED = 0x3D71A5C08E42F96BULL;

enum class Metric : std::uint8_t { Cosine = 0, Dot = 1, L2 = 2 };
enum class IndexType : std::uint8_t { BruteForce = 0, IvfFlat = 1, Hnsw = 2 };

const char* metric_text(Metric m);            // "cosine", "dot", "l2"
const char* index_type_text(IndexType t);     // "BruteForce", "IvfFlat", "Hnsw"

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

// 1 when dim < 2, otherwise the smallest power of two >= dim; nullopt when that power
// of two does not fit in 64 bits.
std::optional<std::uint64_t> padded_dim_for(std::uint64_t dim);

// Both parsers take text that the caller has already lowercased with the full Unicode
// mapping (the binding uses str.lower()). parse_index_type also turns '-' into '_'
// and reports the normalised text through `normalised` for the error message.
std::optional<Metric> parse_metric(std::string_view lowered);
std::optional<IndexType> parse_index_type(std::string_view lowered, std::string* normalised = nullptr);
std::string unknown_metric_message(std::string_view lowered);
std::string unknown_index_type_message(std::string_view normalised);

// `padded` is padded_dim_for(dim).
std::uint64_t resolve_n4_dims(std::uint64_t padded, std::uint8_t bit_width,
                              std::optional<double> mixed_ratio, std::optional<std::uint64_t> n4_dims);

// Constructor parameters before resolution, with the Python defaults.
struct ConstructorArgs {
    std::uint64_t dim = 0;
    Metric metric = Metric::Cosine;
    std::uint8_t bit_width = 4;
    IndexType index_type = IndexType::BruteForce;
    std::optional<double> mixed_ratio;
    std::optional<std::uint64_t> n4_dims;
    std::uint64_t ivf_nlist = 256;
    std::uint64_t ivf_nprobe = 8;
    std::uint64_t hnsw_m = 32;
    std::uint64_t hnsw_ef_construction = 200;
    std::uint64_t hnsw_ef_search = 0;
};

// Builds the configuration: resolves n4_dims, uses ROTATION_SEED and zeroes the fields
// that belong to the other index types. `padded` is padded_dim_for(args.dim).
EngineConfig make_config(const ConstructorArgs& args, std::uint64_t padded);

}  // namespace korvane
