#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "quantize/quantizer.h"
#include "base/tables.h"
#include "index/scorer.h"
#include "simd/kernels.h"

using namespace korvane;
using namespace korvane::simd;

namespace korvane::simd {
// The AVX-512 kernel compiled against portable intrinsics (see tests/CMakeLists.txt).
float dot_4bit_avx512_emulated(const float* q, std::size_t L, const std::uint8_t* codes, std::size_t B);
void dot_4bit_avx512_x4_emulated(const float* q, std::size_t L, const std::uint8_t* const* rows, std::size_t B,
                                 float* out);
void block_scan_avx512_emulated(const std::uint8_t* block, std::size_t B, const std::uint8_t* lut, std::uint32_t* out);
void block_scan_many_avx512_emulated(const std::uint8_t* block, std::size_t B, const std::uint8_t* const* luts,
                                     std::size_t nq, std::uint32_t* out);
}

namespace {

// One kernel variant: its single-row and four-row forms and the level the CPU needs.
struct Variant {
    const char* name;
    int bits;
    DotFn one;
    Dot4Fn four;
    Level needs;  // the emulated AVX-512 kernel is built with AVX2 and FMA flags
};

// The scalar variants first: the vector ones are compared with them.
const Variant kVariants[] = {
    {"dot4_scalar", 4, dot_4bit_scalar, dot_4bit_scalar_x4, Level::Scalar},
    {"dot2_scalar", 2, dot_2bit_scalar, dot_2bit_scalar_x4, Level::Scalar},
    {"dot4_avx2", 4, dot_4bit_avx2, dot_4bit_avx2_x4, Level::Avx2},
    {"dot4_avx512", 4, dot_4bit_avx512, dot_4bit_avx512_x4, Level::Avx512},
    {"dot4_avx512_emulated", 4, dot_4bit_avx512_emulated, dot_4bit_avx512_x4_emulated, Level::Avx2},
    {"dot2_avx2", 2, dot_2bit_avx2, dot_2bit_avx2_x4, Level::Avx2},
};

std::string variant_name(const ::testing::TestParamInfo<Variant>& info) { return info.param.name; }

struct Data {
    std::vector<float> q;
    std::vector<std::uint8_t> codes;
};

Data make_data(std::size_t floats, std::size_t bytes, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    Data d;
    d.q.resize(floats);
    for (auto& v : d.q) v = normal(rng);
    d.codes.resize(bytes);
    for (auto& c : d.codes) c = static_cast<std::uint8_t>(rng());
    return d;
}

// |a - b| within 1e-5 of the magnitude of the terms (the sum itself can cancel).
void expect_close(float got, float want, const std::vector<float>& q, float cmax, const std::string& what) {
    double mag = 0;
    for (float v : q) mag += std::fabs(v) * cmax;
    EXPECT_LE(std::fabs(double(got) - double(want)), 1e-5 * std::max(mag, 1.0)) << what << " got " << got
                                                                                 << " want " << want;
}

class KernelVariant : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (!level_supported(v().needs)) GTEST_SKIP() << v().name << " is not supported by this CPU";
    }
    const Variant& v() const { return GetParam(); }
    std::size_t slots() const { return 8 / v().bits; }  // codes per byte
    float cmax() const { return v().bits == 4 ? 2.74f : 1.52f; }
    float centroid(int code) const { return v().bits == 4 ? CENTROIDS_4BIT[code] : CENTROIDS_2BIT[code]; }
    int code_at(const std::uint8_t* codes, std::size_t slot) const {
        return (codes[slot / slots()] >> (v().bits * (slot % slots()))) & ((1 << v().bits) - 1);
    }
    DotFn scalar() const { return v().bits == 4 ? dot_4bit_scalar : dot_2bit_scalar; }
};

// The vector variants, each against the scalar kernel of its width.
class VectorKernelVariant : public KernelVariant {};

INSTANTIATE_TEST_SUITE_P(, KernelVariant, ::testing::ValuesIn(kVariants), variant_name);
INSTANTIATE_TEST_SUITE_P(, VectorKernelVariant, ::testing::ValuesIn(kVariants + 2, std::end(kVariants)),
                         variant_name);

}  // namespace

TEST_P(VectorKernelVariant, AgreesWithScalarOnEveryTail) {
    std::vector<std::size_t> sizes = {512, 1023, 1024};
    for (std::size_t bytes = 1; bytes <= 40; ++bytes) sizes.push_back(bytes);
    for (std::size_t bytes : sizes) {
        const auto d = make_data(slots() * bytes, bytes, static_cast<unsigned>(bytes));
        const float want = scalar()(d.q.data(), d.q.size(), d.codes.data(), bytes);
        expect_close(v().one(d.q.data(), d.q.size(), d.codes.data(), bytes), want, d.q, cmax(),
                     "bytes " + std::to_string(bytes));
    }
}

