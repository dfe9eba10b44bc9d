// Compiled with -mavx2; called only when the CPU and the OS support it. Products and
// sums are separate instructions (-ffp-contract=off and explicit mul/add), so each lane
// rounds exactly as the scalar loop does.
#include <immintrin.h>

#include <cstring>

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

template <std::size_t R, std::size_t C>
inline void run_tile(const float* const* v, std::size_t i, const float* blocks, std::size_t b, std::size_t nblocks,
                     std::size_t dim, float* out) {
    const float* blk[C];
    float* o[R];
    for (std::size_t c = 0; c < C; ++c) blk[c] = blocks + (b + c) * dim * kDotLanes;
    for (std::size_t r = 0; r < R; ++r) o[r] = out + ((i + r) * nblocks + b) * kDotLanes;
    tile<R, C>(v, blk, dim, o);
}

// R vectors against every block, R·C accumulators at a time.
template <std::size_t R>
inline void rows(const float* const* v, std::size_t i, const float* blocks, std::size_t nblocks, std::size_t dim,
                 float* out) {
    std::size_t b = 0;
    // Fewer vectors need more blocks at once to keep enough additions in flight.
    constexpr std::size_t kWide = 8 / R;
    if constexpr (kWide > 1) {
        for (; b + kWide <= nblocks; b += kWide) run_tile<R, kWide>(v, i, blocks, b, nblocks, dim, out);
    }
    for (; b < nblocks; ++b) run_tile<R, 1>(v, i, blocks, b, nblocks, dim, out);
}

}  // namespace

void block_dots_ptrs_avx2(const float* const* xs, std::size_t nx, const float* blocks, std::size_t nblocks,
                          std::size_t dim, float* out) {
    std::size_t i = 0;
    for (; i + 4 <= nx; i += 4) rows<4>(xs + i, i, blocks, nblocks, dim, out);
    for (; i + 2 <= nx; i += 2) rows<2>(xs + i, i, blocks, nblocks, dim, out);
    for (; i < nx; ++i) rows<1>(xs + i, i, blocks, nblocks, dim, out);
}

void block_dots_avx2(const float* x, std::size_t nx, std::size_t x_stride, const float* blocks,
                     std::size_t nblocks, std::size_t dim, float* out) {
    constexpr std::size_t kChunk = 64;
    const float* xs[kChunk];
    for (std::size_t start = 0; start < nx; start += kChunk) {
        const std::size_t n = nx - start < kChunk ? nx - start : kChunk;
        for (std::size_t j = 0; j < n; ++j) xs[j] = x + (start + j) * x_stride;
        block_dots_ptrs_avx2(xs, n, blocks, nblocks, dim, out + start * nblocks * kDotLanes);
    }
}

namespace {

// Rows r0..r7 (8 floats each) to columns: out[d] holds element d of every row.
inline void transpose8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

}  // namespace

namespace {

// G groups of eight vectors at once: G independent chains of additions.
template <std::size_t G>
void many_dots_groups(const float* q, const float* const* v, std::size_t dim, float* lanes) {
    __m256 acc[G];
    for (std::size_t g = 0; g < G; ++g) acc[g] = _mm256_set1_ps(-0.0f);
    std::size_t d = 0;
    for (; d + 8 <= dim; d += 8) {
        __m256 col[G][8];
        for (std::size_t g = 0; g < G; ++g) {
            for (std::size_t l = 0; l < 8; ++l) col[g][l] = _mm256_loadu_ps(v[8 * g + l] + d);
            transpose8(col[g]);  // col[g][t] holds element d + t of the group's vectors
        }
        for (std::size_t t = 0; t < 8; ++t) {
            const __m256 qv = _mm256_set1_ps(q[d + t]);
            for (std::size_t g = 0; g < G; ++g) acc[g] = _mm256_add_ps(acc[g], _mm256_mul_ps(qv, col[g][t]));
        }
    }
    for (; d < dim; ++d) {
        const __m256 qv = _mm256_set1_ps(q[d]);
        for (std::size_t g = 0; g < G; ++g) {
            const float* const* w = v + 8 * g;
            const __m256 col = _mm256_setr_ps(w[0][d], w[1][d], w[2][d], w[3][d], w[4][d], w[5][d], w[6][d], w[7][d]);
            acc[g] = _mm256_add_ps(acc[g], _mm256_mul_ps(qv, col));
        }
    }
    for (std::size_t g = 0; g < G; ++g) _mm256_storeu_ps(lanes + 8 * g, acc[g]);
}

}  // namespace

void many_dots_avx2(const float* q, const float* const* vecs, std::size_t count, std::size_t dim, float* out) {
    for (std::size_t j = 0; j < count; j += 16) {
        const std::size_t n = count - j < 16 ? count - j : 16;
        const float* v[16];
        for (std::size_t l = 0; l < 16; ++l) v[l] = vecs[j + (l < n ? l : 0)];  // spare lanes repeat a vector
        float lanes[16];
        if (n > 8) many_dots_groups<2>(q, v, dim, lanes);
        else many_dots_groups<1>(q, v, dim, lanes);
        for (std::size_t l = 0; l < n; ++l) out[j + l] = lanes[l];
    }
}

