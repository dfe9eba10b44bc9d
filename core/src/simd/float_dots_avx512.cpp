// Compiled with -mavx512f; called only when the CPU and the OS support it.
#include <immintrin.h>

#include <algorithm>

#include "simd/float_dots.h"

namespace korvane::simd {

namespace {

// The lane sum of an accumulator, pairwise: four levels.
inline float hsum16(__m512 v) {
    const __m256 lo = _mm512_castps512_ps256(v);
    const __m256 hi = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
    const __m256 e = _mm256_add_ps(lo, hi);
    const __m128 h = _mm_add_ps(_mm256_castps256_ps128(e), _mm256_extractf128_ps(e, 1));
    const __m128 p = _mm_add_ps(h, _mm_movehl_ps(h, h));
    return _mm_cvtss_f32(_mm_add_ss(p, _mm_movehdup_ps(p)));
}

// G vectors against q, two accumulators each (32 chains a vector, each at most dim / 32 + 1
// fused multiply-adds long), the query loaded once for all of them.
template <std::size_t G>
inline void fast_group(const float* q, const float* const* xs, std::size_t dim, float* out,
                       const float* const* next = nullptr, std::size_t n_next = 0) {
    __m512 a0[G], a1[G];
    for (std::size_t g = 0; g < G; ++g) a0[g] = a1[g] = _mm512_setzero_ps();
    std::size_t d = 0;
    for (; d + 32 <= dim; d += 32) {
        const __m512 q0 = _mm512_loadu_ps(q + d), q1 = _mm512_loadu_ps(q + d + 16);
        // The next vectors' lines at the same place, so that they arrive while these are summed.
        for (std::size_t k = 0; k < n_next; ++k) {
            _mm_prefetch(reinterpret_cast<const char*>(next[k] + d), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(next[k] + d + 16), _MM_HINT_T0);
        }
        for (std::size_t g = 0; g < G; ++g) {
            a0[g] = _mm512_fmadd_ps(q0, _mm512_loadu_ps(xs[g] + d), a0[g]);
            a1[g] = _mm512_fmadd_ps(q1, _mm512_loadu_ps(xs[g] + d + 16), a1[g]);
        }
    }
    if (d + 16 <= dim) {
        const __m512 q0 = _mm512_loadu_ps(q + d);
        for (std::size_t g = 0; g < G; ++g) a0[g] = _mm512_fmadd_ps(q0, _mm512_loadu_ps(xs[g] + d), a0[g]);
        d += 16;
    }
    if (d < dim) {
        const __mmask16 mask = static_cast<__mmask16>((1u << (dim - d)) - 1);
        const __m512 q0 = _mm512_maskz_loadu_ps(mask, q + d);
        for (std::size_t g = 0; g < G; ++g) a1[g] = _mm512_fmadd_ps(q0, _mm512_maskz_loadu_ps(mask, xs[g] + d), a1[g]);
    }
    for (std::size_t g = 0; g < G; ++g) out[g] = hsum16(_mm512_add_ps(a0[g], a1[g]));
}

// Q vectors against X vectors, one accumulator a pair (chains of at most dim / 16 + 1).
template <std::size_t Q, std::size_t X>
void grid(const float* const* qs, const float* const* xs, std::size_t dim, float* out) {
    __m512 acc[Q][X];
    for (std::size_t a = 0; a < Q; ++a)
        for (std::size_t b = 0; b < X; ++b) acc[a][b] = _mm512_setzero_ps();
    std::size_t d = 0;
    for (; d + 16 <= dim; d += 16) {
        __m512 x[X];
        for (std::size_t b = 0; b < X; ++b) x[b] = _mm512_loadu_ps(xs[b] + d);
        for (std::size_t a = 0; a < Q; ++a) {
            const __m512 q = _mm512_loadu_ps(qs[a] + d);
            for (std::size_t b = 0; b < X; ++b) acc[a][b] = _mm512_fmadd_ps(q, x[b], acc[a][b]);
        }
    }
    if (d < dim) {
        const __mmask16 mask = static_cast<__mmask16>((1u << (dim - d)) - 1);
        __m512 x[X];
        for (std::size_t b = 0; b < X; ++b) x[b] = _mm512_maskz_loadu_ps(mask, xs[b] + d);
        for (std::size_t a = 0; a < Q; ++a) {
            const __m512 q = _mm512_maskz_loadu_ps(mask, qs[a] + d);
            for (std::size_t b = 0; b < X; ++b) acc[a][b] = _mm512_fmadd_ps(q, x[b], acc[a][b]);
        }
    }
    for (std::size_t a = 0; a < Q; ++a)
        for (std::size_t b = 0; b < X; ++b) out[a * X + b] = hsum16(acc[a][b]);
}

template <std::size_t Q>
void grid_rows(const float* const* qs, const float* const* xs, std::size_t nx, std::size_t dim, float* out) {
    switch (nx) {
        case 1: grid<Q, 1>(qs, xs, dim, out); break;
        case 2: grid<Q, 2>(qs, xs, dim, out); break;
        case 3: grid<Q, 3>(qs, xs, dim, out); break;
        case 4: grid<Q, 4>(qs, xs, dim, out); break;
        default: break;
    }
}

}  // namespace

void fast_grid_avx512(const float* const* qs, std::size_t nq, const float* const* xs, std::size_t nx,
                      std::size_t dim, float* out) {
    switch (nq) {
        case 1: grid_rows<1>(qs, xs, nx, dim, out); break;
        case 2: grid_rows<2>(qs, xs, nx, dim, out); break;
        case 3: grid_rows<3>(qs, xs, nx, dim, out); break;
        case 4: grid_rows<4>(qs, xs, nx, dim, out); break;
        default: break;
    }
}

void fast_dots_avx512(const float* q, const float* const* xs, std::size_t count, std::size_t dim, float* out) {
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) fast_group<4>(q, xs + j, dim, out + j, xs + j + 4, std::min<std::size_t>(4, count - j - 4));
    switch (count - j) {
        case 3: fast_group<3>(q, xs + j, dim, out + j); break;
        case 2: fast_group<2>(q, xs + j, dim, out + j); break;
        case 1: fast_group<1>(q, xs + j, dim, out + j); break;
        default: break;
    }
}

}  // namespace korvane::simd
