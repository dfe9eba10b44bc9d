// AVX-512 (F + BW) kernel. Compiled with -mavx512f -mavx512bw and called only when the
// CPU and the OS support both. The test suite compiles this file a second time against
// SIMDe's portable intrinsics so the kernel is exercised on machines without AVX-512.
#if defined(KORVANE_AVX512_EMULATED)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#define KORVANE_DOT_4BIT_AVX512 dot_4bit_avx512_emulated
#define KORVANE_DOT_4BIT_AVX512_X4 dot_4bit_avx512_x4_emulated
#define KORVANE_BLOCK_SCAN_AVX512 block_scan_avx512_emulated
#define KORVANE_BLOCK_SCAN_MANY_AVX512 block_scan_many_avx512_emulated
#else
#include <immintrin.h>
#define KORVANE_DOT_4BIT_AVX512 dot_4bit_avx512
#define KORVANE_DOT_4BIT_AVX512_X4 dot_4bit_avx512_x4
#define KORVANE_BLOCK_SCAN_AVX512 block_scan_avx512
#define KORVANE_BLOCK_SCAN_MANY_AVX512 block_scan_many_avx512
#endif

#include <cstring>

#include "base/tables.h"
#include "simd/kernels.h"
#include "simd/scan_groups.h"
#include "simd/tail.h"

namespace korvane::simd {

float KORVANE_DOT_4BIT_AVX512(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);
void KORVANE_DOT_4BIT_AVX512_X4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B,
                                float* out);
void KORVANE_BLOCK_SCAN_AVX512(const std::uint8_t* block, std::size_t B, const std::uint8_t* lut, std::uint32_t* out);
void KORVANE_BLOCK_SCAN_MANY_AVX512(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts,
                                    std::size_t nq, std::uint32_t* out);

namespace {

// Codes in a fixed lane order: the 8 code bytes broadcast to every 64-bit lane, lane m
// shifted right by 8m (m < 4) or 8(m - 4) + 4, so that 32-bit lane k holds code ORDER[k]
// in its low four bits (the permutes read only those bits). ORDER is its own inverse.
// The query is put in the same order, so each lane still multiplies the query value and
// centroid of one code and accumulates one fixed query position; the accumulators are
// put back in query order before the horizontal sums.
struct Lanes {
    __m512i shifts = _mm512_setr_epi64(0, 8, 16, 24, 4, 12, 20, 28);
    __m512i order = _mm512_setr_epi32(0, 8, 2, 10, 4, 12, 6, 14, 1, 9, 3, 11, 5, 13, 7, 15);
    __m512 table = _mm512_loadu_ps(CENTROIDS_4BIT.data());

