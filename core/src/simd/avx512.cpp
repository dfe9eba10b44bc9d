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

#include "base/tables.h"
#include "simd/kernels.h"
#include "simd/tail.h"

namespace korvane::simd {

float KORVANE_DOT_4BIT_AVX512(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);
void KORVANE_DOT_4BIT_AVX512_X4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B,
                                float* out);

namespace {

// 16 byte-sized codes to 16 32-bit lanes.
inline __m512i widen16(__m128i codes) {
#if defined(KORVANE_AVX512_EMULATED)
    const __m256i lo = _mm256_cvtepu8_epi32(codes);
    const __m256i hi = _mm256_cvtepu8_epi32(_mm_unpackhi_epi64(codes, codes));
    return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
#else
    return _mm512_cvtepu8_epi32(codes);
#endif
}

// The 16 centroids of 8 code bytes, in query order, through one 16-entry permute.
inline __m512 lookup8(const std::uint8_t* p, __m512 table, __m128i mask) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    const __m128i lo = _mm_and_si128(bytes, mask);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(bytes, 4), mask);
    return _mm512_permutexvar_ps(widen16(_mm_unpacklo_epi8(lo, hi)), table);
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
    const __m128i mask = _mm_set1_epi8(0x0F);
    const std::size_t nv = B < L / 2 ? B : L / 2;
    __m512 acc = _mm512_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= nv; i += 8) acc = _mm512_fmadd_ps(_mm512_loadu_ps(q + 2 * i), lookup8(codes + i, table, mask), acc);
    return detail::tail_4bit(hsum16(acc), q, L, codes, i, B);
}

void KORVANE_DOT_4BIT_AVX512_X4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B,
                                float* out) {
    const __m512 table = _mm512_loadu_ps(CENTROIDS_4BIT.data());
    const __m128i mask = _mm_set1_epi8(0x0F);
    const std::size_t nv = B < L / 2 ? B : L / 2;
    __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps(), a2 = _mm512_setzero_ps(), a3 = _mm512_setzero_ps();
    const std::uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
    std::size_t i = 0;
    for (; i + 8 <= nv; i += 8) {
        const __m512 qq = _mm512_loadu_ps(q + 2 * i);
        a0 = _mm512_fmadd_ps(qq, lookup8(r0 + i, table, mask), a0);
        a1 = _mm512_fmadd_ps(qq, lookup8(r1 + i, table, mask), a1);
        a2 = _mm512_fmadd_ps(qq, lookup8(r2 + i, table, mask), a2);
        a3 = _mm512_fmadd_ps(qq, lookup8(r3 + i, table, mask), a3);
    }
    out[0] = detail::tail_4bit(hsum16(a0), q, L, r0, i, B);
    out[1] = detail::tail_4bit(hsum16(a1), q, L, r1, i, B);
    out[2] = detail::tail_4bit(hsum16(a2), q, L, r2, i, B);
    out[3] = detail::tail_4bit(hsum16(a3), q, L, r3, i, B);
}

}  // namespace korvane::simd
