// AVX-512 (F + BW) kernel. Compiled with -mavx512f -mavx512bw and called only when the
// CPU and the OS support both. The test suite compiles this file a second time against
// SIMDe's portable intrinsics so the kernel is exercised on machines without AVX-512.
#if defined(KORVANE_AVX512_EMULATED)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#define KORVANE_DOT_4BIT_AVX512 dot_4bit_avx512_emulated
#else
#include <immintrin.h>
#define KORVANE_DOT_4BIT_AVX512 dot_4bit_avx512
#endif

#include "quantize/tables.h"
#include "simd/kernels.h"
#include "simd/tail.h"

namespace korvane::simd {

float KORVANE_DOT_4BIT_AVX512(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);

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

}  // namespace

float KORVANE_DOT_4BIT_AVX512(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B) {
    const __m512 table = _mm512_loadu_ps(CENTROIDS_4BIT.data());
    const __m128i mask = _mm_set1_epi8(0x0F);
    const std::size_t nv = B < L / 2 ? B : L / 2;
    __m512 acc = _mm512_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= nv; i += 8) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + i));
        const __m128i lo = _mm_and_si128(bytes, mask);
        const __m128i hi = _mm_and_si128(_mm_srli_epi16(bytes, 4), mask);
        const __m512i idx = widen16(_mm_unpacklo_epi8(lo, hi));  // codes in query order
        acc = _mm512_fmadd_ps(_mm512_loadu_ps(q + 2 * i), _mm512_permutexvar_ps(idx, table), acc);
    }
    // upper 8 lanes plus lower 8; upper 4 plus lower 4 give u0..u3; (u0 + u2) + (u1 + u3)
    const __m256 h8 = _mm256_add_ps(_mm512_castps512_ps256(acc),
                                    _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(acc), 1)));
    const __m128 h4 = _mm_add_ps(_mm256_castps256_ps128(h8), _mm256_extractf128_ps(h8, 1));
    alignas(16) float u[4];
    _mm_store_ps(u, h4);
    return detail::tail_4bit((u[0] + u[2]) + (u[1] + u[3]), q, L, codes, i, B);
}

}  // namespace korvane::simd
