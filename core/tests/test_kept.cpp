#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/construct.h"
#include "engine/engine.h"
#include "engine/inspect.h"
#include "index/kept.h"
#include "simd/float_dots.h"

using namespace korvane;

namespace {

bool half_is_nan(std::uint16_t h) { return (h & 0x7C00u) == 0x7C00u && (h & 0x3FFu) != 0; }

// The value of a half bit pattern, computed from its fields in double precision.
double half_value(std::uint16_t h) {
    const int exp = (h >> 10) & 0x1F;
    const int mant = h & 0x3FF;
    const double sign = (h & 0x8000u) ? -1.0 : 1.0;
    if (exp == 0x1F) return mant ? std::nan("") : sign * INFINITY;
    if (exp == 0) return sign * std::ldexp(mant, -24);
    return sign * std::ldexp(1024 + mant, exp - 25);
}

std::string hex(std::uint16_t h) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(h));
    return text;
}

std::vector<float> gaussian(std::size_t n, std::uint32_t seed, float sigma = 1.0f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> d(0.0f, sigma);
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
}

struct Encoded {
    std::vector<std::uint8_t> row;
    std::vector<float> values;
};

Encoded round_trip(KeptType type, const std::vector<float>& v) {
    const KeptFormat format{type, v.size()};
    Encoded e;
    // Filled with garbage first: encode must write every byte it owns.
    e.row.assign(format.row_bytes(), 0xA5);
    format.encode(v.data(), e.row.data());
    e.values.assign(v.size(), std::nanf(""));
    format.decode(e.row.data(), e.values.data());
    return e;
}

float scale_of(const Encoded& e) {
    float s;
    std::memcpy(&s, e.row.data() + 4, 4);
    return s;
}

std::int8_t code_of(const Encoded& e, std::size_t i) { return static_cast<std::int8_t>(e.row[8 + i]); }

// Sum of squares in index order, in single precision.
float sequential_norm(const std::vector<float>& values) {
    float s = 0.0f;
    for (float x : values) s += x * x;
    return std::sqrt(s);
}

}  // namespace

// ---- half precision -------------------------------------------------------------------

TEST(KeptHalf, EveryBitPatternConvertsToItsValueAndBack) {
    for (std::uint32_t bits = 0; bits <= 0xFFFFu; ++bits) {
        const auto h = static_cast<std::uint16_t>(bits);
        const float f = half_to_float(h);
        const std::uint16_t back = float_to_half(f);
        if (half_is_nan(h)) {
            ASSERT_TRUE(std::isnan(f)) << hex(h);
            ASSERT_TRUE(half_is_nan(back)) << hex(h) << " came back as " << hex(back);
            ASSERT_EQ(back & 0x8000u, h & 0x8000u) << hex(h);
            continue;
        }
        ASSERT_EQ(static_cast<double>(f), half_value(h)) << hex(h);
        ASSERT_EQ(std::signbit(f), (h & 0x8000u) != 0) << hex(h);  // -0 stays -0
        ASSERT_EQ(back, h) << hex(h) << " came back as " << hex(back);
    }
}

TEST(KeptHalf, EveryMidpointRoundsToEvenAndItsNeighboursToTheNearest) {
    // Between each finite half and the next one up (65504 and 65536 at the top, where
    // 65536 overflows to infinity): the midpoint is exact in single precision. Values
    // just below it go down, just above it go up, and the midpoint itself goes to the
    // pattern with an even last bit.
    for (std::uint16_t sign : {std::uint16_t{0}, std::uint16_t{0x8000}}) {
        for (std::uint16_t h = 0; h < 0x7C00; ++h) {
            const auto lo = static_cast<std::uint16_t>(sign | h);
            const auto hi = static_cast<std::uint16_t>(sign | (h + 1));  // 0x7BFF + 1 is infinity
            const double a = std::fabs(half_value(lo));
            const double b = h + 1 == 0x7C00 ? 65536.0 : std::fabs(half_value(hi));
            const float mid = static_cast<float>((a + b) / 2);
            ASSERT_EQ(static_cast<double>(mid), (a + b) / 2);
            const float s = sign ? -1.0f : 1.0f;
            const std::uint16_t even = (h & 1u) ? hi : lo;
            ASSERT_EQ(float_to_half(s * mid), even) << "midpoint above " << hex(lo);
            ASSERT_EQ(float_to_half(s * std::nextafter(mid, 0.0f)), lo) << "just below the midpoint above " << hex(lo);
            ASSERT_EQ(float_to_half(s * std::nextafter(mid, INFINITY)), hi) << "just above the midpoint above " << hex(lo);
        }
    }
}

struct HalfCase {
    const char* name;
    float value;
    std::uint16_t half;
};

class KeptHalfRounding : public ::testing::TestWithParam<HalfCase> {};

