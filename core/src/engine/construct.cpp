#include "engine/construct.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvane {

std::optional<Metric> parse_metric(std::string_view s) {
    if (s == "cosine") return Metric::Cosine;
    if (s == "dot" || s == "dot_product") return Metric::Dot;
    if (s == "l2" || s == "euclidean") return Metric::L2;
    return std::nullopt;
}

std::optional<IndexType> parse_index_type(std::string_view lowered, std::string* normalised) {
    std::string s(lowered);
    for (char& c : s) {
        if (c == '-') c = '_';
    }
    std::optional<IndexType> out;
    if (s == "brute" || s == "bruteforce" || s == "brute_force") out = IndexType::BruteForce;
    else if (s == "ivf" || s == "ivfflat" || s == "ivf_flat") out = IndexType::IvfFlat;
    else if (s == "hnsw") out = IndexType::Hnsw;
    if (normalised) *normalised = std::move(s);
    return out;
}

std::string unknown_metric_message(std::string_view lowered) {
    return "unknown metric '" + std::string(lowered) + "': use 'cosine', 'dot', or 'l2'";
}

std::string unknown_index_type_message(std::string_view normalised) {
    return "unknown index_type '" + std::string(normalised) + "': use 'brute_force', 'ivf_flat', or 'hnsw'";
}

// Float to unsigned 64-bit with saturation: NaN and negatives give 0.
static std::uint64_t saturate_u64(float x) {
    if (!(x > 0.0f)) return 0;
    if (x >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

std::uint64_t resolve_n4_dims(std::uint64_t padded, std::uint8_t bit_width,
                              std::optional<double> mixed_ratio, std::optional<std::uint64_t> n4_dims) {
    std::uint64_t result = bit_width == 2 ? 0 : padded;
    if (mixed_ratio) {
        float r = static_cast<float>(*mixed_ratio);
        if (r < 0.0f) r = 0.0f;  // a NaN stays NaN
        if (r > 1.0f) r = 1.0f;
        const float x = r * static_cast<float>(padded);
        result = saturate_u64(std::roundf(x)) & ~std::uint64_t{3};
    }
    if (n4_dims) {
        result = std::min(*n4_dims, padded) & ~std::uint64_t{3};
    }
    return result;
}

EngineConfig make_config(const ConstructorArgs& a, std::uint64_t padded) {
    EngineConfig c;
    c.dim = a.dim;
    c.n4_dims = resolve_n4_dims(padded, a.bit_width, a.mixed_ratio, a.n4_dims);
    c.seed = ROTATION_SEED;
    c.bit_width = a.bit_width;
    c.metric = a.metric;
    c.index_type = a.index_type;
    if (a.index_type == IndexType::IvfFlat) {
        c.ivf_nlist = a.ivf_nlist;
        c.ivf_nprobe = a.ivf_nprobe;
    } else if (a.index_type == IndexType::Hnsw) {
        c.hnsw_m = a.hnsw_m;
        c.hnsw_ef_construction = a.hnsw_ef_construction;
        c.hnsw_ef_search = a.hnsw_ef_search;
    }
    return c;
}

}  // namespace korvane
