#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/construct.h"
#include "engine/engine.h"
#include "engine/inspect.h"
#include "quantize/quantizer.h"
#include "simd/encode_loops.h"
#include "base/tables.h"
#include "simd/kernels.h"

using namespace korvane;

namespace {

float bits(std::uint32_t b) { return std::bit_cast<float>(b); }

Quantizer make_quantizer(std::uint64_t dim, std::uint64_t n4, Metric metric = Metric::Cosine,
                         std::uint8_t bit_width = 4) {
    EngineConfig c;
    c.dim = dim;
    c.n4_dims = n4;
    c.metric = metric;
    c.bit_width = bit_width;
    auto q = Quantizer::create(c);
    EXPECT_TRUE(q.ok());
    return std::move(q).value();
}

}  // namespace

TEST(Tables, BitPatterns) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(CENTROIDS_4BIT[0]), 0xC02EE2BFu);
    EXPECT_EQ(CENTROIDS_4BIT[8], 0.12839501f);
    EXPECT_EQ(CENTROIDS_2BIT[3], 1.5104176f);
    EXPECT_EQ(BOUNDARIES_4BIT[8], 0.25822169f);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(CENTROIDS_4BIT[k], -CENTROIDS_4BIT[15 - k]);
    for (int k = 0; k < 7; ++k) EXPECT_EQ(BOUNDARIES_4BIT[k], -BOUNDARIES_4BIT[14 - k]);
}

