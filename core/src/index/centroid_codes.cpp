#include "index/centroid_codes.h"

#include <algorithm>
#include <cmath>

#include "base/layout.h"
#include "base/tables.h"
#include "index/kmeans.h"

namespace korvane {

namespace {

// The codes of c / sigma and the squared distance of c from sigma times their centroids.
// sigma·C is exact in double, and each term a rounded square of a rounded difference.
double code_with(const float* c, std::size_t dim, float sigma, std::uint8_t* codes) {
    double rest = 0.0;
    for (std::size_t d = 0; d < dim; ++d) {
        codes[d] = sigma > 0.0f ? code_4bit(c[d] / sigma) : 0;
        const double e = double{c[d]} - double{sigma} * CENTROIDS_4BIT[codes[d]];
        rest += e * e;
    }
    return sigma > 0.0f ? rest : -1.0;  // -1: no code at this scale
}

}  // namespace

CentroidCodes::CentroidCodes(const float* rows, std::size_t k, std::size_t dim) {
    if (k == 0 || dim == 0 || !all_finite(rows, k * dim)) return;
    const RowLayout layout = RowLayout::of(dim, dim);
    const std::size_t whole = (k + kBlockRows - 1) / kBlockRows * kBlockRows;
    codes_ = BlockStore(layout.row_bytes);
    codes_.reserve_more(whole);
    sigma_.resize(k);
    slack_.resize(k);
    const double n = static_cast<double>(dim);
    const double gamma = n * 0x1p-24 / (1.0 - n * 0x1p-24);
    // A double sum of n non-negative terms and a square root err by under (n + 2)·2^-53
    // relative; this covers that many times over.
    const double widen = 1.0 + (n + 8.0) * 0x1p-49;
    std::vector<std::uint8_t> codes(dim), trial(dim), row(layout.row_bytes);
    for (std::size_t j = 0; j < k; ++j) {
        const float* c = rows + j * dim;
        double sq = 0.0;
        for (std::size_t d = 0; d < dim; ++d) sq += double{c[d]} * c[d];
        // The tables fit a standard normal: first the scale of the coordinates' spread,
        // then the least-squares scale of those codes, whichever leaves less behind.
        float sigma = static_cast<float>(std::sqrt(sq / n));
        double rest = code_with(c, dim, sigma, codes.data());
        if (rest < 0.0) {
            sigma = 0.0f;
            rest = sq;
        } else {
            double cross = 0.0, self = 0.0;
            for (std::size_t d = 0; d < dim; ++d) {
                cross += double{c[d]} * CENTROIDS_4BIT[codes[d]];
                self += double{CENTROIDS_4BIT[codes[d]]} * CENTROIDS_4BIT[codes[d]];
            }
            const float refit = static_cast<float>(cross / self);
            const double refit_rest = code_with(c, dim, refit, trial.data());
            if (refit_rest >= 0.0 && refit_rest < rest) {
                sigma = refit;
                rest = refit_rest;
                codes.swap(trial);
            }
        }
        std::fill(row.begin(), row.end(), std::uint8_t{0});
        for (std::size_t d = 0; d < dim; ++d) row[d / 2] |= static_cast<std::uint8_t>(codes[d] << (4 * (d % 2)));
        codes_.push(j, row.data(), 0.0f);
        sigma_[j] = sigma;
        const double norm = std::sqrt(sq) * widen;
        slack_[j] = (std::sqrt(rest) * widen + 2.0 * gamma * norm) * widen;
        max_norm_ = std::max(max_norm_, norm);
    }
    std::fill(row.begin(), row.end(), std::uint8_t{0});
    for (std::size_t j = k; j < whole; ++j) codes_.push(j, row.data(), 0.0f);
    usable_ = true;
}

}  // namespace korvane
