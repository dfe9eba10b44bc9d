#include "quantize/profile.h"

#include <cmath>
#include <limits>

#include "quantize/rotation.h"

namespace korvane {

Expected<std::vector<float>> profile_variance(const EngineConfig& config, const RowSet& sample) {
    if (sample.empty()) return EngineError::empty_sample();
    for (std::size_t r = 0; r < sample.size(); ++r) {
        if (sample.row(r).size() != config.dim) return EngineError::dimension_mismatch(config.dim, sample.row(r).size());
    }
    const RhdhRotation rotation(config.dim, config.seed);
    const std::size_t P = rotation.padded_dim();
    const float scale = std::sqrt(static_cast<float>(P));
    std::vector<double> s1(P, 0.0), s2(P, 0.0);
    std::vector<float> y(P);
    for (std::size_t r = 0; r < sample.size(); ++r) {
        const auto x = sample.row(r);
        std::fill(y.begin(), y.end(), 0.0f);
        if (config.metric == Metric::Cosine) {
            float s = -0.0f;
            for (float v : x) s += v * v;
            const float n = std::sqrt(s);
            for (std::size_t i = 0; i < x.size(); ++i) y[i] = n > 1.1920929e-7f ? x[i] / n : x[i];
        } else {
            std::copy(x.begin(), x.end(), y.begin());
        }
        rotation.apply_in_place(y.data(), x.size());
        for (std::size_t i = 0; i < P; ++i) {
            const double v = static_cast<double>(y[i] * scale);
            s1[i] += v;
            s2[i] += v * v;
        }
    }
    const double n = static_cast<double>(sample.size());
    std::vector<float> var(P);
    for (std::size_t i = 0; i < P; ++i) {
        const double mean = s1[i] / n;
        double v = s2[i] / n - mean * mean;
        if (v < 0.0) v = 0.0;
        var[i] = static_cast<float>(v);
    }
    return var;
}

std::uint64_t n4_dims_for_budget(std::uint64_t padded, double avg_bits) {
    float a = static_cast<float>(avg_bits);
    if (a < 2.0f) a = 2.0f;  // a NaN stays NaN
    if (a > 4.0f) a = 4.0f;
    const float t = std::roundf(((a - 2.0f) * static_cast<float>(padded)) * 0.5f);
    std::uint64_t u;
    if (!(t > 0.0f)) u = 0;
    else if (t >= 18446744073709551616.0f) u = std::numeric_limits<std::uint64_t>::max();
    else u = static_cast<std::uint64_t>(t);
    return u & ~std::uint64_t{3};
}

Expected<std::uint64_t> optimal_n4_dims(const EngineConfig& config, const RowSet& sample, double avg_bits) {
    // Only the profile's length matters, but its errors are reported as they are.
    auto profile = profile_variance(config, sample);
    if (!profile) return profile.error();
    return n4_dims_for_budget(profile.value().size(), avg_bits);
}

}  // namespace korvane