TEST(CodeSelection, ThresholdTiesNaNAndSaturation) {
    EXPECT_EQ(code_4bit(bits(0x3E8435A2)), 9);  // equal to the threshold: upper code
    EXPECT_EQ(code_4bit(bits(0x3E8435A1)), 8);  // the plain midpoint is below it
    EXPECT_EQ(code_4bit(0.0f), 8);
    EXPECT_EQ(code_4bit(-0.0f), 8);
    EXPECT_EQ(code_2bit(-0.0f), 2);
    EXPECT_EQ(code_4bit(2.4008033f), 15);
    EXPECT_EQ(code_4bit(std::nextafter(2.4008033f, 0.0f)), 14);
    EXPECT_EQ(code_2bit(0.98159879f), 3);
    EXPECT_EQ(code_4bit(std::numeric_limits<float>::quiet_NaN()), 15);
    EXPECT_EQ(code_2bit(std::numeric_limits<float>::quiet_NaN()), 3);
    EXPECT_EQ(code_4bit(-1e30f), 0);
    EXPECT_EQ(code_4bit(std::numeric_limits<float>::infinity()), 15);
    EXPECT_EQ(code_2bit(-std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(code_2bit(-0.5f), 1);
}

TEST(Packers, NibbleAndSlotOrderWithPartialBytes) {
    // One value per code, each at the centroid, so the code is known.
    std::vector<float> v;
    for (int c = 0; c < 16; ++c) v.push_back(CENTROIDS_4BIT[c]);
    std::vector<std::uint8_t> out(8);
    encode_4bit(v.data(), 16, out.data());
    for (int b = 0; b < 8; ++b) EXPECT_EQ(out[b], (2 * b) | ((2 * b + 1) << 4));

    std::uint8_t one = 0xFF;
    encode_4bit(v.data() + 5, 1, &one);  // odd count: high nibble stays 0
    EXPECT_EQ(one, 5);

    const float two[] = {CENTROIDS_2BIT[0], CENTROIDS_2BIT[1], CENTROIDS_2BIT[2], CENTROIDS_2BIT[3], 0.5f, -2.0f};
    std::uint8_t q[2] = {0xFF, 0xFF};
    encode_2bit(two, 6, q);
    EXPECT_EQ(q[0], 0xE4);
    EXPECT_EQ(q[1], 2 | (0 << 2));  // trailing slots of the partial byte are 0

    // Longer than the internal chunk, odd length.
    std::vector<float> many(1001);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = std::sin(0.1f * float(i)) * 3.0f;
    std::vector<std::uint8_t> p4(bytes_4bit(many.size())), p2(bytes_2bit(many.size()));
    encode_4bit(many.data(), many.size(), p4.data());
    encode_2bit(many.data(), many.size(), p2.data());
    for (std::size_t i = 0; i < many.size(); ++i) {
        ASSERT_EQ((p4[i / 2] >> (4 * (i % 2))) & 15, code_4bit(many[i])) << i;
        ASSERT_EQ((p2[i / 4] >> (2 * (i % 4))) & 3, code_2bit(many[i])) << i;
    }
}

TEST(Layout, ResolutionOfN4Dims) {
    auto pd = [](std::uint64_t d) { return *padded_dim_for(d); };
    EXPECT_EQ(resolve_n4_dims(pd(1536), 4, {}, {}), 2048u);
    EXPECT_EQ(resolve_n4_dims(pd(1536), 2, {}, {}), 0u);
    EXPECT_EQ(resolve_n4_dims(pd(1536), 4, 0.5, {}), 1024u);
    EXPECT_EQ(resolve_n4_dims(pd(100), 4, 0.3, {}), 36u);
    EXPECT_EQ(resolve_n4_dims(pd(100), 4, 1.7, {}), 128u);
    EXPECT_EQ(resolve_n4_dims(pd(100), 4, -0.2, {}), 0u);
    EXPECT_EQ(resolve_n4_dims(pd(100), 4, std::nan(""), {}), 0u);
    EXPECT_EQ(resolve_n4_dims(pd(100), 4, {}, 7), 4u);
    EXPECT_EQ(resolve_n4_dims(pd(1536), 4, 0.5, 5000), 2048u);  // n4_dims wins
    EXPECT_EQ(resolve_n4_dims(pd(100), 4, {}, 0), 0u);
    EXPECT_EQ(resolve_n4_dims(pd(100), 2, 0.5, {}), 64u);
    EXPECT_EQ(resolve_n4_dims(pd(1), 4, {}, {}), 1u);
    EXPECT_EQ(resolve_n4_dims(pd(2), 4, 1.0, {}), 0u);
    EXPECT_EQ(resolve_n4_dims(pd(2), 4, {}, 2), 0u);
    EXPECT_EQ(resolve_n4_dims(pd(100), 3, {}, {}), 128u);  // rejected later by Engine::create
}

TEST(Layout, NumbersOfTheQuantizer) {
    const auto q = make_quantizer(100, 36);
    EXPECT_EQ(q.padded_dim(), 128u);
    EXPECT_EQ(q.n2_dims, 92u);
    EXPECT_EQ(q.pb4_per_vec, 18u);
    EXPECT_EQ(q.packed_bytes_per_vec(), 41u);
    EXPECT_TRUE(q.is_mixed());
    EXPECT_EQ(make_quantizer(1536, 2048).packed_bytes_per_vec(), 1024u);
    EXPECT_EQ(make_quantizer(1536, 0).packed_bytes_per_vec(), 512u);
    EXPECT_EQ(make_quantizer(1536, 1024).packed_bytes_per_vec(), 768u);
    EXPECT_EQ(make_quantizer(1, 1).packed_bytes_per_vec(), 1u);
    EXPECT_EQ(make_quantizer(0, 1).packed_bytes_per_vec(), 1u);
    EXPECT_EQ(make_quantizer(3, 4).packed_bytes_per_vec(), 2u);
    EXPECT_EQ(make_quantizer(3, 0).packed_bytes_per_vec(), 1u);
    EXPECT_EQ(make_quantizer(1536, 2048).scale, std::sqrt(2048.0f));
}

TEST(Layout, InvalidLayoutsAreRefused) {
    EngineConfig c;
    c.dim = 8;
    c.n4_dims = 6;
    auto e = Engine::create(c);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().message(), "invalid bit width: 4 (must be 2 or 4)");
    c.n4_dims = 12;
    c.bit_width = 2;
    EXPECT_EQ(Engine::create(c).error().message(), "invalid bit width: 2 (must be 2 or 4)");
    c.n4_dims = 8;
    c.bit_width = 3;
    EXPECT_EQ(Engine::create(c).error().message(), "invalid bit width: 3 (must be 2 or 4)");
    c.bit_width = 2;
    EXPECT_TRUE(Engine::create(c).ok());
}

TEST(Prepare, CosineNormalisesByTrueDivision) {
    const auto q = make_quantizer(4, 4);
    const std::vector<float> x = {2.0f, 0.0f, 0.0f, 0.0f};
    EXPECT_EQ(q.prepare(x), (std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f}));
    const std::vector<float> tiny = {1e-8f, 0.0f, 0.0f, 0.0f};  // norm below 2^-23: unchanged
    EXPECT_EQ(q.prepare(tiny), tiny);
    const std::vector<float> v = {3.0f, 4.0f, 0.0f, 0.0f};
    const auto p = q.prepare(v);
    EXPECT_EQ(p[0], 3.0f / 5.0f);
    EXPECT_EQ(p[1], 4.0f / 5.0f);
}

TEST(Prepare, StandardizationAppliesToL2Only) {
    auto q = make_quantizer(2, 0, Metric::L2);
    q.standardization = Standardization{{2.5f, 2.5f}, {0.5f, 0.25f}};
    EXPECT_EQ(q.prepare(std::vector<float>{4.5f, 6.5f}), (std::vector<float>{1.0f, 1.0f}));
    auto dot = make_quantizer(2, 0, Metric::Dot);
    dot.standardization = q.standardization;
    EXPECT_EQ(dot.prepare(std::vector<float>{4.5f, 6.5f}), (std::vector<float>{4.5f, 6.5f}));
}

