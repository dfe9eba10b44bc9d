#include "index/scan_tables.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <emmintrin.h>

#include "base/tables.h"
#include "simd/kernels.h"

namespace korvane {

namespace {

// Entries of one table above its smallest, in units of the scale: t·D[c] for a 4-bit code
// position with t = |q|/scale, D[c] = C[c] - C[0] when q >= 0 and C[15] - C[c] otherwise,
// so that the smallest is 0; a 2-bit nibble sums two such terms.
struct Steps {
    alignas(64) float up4[16], down4[16], up2[16], down2[16];  // 2-bit: by the nibble's low slot
    alignas(64) float up2_hi[16], down2_hi[16];                 // and its high slot
    Steps() {
        const float* C4 = CENTROIDS_4BIT.data();
        const float* C2 = CENTROIDS_2BIT.data();
        for (int c = 0; c < 16; ++c) {
            up4[c] = C4[c] - C4[0];
            down4[c] = C4[15] - C4[c];
            up2[c] = C2[c & 3] - C2[0];
            down2[c] = C2[3] - C2[c & 3];
            up2_hi[c] = C2[c >> 2] - C2[0];
            down2_hi[c] = C2[3] - C2[c >> 2];
        }
    }
};

// out[c] = t·a[c] + u·b[c] rounded half up; every term is >= 0 and the sum at most 255
// (plus float rounding), so the conversions cannot overflow.
void fill(std::uint8_t* out, float t, const float* a, float u, const float* b) {
    const __m128 tv = _mm_set1_ps(t), uv = _mm_set1_ps(u), half = _mm_set1_ps(0.5f);
    __m128i w[4];
    for (int k = 0; k < 4; ++k) {
        const __m128 x = _mm_add_ps(_mm_add_ps(_mm_mul_ps(tv, _mm_load_ps(a + 4 * k)), _mm_mul_ps(uv, _mm_load_ps(b + 4 * k))), half);
        w[k] = _mm_cvttps_epi32(x);
    }
    const __m128i v = _mm_packus_epi16(_mm_packs_epi32(w[0], w[1]), _mm_packs_epi32(w[2], w[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
}

// The nearest float at or above x.
float up(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) < x ? std::nextafter(f, INFINITY) : f;
}

// The nearest float at or below x.
float down(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) > x ? std::nextafter(f, -INFINITY) : f;
}

}  // namespace

std::optional<ScanTables> ScanTables::build(const QueryScorer& scorer, bool shared) {
    static const Steps steps;
    const RowLayout& l = scorer.layout();
    const float* q = scorer.query();
    const std::size_t R = l.row_bytes, N = 2 * R;
    // Integer sums stay below 2^24, so they convert to float exactly.
    if (255.0 * static_cast<double>(N) >= 16777216.0) return std::nullopt;
    const float* C4 = CENTROIDS_4BIT.data();
    const float* C2 = CENTROIDS_2BIT.data();
    // The coefficients of each nibble: one query value for a 4-bit position, two for a
    // 2-bit nibble (its slots 2s and 2s + 1); slots past the query's end have none.
    std::vector<float> coef(2 * N, 0.0f);
    float* A = coef.data();
    float* B = coef.data() + N;
    const std::size_t n4 = 2 * l.pb4;
    for (std::size_t n = 0; n < std::min<std::size_t>(n4, l.n4_dims); ++n) A[n] = q[n];
    for (std::size_t n = n4; n < N; ++n) {
        const std::uint64_t dim = l.n4_dims + 2 * (n - n4);
        if (dim < l.padded_dim) A[n] = q[dim];
        if (dim + 1 < l.padded_dim) B[n] = q[dim + 1];
    }
    const double width4 = double{C4[15]} - C4[0], width2 = double{C2[3]} - C2[0];
    double range = 0.0, magnitude = 0.0;
    for (std::size_t n = 0; n < N; ++n) {
        const double m = std::fabs(double{A[n]}) + std::fabs(double{B[n]});
        const bool two = n >= n4;
        magnitude += m * (two ? C2[3] : C4[15]);
        range = std::max(range, m * (two ? width2 : width4));
    }
    if (!(range > 0.0) || !std::isfinite(range) || !std::isfinite(magnitude)) return std::nullopt;
    const double scale = range / 255.0;
    const float inv = static_cast<float>(1.0 / scale);
    ScanTables t;
    t.lut_.assign(simd::laid_out_table_bytes(R), 0);
    // Two stages from 128 code bytes on. A lone scan reads its rows from memory, so its
    // first stage reads a third of them; queries sharing the rows in cache spend compute
    // instead, and a first half prunes more.
    const std::size_t prefix = R >= 128 ? (shared ? R / 2 : R / 3) / 2 * 2 : 0;
    double offsets = 0.0, abs_offsets = 0.0, offsets_prefix = 0.0, rest_sq = 0.0;
    for (std::size_t n = 0; n < N; ++n) {
        if (n == 2 * prefix) offsets_prefix = offsets;
        const float a = A[n], b = B[n];
        std::uint8_t* out = t.lut_.data() + simd::laid_out_table_offset(n);
        double min;
        if (n >= n4) {
            fill(out, std::fabs(a) * inv, a >= 0 ? steps.up2 : steps.down2, std::fabs(b) * inv,
                 b >= 0 ? steps.up2_hi : steps.down2_hi);
            min = double{a} * (a >= 0 ? C2[0] : C2[3]) + double{b} * (b >= 0 ? C2[0] : C2[3]);
        } else {
            fill(out, std::fabs(a) * inv, a >= 0 ? steps.up4 : steps.down4, 0.0f, steps.up4);
            min = double{a} * (a >= 0 ? C4[0] : C4[15]);
        }
        std::memcpy(out + 16, out, 16);
        offsets += min;
        abs_offsets += std::fabs(min);
        if (n >= 2 * prefix) rest_sq += double{a} * a + double{b} * b;
    }
    // Each entry is the nearest integer to its value in units of the scale: off by half a
    // unit, plus the float arithmetic's relative error of a few 2^-24 on values up to 255
    // (below 1e-4 units; the bound adds ten times that).
    const double rounding = static_cast<double>(N) * scale * (0.5 + 1e-3);
    // A float kernel's sum of L products, in any order and with or without fused
    // multiply-adds, is within (L + 2)·2^-24 (doubled here) of the exact sum, relative to
    // the sum of the products' magnitudes; underflow adds at most 2^-149 per operation.
    const double L = static_cast<double>(l.padded_dim) + 2.0;
    const double kernel = 2.0 * L * std::ldexp(1.0, -24) * magnitude + L * std::ldexp(1.0, -140);
    // The float evaluation of `upper` (scale rounded, one product, one sum) and the double
    // sum of the offsets.
    const double top = 255.0 * static_cast<double>(N) * scale;
    const double evaluation = std::ldexp(1.0, -21) * (top + std::fabs(offsets) + rounding + kernel) +
                              std::ldexp(1.0, -45) * abs_offsets;
    const double base = offsets + rounding + kernel + evaluation;
    const float base_f = up(base);
    // The table sum is off the exact sum by at most `rounding` either way, and each float
    // step of `lower` errs by no more than it does in `upper`.
    const float base_lower = down(offsets - rounding - kernel - evaluation);
    t.scale_ = static_cast<float>(scale);
    t.base_ = base_f;
    t.base_lower_ = base_lower;
    if (prefix > 0) {
        // A stored norm is the float square root of a float sum of the code's squared
        // centroids: within (slots + 2)·2^-24 of the true norm, which the factor covers.
        const double slots = 4.0 * static_cast<double>(R) + 2.0;
        const double rest = std::sqrt(rest_sq) * (1.0 + slots * std::ldexp(1.0, -23) + 1e-9);
        const double prefix_rounding = static_cast<double>(2 * prefix) * scale * (0.5 + 1e-3);
        const double base_prefix = offsets_prefix + prefix_rounding + kernel + evaluation;
        t.prefix_ = prefix;
        t.base_prefix_ = up(base_prefix);
        t.rest_ = up(rest);
        if (!std::isfinite(t.base_prefix_) || !std::isfinite(t.rest_)) t.prefix_ = 0;
    }
    if (!std::isfinite(t.base_) || !std::isfinite(t.base_lower_) || !std::isfinite(t.scale_) || !std::isfinite(inv) ||
        !std::isfinite(static_cast<float>(top + base))) {
        return std::nullopt;
    }
    return t;
}

}  // namespace korvane
