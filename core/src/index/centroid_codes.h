// A 4-bit code of every centroid, rebuilt from the float centroids whenever they change and
// never stored: what lets a query bound every centroid's score from a block scan of about
// an eighth of the bytes, then score exactly only the centroids the bounds cannot rule out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/flat_store.h"

namespace korvane {

class CentroidCodes {
public:
    CentroidCodes() = default;
    // k centroids of `dim` floats, row after row.
    CentroidCodes(const float* rows, std::size_t k, std::size_t dim);

    // Whether the codes stand for the centroids: there are some, and every one is finite.
    bool usable() const { return usable_; }
    // Row j is centroid j coded as the nearest CENTROIDS_4BIT value of each c_d / σ_j, in
    // the Pure4 layout of `dim` dims; zero rows fill the last block, so every centroid
    // lies in a whole block.
    const BlockStore& codes() const { return codes_; }
    float sigma(std::size_t j) const { return sigma_[j]; }
    // ρ_j + 2γ·|c_j|, rounded up: with the query's norm, what the code cannot see of
    // q·c_j (ρ_j ≥ |c_j − σ_j·ĉ_j|) and what a float sum of the products can err by.
    double slack(std::size_t j) const { return slack_[j]; }
    // The largest |c_j|, rounded up.
    double max_norm() const { return max_norm_; }

private:
    bool usable_ = false;
    BlockStore codes_;
    std::vector<float> sigma_;
    std::vector<double> slack_;
    double max_norm_ = 0.0;
};

}  // namespace korvane