TEST_P(KeptHalfRounding, HandPickedValues) {
    const HalfCase& c = GetParam();
    EXPECT_EQ(float_to_half(c.value), c.half) << hex(float_to_half(c.value));
    EXPECT_EQ(float_to_half(-c.value), c.half ^ 0x8000u) << hex(float_to_half(-c.value));
}

INSTANTIATE_TEST_SUITE_P(
    Values, KeptHalfRounding,
    ::testing::Values(
        HalfCase{"one", 1.0f, 0x3C00},
        HalfCase{"tie_between_one_and_next_goes_down_to_even", 1.0f + 0x1p-11f, 0x3C00},
        HalfCase{"tie_above_an_odd_half_goes_up_to_even", 1.0f + 3 * 0x1p-11f, 0x3C02},
        HalfCase{"a_hair_above_a_tie_goes_up", 1.0f + 0x1p-11f + 0x1p-23f, 0x3C01},
        HalfCase{"a_hair_below_a_tie_goes_down", 1.0f + 3 * 0x1p-11f - 0x1p-23f, 0x3C01},
        HalfCase{"integer_tie_2049_goes_to_2048", 2049.0f, 0x6800},
        HalfCase{"integer_tie_2051_goes_to_2052", 2051.0f, 0x6802},
        HalfCase{"tie_below_two_carries_into_the_exponent", 2.0f - 0x1p-11f, 0x4000},
        HalfCase{"largest_finite", 65504.0f, 0x7BFF},
        HalfCase{"below_the_overflow_tie_stays_finite", 65519.996f, 0x7BFF},
        HalfCase{"overflow_tie_rounds_to_infinity", 65520.0f, 0x7C00},
        HalfCase{"far_too_large_is_infinity", 1e30f, 0x7C00},
        HalfCase{"infinity", INFINITY, 0x7C00},
        HalfCase{"smallest_normal", 0x1p-14f, 0x0400},
        HalfCase{"tie_above_largest_subnormal_rounds_to_smallest_normal", 1023.5f * 0x1p-24f, 0x0400},
        HalfCase{"smallest_subnormal", 0x1p-24f, 0x0001},
        HalfCase{"tie_at_half_the_smallest_subnormal_goes_to_zero", 0x1p-25f, 0x0000},
        HalfCase{"a_hair_above_half_the_smallest_subnormal_goes_up", 0x1p-25f + 0x1p-48f, 0x0001},
        HalfCase{"subnormal_tie_goes_up_to_even", 3 * 0x1p-25f, 0x0002},
        HalfCase{"subnormal_tie_goes_down_to_even", 5 * 0x1p-25f, 0x0002},
        HalfCase{"far_below_the_subnormals_is_zero", 1e-30f, 0x0000},
        HalfCase{"smallest_float_subnormal_is_zero", 0x1p-149f, 0x0000},
        HalfCase{"zero", 0.0f, 0x0000}),
    [](const ::testing::TestParamInfo<HalfCase>& info) { return std::string(info.param.name); });

TEST(KeptHalf, AgreesWithTheCompilersHalfTypeOnRandomFloats) {
#ifdef __FLT16_MAX__
    // Random bit patterns cover every exponent, NaNs and infinities included.
    std::mt19937 rng(20240611);
    for (int i = 0; i < 2'000'000; ++i) {
        const std::uint32_t bits = static_cast<std::uint32_t>(rng());
        const float f = std::bit_cast<float>(bits);
        const auto want = std::bit_cast<std::uint16_t>(static_cast<_Float16>(f));
        const std::uint16_t got = float_to_half(f);
        if (std::isnan(f)) {
            ASSERT_TRUE(half_is_nan(got)) << std::hex << bits;
        } else {
            ASSERT_EQ(got, want) << std::hex << "float bits 0x" << bits;
        }
    }
#else
    GTEST_SKIP() << "the compiler has no _Float16";
#endif
}

// ---- kept rows ------------------------------------------------------------------------

class KeptFormatDims : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KeptFormatDims, Float32KeepsEveryBit) {
    std::vector<float> v = gaussian(GetParam(), 1);
    v[0] = -0.0f;
    if (v.size() > 1) v[1] = 0x1p-140f;  // a float subnormal
    const Encoded e = round_trip(KeptType::Float32, v);
    ASSERT_EQ(e.row.size(), 4 + 4 * v.size());
    ASSERT_EQ(std::memcmp(e.row.data() + 4, v.data(), v.size() * 4), 0);
    ASSERT_EQ(std::memcmp(e.values.data(), v.data(), v.size() * 4), 0);
    EXPECT_EQ(KeptFormat::norm(e.row.data()), sequential_norm(v));
}