TEST_P(KernelVariant, PartialBytesSkipSlotsBeyondTheQuery) {
    // padded_dim 1 at 4 bits, 1 or 2 at 2 bits: one byte, fewer query floats than slots.
    // The floats past L are NaN, so a slot that is not skipped shows.
    const std::uint8_t byte = 0xE6;
    for (std::size_t L = 1; L < slots(); ++L) {
        std::vector<float> q(slots(), std::numeric_limits<float>::quiet_NaN());
        const float given[] = {1.5f, -0.75f, 0.5f};
        float want = 0.0f;
        for (std::size_t j = 0; j < L; ++j) {
            q[j] = given[j];
            want = want + q[j] * centroid(code_at(&byte, j));
        }
        EXPECT_EQ(v().one(q.data(), L, &byte, 1), want) << "L " << L;
    }
}

TEST_P(KernelVariant, OneHotQueriesReadEachSlotExactly) {
    // A query that is 1 at one position and 0 elsewhere picks out exactly that slot's
    // centroid, so code order and table lookups are checked with no rounding at all.
    const std::size_t bytes = 37;  // main loops, whole groups and a tail
    const auto d = make_data(0, bytes, 21);
    std::vector<float> q(slots() * bytes, 0.0f);
    for (std::size_t j = 0; j < q.size(); ++j) {
        q[j] = 1.0f;
        ASSERT_EQ(v().one(q.data(), q.size(), d.codes.data(), bytes), centroid(code_at(d.codes.data(), j)))
            << "slot " << j;
        q[j] = 0.0f;
    }
}

TEST_P(KernelVariant, AllZeroAnd0x87And0xE4Rows) {
    std::vector<float> q(64);
    for (std::size_t i = 0; i < q.size(); ++i) q[i] = 0.25f * float(int(i % 7) - 3);
    float sum = 0;
    for (float x : q) sum += x;  // exact: quarters
    const std::size_t bytes = q.size() / slots();
    // Every byte 0 is the lowest centroid everywhere; 0x87 at 4 bits is codes 7, 8 and
    // 0xE4 at 2 bits codes 0, 1, 2, 3.
    const bool four = v().bits == 4;
    const std::vector<std::uint8_t> zeros(bytes, 0), pattern(bytes, four ? 0x87 : 0xE4);
    const std::vector<double> weights = four ? std::vector<double>{-0.12839501, 0.12839501}
                                             : std::vector<double>{-1.5104176, -0.45278001, 0.45278001, 1.5104176};
    EXPECT_NEAR(v().one(q.data(), q.size(), zeros.data(), bytes), (four ? -2.7325895 : -1.5104176) * sum, 1e-4);
    double want = 0;
    for (std::size_t i = 0; i < q.size(); ++i) want += weights[i % slots()] * q[i];
    EXPECT_NEAR(v().one(q.data(), q.size(), pattern.data(), bytes), want, 1e-4);
}

TEST_P(KernelVariant, FourRowFormEqualsSingleRowsBitForBit) {
    for (std::size_t bytes : {1u, 2u, 3u, 7u, 8u, 9u, 16u, 17u, 33u, 40u, 512u}) {
        const auto d = make_data(slots() * bytes, 4 * bytes, static_cast<unsigned>(bytes) + 7);
        const std::uint8_t* rows[4] = {d.codes.data(), d.codes.data() + bytes, d.codes.data() + 2 * bytes,
                                       d.codes.data() + 3 * bytes};
        for (std::size_t L : {d.q.size(), d.q.size() > 1 ? d.q.size() - 1 : 1}) {
            float out[4];
            v().four(d.q.data(), L, rows, bytes, out);
            for (int r = 0; r < 4; ++r) {
                ASSERT_EQ(std::bit_cast<std::uint32_t>(out[r]),
                          std::bit_cast<std::uint32_t>(v().one(d.q.data(), L, rows[r], bytes)))
                    << "bytes " << bytes << " L " << L << " row " << r;
            }
        }
    }
}

