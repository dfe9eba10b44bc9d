// Scoring kernels: the raw dot product of a transformed query with a packed row whose
// codes stand for their centroids. One variant per instruction set, chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::simd {

// q has L floats, codes has B bytes. A code slot at or beyond L contributes nothing.
using DotFn = float (*)(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);

// Four rows against one query: out[r] equals the single-row kernel on rows[r] bit for bit
// (each row keeps its own accumulators and order); interleaving hides the latency of
// the single accumulator chains.
using Dot4Fn = void (*)(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B, float* out);

// Fast scan of 32 rows at once by table lookups. The block holds 32 rows of B code bytes,
// byte-transposed: byte b of row r is at block[b * 32 + r]. Each nibble n has a table of
// 16 bytes (n = 2b: the low nibble of byte b, 2b + 1: its high nibble), laid out by
// `lay_out_tables`, and out[r] = sum over n < 2B of table n at nibble n of row r. Exact in
// every variant for any B up to 65536 (255 * 131072 fits 32 bits).
using BlockScanFn = void (*)(const std::uint8_t* block, std::size_t B, const std::uint8_t* lut, std::uint32_t* out);

// The same block against nq queries (1 to 8) at once: out + 32 i gets what the single-query
// scan gives for luts[i]. Each code vector is loaded and split into nibbles once for all
// the queries, which is what a batch of queries sharing a run of blocks saves.
using BlockScanManyFn = void (*)(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts,
                                 std::size_t nq, std::uint32_t* out);
// The most queries one call of a BlockScanManyFn takes.
inline constexpr std::size_t kMaxScanQueries = 8;

float dot_4bit_scalar(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);
float dot_2bit_scalar(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);
float dot_4bit_avx2(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);
float dot_2bit_avx2(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);
float dot_4bit_avx512(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);
void dot_4bit_scalar_x4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B, float* out);
void dot_2bit_scalar_x4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B, float* out);
void dot_4bit_avx2_x4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B, float* out);
void dot_2bit_avx2_x4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B, float* out);
void dot_4bit_avx512_x4(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B, float* out);
// Bytes of laid-out tables for B code bytes.
inline std::size_t laid_out_table_bytes(std::size_t B) { return (B + 1) / 2 * 128; }
// Where table n (nibble n) starts in laid-out tables; it is there and 16 bytes on.
inline std::size_t laid_out_table_offset(std::size_t n) {
    const std::size_t b = n / 2;
    return (b / 2) * 128 + (n % 2) * 64 + (b % 2) * 32;
}
// Tables for byte positions in pairs (b, b + 1), 128 bytes a pair: low-nibble tables of b,
// b, b + 1, b + 1, then the high-nibble tables in the same order (zeros for a missing
// b + 1), so that one 32- or 64-byte load gives the tables of one or two positions in
// every 128-bit lane that needs them. `tables` holds 2B tables of 16 bytes in nibble order.
void lay_out_tables(const std::uint8_t* tables, std::size_t B, std::uint8_t* out);
void block_scan_scalar(const std::uint8_t* block, std::size_t B, const std::uint8_t* lut, std::uint32_t* out);
void block_scan_avx2(const std::uint8_t* block, std::size_t B, const std::uint8_t* lut, std::uint32_t* out);
void block_scan_avx512(const std::uint8_t* block, std::size_t B, const std::uint8_t* lut, std::uint32_t* out);
void block_scan_many_scalar(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts, std::size_t nq,
                            std::uint32_t* out);
void block_scan_many_avx2(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts, std::size_t nq,
                          std::uint32_t* out);
void block_scan_many_avx512(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts, std::size_t nq,
                            std::uint32_t* out);

struct CpuFeatures {
    bool avx2 = false;
    bool fma = false;
    bool f16c = false;  // half-precision conversions (every AVX2 CPU has them)
    bool avx512f = false;
    bool avx512bw = false;

    bool has_avx2_fma() const { return avx2 && fma; }
    bool has_avx512() const { return avx512f && avx512bw; }
};

// Read once per process from CPUID and XGETBV (a feature counts only when the OS has
// enabled its register state), then cached.
const CpuFeatures& cpu_features();

enum class Level : std::uint8_t { Scalar, Avx2, Avx512 };

struct Kernels {
    DotFn dot_4bit;
    DotFn dot_2bit;
    Dot4Fn dot_4bit_x4;
    Dot4Fn dot_2bit_x4;
    BlockScanFn block_scan;
    BlockScanManyFn block_scan_many;
    Level level;
};

// The rule, for any set of features: the AVX-512 level when AVX-512F and AVX-512BW are
// available, AVX2 when AVX2 and FMA are, else scalar; the forms without an argument
// apply it to this CPU.
bool level_supported(const CpuFeatures& f, Level level);
Level best_level(const CpuFeatures& f);
Kernels kernels_for(const CpuFeatures& f, Level level);
bool level_supported(Level level);
// The highest level this CPU supports.
Level best_level();
// The kernels of one level; only call a level the CPU supports.
Kernels kernels_for(Level level);
// kernels_for(best_level()), resolved once.
const Kernels& best_kernels();

}  // namespace korvane::simd
