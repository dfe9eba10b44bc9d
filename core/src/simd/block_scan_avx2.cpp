// AVX2 fast scan of a block of 32 byte-transposed rows. Compiled with -mavx2 -mfma and
// called only when the CPU and the OS support both.
#include <immintrin.h>

#include "simd/kernels.h"
#include "simd/scan_groups.h"

namespace korvane::simd {

namespace {

// Byte positions per segment. A 16-bit lane takes two looked-up bytes per position, so a
// segment adds at most 256 values of at most 255: the low-byte sums stay below 2^16.
constexpr std::size_t SEGMENT = 128;

// Bytes ahead of the position being read: streaming from memory, the lines arrive in time.
constexpr std::size_t PREFETCH_AHEAD = 2048;

// A pair of 16-bit accumulators for the rows of one 32-byte register: word w of `mixed`
// adds the bytes of rows 2w and 2w + 1 as one word (row 2w + 1 weighted by 256, wrapping),
// `odd` adds the byte of row 2w + 1 alone; row 2w is then mixed - 256 odd.
struct Acc {
    __m256i mixed = _mm256_setzero_si256();
    __m256i odd = _mm256_setzero_si256();

    void add(__m256i v) {
        mixed = _mm256_add_epi16(mixed, v);
        odd = _mm256_add_epi16(odd, _mm256_srli_epi16(v, 8));
    }
};

// Byte position b: its 32 code bytes against its tables (low nibble at `tables`, high
// nibble 64 bytes on, each in both 128-bit lanes).
inline void step(const std::uint8_t* codes, const std::uint8_t* tables, __m256i low4, Acc& acc) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes));
    const __m256i lo = _mm256_and_si256(v, low4);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low4);
    const __m256i tlo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tables));
    const __m256i thi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tables + 64));
    acc.add(_mm256_shuffle_epi8(tlo, lo));
    acc.add(_mm256_shuffle_epi8(thi, hi));
}

// The segment's sums, by row, added to the 32-bit totals of rows 0-7, 8-15, 16-23, 24-31.
inline void flush(const Acc& acc, __m256i* total) {
    const __m256i even = _mm256_sub_epi16(acc.mixed, _mm256_slli_epi16(acc.odd, 8));
    // rows 0-7 | 16-23 and rows 8-15 | 24-31 as 16-bit sums
    const __m256i first = _mm256_unpacklo_epi16(even, acc.odd);
    const __m256i second = _mm256_unpackhi_epi16(even, acc.odd);
    total[0] = _mm256_add_epi32(total[0], _mm256_cvtepu16_epi32(_mm256_castsi256_si128(first)));
    total[1] = _mm256_add_epi32(total[1], _mm256_cvtepu16_epi32(_mm256_castsi256_si128(second)));
    total[2] = _mm256_add_epi32(total[2], _mm256_cvtepu16_epi32(_mm256_extracti128_si256(first, 1)));
    total[3] = _mm256_add_epi32(total[3], _mm256_cvtepu16_epi32(_mm256_extracti128_si256(second, 1)));
}

// Queries per group of the multi-query scan: two accumulators each, beside the nibbles,
// the mask and the lookups, in 16 registers. Groups of 2 or 3 measured slower.
constexpr std::size_t GROUP = 4;

// The block scan for G queries: each position's codes loaded and split into nibbles once,
// then looked up in every query's tables, one chain per query. The 32-bit totals stay in
// `out`, added to once a segment.
template <std::size_t G>
void scan_many(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts, std::uint32_t* out) {
    const __m256i low4 = _mm256_set1_epi8(0x0F);
    const std::uint8_t* lut[G];
    for (std::size_t q = 0; q < G; ++q) lut[q] = luts[q];
    for (std::size_t i = 0; i < 4 * G; ++i) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * i), _mm256_setzero_si256());
    for (std::size_t start = 0; start < B; start += SEGMENT) {
        const std::size_t end = B - start < SEGMENT ? B : start + SEGMENT;
        Acc acc[G];
        for (std::size_t b = start; b < end; ++b) {
            _mm_prefetch(reinterpret_cast<const char*>(block + 32 * b + PREFETCH_AHEAD), _MM_HINT_T0);
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * b));
            const __m256i lo = _mm256_and_si256(v, low4);
            const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low4);
            const std::size_t at = 64 * b - 32 * (b % 2);
            for (std::size_t q = 0; q < G; ++q) {
                acc[q].add(_mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lut[q] + at)), lo));
                acc[q].add(_mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lut[q] + at + 64)), hi));
            }
        }
        for (std::size_t q = 0; q < G; ++q) {
            __m256i* total = reinterpret_cast<__m256i*>(out + 32 * q);
            __m256i sums[4];
            for (int k = 0; k < 4; ++k) sums[k] = _mm256_loadu_si256(total + k);
            flush(acc[q], sums);
            for (int k = 0; k < 4; ++k) _mm256_storeu_si256(total + k, sums[k]);
        }
    }
}

}  // namespace

void block_scan_avx2(const std::uint8_t* block, std::size_t B, const std::uint8_t* lut, std::uint32_t* out) {
    const __m256i low4 = _mm256_set1_epi8(0x0F);
    __m256i total[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                        _mm256_setzero_si256()};
    for (std::size_t start = 0; start < B; start += SEGMENT) {
        const std::size_t end = B - start < SEGMENT ? B : start + SEGMENT;
        // two chains, so that the additions of consecutive positions overlap
        Acc a, c;
        std::size_t b = start;
        for (; b + 2 <= end; b += 2) {
            _mm_prefetch(reinterpret_cast<const char*>(block + 32 * b + PREFETCH_AHEAD), _MM_HINT_T0);
            step(block + 32 * b, lut + 64 * b, low4, a);
            step(block + 32 * b + 32, lut + 64 * b + 32, low4, c);
        }
        if (b < end) step(block + 32 * b, lut + 64 * b, low4, a);
        a.mixed = _mm256_add_epi16(a.mixed, c.mixed);
        a.odd = _mm256_add_epi16(a.odd, c.odd);
        flush(a, total);
    }
    for (int k = 0; k < 4; ++k) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * k), total[k]);
}

void block_scan_many_avx2(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts, std::size_t nq,
                          std::uint32_t* out) {
    static_assert(GROUP == 4, "the cases below are the group sizes");
    detail::in_query_groups<GROUP>(nq, [&](std::size_t first, std::size_t count) {
        const std::uint8_t* const* l = luts + first;
        std::uint32_t* o = out + 32 * first;
        switch (count) {
            case 1: block_scan_avx2(block, B, l[0], o); break;
            case 2: scan_many<2>(block, B, l, o); break;
            case 3: scan_many<3>(block, B, l, o); break;
            default: scan_many<4>(block, B, l, o); break;
        }
    });
}

}  // namespace korvane::simd