TEST(Encode, RowsAreTheCodesOfTheTransformedQuery) {
    for (std::uint64_t n4 : {0u, 32u, 64u, 128u}) {
        const auto q = make_quantizer(100, n4, Metric::L2);
        std::vector<float> x(100);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::cos(0.7f * float(i)) * 0.2f;
        const auto t = q.transform_query(x);
        const auto row = q.encode(x);
        ASSERT_EQ(row.size(), q.packed_bytes_per_vec());
        for (std::size_t i = 0; i < 128; ++i) {
            const int got = i < n4 ? (row[i / 2] >> (4 * (i % 2))) & 15
                                   : (row[q.pb4_per_vec + (i - n4) / 4] >> (2 * ((i - n4) % 4))) & 3;
            ASSERT_EQ(got, i < n4 ? code_4bit(t[i]) : code_2bit(t[i])) << "n4 " << n4 << " i " << i;
        }
    }
}

TEST(Encode, TransformIsRotationThenScale) {
    const auto q = make_quantizer(3, 4, Metric::Dot);
    const std::vector<float> x = {0.5f, -1.25f, 2.0f};
    auto y = q.rotation.apply(x);
    const auto t = q.transform_query(x);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(t[i], y[i] * 2.0f);
}

TEST(QuantizedNorm, CountsEverySlot) {
    const auto q = make_quantizer(1, 1);
    const std::uint8_t row = 0x03;  // low nibble 3, empty high nibble holds code 0
    const float c = CENTROIDS_4BIT[3], z = CENTROIDS_4BIT[0];
    EXPECT_EQ(q.quantized_norm(&row), std::sqrt(c * c + z * z));

    const auto m = make_quantizer(16, 8);
    std::vector<std::uint8_t> r(m.packed_bytes_per_vec(), 0);
    r[0] = 0xF0;
    r[4] = 0xE4;
    float s = 0.0f;
    for (int i = 0; i < 4; ++i) {
        const float lo = CENTROIDS_4BIT[r[i] & 15], hi = CENTROIDS_4BIT[r[i] >> 4];
        s += lo * lo;
        s += hi * hi;
    }
    for (int b = 4; b < 6; ++b) {
        for (int k = 0; k < 4; ++k) {
            const float v = CENTROIDS_2BIT[(r[b] >> (2 * k)) & 3];
            s += v * v;
        }
    }
    EXPECT_EQ(m.quantized_norm(r.data()), std::sqrt(s));
}

TEST(Parsing, MetricAndIndexTypeTexts) {
    EXPECT_EQ(parse_metric("cosine"), Metric::Cosine);
    EXPECT_EQ(parse_metric("dot_product"), Metric::Dot);
    EXPECT_EQ(parse_metric("euclidean"), Metric::L2);
    EXPECT_FALSE(parse_metric("dot-product"));
    EXPECT_FALSE(parse_metric(" l2"));
    std::string norm;
    EXPECT_EQ(parse_index_type("brute-force", &norm), IndexType::BruteForce);
    EXPECT_EQ(parse_index_type("ivf-flat"), IndexType::IvfFlat);
    EXPECT_EQ(parse_index_type("hnsw"), IndexType::Hnsw);
    EXPECT_FALSE(parse_index_type("ivf-pq", &norm));
    EXPECT_EQ(unknown_index_type_message(norm), "unknown index_type 'ivf_pq': use 'brute_force', 'ivf_flat', or 'hnsw'");
    EXPECT_EQ(unknown_metric_message("dot-product"), "unknown metric 'dot-product': use 'cosine', 'dot', or 'l2'");
}

TEST(Config, FieldsOfOtherIndexTypesAreZero) {
    ConstructorArgs a;
    a.dim = 10;
    a.index_type = IndexType::Hnsw;
    const auto c = make_config(a, 16);
    EXPECT_EQ(c.ivf_nlist, 0u);
    EXPECT_EQ(c.hnsw_m, 32u);
    EXPECT_EQ(c.hnsw_ef_search, 0u);
    EXPECT_EQ(c.seed, ROTATION_SEED);
    auto e = Engine::create(c);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(graph_of(e.value().structure())->ef_search, 64u);
    EXPECT_DOUBLE_EQ(graph_of(e.value().structure())->level_mult, 1.0 / std::log(32.0));
    a.index_type = IndexType::IvfFlat;
    const auto ivf = make_config(a, 16);
    EXPECT_EQ(ivf.ivf_nlist, 256u);
    EXPECT_EQ(ivf.ivf_nprobe, 8u);
    EXPECT_EQ(ivf.hnsw_m, 0u);
    EXPECT_FALSE(graph_of(Engine::create(ivf).value().structure()).has_value());
}

