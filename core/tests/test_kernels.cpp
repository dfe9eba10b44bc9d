#include <gtest/gtest.h>

#include <bit>
#include <cmath>
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
}

namespace {

struct Variant {
    std::string name;
    DotFn fn;
    bool supported;
};

std::vector<Variant> variants_4bit() {
    return {
        {"avx2", dot_4bit_avx2, level_supported(Level::Avx2)},
        {"avx512", dot_4bit_avx512, level_supported(Level::Avx512)},
        {"avx512_emulated", dot_4bit_avx512_emulated, level_supported(Level::Avx2)},
    };
}

std::vector<Variant> variants_2bit() { return {{"avx2", dot_2bit_avx2, level_supported(Level::Avx2)}}; }

// The scalar kernel followed by every vector variant this CPU can run.
std::vector<std::pair<std::string, DotFn>> runnable(DotFn scalar, const std::vector<Variant>& variants) {
    std::vector<std::pair<std::string, DotFn>> out = {{"scalar", scalar}};
    for (const auto& v : variants) {
        if (v.supported) out.emplace_back(v.name, v.fn);
    }
    return out;
}

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

}  // namespace

TEST(Kernels, FourBitVariantsAgreeWithScalarOnEveryTail) {
    for (const auto& v : variants_4bit()) {
        if (!v.supported) {
            std::cout << "[ skipped ] " << v.name << " (not supported by this CPU)\n";
            continue;
        }
        for (std::size_t bytes = 1; bytes <= 40; ++bytes) {
            const auto d = make_data(2 * bytes, bytes, static_cast<unsigned>(bytes));
            const float want = dot_4bit_scalar(d.q.data(), d.q.size(), d.codes.data(), bytes);
            expect_close(v.fn(d.q.data(), d.q.size(), d.codes.data(), bytes), want, d.q, 2.74f,
                         v.name + " bytes " + std::to_string(bytes));
        }
        for (std::size_t bytes : {512u, 1024u, 1023u}) {
            const auto d = make_data(2 * bytes, bytes, 99);
            const float want = dot_4bit_scalar(d.q.data(), d.q.size(), d.codes.data(), bytes);
            expect_close(v.fn(d.q.data(), d.q.size(), d.codes.data(), bytes), want, d.q, 2.74f, v.name);
        }
    }
}

TEST(Kernels, TwoBitVariantsAgreeWithScalarOnEveryTail) {
    for (const auto& v : variants_2bit()) {
        if (!v.supported) {
            std::cout << "[ skipped ] " << v.name << " (not supported by this CPU)\n";
            continue;
        }
        for (std::size_t bytes = 1; bytes <= 12; ++bytes) {
            const auto d = make_data(4 * bytes, bytes, static_cast<unsigned>(bytes) + 100);
            const float want = dot_2bit_scalar(d.q.data(), d.q.size(), d.codes.data(), bytes);
            expect_close(v.fn(d.q.data(), d.q.size(), d.codes.data(), bytes), want, d.q, 1.52f,
                         v.name + " bytes " + std::to_string(bytes));
        }
        const auto d = make_data(2048, 512, 5);
        expect_close(v.fn(d.q.data(), 2048, d.codes.data(), 512),
                     dot_2bit_scalar(d.q.data(), 2048, d.codes.data(), 512), d.q, 1.52f, v.name);
    }
}

TEST(Kernels, PartialBytesSkipSlotsBeyondTheQuery) {
    // padded_dim 1 at 4 bits: one byte, one query float; padded 1 or 2 at 2 bits.
    const float q[2] = {1.5f, -0.75f};
    const std::uint8_t byte4 = 0xF3;
    const std::uint8_t byte2 = 0xE6;  // slots 2, 1, 2, 3
    const auto four = runnable(dot_4bit_scalar, variants_4bit());
    const auto two = runnable(dot_2bit_scalar, variants_2bit());
    for (const auto& [name, fn] : four) {
        EXPECT_EQ(fn(q, 1, &byte4, 1), 1.5f * CENTROIDS_4BIT[3]) << name;
    }
    for (const auto& [name, fn] : two) {
        EXPECT_EQ(fn(q, 1, &byte2, 1), 1.5f * CENTROIDS_2BIT[2]) << name;
        EXPECT_EQ(fn(q, 2, &byte2, 1), 1.5f * CENTROIDS_2BIT[2] + -0.75f * CENTROIDS_2BIT[1]) << name;
    }
}

