#include "index/scan_tables.h"

#include <algorithm>
#include <cmath>

#include "base/tables.h"

namespace korvane {

namespace {

// One code position: a 4-bit code scored against one query value, or a nibble of a 2-bit
// byte holding two codes (slots 2s and 2s + 1) scored against two. A slot past the end
// of the query has coefficient 0.
struct Position {
    double a = 0.0, b = 0.0;
    bool two_bit = false;
};

// A table entry minus the table's smallest entry, for coefficient x on centroid table C
// of n entries (increasing): |x|·(C[c] - C[0]) when x >= 0, |x|·(C[n-1] - C[c]) otherwise.
double above_min(double x, const float* C, std::size_t n, std::size_t c) {
    return x >= 0 ? x * (double{C[c]} - C[0]) : -x * (double{C[n - 1]} - C[c]);
}
double min_of(double x, const float* C, std::size_t n) { return x >= 0 ? x * C[0] : x * C[n - 1]; }

}  // namespace

std::optional<ScanTables> ScanTables::build(const QueryScorer& scorer) {
    const RowLayout& l = scorer.layout();
    const float* q = scorer.query();
    const std::size_t R = l.row_bytes, N = 2 * R;
    // Integer sums stay below 2^24, so they convert to float exactly.
    if (255.0 * static_cast<double>(N) >= 16777216.0) return std::nullopt;
    const float* C4 = CENTROIDS_4BIT.data();
    const float* C2 = CENTROIDS_2BIT.data();
    auto coefficient = [&](std::uint64_t dim) { return dim < l.padded_dim ? double{q[dim]} : 0.0; };
    std::vector<Position> pos(N);
    double range = 0.0, sum_abs_q = 0.0;
    for (std::size_t n = 0; n < N; ++n) {
        const std::uint64_t b = n / 2, hi = n % 2;
        Position& p = pos[n];
        if (b < l.pb4) {
            const std::uint64_t dim = 2 * b + hi;
            p.a = dim < l.n4_dims ? double{q[dim]} : 0.0;
            range = std::max(range, std::fabs(p.a) * (double{C4[15]} - C4[0]));
            sum_abs_q += std::fabs(p.a) * C4[15];
        } else {
            const std::uint64_t dim = l.n4_dims + 4 * (b - l.pb4) + 2 * hi;
            p.two_bit = true;
            p.a = coefficient(dim);
            p.b = coefficient(dim + 1);
            range = std::max(range, (std::fabs(p.a) + std::fabs(p.b)) * (double{C2[3]} - C2[0]));
            sum_abs_q += (std::fabs(p.a) + std::fabs(p.b)) * C2[3];
        }
    }
    if (!(range > 0.0) || !std::isfinite(range) || !std::isfinite(sum_abs_q)) return std::nullopt;
    const double scale = range / 255.0;
    ScanTables t;
    t.lut_.resize(N * 16);
    double offsets = 0.0, abs_offsets = 0.0;
    for (std::size_t n = 0; n < N; ++n) {
        const Position& p = pos[n];
        std::uint8_t* out = t.lut_.data() + 16 * n;
        double min;
        for (std::size_t c = 0; c < 16; ++c) {
            const double x = p.two_bit ? above_min(p.a, C2, 4, c & 3) + above_min(p.b, C2, 4, c >> 2)
                                       : above_min(p.a, C4, 16, c);
            out[c] = static_cast<std::uint8_t>(std::clamp(std::nearbyint(x / scale), 0.0, 255.0));
        }
        min = p.two_bit ? min_of(p.a, C2, 4) + min_of(p.b, C2, 4) : min_of(p.a, C4, 16);
        offsets += min;
        abs_offsets += std::fabs(min);
    }
    // Each entry rounds to the nearest multiple of the scale: off by at most half of it
    // (and the double arithmetic above by far less than the 1e-9 added).
    const double rounding = static_cast<double>(N) * scale * (0.5 + 1e-9);
    // A float kernel's sum of L products, in any order and with or without fused
    // multiply-adds, is within (L + 2)·2^-24 (doubled here) of the exact sum, relative to
    // the sum of the products' magnitudes; underflow adds at most 2^-149 per operation.
    const double L = static_cast<double>(l.padded_dim) + 2.0;
    const double kernel = 2.0 * L * std::ldexp(1.0, -24) * sum_abs_q + L * std::ldexp(1.0, -140);
    // The float evaluation of `upper` (scale rounded, one product, one sum) and the double
    // sum of the offsets.
    const double top = 255.0 * static_cast<double>(N) * scale;
    const double evaluation = std::ldexp(1.0, -21) * (top + std::fabs(offsets) + rounding + kernel) +
                              std::ldexp(1.0, -45) * abs_offsets;
    const double base = offsets + rounding + kernel + evaluation;
    float base_f = static_cast<float>(base);
    if (static_cast<double>(base_f) < base) base_f = std::nextafter(base_f, INFINITY);
    t.scale_ = static_cast<float>(scale);
    t.base_ = base_f;
    if (!std::isfinite(t.base_) || !std::isfinite(t.scale_) || !std::isfinite(static_cast<float>(top + base))) {
        return std::nullopt;
    }
    return t;
}

}  // namespace korvane