TEST(Errors, DisplayTexts) {
    EXPECT_EQ(EngineError::dimension_mismatch(3, 4).message(), "dimension mismatch: expected 3, got 4");
    EXPECT_EQ(EngineError::count_mismatch(3, 2).message(), "id/vector count mismatch: 3 ids vs 2 vectors");
    EXPECT_EQ(EngineError::index_type_not_implemented("Hnsw").message(),
              "index type 'Hnsw' is not yet implemented \u2014 use IndexType::BruteForce");
    EXPECT_EQ(EngineError::empty_sample().message(), "sample is empty \u2014 provide at least 1 vector for profiling");
    EXPECT_EQ(EngineError::fit_after_add().message(),
              "fit() must be called before add() \u2014 index already contains vectors");
    EXPECT_EQ(EngineError::not_built().message(), "call build() before search() for IvfFlat indexes");
    EXPECT_EQ(EngineError::empty_index().message(), "index is empty");
    EXPECT_EQ(EngineError::invalid_metric_byte(7).message(), "invalid metric byte: 7");
    EXPECT_EQ(EngineError::unsupported_version(9).message(), "unsupported file version: 9");
    EXPECT_EQ(EngineError::unsupported_index_type_byte(3).message(), "unsupported index type byte: 3");
    EXPECT_EQ(EngineError::io("x").message(), "io error: x");
    EXPECT_EQ(EngineError::invalid_file("bad magic").message(), "invalid .krvn file: bad magic");
}

TEST(EncodeLoops, Avx2BuildMatchesBaselineBitForBit) {
    if (!simd::level_supported(simd::Level::Avx2)) GTEST_SKIP() << "no AVX2 on this CPU";
    const EncodeLoops base = encode_loops_baseline(), wide = encode_loops_avx2();
    for (std::size_t n : {1u, 2u, 4u, 8u, 16u, 64u, 1024u, 2048u}) {
        std::vector<float> a(n);
        for (std::size_t i = 0; i < n; ++i) a[i] = std::sin(1.3f * float(i) + 0.2f) * 2.9f;
        a[0] = std::numeric_limits<float>::quiet_NaN();
        if (n > 1) a[1] = BOUNDARIES_4BIT[8];
        auto b = a;
        base.walsh_hadamard(a.data(), n);
        wide.walsh_hadamard(b.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(a[i]), std::bit_cast<std::uint32_t>(b[i])) << n << " " << i;
        }
        for (std::size_t i = 0; i < n; ++i) a[i] = b[i] = std::cos(0.7f * float(i)) * 2.5f;
        if (n > 2) a[2] = b[2] = std::numeric_limits<float>::quiet_NaN();
        base.scale_in_place(a.data(), n, 1.7f);
        wide.scale_in_place(b.data(), n, 1.7f);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(a[i]), std::bit_cast<std::uint32_t>(b[i])) << n << " " << i;
        }
        std::vector<std::uint8_t> p(bytes_4bit(n)), q(bytes_4bit(n));
        base.encode_4bit(a.data(), n, p.data());
        wide.encode_4bit(a.data(), n, q.data());
        ASSERT_EQ(p, q) << n;
        p.assign(bytes_2bit(n), 0);
        q.assign(bytes_2bit(n), 0);
        base.encode_2bit(a.data(), n, p.data());
        wide.encode_2bit(a.data(), n, q.data());
        ASSERT_EQ(p, q) << n;
    }
}

TEST(Encode, PartialBytesOfTinyPaddedSizes) {
    // padded 1 at 4 bits: one byte whose high nibble is 0
    const auto one4 = make_quantizer(1, 1, Metric::Dot);
    for (float x : {-3.0f, -0.1f, 0.0f, 0.2f, 2.5f}) {
        const auto row = one4.encode(std::vector<float>{x});
        ASSERT_EQ(row.size(), 1u);
        EXPECT_EQ(row[0] >> 4, 0);
        EXPECT_EQ(row[0], code_4bit(one4.rotation.signs()[0] * x));
    }
    // padded 1 and 2 at 2 bits: the empty slots are 0
    const auto one2 = make_quantizer(1, 0, Metric::Dot);
    EXPECT_EQ(one2.encode(std::vector<float>{2.0f})[0] & ~3, 0);
    const auto two2 = make_quantizer(2, 0, Metric::Dot);
    for (float x : {-2.0f, 0.3f, 1.7f}) {
        const auto row = two2.encode(std::vector<float>{x, -x * 0.5f});
        ASSERT_EQ(row.size(), 1u);
        EXPECT_EQ(row[0] >> 4, 0);
        const auto t = two2.transform_query(std::vector<float>{x, -x * 0.5f});
        EXPECT_EQ(row[0], code_2bit(t[0]) | (code_2bit(t[1]) << 2));
    }
}