    // The centroids of the 16 codes of 8 bytes, in ORDER.
    __m512 lookup(const std::uint8_t* p) const {
        std::int64_t bytes;
        std::memcpy(&bytes, p, 8);
        return _mm512_permutexvar_ps(_mm512_srlv_epi64(_mm512_set1_epi64(bytes), shifts), table);
    }
    // 16 query floats (or an accumulator) into ORDER and back.
    __m512 reorder(__m512 v) const { return _mm512_permutexvar_ps(order, v); }
};

// 128-bit lanes of a (first two) and b (last two), chosen by IMM as in shuffle_i32x4.
template <int IMM>
inline __m512 lanes128(__m512 a, __m512 b) {
    return _mm512_castsi512_ps(_mm512_shuffle_i32x4(_mm512_castps_si512(a), _mm512_castps_si512(b), IMM));
}

// The horizontal sum of an accumulator in ORDER. In query order it is: upper 8 lanes plus
// lower 8 give h0..h7; upper 4 plus lower 4 give u0..u3; (u0 + u2) + (u1 + u3). In ORDER
// lanes 2m and 2m + 1 hold query lanes j and j + 8, so h[j] is an in-lane pair sum.
inline float hsum16(__m512 acc) {
    // lanes 0, 2, 4, 6: h0, h2, h4, h6; lanes 8, 10, 12, 14: h1, h3, h5, h7
    const __m512 h = _mm512_add_ps(acc, _mm512_shuffle_ps(acc, acc, _MM_SHUFFLE(2, 3, 0, 1)));
    // lanes 0, 2: u0, u2; lanes 8, 10: u1, u3
    const __m512 u = _mm512_add_ps(h, lanes128<_MM_SHUFFLE(2, 3, 0, 1)>(h, h));
    // lane 0: u0 + u2; lane 8: u1 + u3
    const __m512 v = _mm512_add_ps(u, _mm512_shuffle_ps(u, u, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm_cvtss_f32(_mm512_castps512_ps128(v)) + _mm_cvtss_f32(_mm512_extractf32x4_ps(v, 2));
}

}  // namespace

float KORVANE_DOT_4BIT_AVX512(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B) {
    const Lanes lanes;
    const std::size_t nv = B < L / 2 ? B : L / 2;
    __m512 acc = _mm512_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= nv; i += 8) {
        acc = _mm512_fmadd_ps(lanes.reorder(_mm512_loadu_ps(q + 2 * i)), lanes.lookup(codes + i), acc);
    }
    return detail::tail_4bit(hsum16(acc), q, L, codes, i, B);
}

namespace {

// hsum16 of four accumulators in ORDER, side by side. Lane k of an accumulator holds the
// sum for query lane ORDER[k]; lanes 2m and 2m + 1 hold lanes j and j + 8. With h[j] their
// sum, u[t] = h[t] + h[t + 4] and the result (u0 + u2) + (u1 + u3), as in hsum16.
inline __m128 hsum16_x4(__m512 a0, __m512 a1, __m512 a2, __m512 a3) {
    // per 128-bit lane c of each row pair: (h0, h2), (h4, h6), (h1, h3), (h5, h7) for c = 0..3
    const __m512 v01 = _mm512_add_ps(_mm512_shuffle_ps(a0, a1, _MM_SHUFFLE(2, 0, 2, 0)),
                                     _mm512_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 1, 3, 1)));
    const __m512 v23 = _mm512_add_ps(_mm512_shuffle_ps(a2, a3, _MM_SHUFFLE(2, 0, 2, 0)),
                                     _mm512_shuffle_ps(a2, a3, _MM_SHUFFLE(3, 1, 3, 1)));
    // lanes 0, 1, 2, 3: (u0, u2) of rows 0-1, (u1, u3) of rows 0-1, the same of rows 2-3
    const __m512 z = _mm512_add_ps(lanes128<_MM_SHUFFLE(2, 0, 2, 0)>(v01, v23),
                                   lanes128<_MM_SHUFFLE(3, 1, 3, 1)>(v01, v23));
    // (u0, u2) of all rows, then (u1, u3)
    const __m512 zz = lanes128<_MM_SHUFFLE(3, 1, 2, 0)>(z, z);
    const __m256 lo = _mm512_castps512_ps256(zz);
    const __m256 hi = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(zz), 1));
    // u0 + u2 and u1 + u3: (rows 0, 1 | rows 0, 1) and (rows 2, 3 | rows 2, 3)
    const __m256 f = _mm256_add_ps(_mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)),
                                   _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1)));
    const __m128 f0 = _mm256_castps256_ps128(f), f1 = _mm256_extractf128_ps(f, 1);
    return _mm_add_ps(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(1, 0, 1, 0)), _mm_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 2, 3, 2)));
}

}  // namespace

void KORVANE_DOT_4BIT_AVX512_X4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B,
                                float* out) {
    const Lanes lanes;
    const std::size_t nv = B < L / 2 ? B : L / 2;
    __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps(), a2 = _mm512_setzero_ps(), a3 = _mm512_setzero_ps();
    const std::uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
    std::size_t i = 0;
    for (; i + 8 <= nv; i += 8) {
        const __m512 qq = lanes.reorder(_mm512_loadu_ps(q + 2 * i));
        a0 = _mm512_fmadd_ps(qq, lanes.lookup(r0 + i), a0);
        a1 = _mm512_fmadd_ps(qq, lanes.lookup(r1 + i), a1);
        a2 = _mm512_fmadd_ps(qq, lanes.lookup(r2 + i), a2);
        a3 = _mm512_fmadd_ps(qq, lanes.lookup(r3 + i), a3);
    }
    _mm_storeu_ps(out, hsum16_x4(a0, a1, a2, a3));
    if (i < B) {
        out[0] = detail::tail_4bit(out[0], q, L, r0, i, B);
        out[1] = detail::tail_4bit(out[1], q, L, r1, i, B);
        out[2] = detail::tail_4bit(out[2], q, L, r2, i, B);
        out[3] = detail::tail_4bit(out[3], q, L, r3, i, B);
    }
}

