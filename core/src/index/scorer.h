// The score of a packed row for one query: the raw dot product through the kernels
// chosen for this CPU, then the metric adjustment that makes higher always closer.
#pragma once

#include <cstdint>

#include "base/layout.h"
#include "base/types.h"
#include "simd/kernels.h"

namespace korvane {

// Cosine divides by a norm above 1e-9, L2 subtracts half the squared norm, dot keeps raw.
template <Metric M>
inline float adjust(float raw, float norm) {
    if constexpr (M == Metric::Cosine) {
        // raw / 1 is raw exactly, so this equals the branch on the norm bit for bit and
        // lets a block of rows be adjusted without branches.
        return raw / (norm > 1e-9f ? norm : 1.0f);
    } else if constexpr (M == Metric::L2) {
        return raw + ((norm * -0.5f) * norm);
    } else {
        return raw;
    }
}

inline float adjust_score(float raw, float norm, Metric metric) {
    switch (metric) {
        case Metric::Cosine: return adjust<Metric::Cosine>(raw, norm);
        case Metric::L2: return adjust<Metric::L2>(raw, norm);
        case Metric::Dot: break;
    }
    return raw;
}

// Bound once per query to the transformed query (padded_dim floats), the kernels, the
// row layout and the metric. The layout and metric become template parameters of the
// loop that uses the scorer (see `dispatch`), so no row pays for a switch.
class QueryScorer {
public:
    QueryScorer(const float* q, const RowLayout& layout, Metric metric,
                const simd::Kernels& kernels = simd::best_kernels())
        : q_(q), l_(layout), metric_(metric), k_(kernels) {}

    const float* query() const { return q_; }
    const RowLayout& layout() const { return l_; }
    Metric metric() const { return metric_; }

    template <Layout L>
    float raw(const std::uint8_t* row) const {
        if constexpr (L == Layout::Pure2) {
            return k_.dot_2bit(q_, l_.padded_dim, row, l_.row_bytes);
        } else if constexpr (L == Layout::Pure4) {
            return k_.dot_4bit(q_, l_.padded_dim, row, l_.row_bytes);
        } else {
            const float a = k_.dot_4bit(q_, l_.n4_dims, row, l_.pb4);
            const float b = k_.dot_2bit(q_ + l_.n4_dims, l_.n2_dims, row + l_.pb4, l_.row_bytes - l_.pb4);
            return a + b;
        }
    }

    // Four rows at once; out[r] equals raw<L>(rows[r]) bit for bit.
    template <Layout L>
    void raw4(const std::uint8_t* const* rows, float* out) const {
        if constexpr (L == Layout::Pure2) {
            k_.dot_2bit_x4(q_, l_.padded_dim, rows, l_.row_bytes, out);
        } else if constexpr (L == Layout::Pure4) {
            k_.dot_4bit_x4(q_, l_.padded_dim, rows, l_.row_bytes, out);
        } else {
            float a[4], b[4];
            k_.dot_4bit_x4(q_, l_.n4_dims, rows, l_.pb4, a);
            const std::uint8_t* tails[4] = {rows[0] + l_.pb4, rows[1] + l_.pb4, rows[2] + l_.pb4, rows[3] + l_.pb4};
            k_.dot_2bit_x4(q_ + l_.n4_dims, l_.n2_dims, tails, l_.row_bytes - l_.pb4, b);
            for (int r = 0; r < 4; ++r) out[r] = a[r] + b[r];
        }
    }

    template <Layout L, Metric M>
    float score(const std::uint8_t* row, float norm) const {
        return adjust<M>(raw<L>(row), norm);
    }

    // Runs f.template operator()<L, M>() with this scorer's layout and metric.
    template <class F>
    decltype(auto) dispatch(F&& f) const {
        switch (l_.layout()) {
            case Layout::Pure2: return with_metric<Layout::Pure2>(f);
            case Layout::Pure4: return with_metric<Layout::Pure4>(f);
            case Layout::Mixed: break;
        }
        return with_metric<Layout::Mixed>(f);
    }

private:
    template <Layout L, class F>
    decltype(auto) with_metric(F& f) const {
        switch (metric_) {
            case Metric::Cosine: return f.template operator()<L, Metric::Cosine>();
            case Metric::L2: return f.template operator()<L, Metric::L2>();
            case Metric::Dot: break;
        }
        return f.template operator()<L, Metric::Dot>();
    }

    const float* q_;
    RowLayout l_;
    Metric metric_;
    simd::Kernels k_;
};

}  // namespace korvane
