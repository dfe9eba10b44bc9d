#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine/construct.h"
#include "quantize/profile.h"
#include "quantize/rotation.h"

using namespace korvane;

namespace {

EngineConfig config(std::uint64_t dim, Metric metric = Metric::Cosine) {
    EngineConfig c;
    c.dim = dim;
    c.metric = metric;
    return c;
}

RowSet one_row(std::uint64_t dim) {
    RowSet r;
    r.push_row(std::vector<float>(dim, 0.5f));
    return r;
}

}  // namespace

TEST(OptimalN4Dims, BudgetTable) {
    const auto s100 = one_row(100);
    const std::vector<std::pair<double, std::uint64_t>> d100 = {
        {3.0, 64}, {3.5, 96}, {2.0, 0}, {4.0, 128}, {5.0, 128}, {1.0, 0}, {2.1, 4}, {3.01, 64}};
    for (auto [bits, want] : d100) EXPECT_EQ(optimal_n4_dims(config(100), s100, bits).value(), want) << bits;
    const auto s1536 = one_row(1536);
    for (auto [bits, want] : std::vector<std::pair<double, std::uint64_t>>{{2.5, 512}, {3.01, 1032}, {3.9, 1944}}) {
        EXPECT_EQ(optimal_n4_dims(config(1536), s1536, bits).value(), want) << bits;
    }
    EXPECT_EQ(optimal_n4_dims(config(2), one_row(2), 4.0).value(), 0u);
    EXPECT_EQ(n4_dims_for_budget(128, std::nan("")), 0u);
    EXPECT_EQ(optimal_n4_dims(config(100), RowSet{}, 3.0).error().message(),
              "sample is empty \u2014 provide at least 1 vector for profiling");
    RowSet bad;
    bad.push_row(std::vector<float>(99, 1.0f));
    EXPECT_EQ(optimal_n4_dims(config(100), bad, 3.0).error().message(), "dimension mismatch: expected 100, got 99");
}

TEST(ProfileVariance, OneVectorGivesZeros) {
    const auto v = profile_variance(config(100), one_row(100)).value();
    ASSERT_EQ(v.size(), 128u);
    for (float x : v) EXPECT_EQ(x, 0.0f);
}

TEST(ProfileVariance, OppositeVectorsGiveSquares) {
    const std::uint64_t dim = 50;
    std::vector<float> x(dim), neg(dim);
    for (std::size_t i = 0; i < dim; ++i) {
        x[i] = std::sin(float(i) + 0.3f) * 2.0f;
        neg[i] = -x[i];
    }
    RowSet s;
    s.push_row(x);
    s.push_row(neg);
    const auto var = profile_variance(config(dim), s).value();
    // y = rotation of x / |x|, scaled by √64 = 8
    float ss = -0.0f;
    for (float v : x) ss += v * v;
    const float n = std::sqrt(ss);
    std::vector<float> p(dim);
    for (std::size_t i = 0; i < dim; ++i) p[i] = x[i] / n;
    const auto y = RhdhRotation(dim, ROTATION_SEED).apply(p);
    for (std::size_t i = 0; i < 64; ++i) {
        const double t = static_cast<double>(y[i] * 8.0f);
        EXPECT_EQ(var[i], static_cast<float>(t * t)) << i;
    }
}

TEST(ProfileVariance, RotatedUnitVectorsHaveUnitVariance) {
    const std::uint64_t dim = 256;
    RowSet s;
    std::mt19937 rng(4);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (int r = 0; r < 400; ++r) {
        std::vector<float> v(dim);
        for (auto& x : v) x = normal(rng);
        s.push_row(v);
    }
    const auto var = profile_variance(config(dim), s).value();
    double mean = 0;
    for (float x : var) mean += x;
    mean /= double(var.size());
    EXPECT_NEAR(mean, 1.0, 0.05);
}

TEST(RecommendedM, Threshold) {
    EXPECT_EQ(recommended_m(0), 32u);
    EXPECT_EQ(recommended_m(999999), 32u);
    EXPECT_EQ(recommended_m(1000000), 64u);
}