namespace {

// Byte positions per segment of the block scan: a 16-bit lane (once the two halves of the
// register are added) takes two looked-up bytes per position, at most 256 values of at
// most 255, so the low-byte sums stay below 2^16.
constexpr std::size_t SCAN_SEGMENT = 128;

// Bytes ahead of the position being read: streaming from memory, the lines arrive in time.
constexpr std::size_t SCAN_PREFETCH_AHEAD = 2048;

// 16-bit accumulators of the block scan: word w of a 128-bit lane adds the bytes of rows
// 2w and 2w + 1 of that lane as one word in `mixed` (wrapping) and the byte of row 2w + 1
// alone in `odd`; row 2w is then mixed - 256 odd.
struct ScanAcc {
    __m512i mixed = _mm512_setzero_si512();
    __m512i odd = _mm512_setzero_si512();

    void add(__m512i v) {
        mixed = _mm512_add_epi16(mixed, v);
        odd = _mm512_add_epi16(odd, _mm512_srli_epi16(v, 8));
    }
};

// Byte positions b and b + 1: v holds them in lanes 0-1 and 2-3 (rows 0-15, 16-31 each),
// lo and hi their laid-out tables (a missing b + 1 has zero codes and zero tables). Both
// lookups hold rows 0-15 in lanes 0 and 2, rows 16-31 in lanes 1 and 3.
inline void scan_step(__m512i v, __m512i lo, __m512i hi, ScanAcc& acc) {
    const __m512i low4 = _mm512_set1_epi8(0x0F);
    acc.add(_mm512_shuffle_epi8(lo, _mm512_and_si512(v, low4)));
    acc.add(_mm512_shuffle_epi8(hi, _mm512_and_si512(_mm512_srli_epi16(v, 4), low4)));
}

// 32-bit sums of the block scan, rows in the order the segments are widened in:
// lo holds rows 0, 2, 4, 6 | 16, 18, 20, 22 | 1, 3, 5, 7 | 17, 19, 21, 23 and hi the same
// plus 8.
struct ScanTotals {
    __m512i lo = _mm512_setzero_si512();
    __m512i hi = _mm512_setzero_si512();

    // 512-bit instructions only: the level asks for AVX-512F and BW alone.
    void add(const ScanAcc& acc) {
        // lanes 0 and 1 (rows 0-15, 16-31) plus lanes 2 and 3 (the same rows)
        const __m512i mixed = _mm512_add_epi16(acc.mixed, _mm512_shuffle_i32x4(acc.mixed, acc.mixed, _MM_SHUFFLE(1, 0, 3, 2)));
        const __m512i odd = _mm512_add_epi16(acc.odd, _mm512_shuffle_i32x4(acc.odd, acc.odd, _MM_SHUFFLE(1, 0, 3, 2)));
        const __m512i even = _mm512_sub_epi16(mixed, _mm512_slli_epi16(odd, 8));
        const __m512i rows = _mm512_shuffle_i32x4(even, odd, _MM_SHUFFLE(1, 0, 1, 0));
        lo = _mm512_add_epi32(lo, _mm512_unpacklo_epi16(rows, _mm512_setzero_si512()));
        hi = _mm512_add_epi32(hi, _mm512_unpackhi_epi16(rows, _mm512_setzero_si512()));
    }

    void store(std::uint32_t* out) const {
        const __m512i first = _mm512_setr_epi32(0, 8, 1, 9, 2, 10, 3, 11, 16, 24, 17, 25, 18, 26, 19, 27);
        const __m512i second = _mm512_setr_epi32(4, 12, 5, 13, 6, 14, 7, 15, 20, 28, 21, 29, 22, 30, 23, 31);
        _mm512_storeu_si512(out, _mm512_permutex2var_epi32(lo, first, hi));
        _mm512_storeu_si512(out + 16, _mm512_permutex2var_epi32(lo, second, hi));
    }
};

}  // namespace