namespace {

struct ScanVariant {
    const char* name;
    BlockScanFn fn;
    BlockScanManyFn many;
    Level needs;
};

class BlockScan : public ::testing::TestWithParam<ScanVariant> {};

INSTANTIATE_TEST_SUITE_P(, BlockScan,
                         ::testing::Values(ScanVariant{"scalar", block_scan_scalar, block_scan_many_scalar, Level::Scalar},
                                           ScanVariant{"avx2", block_scan_avx2, block_scan_many_avx2, Level::Avx2},
                                           ScanVariant{"avx512", block_scan_avx512, block_scan_many_avx512, Level::Avx512},
                                           ScanVariant{"avx512_emulated", block_scan_avx512_emulated,
                                                       block_scan_many_avx512_emulated, Level::Avx2}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

const std::size_t kScanBytes[] = {1, 2, 3, 31, 64, 129, 384, 700, 2048, 4096};

// Against the sum as defined (so the scalar kernel too), on random blocks and tables of odd
// and even sizes around the 128-position segments, and on all-255 tables, where every
// 16-bit lane would wrap many times over.
TEST_P(BlockScan, EqualsTheSumOfLookedUpNibbles) {
    if (!level_supported(GetParam().needs)) GTEST_SKIP() << "not supported by this CPU";
    std::mt19937 rng(11);
    for (std::size_t B : kScanBytes) {
      for (bool saturated : {false, true}) {
        std::vector<std::uint8_t> block(32 * B), lut(32 * B);
        for (auto& c : block) c = static_cast<std::uint8_t>(rng());
        for (auto& t : lut) t = saturated ? 255 : static_cast<std::uint8_t>(rng());
        std::vector<std::uint32_t> want(32, 0), got(32, 0);
        for (std::size_t r = 0; r < 32; ++r) {
            for (std::size_t n = 0; n < 2 * B; ++n) want[r] += lut[16 * n + ((block[n / 2 * 32 + r] >> (4 * (n % 2))) & 15)];
        }
        std::vector<std::uint8_t> laid_out(laid_out_table_bytes(B));
        lay_out_tables(lut.data(), B, laid_out.data());
        GetParam().fn(block.data(), B, laid_out.data(), got.data());
        EXPECT_EQ(got, want) << "B " << B << (saturated ? " all 255" : "");
      }
    }
}

// Every query count against the single-query scalar scan of each query; near all-255
// tables differ by query, so that a query scored with another's tables shows.
TEST_P(BlockScan, ManyQueriesEachEqualTheirSingleScan) {
    if (!level_supported(GetParam().needs)) GTEST_SKIP() << "not supported by this CPU";
    std::mt19937 rng(12);
    for (std::size_t B : kScanBytes) {
      for (bool saturated : {false, true}) {
        std::vector<std::uint8_t> block(32 * B), lut(32 * B);
        for (auto& c : block) c = static_cast<std::uint8_t>(rng());
        std::vector<std::vector<std::uint8_t>> laid_out(kMaxScanQueries, std::vector<std::uint8_t>(laid_out_table_bytes(B)));
        std::vector<const std::uint8_t*> luts;
        std::vector<std::uint32_t> want(32 * kMaxScanQueries), got(32 * kMaxScanQueries);
        for (std::size_t q = 0; q < kMaxScanQueries; ++q) {
            for (auto& t : lut) t = static_cast<std::uint8_t>(saturated ? 255 - q : rng());
            lay_out_tables(lut.data(), B, laid_out[q].data());
            luts.push_back(laid_out[q].data());
            block_scan_scalar(block.data(), B, luts[q], want.data() + 32 * q);
        }
        for (std::size_t nq = 1; nq <= kMaxScanQueries; ++nq) {
            std::fill(got.begin(), got.end(), 0xDEADBEEF);
            GetParam().many(block.data(), B, luts.data(), nq, got.data());
            EXPECT_TRUE(std::equal(want.begin(), want.begin() + 32 * nq, got.begin()))
                << "B " << B << " nq " << nq << (saturated ? " near 255" : "");
            EXPECT_TRUE(std::all_of(got.begin() + 32 * nq, got.end(), [](std::uint32_t v) { return v == 0xDEADBEEF; }))
                << "wrote past query " << nq;
        }
      }
    }
}

TEST(Kernels, EmulatedAvx512MatchesNativeWhereAvailable) {
    if (!level_supported(Level::Avx512)) GTEST_SKIP() << "no AVX-512 on this CPU";
    for (std::size_t bytes : {1u, 8u, 13u, 64u, 1024u}) {
        const auto d = make_data(2 * bytes, bytes, 77);
        EXPECT_EQ(dot_4bit_avx512(d.q.data(), d.q.size(), d.codes.data(), bytes),
                  dot_4bit_avx512_emulated(d.q.data(), d.q.size(), d.codes.data(), bytes));
    }
}

TEST(Kernels, ScalarKernelsAddOneTermAtATimeInOrder) {
    // 1e8 swallows the next term and then cancels: only a left-to-right sum keeps the last
    // term alone (a pairwise one gives 0).
    const float q[4] = {1e8f, 1.0f, -1e8f, 1.0f};
    const std::uint8_t codes[2] = {0xFF, 0xFF};  // the top code everywhere
    EXPECT_EQ(dot_4bit_scalar(q, 4, codes, 2), CENTROIDS_4BIT[15]);
    EXPECT_EQ(dot_2bit_scalar(q, 4, codes, 1), CENTROIDS_2BIT[3]);
}

class ScoreRowLevel : public ::testing::TestWithParam<Level> {
protected:
    void SetUp() override {
        if (!level_supported(GetParam())) GTEST_SKIP() << "kernel level not supported by this CPU";
    }
};

INSTANTIATE_TEST_SUITE_P(, ScoreRowLevel, ::testing::Values(Level::Scalar, Level::Avx2, Level::Avx512),
                         [](const auto& info) {
                             return std::string(info.param == Level::Scalar ? "scalar"
                                                : info.param == Level::Avx2 ? "avx2"
                                                                            : "avx512");
                         });

TEST_P(ScoreRowLevel, MixedLayoutSplitsTheRow) {
    EngineConfig cfg;
    cfg.dim = 16;
    cfg.n4_dims = 8;
    const auto qz = Quantizer::create(cfg).value();
    ASSERT_EQ(qz.packed_bytes_per_vec(), 6u);
    const auto d = make_data(16, 6, 3);
    const float want = dot_4bit_scalar(d.q.data(), 8, d.codes.data(), 4) +
                       dot_2bit_scalar(d.q.data() + 8, 8, d.codes.data() + 4, 2);
    const QueryScorer scorer(d.q.data(), qz.row_layout(), Metric::Dot, kernels_for(GetParam()));
    const float got = scorer.raw<Layout::Mixed>(d.codes.data());
    if (GetParam() == Level::Scalar) {
        EXPECT_EQ(got, want);
    } else {
        expect_close(got, want, d.q, 2.74f, "mixed");
    }
}

TEST(Dispatch, OneRuleForTheBestLevelAndTheSupportedLevels) {
    struct Case {
        CpuFeatures f;
        Level best;
        DotFn two_bit_at_best;
    };
    CpuFeatures none, avx2, avx512_only, all;
    avx2.avx2 = avx2.fma = true;
    avx512_only.avx512f = avx512_only.avx512bw = true;  // no AVX2/FMA: still the AVX-512 level
    all = avx2;
    all.avx512f = all.avx512bw = true;
    CpuFeatures f_only = all;
    f_only.avx512bw = false;  // AVX-512F alone is not enough
    for (const Case& c : {Case{none, Level::Scalar, dot_2bit_scalar}, Case{avx2, Level::Avx2, dot_2bit_avx2},
                          Case{avx512_only, Level::Avx512, dot_2bit_scalar}, Case{all, Level::Avx512, dot_2bit_avx2},
                          Case{f_only, Level::Avx2, dot_2bit_avx2}}) {
        EXPECT_EQ(best_level(c.f), c.best);
        EXPECT_TRUE(level_supported(c.f, c.best));  // the chosen level is one the check accepts
        EXPECT_EQ(kernels_for(c.f, c.best).dot_2bit, c.two_bit_at_best);
    }
    EXPECT_EQ(kernels_for(all, Level::Avx512).block_scan, block_scan_avx512);
    EXPECT_EQ(kernels_for(all, Level::Avx2).block_scan, block_scan_avx2);
    EXPECT_EQ(kernels_for(all, Level::Scalar).block_scan, block_scan_scalar);
    EXPECT_EQ(kernels_for(all, Level::Avx512).block_scan_many, block_scan_many_avx512);
    EXPECT_EQ(kernels_for(all, Level::Avx2).block_scan_many, block_scan_many_avx2);
    EXPECT_EQ(kernels_for(all, Level::Scalar).block_scan_many, block_scan_many_scalar);
}

TEST(Dispatch, BestKernelsMatchTheFeatures) {
    const auto& f = cpu_features();
    const auto& k = best_kernels();
    if (f.has_avx512()) {
        EXPECT_EQ(k.dot_4bit, &dot_4bit_avx512);
    } else if (f.has_avx2_fma()) {
        EXPECT_EQ(k.dot_4bit, &dot_4bit_avx2);
    } else {
        EXPECT_EQ(k.dot_4bit, &dot_4bit_scalar);
    }
    EXPECT_EQ(k.dot_2bit, f.has_avx2_fma() ? &dot_2bit_avx2 : &dot_2bit_scalar);
}

TEST(AdjustScore, PerMetric) {
    EXPECT_EQ(adjust_score(3.0f, 2.0f, Metric::Cosine), 1.5f);
    EXPECT_EQ(adjust_score(3.0f, 1e-10f, Metric::Cosine), 3.0f);
    EXPECT_EQ(adjust_score(3.0f, 2.0f, Metric::Dot), 3.0f);
    EXPECT_EQ(adjust_score(3.0f, 2.0f, Metric::L2), 1.0f);
}