TEST_P(KeptFormatDims, Float16StoresEachValueRoundedToHalf) {
    // Spread over many binades, half subnormals included.
    std::vector<float> v = gaussian(GetParam(), 2, 3.0f);
    for (std::size_t i = 0; i < v.size(); i += 5) v[i] *= (i % 2) ? 1e-6f : 1e3f;
    const Encoded e = round_trip(KeptType::Float16, v);
    ASSERT_EQ(e.row.size(), 8 + 2 * v.size());
    EXPECT_EQ(scale_of(e), 1.0f);  // no value past 32,768
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::uint16_t stored;
        std::memcpy(&stored, e.row.data() + 8 + 2 * i, 2);
        ASSERT_EQ(stored, float_to_half(v[i])) << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(e.values[i]), std::bit_cast<std::uint32_t>(half_to_float(stored))) << i;
    }
    EXPECT_EQ(KeptFormat::norm(e.row.data()), sequential_norm(e.values));
}

TEST_P(KeptFormatDims, Float16RowsOfAnySizeStayFiniteWithinHalfPrecision) {
    // Plain halves are infinite past 65,504. The scale is the power of two that brings the
    // largest finite magnitude into (16,384, 32,768] (or 1); an infinity must not sway it.
    for (const float sigma : {5e4f, 1e30f}) {
        std::vector<float> v = gaussian(GetParam(), 4, sigma);
        if (sigma > 1e29f) v[0] = -FLT_MAX;  // rounds up to -2^128 at the largest scale
        float top = 0.0f;
        for (float x : v) top = std::fmax(top, std::fabs(x));
        v.push_back(INFINITY);
        const Encoded e = round_trip(KeptType::Float16, v);
        const float scale = scale_of(e);
        int exponent;
        ASSERT_EQ(std::frexp(scale, &exponent), 0.5f) << scale;
        EXPECT_TRUE(top / scale <= 32768.0f && (scale == 1.0f || top / scale > 16384.0f)) << top << " " << scale;
        for (std::size_t i = 0; i + 1 < v.size(); ++i) {
            const double error = std::fabs(double{e.values[i]} - double{v[i]});
            ASSERT_TRUE(std::isfinite(e.values[i])) << i;
            ASSERT_LE(error, std::ldexp(std::fabs(double{v[i]}), -11) + std::ldexp(double{scale}, -25)) << i;
        }
        EXPECT_EQ(e.values.back(), INFINITY);
    }
}

TEST_P(KeptFormatDims, Int8MapsTheLargestMagnitudeTo127) {
    for (const float sign : {1.0f, -1.0f}) {
        std::vector<float> v = gaussian(GetParam(), 3, 0.2f);
        const std::size_t top = v.size() / 2;
        v[top] = sign * 1.7f;  // the largest magnitude, positive then negative
        const Encoded e = round_trip(KeptType::Int8, v);
        ASSERT_EQ(e.row.size(), 8 + v.size());
        const float scale = scale_of(e);
        EXPECT_EQ(scale, 1.7f / 127.0f);
        EXPECT_EQ(code_of(e, top), sign > 0 ? 127 : -127);
        EXPECT_EQ(e.values[top], static_cast<float>(code_of(e, top)) * scale);
        for (std::size_t i = 0; i < v.size(); ++i) {
            ASSERT_GE(code_of(e, i), -127) << i;
            ASSERT_EQ(e.values[i], static_cast<float>(code_of(e, i)) * scale) << i;
            // Each value lands on its nearest step of the grid.
            ASSERT_LE(std::fabs(e.values[i] - v[i]), 0.5f * scale * (1.0f + 1e-5f)) << i;
        }
        EXPECT_EQ(KeptFormat::norm(e.row.data()), sequential_norm(e.values));
    }
}

