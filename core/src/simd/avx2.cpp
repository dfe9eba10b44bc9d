// AVX2 + FMA kernels. Compiled with -mavx2 -mfma and called only when the CPU and the
// OS support both.
#include <immintrin.h>

#include <cstring>

#include "quantize/tables.h"
#include "simd/kernels.h"
#include "simd/tail.h"

namespace korvane::simd {

namespace {

inline float hsum8(__m256 v) {
    // lanes 0-3 plus lanes 4-7 give t0..t3; then (t0 + t1) + (t2 + t3)
    const __m128 t = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    alignas(16) float f[4];
    _mm_store_ps(f, t);
    return (f[0] + f[1]) + (f[2] + f[3]);
}

struct Table4 {
    __m256 lo = _mm256_loadu_ps(CENTROIDS_4BIT.data());
    __m256 hi = _mm256_loadu_ps(CENTROIDS_4BIT.data() + 8);
    __m256i seven = _mm256_set1_epi32(7);

    // 8 codes (one per 32-bit lane) to their centroids: two 8-entry permutes and a select.
    __m256 lookup(__m256i codes) const {
        const __m256 a = _mm256_permutevar8x32_ps(lo, codes);
        const __m256 b = _mm256_permutevar8x32_ps(hi, codes);
        return _mm256_blendv_ps(a, b, _mm256_castsi256_ps(_mm256_cmpgt_epi32(codes, seven)));
    }
};

// 16 code bytes as 32 codes in query order, split into two registers of 16 codes.
inline void interleave_nibbles(__m128i bytes, __m128i& first, __m128i& second) {
    const __m128i mask = _mm_set1_epi8(0x0F);
    const __m128i lo = _mm_and_si128(bytes, mask);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(bytes, 4), mask);
    first = _mm_unpacklo_epi8(lo, hi);
    second = _mm_unpackhi_epi8(lo, hi);
}

// The 8 codes of 4 bytes, in query order, one per lane.
inline __m256i codes_of_group(const std::uint8_t* p) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    __m128i first, second;
    interleave_nibbles(_mm_cvtsi32_si128(static_cast<int>(word)), first, second);
    return _mm256_cvtepu8_epi32(first);
}

}  // namespace

float dot_4bit_avx2(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B) {
    const Table4 table;
    // Bytes whose both slots lie inside the query go through the vector loops.
    const std::size_t nv = B < L / 2 ? B : L / 2;
    std::size_t i = 0;
    __m256 acc;
    {
        __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
        __m256 acc2 = _mm256_setzero_ps(), acc3 = _mm256_setzero_ps();
        for (; i + 16 <= nv; i += 16) {
            __m128i first, second;
            interleave_nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i)), first, second);
            const float* qq = q + 2 * i;
            acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(qq), table.lookup(_mm256_cvtepu8_epi32(first)), acc0);
            acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(qq + 8),
                                   table.lookup(_mm256_cvtepu8_epi32(_mm_unpackhi_epi64(first, first))), acc1);
            acc2 = _mm256_fmadd_ps(_mm256_loadu_ps(qq + 16), table.lookup(_mm256_cvtepu8_epi32(second)), acc2);
            acc3 = _mm256_fmadd_ps(_mm256_loadu_ps(qq + 24),
                                   table.lookup(_mm256_cvtepu8_epi32(_mm_unpackhi_epi64(second, second))), acc3);
        }
        acc = _mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3));
    }
    for (; i + 4 <= nv; i += 4) {
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(q + 2 * i), table.lookup(codes_of_group(codes + i)), acc);
    }
    return detail::tail_4bit(hsum8(acc), q, L, codes, i, B);
}

float dot_2bit_avx2(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B) {
    // vpermilps looks up each lane's low two bits in its own 128-bit half: the 2-bit
    // table broadcast to both halves maps a code to exactly its centroid.
    const __m256 table = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(CENTROIDS_2BIT.data()));
    const __m256i shifts = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const __m128i spread_pattern = _mm_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, -1, -1, -1, -1, -1, -1, -1, -1);
    const std::size_t nv = B < L / 4 ? B : L / 4;
    __m256 acc = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 2 <= nv; i += 2) {
        // byte 0 in lanes 0-3, byte 1 in lanes 4-7, each lane shifted to its slot
        std::uint16_t pair;
        std::memcpy(&pair, codes + i, 2);
        const __m128i spread = _mm_shuffle_epi8(_mm_cvtsi32_si128(pair), spread_pattern);
        const __m256i slot = _mm256_srlv_epi32(_mm256_cvtepu8_epi32(spread), shifts);
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(q + 4 * i), _mm256_permutevar_ps(table, slot), acc);
    }
    return detail::tail_2bit(hsum8(acc), q, L, codes, i, B);
}

}  // namespace korvane::simd