void KORVANE_BLOCK_SCAN_AVX512(const std::uint8_t* block, std::size_t B, const std::uint8_t* lut, std::uint32_t* out) {
    ScanTotals totals;
    for (std::size_t start = 0; start < B; start += SCAN_SEGMENT) {
        const std::size_t end = B - start < SCAN_SEGMENT ? B : start + SCAN_SEGMENT;
        // two chains, so that the additions of consecutive pairs overlap
        ScanAcc a, c;
        std::size_t b = start;
        for (; b + 4 <= end; b += 4) {
            _mm_prefetch(reinterpret_cast<const char*>(block + 32 * b + SCAN_PREFETCH_AHEAD), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(block + 32 * b + SCAN_PREFETCH_AHEAD + 64), _MM_HINT_T0);
            scan_step(_mm512_loadu_si512(block + 32 * b), _mm512_loadu_si512(lut + 64 * b),
                      _mm512_loadu_si512(lut + 64 * b + 64), a);
            scan_step(_mm512_loadu_si512(block + 32 * b + 64), _mm512_loadu_si512(lut + 64 * b + 128),
                      _mm512_loadu_si512(lut + 64 * b + 192), c);
        }
        if (b + 2 <= end) {
            scan_step(_mm512_loadu_si512(block + 32 * b), _mm512_loadu_si512(lut + 64 * b),
                      _mm512_loadu_si512(lut + 64 * b + 64), a);
            b += 2;
        }
        if (b < end) {
            const __m512i last = _mm512_inserti64x4(
                _mm512_setzero_si512(), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * b)), 0);
            scan_step(last, _mm512_loadu_si512(lut + 64 * b), _mm512_loadu_si512(lut + 64 * b + 64), c);
        }
        a.mixed = _mm512_add_epi16(a.mixed, c.mixed);
        a.odd = _mm512_add_epi16(a.odd, c.odd);
        totals.add(a);
    }
    totals.store(out);
}

namespace {

// Queries per group of the multi-query scan: each holds two accumulators and two 32-bit
// totals in registers. Groups of 8 measured no faster, groups of 2 or 3 slower.
constexpr std::size_t SCAN_GROUP = 4;

// The block scan for G queries: per pair of positions the codes are loaded and split into
// nibbles once, then looked up in every query's tables. The queries' chains are
// independent, so one chain each hides the addition latency.
template <std::size_t G>
void scan_many(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts, std::uint32_t* out) {
    const __m512i low4 = _mm512_set1_epi8(0x0F);
    const std::uint8_t* lut[G];
    for (std::size_t q = 0; q < G; ++q) lut[q] = luts[q];
    ScanTotals totals[G];
    for (std::size_t start = 0; start < B; start += SCAN_SEGMENT) {
        const std::size_t end = B - start < SCAN_SEGMENT ? B : start + SCAN_SEGMENT;
        ScanAcc acc[G];
        for (std::size_t b = start; b < end; b += 2) {
            _mm_prefetch(reinterpret_cast<const char*>(block + 32 * b + SCAN_PREFETCH_AHEAD), _MM_HINT_T0);
            // a lone last position has zero codes for b + 1, whose tables are zero
            const __m512i v = b + 2 <= end ? _mm512_loadu_si512(block + 32 * b)
                                           : _mm512_inserti64x4(_mm512_setzero_si512(),
                                                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * b)), 0);
            const __m512i lo = _mm512_and_si512(v, low4);
            const __m512i hi = _mm512_and_si512(_mm512_srli_epi16(v, 4), low4);
            for (std::size_t q = 0; q < G; ++q) {
                acc[q].add(_mm512_shuffle_epi8(_mm512_loadu_si512(lut[q] + 64 * b), lo));
                acc[q].add(_mm512_shuffle_epi8(_mm512_loadu_si512(lut[q] + 64 * b + 64), hi));
            }
        }
        for (std::size_t q = 0; q < G; ++q) totals[q].add(acc[q]);
    }
    for (std::size_t q = 0; q < G; ++q) totals[q].store(out + 32 * q);
}

}  // namespace

void KORVANE_BLOCK_SCAN_MANY_AVX512(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts,
                                    std::size_t nq, std::uint32_t* out) {
    static_assert(SCAN_GROUP == 4, "the cases below are the group sizes");
    detail::in_query_groups<SCAN_GROUP>(nq, [&](std::size_t first, std::size_t count) {
        const std::uint8_t* const* l = luts + first;
        std::uint32_t* o = out + 32 * first;
        switch (count) {
            case 1: KORVANE_BLOCK_SCAN_AVX512(block, B, l[0], o); break;
            case 2: scan_many<2>(block, B, l, o); break;
            case 3: scan_many<3>(block, B, l, o); break;
            default: scan_many<4>(block, B, l, o); break;
        }
    });
}

}  // namespace korvane::simd