TEST(Kernels, DesignExamples) {
    std::vector<float> q(64);
    for (std::size_t i = 0; i < q.size(); ++i) q[i] = 0.25f * float(int(i % 7) - 3);
    float sum = 0;
    for (float v : q) sum += v;  // exact: quarters
    std::vector<std::uint8_t> zeros(32, 0), x87(32, 0x87), e4(16, 0xE4);
    for (const auto& [name, fn] : runnable(dot_4bit_scalar, variants_4bit())) {
        EXPECT_NEAR(fn(q.data(), 64, zeros.data(), 32), -2.7325895f * sum, 1e-4) << name;
        double want = 0;
        for (std::size_t i = 0; i < 32; ++i) want += -0.12839501 * q[2 * i] + 0.12839501 * q[2 * i + 1];
        EXPECT_NEAR(fn(q.data(), 64, x87.data(), 32), want, 1e-5) << name;
    }
    for (const auto& [name, fn] : runnable(dot_2bit_scalar, variants_2bit())) {
        EXPECT_NEAR(fn(q.data(), 64, zeros.data(), 16), -1.5104176f * sum, 1e-4) << name;
        double want = 0;
        for (std::size_t i = 0; i < 16; ++i) {
            want += -1.5104176 * q[4 * i] - 0.45278001 * q[4 * i + 1] + 0.45278001 * q[4 * i + 2] +
                    1.5104176 * q[4 * i + 3];
        }
        EXPECT_NEAR(fn(q.data(), 64, e4.data(), 16), want, 1e-4) << name;
    }
}

TEST(Kernels, ScalarOrderIsExact) {
    // The scalar kernels add p0 then p1 per byte, left to right.
    const float q[4] = {1e8f, 1.0f, -1e8f, 1.0f};
    const std::uint8_t codes[2] = {0xFF, 0xFF};  // centroid 15 everywhere
    const float c = CENTROIDS_4BIT[15];
    float acc = 0.0f;
    acc = (acc + q[0] * c) + q[1] * c;
    acc = (acc + q[2] * c) + q[3] * c;
    EXPECT_EQ(dot_4bit_scalar(q, 4, codes, 2), acc);
}

TEST(ScoreRow, MixedLayoutSplitsTheRow) {
    EngineConfig cfg;
    cfg.dim = 16;
    cfg.n4_dims = 8;
    const auto qz = Quantizer::create(cfg).value();
    ASSERT_EQ(qz.packed_bytes_per_vec(), 6u);
    const auto d = make_data(16, 6, 3);
    const float want = dot_4bit_scalar(d.q.data(), 8, d.codes.data(), 4) +
                       dot_2bit_scalar(d.q.data() + 8, 8, d.codes.data() + 4, 2);
    for (Level level : {Level::Scalar, Level::Avx2, Level::Avx512}) {
        if (!level_supported(level)) continue;
        const QueryScorer scorer(d.q.data(), qz.row_layout(), Metric::Dot, kernels_for(level));
        expect_close(scorer.raw<Layout::Mixed>(d.codes.data()), want, d.q, 2.74f, "mixed");
    }
    const QueryScorer scalar(d.q.data(), qz.row_layout(), Metric::Dot, kernels_for(Level::Scalar));
    EXPECT_EQ(scalar.raw<Layout::Mixed>(d.codes.data()), want);
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
    EXPECT_EQ(&best_kernels(), &k);  // resolved once
}