namespace {

// The lane sum of an accumulator, pairwise: three levels.
inline float hsum8(__m256 v) {
    const __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 p = _mm_add_ps(h, _mm_movehl_ps(h, h));
    return _mm_cvtss_f32(_mm_add_ss(p, _mm_movehdup_ps(p)));
}

// G vectors against q, two accumulators each (16 chains a vector, each at most dim / 16 + 1
// fused multiply-adds long), the query loaded once for all of them.
template <std::size_t G>
inline void fast_group(const float* q, const float* const* xs, std::size_t dim, float* out) {
    __m256 a0[G], a1[G];
    for (std::size_t g = 0; g < G; ++g) a0[g] = a1[g] = _mm256_setzero_ps();
    std::size_t d = 0;
    for (; d + 16 <= dim; d += 16) {
        const __m256 q0 = _mm256_loadu_ps(q + d), q1 = _mm256_loadu_ps(q + d + 8);
        for (std::size_t g = 0; g < G; ++g) {
            a0[g] = _mm256_fmadd_ps(q0, _mm256_loadu_ps(xs[g] + d), a0[g]);
            a1[g] = _mm256_fmadd_ps(q1, _mm256_loadu_ps(xs[g] + d + 8), a1[g]);
        }
    }
    if (d + 8 <= dim) {
        const __m256 q0 = _mm256_loadu_ps(q + d);
        for (std::size_t g = 0; g < G; ++g) a0[g] = _mm256_fmadd_ps(q0, _mm256_loadu_ps(xs[g] + d), a0[g]);
        d += 8;
    }
    if (d < dim) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(dim - d)), lane);
        const __m256 q0 = _mm256_maskload_ps(q + d, mask);
        for (std::size_t g = 0; g < G; ++g) a1[g] = _mm256_fmadd_ps(q0, _mm256_maskload_ps(xs[g] + d, mask), a1[g]);
    }
    for (std::size_t g = 0; g < G; ++g) out[g] = hsum8(_mm256_add_ps(a0[g], a1[g]));
}

// Q vectors against X vectors, one accumulator a pair (chains of at most dim / 8 + 1).
template <std::size_t Q, std::size_t X>
void grid(const float* const* qs, const float* const* xs, std::size_t dim, float* out, std::size_t stride) {
    __m256 acc[Q][X];
    for (std::size_t a = 0; a < Q; ++a)
        for (std::size_t b = 0; b < X; ++b) acc[a][b] = _mm256_setzero_ps();
    std::size_t d = 0;
    for (; d + 8 <= dim; d += 8) {
        __m256 x[X];
        for (std::size_t b = 0; b < X; ++b) x[b] = _mm256_loadu_ps(xs[b] + d);
        for (std::size_t a = 0; a < Q; ++a) {
            const __m256 q = _mm256_loadu_ps(qs[a] + d);
            for (std::size_t b = 0; b < X; ++b) acc[a][b] = _mm256_fmadd_ps(q, x[b], acc[a][b]);
        }
    }
    if (d < dim) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(dim - d)), lane);
        __m256 x[X];
        for (std::size_t b = 0; b < X; ++b) x[b] = _mm256_maskload_ps(xs[b] + d, mask);
        for (std::size_t a = 0; a < Q; ++a) {
            const __m256 q = _mm256_maskload_ps(qs[a] + d, mask);
            for (std::size_t b = 0; b < X; ++b) acc[a][b] = _mm256_fmadd_ps(q, x[b], acc[a][b]);
        }
    }
    for (std::size_t a = 0; a < Q; ++a)
        for (std::size_t b = 0; b < X; ++b) out[a * stride + b] = hsum8(acc[a][b]);
}

template <std::size_t Q>
void grid_rows(const float* const* qs, const float* const* xs, std::size_t nx, std::size_t dim, float* out) {
    // Two columns a pass: sixteen registers hold Q·2 accumulators and the loads.
    std::size_t b = 0;
    for (; b + 2 <= nx; b += 2) grid<Q, 2>(qs, xs + b, dim, out + b, nx);
    if (b < nx) grid<Q, 1>(qs, xs + b, dim, out + b, nx);
}

}  // namespace

void fast_grid_avx2(const float* const* qs, std::size_t nq, const float* const* xs, std::size_t nx,
                    std::size_t dim, float* out) {
    switch (nq) {
        case 1: grid_rows<1>(qs, xs, nx, dim, out); break;
        case 2: grid_rows<2>(qs, xs, nx, dim, out); break;
        case 3: grid_rows<3>(qs, xs, nx, dim, out); break;
        case 4: grid_rows<4>(qs, xs, nx, dim, out); break;
        default: break;
    }
}

void fast_dots_avx2(const float* q, const float* const* xs, std::size_t count, std::size_t dim, float* out) {
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) fast_group<4>(q, xs + j, dim, out + j);
    switch (count - j) {
        case 3: fast_group<3>(q, xs + j, dim, out + j); break;
        case 2: fast_group<2>(q, xs + j, dim, out + j); break;
        case 1: fast_group<1>(q, xs + j, dim, out + j); break;
        default: break;
    }
}

void halves_to_floats_avx2(const std::uint16_t* in, float* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(h));
    }
    // Rows read in place from a mapped file may start at an odd byte.
    for (; i < n; ++i) {
        std::uint16_t h;
        std::memcpy(&h, reinterpret_cast<const std::uint8_t*>(in) + 2 * i, 2);
        out[i] = _cvtsh_ss(h);
    }
}

}  // namespace korvane::simd
