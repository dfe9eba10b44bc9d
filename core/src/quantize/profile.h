// Advisory statistics for choosing construction parameters; none changes an engine.
#pragma once

#include <cstdint>
#include <vector>

#include "base/config.h"
#include "base/error.h"
#include "base/rows.h"

namespace korvane {

// Per padded coordinate, the variance of the sample after preparation (cosine
// normalisation only; no standardization), rotation and scaling.
Expected<std::vector<float>> profile_variance(const EngineConfig& config, const RowSet& sample);

// n4_dims for an average bit budget per padded dimension (clamped to 2..4).
Expected<std::uint64_t> optimal_n4_dims(const EngineConfig& config, const RowSet& sample, double avg_bits);

// The allocation rule alone, for P padded dimensions.
std::uint64_t n4_dims_for_budget(std::uint64_t padded, double avg_bits);

inline std::uint64_t recommended_m(std::uint64_t n) { return n < 1000000 ? 32 : 64; }

}  // namespace korvane
