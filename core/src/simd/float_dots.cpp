#include "simd/float_dots.h"

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
