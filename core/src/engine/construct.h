// From the Python constructor's arguments to an EngineConfig: text parsing, defaults and
// the resolution of the number of 4-bit dimensions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/config.h"

namespace korvane {

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
