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

// ---- fast dot products, within a known distance of the in-order sum ----------------------
//
// A fast kernel sums each dot product in independent chains (fused multiply-adds where the
// CPU has them) and adds the chains pairwise. Its result differs from dot_sequential in
// the last bits; fast_dot_error_model bounds by how much, given `partials`: every kernel of
// a FastDots rounds each product at most dim / partials + log2(partials) + 3 times.
//
// dots: out[j] = q·xs[j] for j < count.
using FastDotsFn = void (*)(const float* q, const float* const* xs, std::size_t count, std::size_t dim,
                            float* out);
// grid: out[a·nx + b] = qs[a]·xs[b] for a < nq, b < nx (both at most kGridSide): each
// vector loaded once for all of its products.
inline constexpr std::size_t kGridSide = 4;
using FastGridFn = void (*)(const float* const* qs, std::size_t nq, const float* const* xs, std::size_t nx,
                            std::size_t dim, float* out);
void fast_dots_scalar(const float* q, const float* const* xs, std::size_t count, std::size_t dim, float* out);
void fast_dots_avx2(const float* q, const float* const* xs, std::size_t count, std::size_t dim, float* out);
void fast_dots_avx512(const float* q, const float* const* xs, std::size_t count, std::size_t dim, float* out);
void fast_grid_scalar(const float* const* qs, std::size_t nq, const float* const* xs, std::size_t nx,
                      std::size_t dim, float* out);
void fast_grid_avx2(const float* const* qs, std::size_t nq, const float* const* xs, std::size_t nx,
                    std::size_t dim, float* out);
void fast_grid_avx512(const float* const* qs, std::size_t nq, const float* const* xs, std::size_t nx,
                      std::size_t dim, float* out);
struct FastDots {
    FastDotsFn dots;
    FastGridFn grid;
    std::size_t partials;
};
inline constexpr FastDots kFastDotsScalar{fast_dots_scalar, fast_grid_scalar, 8};
inline constexpr FastDots kFastDotsAvx2{fast_dots_avx2, fast_grid_avx2, 8};
inline constexpr FastDots kFastDotsAvx512{fast_dots_avx512, fast_grid_avx512, 16};
FastDots best_fast_dots();

// What a vector contributes to the bound: its Euclidean norm, and its norm with coordinate
// d weighted by dim + 1 - d (how many roundings of the in-order sum its product goes
// through), both rounded up. Both are +inf for a vector that is not finite or whose dot
// products could overflow (norm above 2^62).
struct DotNorms {
    float norm;
    float weighted;
};
DotNorms dot_norms(const float* x, std::size_t dim);

// For a query q: |fast(q, x) - dot_sequential(q, x)| <= slope(q) * dot_norms(x).norm + floor
// for every x of dim floats, whatever the fast kernel with `partials` chains. A slope of
// +inf (or a NaN product) means no bound holds: callers then use the in-order sum.
struct DotErrorModel {
    float per_weighted;  // slope per unit of the query's weighted norm
    float steps;         // roundings a fast kernel adds to each product, per unit of norm
    float floor;         // products and fused results that underflow
    float slope(const DotNorms& q) const { return per_weighted * (q.weighted + steps * q.norm); }
};
DotErrorModel fast_dot_error_model(std::size_t dim, std::size_t partials);

}  // namespace korvane::simd
