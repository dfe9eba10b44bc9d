#include "simd/float_dots.h"

#include <cmath>
#include <limits>

#include "simd/kernels.h"

namespace korvane::simd {

void block_dots_scalar(const float* x, std::size_t nx, std::size_t x_stride, const float* blocks,
                       std::size_t nblocks, std::size_t dim, float* out) {
    for (std::size_t i = 0; i < nx; ++i) {
        const float* v = x + i * x_stride;
        block_dots_ptrs_scalar(&v, 1, blocks, nblocks, dim, out + i * nblocks * kDotLanes);
    }
}

void block_dots_ptrs_scalar(const float* const* xs, std::size_t nx, const float* blocks, std::size_t nblocks,
                            std::size_t dim, float* out) {
    for (std::size_t i = 0; i < nx; ++i) {
        const float* v = xs[i];
        for (std::size_t b = 0; b < nblocks; ++b) {
            const float* block = blocks + b * dim * kDotLanes;
            float* o = out + (i * nblocks + b) * kDotLanes;
            for (std::size_t l = 0; l < kDotLanes; ++l) {
                float s = -0.0f;
                for (std::size_t d = 0; d < dim; ++d) s += v[d] * block[d * kDotLanes + l];  // in index order
                o[l] = s;
            }
        }
    }
}

void many_dots_scalar(const float* q, const float* const* vecs, std::size_t count, std::size_t dim, float* out) {
    for (std::size_t j = 0; j < count; ++j) out[j] = dot_sequential(q, vecs[j], dim);
}

void fast_dots_scalar(const float* q, const float* const* xs, std::size_t count, std::size_t dim, float* out) {
    for (std::size_t j = 0; j < count; ++j) {
        const float* x = xs[j];
        float acc[8] = {};
        std::size_t d = 0;
        for (; d + 8 <= dim; d += 8) {
            for (std::size_t l = 0; l < 8; ++l) acc[l] += q[d + l] * x[d + l];
        }
        for (std::size_t l = 0; d + l < dim; ++l) acc[l] += q[d + l] * x[d + l];
        out[j] = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
    }
}

void fast_grid_scalar(const float* const* qs, std::size_t nq, const float* const* xs, std::size_t nx,
                      std::size_t dim, float* out) {
    for (std::size_t a = 0; a < nq; ++a) fast_dots_scalar(qs[a], xs, nx, dim, out + a * nx);
}

FastDots best_fast_dots() {
    static const FastDots k = level_supported(Level::Avx512) ? kFastDotsAvx512
                              : level_supported(Level::Avx2) ? kFastDotsAvx2
                                                             : kFastDotsScalar;
    return k;
}

DotNorms dot_norms(const float* x, std::size_t dim) {
    // Squares and weighted squares are exact in double and their sums are within dim·2^-53
    // of the true ones: rounding up by 2^-20 covers that and the conversion to float.
    double s = 0.0, sw = 0.0;
    for (std::size_t d = 0; d < dim; ++d) {
        const double v = x[d];
        const double w = static_cast<double>(dim + 1 - d) * v;
        s += v * v;
        sw += w * w;
    }
    constexpr double kUp = 1.0 + 0x1.0p-20;
    const double norm = std::sqrt(s) * kUp;
    const double weighted = std::sqrt(sw) * kUp;
    if (!(norm <= 0x1.0p62) || !(weighted <= 0x1.0p100)) {
        constexpr float inf = std::numeric_limits<float>::infinity();
        return {inf, inf};
    }
    return {static_cast<float>(norm), static_cast<float>(weighted)};
}

DotErrorModel fast_dot_error_model(std::size_t dim, std::size_t partials) {
    // With u = 2^-24 and p_d = q_d·x_d: the in-order sum rounds product d at most dim + 1 - d
    // times (its multiply and every later addition), each time by at most u times a sum of
    // |p_i|, so it is within u(1+g)·sum (dim + 1 - d)|p_d| of the exact dot product; a fast
    // kernel rounds each product at most `steps` times (its chain, the pairwise sums, a
    // separate multiply), within u(1+g)·steps·sum |p_d|. Both together are at most
    // u(1+g)·(|w∘q| + steps·|q|)·|x| (Cauchy-Schwarz), g covering the growth of the
    // partial sums. Products and fused results that underflow add at most 2^-150 each.
    constexpr float inf = std::numeric_limits<float>::infinity();
    std::size_t depth = 0;
    while ((std::size_t{1} << depth) < partials) ++depth;
    const double steps = static_cast<double>(dim / partials + depth + 3);
    const double ku = (static_cast<double>(dim) + steps + 1.0) * 0x1.0p-24;
    if (!(ku < 0.25)) return {inf, inf, inf};
    // The margin covers the float roundings of slope() and of slope·|x| + floor.
    const double per_weighted = 0x1.0p-24 / (1.0 - ku) * (1.0 + 0x1.0p-10);
    const double floor = (static_cast<double>(dim) + 1.0) * 0x1.0p-148;
    constexpr double kUp = 1.0 + 0x1.0p-20;
    return {static_cast<float>(per_weighted * kUp), static_cast<float>(steps), static_cast<float>(floor * kUp)};
}

ManyDotsFn best_many_dots() {
    static const ManyDotsFn fn = level_supported(Level::Avx2) ? many_dots_avx2 : many_dots_scalar;
    return fn;
}

BlockDotsPtrsFn best_block_dots_ptrs() {
    static const BlockDotsPtrsFn fn = level_supported(Level::Avx2) ? block_dots_ptrs_avx2 : block_dots_ptrs_scalar;
    return fn;
}

HalvesFn best_halves_to_floats() {
    static const HalvesFn fn =
        level_supported(Level::Avx2) && cpu_features().f16c ? halves_to_floats_avx2 : nullptr;
    return fn;
}

BlockDotsFn best_block_dots() {
    static const BlockDotsFn fn = level_supported(Level::Avx2) ? block_dots_avx2 : block_dots_scalar;
    return fn;
}

}  // namespace korvane::simd
