// AVX2 + FMA kernels. Compiled with -mavx2 -mfma and called only when the CPU and the
// OS support both.
#include <immintrin.h>

#include <bit>
#include <cstring>

#include "base/tables.h"
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

// hsum8 of four rows side by side: lane r of the result is hsum8(v_r), same additions.
inline __m128 hsum8_x4(__m256 v0, __m256 v1, __m256 v2, __m256 v3) {
    // t0..t3 of rows 0 | 1 and of rows 2 | 3
    const __m256 t01 = _mm256_add_ps(_mm256_permute2f128_ps(v0, v1, 0x20), _mm256_permute2f128_ps(v0, v1, 0x31));
    const __m256 t23 = _mm256_add_ps(_mm256_permute2f128_ps(v2, v3, 0x20), _mm256_permute2f128_ps(v2, v3, 0x31));
    // per 128-bit half: t0 + t1, t2 + t3 of row 0 | 1, then of row 2 | 3
    const __m256 p = _mm256_hadd_ps(t01, t23);
    // per half: (t0 + t1) + (t2 + t3) of rows 0, 2 | 1, 3
    const __m256 r = _mm256_hadd_ps(p, p);
    return _mm_unpacklo_ps(_mm256_castps256_ps128(r), _mm256_extractf128_ps(r, 1));
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

// Centroids of 32 codes (16 bytes) by byte-table lookups: table b holds byte b of every
// centroid, and the four byte planes are interleaved back into floats. The result is
// exactly CENTROIDS_4BIT of each code, in query order, as four registers of 8 floats.
// Byte b of every centroid, for b = 0..3.
struct CentroidPlanes {
    alignas(16) std::uint8_t bytes[4][16];
};

constexpr CentroidPlanes centroid_planes() {
    CentroidPlanes planes{};
    for (int k = 0; k < 16; ++k) {
        const auto bits = std::bit_cast<std::uint32_t>(CENTROIDS_4BIT[k]);
        for (int b = 0; b < 4; ++b) planes.bytes[b][k] = static_cast<std::uint8_t>(bits >> (8 * b));
    }
    return planes;
}

inline constexpr CentroidPlanes CENTROID_PLANES = centroid_planes();

struct ByteTables4 {
    __m256i t0 = plane(0), t1 = plane(1), t2 = plane(2), t3 = plane(3);
    // Bytes 0,1,4,5,8,9,12,13 to the low half of lane 0 and 2,3,6,7,10,11,14,15 to lane 1,
    // so that the in-lane unpacks below come out in query order.
    __m256i arrange = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                       2, 3, 6, 7, 10, 11, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1);
    __m256i low4 = _mm256_set1_epi8(0x0F);

    static __m256i plane(int b) {
        return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(CENTROID_PLANES.bytes[b])));
    }

    void lookup32(const std::uint8_t* p, __m256& c0, __m256& c1, __m256& c2, __m256& c3) const {
        const __m256i x = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m256i y = _mm256_shuffle_epi8(x, arrange);
        const __m256i lo = _mm256_and_si256(y, low4);
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(y, 4), low4);
        // lane 0: codes 0-3, 8-11, 16-19, 24-27; lane 1: codes 4-7, 12-15, 20-23, 28-31
        const __m256i idx = _mm256_unpacklo_epi8(lo, hi);
        const __m256i b0 = _mm256_shuffle_epi8(t0, idx), b1 = _mm256_shuffle_epi8(t1, idx);
        const __m256i b2 = _mm256_shuffle_epi8(t2, idx), b3 = _mm256_shuffle_epi8(t3, idx);
        const __m256i l01 = _mm256_unpacklo_epi8(b0, b1), h01 = _mm256_unpackhi_epi8(b0, b1);
        const __m256i l23 = _mm256_unpacklo_epi8(b2, b3), h23 = _mm256_unpackhi_epi8(b2, b3);
        c0 = _mm256_castsi256_ps(_mm256_unpacklo_epi16(l01, l23));  // codes 0-7
        c1 = _mm256_castsi256_ps(_mm256_unpackhi_epi16(l01, l23));  // codes 8-15
        c2 = _mm256_castsi256_ps(_mm256_unpacklo_epi16(h01, h23));  // codes 16-23
        c3 = _mm256_castsi256_ps(_mm256_unpackhi_epi16(h01, h23));  // codes 24-31
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

namespace {

// The vector part of dot_4bit_avx2 up to its final horizontal sum: the 16-byte blocks into
// four accumulators, their combination, then whole groups of 4 bytes. Returns the
// combined accumulator; *next is the first byte left for the tail.
inline __m256 body_4bit(const float* q, const std::uint8_t* codes, std::size_t nv, const ByteTables4& bt,
                        const Table4& table, std::size_t* next) {
    std::size_t i = 0;
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps(), acc3 = _mm256_setzero_ps();
    for (; i + 16 <= nv; i += 16) {
        __m256 c0, c1, c2, c3;
        bt.lookup32(codes + i, c0, c1, c2, c3);
        const float* qq = q + 2 * i;
        acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(qq), c0, acc0);
        acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(qq + 8), c1, acc1);
        acc2 = _mm256_fmadd_ps(_mm256_loadu_ps(qq + 16), c2, acc2);
        acc3 = _mm256_fmadd_ps(_mm256_loadu_ps(qq + 24), c3, acc3);
    }
    __m256 acc = _mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3));
    for (; i + 4 <= nv; i += 4) {
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(q + 2 * i), table.lookup(codes_of_group(codes + i)), acc);
    }
    *next = i;
    return acc;
}

}  // namespace