TEST_P(KeptFormatDims, ZeroVectorKeepsZeros) {
    const std::vector<float> zeros(GetParam(), 0.0f);
    for (KeptType type : {KeptType::Float32, KeptType::Float16, KeptType::Int8}) {
        const Encoded e = round_trip(type, zeros);
        const KeptFormat format{type, zeros.size()};
        EXPECT_EQ(KeptFormat::norm(e.row.data()), 0.0f) << kept_type_text(type);
        for (std::size_t i = 0; i < zeros.size(); ++i) ASSERT_EQ(e.values[i], 0.0f) << kept_type_text(type);
        // Every value byte is zero; the scale is 0 for int8, 1 for float16.
        for (std::size_t b = format.header_bytes(); b < format.row_bytes(); ++b) {
            ASSERT_EQ(e.row[b], 0) << kept_type_text(type) << " " << b;
        }
        if (type != KeptType::Float32) {
            EXPECT_EQ(scale_of(e), type == KeptType::Int8 ? 0.0f : 1.0f);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dims, KeptFormatDims, ::testing::Values(1, 7, 32, 768));

TEST(KeptFormat, NormIsTheSequentialSinglePrecisionSum) {
    // One large value then many small ones: summed in order in single precision, each small
    // square is lost against the large one, so the norm differs from the exact one.
    std::vector<float> v(257, 0x1p-12f);
    v[0] = 1.0f;
    for (KeptType type : {KeptType::Float32, KeptType::Float16}) {
        const Encoded e = round_trip(type, v);
        const float norm = KeptFormat::norm(e.row.data());
        EXPECT_EQ(norm, 1.0f) << kept_type_text(type);
        EXPECT_EQ(norm, sequential_norm(e.values)) << kept_type_text(type);
        double exact = 0.0;
        for (float x : e.values) exact += double{x} * x;
        EXPECT_NE(static_cast<double>(norm), std::sqrt(exact)) << kept_type_text(type);
    }
}

TEST(KeptFormat, TypeNames) {
    for (KeptType type : {KeptType::Float32, KeptType::Float16, KeptType::Int8}) {
        EXPECT_EQ(parse_kept_type(kept_type_text(type)), type);
    }
    EXPECT_EQ(parse_kept_type("float64"), std::nullopt);
    EXPECT_EQ(parse_kept_type("Float16"), std::nullopt);
    EXPECT_EQ(parse_kept_type(""), std::nullopt);
}

// ---- an engine's kept rows --------------------------------------------------------------

namespace {

Engine engine_keeping(IndexType type, KeptType kept) {
    ConstructorArgs a;
    a.dim = 12;
    a.metric = Metric::L2;
    a.index_type = type;
    Engine e = Engine::create(make_config(a, *padded_dim_for(a.dim))).value();
    EXPECT_TRUE(e.keep_vectors(kept).ok());
    return e;
}

std::vector<std::uint8_t> kept_bytes_of(const Engine& e) {
    return graph_of(e.structure()) ? graph_of(e.structure())->nodes.kept().copy() : e.store().kept().copy();
}

}  // namespace

class KeptEngineAdds : public ::testing::TestWithParam<IndexType> {};

TEST_P(KeptEngineAdds, RowsBeforeABadRowKeepTheirKeptVectorsAndNoOthers) {
    const std::vector<float> all = gaussian(4 * 12, 9, 2.0f);
    RowSet rows;
    for (std::size_t i = 0; i < 4; ++i) {
        // The third row is one value short.
        rows.push_row(std::vector<float>(all.begin() + i * 12, all.begin() + i * 12 + (i == 2 ? 11 : 12)));
    }
    RowSet first_two;
    for (std::size_t i = 0; i < 2; ++i) first_two.push_row(rows.row(i));

    Engine e = engine_keeping(GetParam(), KeptType::Int8);
    const auto added = e.add(std::vector<VectorId>{1, 2, 3, 4}, rows);
    ASSERT_FALSE(added.ok());
    EXPECT_EQ(added.error().message(), "dimension mismatch: expected 12, got 11");
    EXPECT_EQ(e.n_vectors(), 2u);

    Engine twin = engine_keeping(GetParam(), KeptType::Int8);
    ASSERT_TRUE(twin.add(std::vector<VectorId>{1, 2}, first_two).ok());
    const KeptFormat format{KeptType::Int8, e.quantizer().padded_dim()};
    const auto kept = kept_bytes_of(e);
    ASSERT_EQ(kept.size(), 2 * format.row_bytes());
    const auto want = kept_bytes_of(twin);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), want.begin(), want.end()));

    // A count mismatch stores nothing at all.
    EXPECT_FALSE(e.add(std::vector<VectorId>{5, 6, 7}, first_two).ok());
    EXPECT_EQ(e.n_vectors(), 2u);
    EXPECT_EQ(kept_bytes_of(e).size(), 2 * format.row_bytes());
}

INSTANTIATE_TEST_SUITE_P(IndexTypes, KeptEngineAdds,
                         ::testing::Values(IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw),
                         [](const ::testing::TestParamInfo<IndexType>& info) {
                             switch (info.param) {
                                 case IndexType::BruteForce: return std::string("BruteForce");
                                 case IndexType::IvfFlat: return std::string("IvfFlat");
                                 case IndexType::Hnsw: return std::string("Hnsw");
                             }
                             return std::string();
                         });

TEST(KeptHalf, VectorConversionEqualsTheScalarOneOnEveryPattern) {
    const simd::HalvesFn vector = simd::best_halves_to_floats();
    if (vector == nullptr) GTEST_SKIP() << "no F16C on this CPU";
    std::vector<std::uint16_t> all(65536 + 3);  // a tail past the last group of eight
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint16_t>(i);
    std::vector<float> out(all.size());
    vector(all.data(), out.data(), all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const float want = half_to_float(all[i]);
        if (std::isnan(want)) {
            ASSERT_TRUE(std::isnan(out[i])) << i;
        } else {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(out[i]), std::bit_cast<std::uint32_t>(want)) << i;
        }
    }
}
