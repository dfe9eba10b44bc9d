// Dot products of float vectors with many centroids at once, one SIMD lane per centroid.
// Every lane sums its own dot product in index order, starting from -0.0, multiplying
// then adding (never a fused multiply-add), so a result equals the plain sequential
// loop bit for bit whatever the vector width: k-means labels and centroids depend on it.
#pragma once

#include <cstddef>

namespace korvane::simd {

// Centroids are stored transposed in blocks of kDotLanes: block b holds centroids
// b·kDotLanes .. b·kDotLanes + kDotLanes - 1 as dim rows of kDotLanes floats
// (element [d][l] is coordinate d of centroid b·kDotLanes + l).
inline constexpr std::size_t kDotLanes = 8;

// For each of the nx vectors (vector i at x + i·x_stride, dim floats), the dot products
// with every centroid of `nblocks` blocks: out[i·nblocks·kDotLanes + c].
using BlockDotsFn = void (*)(const float* x, std::size_t nx, std::size_t x_stride, const float* blocks,
                             std::size_t nblocks, std::size_t dim, float* out);

void block_dots_scalar(const float* x, std::size_t nx, std::size_t x_stride, const float* blocks,
                       std::size_t nblocks, std::size_t dim, float* out);
void block_dots_avx2(const float* x, std::size_t nx, std::size_t x_stride, const float* blocks,
                     std::size_t nblocks, std::size_t dim, float* out);

// The fastest form this CPU runs, chosen once.
BlockDotsFn best_block_dots();

}  // namespace korvane::simd