TEST(AdjustScore, PerMetric) {
    EXPECT_EQ(adjust_score(3.0f, 2.0f, Metric::Cosine), 1.5f);
    EXPECT_EQ(adjust_score(3.0f, 1e-10f, Metric::Cosine), 3.0f);
    EXPECT_EQ(adjust_score(3.0f, 2.0f, Metric::Dot), 3.0f);
    EXPECT_EQ(adjust_score(3.0f, 2.0f, Metric::L2), 1.0f);
}

TEST(Kernels, FourRowVariantsEqualSingleRowsBitForBit) {
    struct Pair {
        std::string name;
        DotFn one;
        Dot4Fn four;
        bool supported;
        int codes_per_byte;
    };
    const std::vector<Pair> pairs = {
        {"4bit scalar", dot_4bit_scalar, dot_4bit_scalar_x4, true, 2},
        {"2bit scalar", dot_2bit_scalar, dot_2bit_scalar_x4, true, 4},
        {"4bit avx2", dot_4bit_avx2, dot_4bit_avx2_x4, level_supported(Level::Avx2), 2},
        {"2bit avx2", dot_2bit_avx2, dot_2bit_avx2_x4, level_supported(Level::Avx2), 4},
        {"4bit avx512", dot_4bit_avx512, dot_4bit_avx512_x4, level_supported(Level::Avx512), 2},
        {"4bit avx512 emulated", dot_4bit_avx512_emulated, dot_4bit_avx512_x4_emulated,
         level_supported(Level::Avx2), 2},
    };
    for (const auto& p : pairs) {
        if (!p.supported) continue;
        for (std::size_t bytes : {1u, 2u, 3u, 7u, 8u, 9u, 16u, 17u, 33u, 40u, 512u}) {
            const auto d = make_data(p.codes_per_byte * bytes, 4 * bytes, static_cast<unsigned>(bytes) + 7);
            const std::uint8_t* rows[4] = {d.codes.data(), d.codes.data() + bytes, d.codes.data() + 2 * bytes,
                                           d.codes.data() + 3 * bytes};
            for (std::size_t L : {d.q.size(), d.q.size() > 1 ? d.q.size() - 1 : 1}) {
                float out[4];
                p.four(d.q.data(), L, rows, bytes, out);
                for (int r = 0; r < 4; ++r) {
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(out[r]),
                              std::bit_cast<std::uint32_t>(p.one(d.q.data(), L, rows[r], bytes)))
                        << p.name << " bytes " << bytes << " L " << L << " row " << r;
                }
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

TEST(Kernels, OneHotQueriesReadEachSlotExactly) {
    // A query that is 1 at one position and 0 elsewhere picks out exactly that slot's
    // centroid, so code order and table lookups are checked with no rounding at all.
    const auto four = runnable(dot_4bit_scalar, variants_4bit());
    const auto two = runnable(dot_2bit_scalar, variants_2bit());
    const std::size_t bytes = 37;  // main loops, whole groups and a tail
    const auto d = make_data(0, bytes, 21);
    for (const auto& [name, fn] : four) {
        std::vector<float> q(2 * bytes, 0.0f);
        for (std::size_t j = 0; j < q.size(); ++j) {
            q[j] = 1.0f;
            const int code = (d.codes[j / 2] >> (4 * (j % 2))) & 15;
            ASSERT_EQ(fn(q.data(), q.size(), d.codes.data(), bytes), CENTROIDS_4BIT[code]) << name << " slot " << j;
            q[j] = 0.0f;
        }
    }
    for (const auto& [name, fn] : two) {
        std::vector<float> q(4 * bytes, 0.0f);
        for (std::size_t j = 0; j < q.size(); ++j) {
            q[j] = 1.0f;
            const int code = (d.codes[j / 4] >> (2 * (j % 4))) & 3;
            ASSERT_EQ(fn(q.data(), q.size(), d.codes.data(), bytes), CENTROIDS_2BIT[code]) << name << " slot " << j;
            q[j] = 0.0f;
        }
    }
}
