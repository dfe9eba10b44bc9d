// Compiled with -mavx2; called only when the CPU and the OS support it. Products and
// sums are separate instructions (-ffp-contract=off and explicit mul/add), so each lane
// rounds exactly as the scalar loop does.
#include <immintrin.h>

#include "simd/float_dots.h"

namespace korvane::simd {

namespace {

// R vectors against C blocks: R·C independent accumulators hide the addition latency,
// and each block row loaded serves R vectors.
template <std::size_t R, std::size_t C>
inline void tile(const float* const* v, const float* const* block, std::size_t dim, float* const* out) {
    __m256 acc[R][C];
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t c = 0; c < C; ++c) acc[r][c] = _mm256_set1_ps(-0.0f);
    for (std::size_t d = 0; d < dim; ++d) {
        __m256 col[C];
        for (std::size_t c = 0; c < C; ++c) col[c] = _mm256_loadu_ps(block[c] + d * kDotLanes);
        for (std::size_t r = 0; r < R; ++r) {
            const __m256 xv = _mm256_broadcast_ss(v[r] + d);
            for (std::size_t c = 0; c < C; ++c) acc[r][c] = _mm256_add_ps(acc[r][c], _mm256_mul_ps(xv, col[c]));
        }
    }
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t c = 0; c < C; ++c) _mm256_storeu_ps(out[r] + c * kDotLanes, acc[r][c]);
}

template <std::size_t R>
inline void rows(const float* x, std::size_t i, std::size_t x_stride, const float* blocks, std::size_t nblocks,
                 std::size_t dim, float* out) {
    const float* v[R];
    for (std::size_t r = 0; r < R; ++r) v[r] = x + (i + r) * x_stride;
    std::size_t b = 0;
    for (; b + 4 <= nblocks; b += 4) {
        const float* blk[4];
        float* o[R];
        for (std::size_t c = 0; c < 4; ++c) blk[c] = blocks + (b + c) * dim * kDotLanes;
        for (std::size_t r = 0; r < R; ++r) o[r] = out + ((i + r) * nblocks + b) * kDotLanes;
        tile<R, 4>(v, blk, dim, o);
    }
    for (; b < nblocks; ++b) {
        const float* blk[1] = {blocks + b * dim * kDotLanes};
        float* o[R];
        for (std::size_t r = 0; r < R; ++r) o[r] = out + ((i + r) * nblocks + b) * kDotLanes;
        tile<R, 1>(v, blk, dim, o);
    }
}

}  // namespace

void block_dots_avx2(const float* x, std::size_t nx, std::size_t x_stride, const float* blocks,
                     std::size_t nblocks, std::size_t dim, float* out) {
    std::size_t i = 0;
    for (; i + 2 <= nx; i += 2) rows<2>(x, i, x_stride, blocks, nblocks, dim, out);
    for (; i < nx; ++i) rows<1>(x, i, x_stride, blocks, nblocks, dim, out);
}

}  // namespace korvane::simd
