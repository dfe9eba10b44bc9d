// AVX-512 (F + BW) kernel. Compiled with -mavx512f -mavx512bw and called only when the
// CPU and the OS support both. The test suite compiles this file a second time against
// SIMDe's portable intrinsics so the kernel is exercised on machines without AVX-512.
#if defined(KORVANE_AVX512_EMULATED)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#define KORVANE_DOT_4BIT_AVX512 dot_4bit_avx512_emulated
#define KORVANE_DOT_4BIT_AVX512_X4 dot_4bit_avx512_x4_emulated
#else
#include <immintrin.h>
#define KORVANE_DOT_4BIT_AVX512 dot_4bit_avx512
#define KORVANE_DOT_4BIT_AVX512_X4 dot_4bit_avx512_x4
#endif

#include <cstring>

#include "base/tables.h"
#include "simd/kernels.h"
#include "simd/tail.h"

namespace korvane::simd {

float KORVANE_DOT_4BIT_AVX512(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);
void KORVANE_DOT_4BIT_AVX512_X4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B,
                                float* out);

namespace {

// The 16 codes of 8 bytes, code j in the low four bits of lane j (the permutes read only
// those bits): lanes 0-7 take the first 4 bytes, lanes 8-15 the next 4, each shifted
// right by 4 * (j mod 8). Broadcasts, a blend and a shift: no cross-lane shuffle.
struct Codes16 {
    __m512i shifts = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 0, 4, 8, 12, 16, 20, 24, 28);

    __m512i operator()(const std::uint8_t* p) const {
        std::int32_t first, second;
        std::memcpy(&first, p, 4);
        std::memcpy(&second, p + 4, 4);
        const __m512i words = _mm512_mask_blend_epi32(0xFF00, _mm512_set1_epi32(first), _mm512_set1_epi32(second));
        return _mm512_srlv_epi32(words, shifts);
    }
};

// The 16 centroids of 8 code bytes, in query order, through one 16-entry permute.
inline __m512 lookup8(const std::uint8_t* p, __m512 table, const Codes16& codes) {
    return _mm512_permutexvar_ps(codes(p), table);
}

// upper 8 lanes plus lower 8; upper 4 plus lower 4 give u0..u3; (u0 + u2) + (u1 + u3)
inline float hsum16(__m512 acc) {
    const __m256 h8 = _mm256_add_ps(_mm512_castps512_ps256(acc),
                                    _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(acc), 1)));
    const __m128 h4 = _mm_add_ps(_mm256_castps256_ps128(h8), _mm256_extractf128_ps(h8, 1));
    alignas(16) float u[4];
    _mm_store_ps(u, h4);
    return (u[0] + u[2]) + (u[1] + u[3]);
}

}  // namespace

float KORVANE_DOT_4BIT_AVX512(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B) {
    const __m512 table = _mm512_loadu_ps(CENTROIDS_4BIT.data());
    const Codes16 codes16;
    const std::size_t nv = B < L / 2 ? B : L / 2;
    __m512 acc = _mm512_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= nv; i += 8) acc = _mm512_fmadd_ps(_mm512_loadu_ps(q + 2 * i), lookup8(codes + i, table, codes16), acc);
    return detail::tail_4bit(hsum16(acc), q, L, codes, i, B);
}

namespace {

// The first two halving steps of hsum16 for one row: lanes u0..u3.
inline __m128 halve16(__m512 acc) {
    const __m256 h8 = _mm256_add_ps(_mm512_castps512_ps256(acc),
                                    _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(acc), 1)));
    return _mm_add_ps(_mm256_castps256_ps128(h8), _mm256_extractf128_ps(h8, 1));
}

}  // namespace

void KORVANE_DOT_4BIT_AVX512_X4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B,
                                float* out) {
    const __m512 table = _mm512_loadu_ps(CENTROIDS_4BIT.data());
    const Codes16 codes16;
    const std::size_t nv = B < L / 2 ? B : L / 2;
    __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps(), a2 = _mm512_setzero_ps(), a3 = _mm512_setzero_ps();
    const std::uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
    std::size_t i = 0;
    for (; i + 8 <= nv; i += 8) {
        const __m512 qq = _mm512_loadu_ps(q + 2 * i);
        a0 = _mm512_fmadd_ps(qq, lookup8(r0 + i, table, codes16), a0);
        a1 = _mm512_fmadd_ps(qq, lookup8(r1 + i, table, codes16), a1);
        a2 = _mm512_fmadd_ps(qq, lookup8(r2 + i, table, codes16), a2);
        a3 = _mm512_fmadd_ps(qq, lookup8(r3 + i, table, codes16), a3);
    }
    // hsum16 of the four rows side by side: after the halving steps, transpose so that
    // lane r of Uk holds row r's uk, then (u0 + u2) + (u1 + u3) for all rows at once.
    const __m128 h0 = halve16(a0), h1 = halve16(a1), h2 = halve16(a2), h3 = halve16(a3);
    const __m128 t0 = _mm_unpacklo_ps(h0, h1), t1 = _mm_unpackhi_ps(h0, h1);
    const __m128 t2 = _mm_unpacklo_ps(h2, h3), t3 = _mm_unpackhi_ps(h2, h3);
    const __m128 u0 = _mm_movelh_ps(t0, t2), u1 = _mm_movehl_ps(t2, t0);
    const __m128 u2 = _mm_movelh_ps(t1, t3), u3 = _mm_movehl_ps(t3, t1);
    _mm_storeu_ps(out, _mm_add_ps(_mm_add_ps(u0, u2), _mm_add_ps(u1, u3)));
    if (i < B) {
        out[0] = detail::tail_4bit(out[0], q, L, r0, i, B);
        out[1] = detail::tail_4bit(out[1], q, L, r1, i, B);
        out[2] = detail::tail_4bit(out[2], q, L, r2, i, B);
        out[3] = detail::tail_4bit(out[3], q, L, r3, i, B);
    }
}

}  // namespace korvane::simd
