// Dot products of float vectors with many centroids at once, one SIMD lane per centroid.
// Every lane sums its own dot product in index order, starting from -0.0, multiplying
// then adding (never a fused multiply-add), so a result equals the plain sequential
// loop bit for bit whatever the vector width: k-means labels and centroids depend on it.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The same for nx vectors anywhere in memory (vector i at xs[i]).
using BlockDotsPtrsFn = void (*)(const float* const* xs, std::size_t nx, const float* blocks, std::size_t nblocks,
                                 std::size_t dim, float* out);
void block_dots_ptrs_scalar(const float* const* xs, std::size_t nx, const float* blocks, std::size_t nblocks,
                            std::size_t dim, float* out);
void block_dots_ptrs_avx2(const float* const* xs, std::size_t nx, const float* blocks, std::size_t nblocks,
                          std::size_t dim, float* out);
BlockDotsPtrsFn best_block_dots_ptrs();

// out[j] = the dot product of q with vecs[j] (dim floats each), for j < count: one lane
// per vector, each summed in index order from -0.0 with separate multiplies and adds.
using ManyDotsFn = void (*)(const float* q, const float* const* vecs, std::size_t count, std::size_t dim,
                            float* out);

void many_dots_scalar(const float* q, const float* const* vecs, std::size_t count, std::size_t dim, float* out);
void many_dots_avx2(const float* q, const float* const* vecs, std::size_t count, std::size_t dim, float* out);
ManyDotsFn best_many_dots();

// n half-precision values to floats (exact), with F16C where the CPU has it.
using HalvesFn = void (*)(const std::uint16_t* in, float* out, std::size_t n);
void halves_to_floats_avx2(const std::uint16_t* in, float* out, std::size_t n);
// The converter for this CPU, or nullptr when it has no vector one.
HalvesFn best_halves_to_floats();

// The same sum for one pair of vectors.
inline float dot_sequential(const float* a, const float* b, std::size_t dim) {
    float s = -0.0f;
    for (std::size_t d = 0; d < dim; ++d) s += a[d] * b[d];
    return s;
}

}  // namespace korvane::simd