float dot_4bit_avx2(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B) {
    // Bytes whose both slots lie inside the query go through the vector loops.
    const std::size_t nv = B < L / 2 ? B : L / 2;
    std::size_t i = 0;
    const __m256 acc = body_4bit(q, codes, nv, ByteTables4(), Table4(), &i);
    return detail::tail_4bit(hsum8(acc), q, L, codes, i, B);
}

namespace {

struct Table2 {
    // vpermilps looks up each lane's low two bits in its own 128-bit half: the 2-bit
    // table broadcast to both halves maps a code to exactly its centroid.
    __m256 table = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(CENTROIDS_2BIT.data()));
    __m256i shifts = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    // Byte 2p of an 8-byte block into dwords 0-3, byte 2p + 1 into dwords 4-7.
    __m256i spread[4] = {pattern(0), pattern(1), pattern(2), pattern(3)};

    static __m256i pattern(int p) {
        alignas(32) std::int8_t b[32];
        for (int d = 0; d < 8; ++d) {
            b[4 * d] = static_cast<std::int8_t>(2 * p + (d >= 4));
            b[4 * d + 1] = b[4 * d + 2] = b[4 * d + 3] = -1;  // zero
        }
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(b));
    }

    static __m256i load8(const std::uint8_t* p) {
        std::int64_t v;
        std::memcpy(&v, p, 8);
        return _mm256_set1_epi64x(v);
    }

    // The 8 centroids of pair p (bytes 2p, 2p + 1) of a broadcast 8-byte block, in query order.
    __m256 lookup(__m256i block, int p) const {
        const __m256i slot = _mm256_srlv_epi32(_mm256_shuffle_epi8(block, spread[p]), shifts);
        return _mm256_permutevar_ps(table, slot);
    }

    // The same for a lone pair at p.
    __m256 lookup_pair(const std::uint8_t* p) const {
        std::uint16_t pair;
        std::memcpy(&pair, p, 2);
        return lookup(_mm256_set1_epi16(static_cast<short>(pair)), 0);
    }
};

}  // namespace

float dot_2bit_avx2(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B) {
    // One accumulator, pairs of bytes in order; blocks of 8 bytes only save loads.
    const Table2 t;
    const std::size_t nv = B < L / 4 ? B : L / 4;
    __m256 acc = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= nv; i += 8) {
        const __m256i block = Table2::load8(codes + i);
        const float* qq = q + 4 * i;
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(qq), t.lookup(block, 0), acc);
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(qq + 8), t.lookup(block, 1), acc);
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(qq + 16), t.lookup(block, 2), acc);
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(qq + 24), t.lookup(block, 3), acc);
    }
    for (; i + 2 <= nv; i += 2) acc = _mm256_fmadd_ps(_mm256_loadu_ps(q + 4 * i), t.lookup_pair(codes + i), acc);
    return detail::tail_2bit(hsum8(acc), q, L, codes, i, B);
}

void dot_2bit_avx2_x4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B, float* out) {
    const Table2 t;
    const std::size_t nv = B < L / 4 ? B : L / 4;
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
    const std::uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
    std::size_t i = 0;
    for (; i + 8 <= nv; i += 8) {
        const __m256i b0 = Table2::load8(r0 + i), b1 = Table2::load8(r1 + i);
        const __m256i b2 = Table2::load8(r2 + i), b3 = Table2::load8(r3 + i);
        for (int p = 0; p < 4; ++p) {
            const __m256 qq = _mm256_loadu_ps(q + 4 * i + 8 * p);
            a0 = _mm256_fmadd_ps(qq, t.lookup(b0, p), a0);
            a1 = _mm256_fmadd_ps(qq, t.lookup(b1, p), a1);
            a2 = _mm256_fmadd_ps(qq, t.lookup(b2, p), a2);
            a3 = _mm256_fmadd_ps(qq, t.lookup(b3, p), a3);
        }
    }
    for (; i + 2 <= nv; i += 2) {
        const __m256 qq = _mm256_loadu_ps(q + 4 * i);
        a0 = _mm256_fmadd_ps(qq, t.lookup_pair(r0 + i), a0);
        a1 = _mm256_fmadd_ps(qq, t.lookup_pair(r1 + i), a1);
        a2 = _mm256_fmadd_ps(qq, t.lookup_pair(r2 + i), a2);
        a3 = _mm256_fmadd_ps(qq, t.lookup_pair(r3 + i), a3);
    }
    out[0] = detail::tail_2bit(hsum8(a0), q, L, r0, i, B);
    out[1] = detail::tail_2bit(hsum8(a1), q, L, r1, i, B);
    out[2] = detail::tail_2bit(hsum8(a2), q, L, r2, i, B);
    out[3] = detail::tail_2bit(hsum8(a3), q, L, r3, i, B);
}

void dot_4bit_avx2_x4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B, float* out) {
    // Each row runs exactly the one-row kernel's loops; the tables are built once and the
    // four horizontal sums are done side by side.
    const ByteTables4 bt;
    const Table4 table;
    const std::size_t nv = B < L / 2 ? B : L / 2;
    std::size_t i = 0;
    const __m256 a0 = body_4bit(q, rows[0], nv, bt, table, &i);
    const __m256 a1 = body_4bit(q, rows[1], nv, bt, table, &i);
    const __m256 a2 = body_4bit(q, rows[2], nv, bt, table, &i);
    const __m256 a3 = body_4bit(q, rows[3], nv, bt, table, &i);
    _mm_storeu_ps(out, hsum8_x4(a0, a1, a2, a3));
    if (i < B) {
        for (int r = 0; r < 4; ++r) out[r] = detail::tail_4bit(out[r], q, L, rows[r], i, B);
    }
}

}  // namespace korvane::simd
