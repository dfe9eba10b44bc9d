#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "engine/construct.h"
#include "engine/engine.h"
#include "engine/inspect.h"
#include "index/ivf.h"
#include "index/kmeans.h"
#include "simd/float_dots.h"
#include "simd/kernels.h"

using namespace korvane;

namespace {

// The plain loop every dot product must equal: index order, from -0.0, no fused step.
float seq_dot(const float* a, const float* b, std::size_t dim) {
    float s = -0.0f;
    for (std::size_t d = 0; d < dim; ++d) s += a[d] * b[d];
    return s;
}

// The label a vector must get, worked out with plain loops: x·c (cosine, dot) or
// 2·(x·c) − |c|² (L2), the later centroid winning equal scores.
std::uint32_t expected_label(const float* x, const CentroidSet& c, Metric metric) {
    std::uint32_t label = 0;
    float top = 0.0f;
    for (std::size_t j = 0; j < c.size(); ++j) {
        float s = seq_dot(x, c.row(j), c.dim());
        if (metric == Metric::L2) s = 2.0f * s - seq_dot(c.row(j), c.row(j), c.dim());
        if (j == 0 || s >= top) {
            top = s;
            label = static_cast<std::uint32_t>(j);
        }
    }
    return label;
}

std::vector<float> random_rows(std::size_t n, std::size_t dim, std::uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<float> v(n * dim);
    for (float& x : v) x = u(rng);
    return v;
}

std::vector<float> row_of(const CentroidSet& c, std::size_t j) { return {c.row(j), c.row(j) + c.dim()}; }
std::vector<float> row_of(const std::vector<float>& v, std::size_t i, std::size_t dim) {
    return {v.begin() + i * dim, v.begin() + (i + 1) * dim};
}

float norm_of(const float* c, std::size_t dim) { return std::sqrt(seq_dot(c, c, dim)); }

const char* metric_name(Metric m) {
    switch (m) {
        case Metric::Cosine: return "Cosine";
        case Metric::Dot: return "Dot";
        case Metric::L2: return "L2";
    }
    return "?";
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Seeding: stride = max(n / k, 1), offset = seed mod stride, centroid j = vector
// (j·stride + offset) mod n. The data make the first pick the largest vector in a
// direction shared by all, so under x·c every vector prefers centroid 0, no label changes
// and the initial centroids are what training returns.

struct SeedingCase {
    std::size_t n, k;
    std::uint64_t seed;
    std::vector<std::size_t> picks;
};

class KMeansSeeding : public testing::TestWithParam<std::tuple<SeedingCase, Metric>> {};

TEST_P(KMeansSeeding, InitialCentroidsSurviveWhenNothingMoves) {
    const auto& [c, metric] = GetParam();
    const std::size_t dim = 3;
    std::vector<float> v(c.n * dim);
    for (std::size_t i = 0; i < c.n; ++i) {
        const float s = 1.0f + 0.125f * static_cast<float>(i);
        v[i * dim] = s;
        v[i * dim + 1] = 0.5f * s + 0.25f;
        v[i * dim + 2] = 2.0f;
    }
    const std::size_t big = c.picks[0];
    v[big * dim] = 100.0f;
    v[big * dim + 1] = 60.0f;
    v[big * dim + 2] = 9.0f;

    const KMeansResult r = train_kmeans(v.data(), c.n, dim, c.k, c.seed, metric);
    ASSERT_EQ(r.centroids.size(), c.k);
    EXPECT_EQ(r.labels, std::vector<std::uint32_t>(c.n, 0));
    for (std::size_t j = 0; j < c.k; ++j) {
        EXPECT_EQ(row_of(r.centroids, j), row_of(v, c.picks[j], dim)) << "centroid " << j;
        // Copies are not normalised, even under cosine: every input is longer than 1.
        EXPECT_GT(norm_of(r.centroids.row(j), dim), 2.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Picks, KMeansSeeding,
    testing::Combine(testing::Values(SeedingCase{5, 5, ROTATION_SEED, {0, 1, 2, 3, 4}},  // k = n: vector j
                                     SeedingCase{10, 3, 7, {1, 4, 7}},                   // stride 3, offset 1
                                     SeedingCase{9, 4, 5, {1, 3, 5, 7}},                 // stride 2, offset 1
                                     SeedingCase{12, 4, 3, {0, 3, 6, 9}},                // offset 0
                                     SeedingCase{15, 2, ROTATION_SEED, {4, 11}},         // stride 7, offset 4
                                     SeedingCase{7, 1, 100, {2}}),                       // one cluster
                     testing::Values(Metric::Dot, Metric::Cosine)));

// With k = n every vector is closest to its own copy, so vector i keeps cluster i (the
// seeding put it at centroid i) and the mean of one member is that member.
TEST(KMeans, EveryVectorItsOwnClusterWhenKEqualsN) {
    const std::size_t n = 13, dim = 6;
    const auto v = random_rows(n, dim, 5);
    const KMeansResult r = train_kmeans(v.data(), n, dim, n, 987654321, Metric::L2);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(r.labels[i], i);
        EXPECT_EQ(row_of(r.centroids, i), row_of(v, i, dim));
    }
}

// ---------------------------------------------------------------------------------------
// An emptied cluster j takes vector (j·7919 + seed) mod n. Vectors lie along one positive
// axis; the third initial centroid is the far largest, so under x·c it takes every vector
// and clusters 0 and 1 empty. Under dot their replacements are shorter than the new mean;
// under cosine every centroid made by the update, replacement or mean, is the unit axis,
// so the later centroid wins the tie. Either way the next assignment changes nothing and
// these are the final centroids.

struct ReseedCase {
    std::size_t n;
    std::uint64_t seed;
    std::size_t big;               // the third initial pick
    std::size_t reseed0, reseed1;  // (seed) mod n and (7919 + seed) mod n
};

class KMeansReseed : public testing::TestWithParam<std::tuple<ReseedCase, Metric>> {};

TEST_P(KMeansReseed, EmptyClusterTakesTheStridedVector) {
    const auto& [c, metric] = GetParam();
    const std::size_t dim = 2;
    std::vector<float> v(c.n * dim, 0.0f);
    for (std::size_t i = 0; i < c.n; ++i) v[i * dim] = i == c.big ? 100.0f : 1.0f + 0.25f * static_cast<float>(i);
    const KMeansResult r = train_kmeans(v.data(), c.n, dim, 3, c.seed, metric);
    EXPECT_EQ(r.labels, std::vector<std::uint32_t>(c.n, 2));
    if (metric == Metric::Cosine) {
        for (std::size_t j = 0; j < 3; ++j) {
            EXPECT_NEAR(norm_of(r.centroids.row(j), dim), 1.0f, 1e-6f) << "centroid " << j;
            EXPECT_EQ(row_of(r.centroids, j), (std::vector<float>{1.0f, 0.0f})) << "centroid " << j;
        }
        return;
    }
    EXPECT_EQ(row_of(r.centroids, 0), row_of(v, c.reseed0, dim));
    EXPECT_EQ(row_of(r.centroids, 1), row_of(v, c.reseed1, dim));
    std::vector<float> mean(dim, -0.0f);
    for (std::size_t i = 0; i < c.n; ++i)
        for (std::size_t d = 0; d < dim; ++d) mean[d] += v[i * dim + d];
    for (float& m : mean) m /= static_cast<float>(c.n);
    EXPECT_EQ(row_of(r.centroids, 2), mean);
}

INSTANTIATE_TEST_SUITE_P(Cases, KMeansReseed,
                         testing::Combine(testing::Values(ReseedCase{10, 4, 7, 4, 3}, ReseedCase{13, 4, 8, 4, 6},
                                                          ReseedCase{11, 25, 7, 3, 2}),
                                          testing::Values(Metric::Dot, Metric::Cosine)));

// ---------------------------------------------------------------------------------------
// After training settles, each centroid is the mean of the vectors labelled with it
// (summed in vector order, divided by the count), normalised under cosine, or the
// replacement vector when it has none; and each label is the best centroid by the
// assignment rule. The inputs are far from unit length, so a missing or misplaced
// normalisation shows.

class KMeansFixedPoint : public testing::TestWithParam<Metric> {};

TEST_P(KMeansFixedPoint, CentroidsAreMeansOfTheirMembers) {
    const Metric metric = GetParam();
    const std::size_t n = 60, dim = 5, k = 6;
    const std::uint64_t seed = 12345;
    auto v = random_rows(n, dim, 17);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> scale(2.0f, 6.0f);
    for (std::size_t i = 0; i < n; ++i) {
        const float s = scale(rng) / norm_of(v.data() + i * dim, dim);
        for (std::size_t d = 0; d < dim; ++d) v[i * dim + d] *= s;
    }
    const KMeansResult r = train_kmeans(v.data(), n, dim, k, seed, metric);
    ASSERT_EQ(r.centroids.size(), k);
    ASSERT_TRUE(std::any_of(r.labels.begin(), r.labels.end(), [](auto l) { return l != 0; }))
        << "the data must make the first assignment move something";

    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(r.labels[i], expected_label(v.data() + i * dim, r.centroids, metric));

    for (std::size_t j = 0; j < k; ++j) {
        std::vector<float> want(dim, -0.0f);
        std::size_t count = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (r.labels[i] != j) continue;
            for (std::size_t d = 0; d < dim; ++d) want[d] += v[i * dim + d];
            ++count;
        }
        if (count > 0) {
            for (float& w : want) w /= static_cast<float>(count);
        } else {
            want = row_of(v, (j * RESEED_STRIDE + seed) % n, dim);
        }
        if (metric == Metric::Cosine) {
            EXPECT_NEAR(norm_of(r.centroids.row(j), dim), 1.0f, 1e-6f) << "centroid " << j;
            const float len = norm_of(want.data(), dim);
            for (std::size_t d = 0; d < dim; ++d) EXPECT_NEAR(r.centroids.row(j)[d], want[d] / len, 1e-6f);
        } else {
            EXPECT_EQ(row_of(r.centroids, j), want) << "centroid " << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Metrics, KMeansFixedPoint, testing::Values(Metric::Cosine, Metric::Dot, Metric::L2),
                         [](const auto& info) { return std::string(metric_name(info.param)); });

// ---------------------------------------------------------------------------------------
// The assignment rule.

TEST(KMeansAssign, EqualScoresGoToTheLaterCentroid) {
    const std::vector<std::pair<std::vector<float>, std::uint32_t>> cases = {
        {{5.0f}, 0},
        {{3.0f, 2.0f, 1.0f}, 0},
        {{1.0f, 1.0f, 1.0f}, 2},
        {{2.0f, 1.0f, 2.0f, 1.0f}, 2},
        {{-1.0f, -1.0f, -3.0f}, 1},
        // Across a block of eight: centroid 9 ties the best of the first block.
        {{0.0f, 4.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 4.0f, 1.0f}, 9},
    };
    for (const auto& [scores, want] : cases) {
        const CentroidSet set(std::vector<float>(scores.size(), 0.0f), scores.size(), 1);
        EXPECT_EQ(set.best(scores.data()), want) << "over " << scores.size() << " scores";
    }
}

TEST(KMeansAssign, L2ScoresTwiceTheDotMinusTheSquaredNorm) {
    const CentroidSet set({3.0f, 4.0f, 0.5f, -1.0f, 0.0f, 0.0f}, 3, 2);
    const float x[2] = {1.0f, 2.0f};
    ASSERT_EQ(set.padded_size(), 8u);
    std::vector<float> out(set.padded_size());
    set.scores(x, Metric::L2, out.data());
    EXPECT_EQ(out[0], -3.0f);   // 2·11 − 25
    EXPECT_EQ(out[1], -4.25f);  // 2·(−1.5) − 1.25
    EXPECT_EQ(out[2], 0.0f);
    set.scores(x, Metric::Dot, out.data());
    EXPECT_EQ(out[0], 11.0f);
    EXPECT_EQ(out[1], -1.5f);
}

struct TieCase {
    const char* name;
    Metric metric;
    std::vector<float> centroids;  // rows of 2
    std::vector<float> x;
    std::uint32_t want;
};

TEST(KMeansAssign, TiesAndL2AgainstDot) {
    const std::vector<TieCase> cases = {
        // Under x·c both score 1; under L2 the long one loses by its squared norm.
        {"dot tie", Metric::Dot, {1, 0, 1, 7}, {1, 0}, 1},
        {"cosine tie", Metric::Cosine, {1, 0, 1, 7, 0.5f, 0}, {1, 0}, 1},
        {"l2 norm penalty", Metric::L2, {1, 0, 1, 7}, {1, 0}, 0},
        // Equidistant from two distinct centroids: 2·2 − 4 = 0 for both.
        {"l2 tie", Metric::L2, {2, 0, 0, 2, -5, -5}, {1, 1}, 1},
        // Duplicated centroids: the later copy takes the vector.
        {"duplicate", Metric::L2, {1, 1, 4, 4, 1, 1, -3, 0}, {1.5f, 1}, 2},
    };
    for (const auto& c : cases) {
        const std::size_t k = c.centroids.size() / 2;
        const CentroidSet set(c.centroids, k, 2);
        std::uint32_t label = 99;
        EXPECT_TRUE(assign_labels(set, c.x.data(), 1, c.metric, &label)) << c.name;
        EXPECT_EQ(label, c.want) << c.name;
        EXPECT_FALSE(assign_labels(set, c.x.data(), 1, c.metric, &label)) << c.name << ": nothing changes twice";
    }
}

// assign_labels over many vectors (several chunks) and centroids (several blocks, the
// last one partial) equals the plain rule vector by vector. The last centroid copies the
// first, so the vectors nearest to it must go to the copy.
class KMeansAssignMany : public testing::TestWithParam<std::tuple<std::size_t, Metric>> {};

TEST_P(KMeansAssignMany, EqualsThePlainRule) {
    const auto [k, metric] = GetParam();
    const std::size_t n = 70, dim = 13;
    const auto v = random_rows(n, dim, 21);
    auto rows = random_rows(k, dim, 22);
    if (k > 1) std::copy(rows.begin(), rows.begin() + dim, rows.end() - dim);
    const CentroidSet set(rows, k, dim);
    std::vector<std::uint32_t> labels(n, 0);
    assign_labels(set, v.data(), n, metric, labels.data());
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(labels[i], expected_label(v.data() + i * dim, set, metric)) << "vector " << i;
        if (k > 1) {
            EXPECT_NE(labels[i], 0u) << "vector " << i << " should prefer the later copy";
        }
    }
    std::vector<std::uint32_t> again = labels;
    EXPECT_FALSE(assign_labels(set, v.data(), n, metric, again.data()));
    EXPECT_EQ(again, labels);
}

INSTANTIATE_TEST_SUITE_P(Sizes, KMeansAssignMany,
                         testing::Combine(testing::Values(1, 7, 8, 9, 17, 33),
                                          testing::Values(Metric::Dot, Metric::L2, Metric::Cosine)));

// ---------------------------------------------------------------------------------------
// Block dot products: the AVX2 form equals the scalar one and the sequential loop bit for
// bit. Magnitudes spread over many binary orders so that any other order of additions or
// a fused multiply-add changes some result; one vector is all negative so that products
// with the zero lanes are -0.0 and a sum started from +0.0 would differ.

class BlockDots : public testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(BlockDots, EqualTheSequentialLoopBitForBit) {
    const auto [dim, k, nx] = GetParam();
    constexpr std::size_t L = simd::kDotLanes;
    const std::size_t nblocks = (k + L - 1) / L;
    const std::size_t stride = dim + 3;  // vectors need not be back to back

    std::mt19937 rng(static_cast<std::uint32_t>(dim * 131 + k * 7 + nx));
    std::uniform_real_distribution<float> mant(-1.0f, 1.0f);
    std::uniform_int_distribution<int> expo(-12, 12);
    auto draw = [&] { return std::ldexp(mant(rng), expo(rng)); };

    std::vector<float> x(nx * stride, 0.0f);
    for (std::size_t i = 0; i < nx; ++i)
        for (std::size_t d = 0; d < dim; ++d) x[i * stride + d] = i == 0 ? -std::fabs(draw()) - 1e-3f : draw();
    std::vector<float> cents(nblocks * L * dim, 0.0f);  // centroid rows; those past k stay zero
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t d = 0; d < dim; ++d) cents[j * dim + d] = draw();
    std::vector<float> blocks(nblocks * dim * L);
    for (std::size_t j = 0; j < nblocks * L; ++j)
        for (std::size_t d = 0; d < dim; ++d) blocks[(j / L) * dim * L + d * L + j % L] = cents[j * dim + d];

    std::vector<std::uint32_t> want(nx * nblocks * L);
    for (std::size_t i = 0; i < nx; ++i)
        for (std::size_t j = 0; j < nblocks * L; ++j)
            want[i * nblocks * L + j] = std::bit_cast<std::uint32_t>(seq_dot(&x[i * stride], &cents[j * dim], dim));
    auto bits = [](const std::vector<float>& out) {
        std::vector<std::uint32_t> b(out.size());
        std::transform(out.begin(), out.end(), b.begin(), [](float f) { return std::bit_cast<std::uint32_t>(f); });
        return b;
    };

    std::vector<float> out(nx * nblocks * L, 1.0f);
    simd::block_dots_scalar(x.data(), nx, stride, blocks.data(), nblocks, dim, out.data());
    EXPECT_EQ(bits(out), want) << "scalar";
    EXPECT_TRUE(std::signbit(out[k])) << "a zero lane sums -0.0 products from -0.0";

    if (!simd::level_supported(simd::Level::Avx2)) GTEST_SKIP() << "this CPU has no AVX2";
    std::fill(out.begin(), out.end(), 1.0f);
    simd::block_dots_avx2(x.data(), nx, stride, blocks.data(), nblocks, dim, out.data());
    EXPECT_EQ(bits(out), want) << "avx2";
}

INSTANTIATE_TEST_SUITE_P(Shapes, BlockDots,
                         testing::Combine(testing::Values(1, 3, 128, 1000),  // dim
                                          testing::Values(1, 9, 37),         // centroids: 1, 2 and 5 blocks
                                          testing::Values(1, 3, 7)));        // vectors

// ---------------------------------------------------------------------------------------
// build_ivf and append_to_lists over hand-made rows: three code bytes each, derived from
// the row number, so that every member can be traced back to its input row.

namespace {

struct Rows {
    BlockStore store{3};
    std::vector<float> training;
};

void push_row(Rows& r, VectorId id, const float* v, std::size_t dim) {
    const std::uint8_t code[3] = {static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8), 0x5A};
    r.store.push(id, code, 0.5f * static_cast<float>(id));
    r.training.insert(r.training.end(), v, v + dim);
}

Rows make_rows(std::size_t n, std::size_t dim, std::uint32_t seed, VectorId first_id) {
    Rows r;
    const auto v = random_rows(n, dim, seed);
    for (std::size_t i = 0; i < n; ++i) push_row(r, first_id + i, v.data() + i * dim, dim);
    return r;
}

void expect_member_matches_id(const BlockStore& list, std::size_t m) {
    const VectorId id = list.id(m);
    EXPECT_EQ(list.code(m)[0], static_cast<std::uint8_t>(id));
    EXPECT_EQ(list.code(m)[1], static_cast<std::uint8_t>(id >> 8));
    EXPECT_EQ(list.norm(m), 0.5f * static_cast<float>(id));
}

}  // namespace

class IvfBuild : public testing::TestWithParam<std::tuple<std::size_t, std::uint64_t, std::size_t>> {};

TEST_P(IvfBuild, OneListPerClusterMembersInInputOrder) {
    const auto [n, nlist, want_lists] = GetParam();
    const std::size_t dim = 4;
    const Rows rows = make_rows(n, dim, 31, 100);
    const IvfIndex index = build_ivf(rows.store, rows.training.data(), dim, nlist, 5, 9, Metric::L2);
    ASSERT_EQ(index.lists.size(), want_lists);
    EXPECT_EQ(index.centroids.size(), want_lists);
    EXPECT_EQ(index.n_vectors(), n);
    EXPECT_EQ(index.nprobe, 5u);
    EXPECT_EQ(index.padded_dim, dim);
    EXPECT_EQ(index.bytes_per_vec, 3u);
    EXPECT_EQ(index.metric, Metric::L2);

    std::vector<int> seen(n, 0);
    for (std::size_t j = 0; j < index.lists.size(); ++j) {
        const BlockStore& list = index.lists[j].members;
        for (std::size_t m = 0; m < list.size(); ++m) {
            const std::size_t i = list.id(m) - 100;
            ASSERT_LT(i, n);
            ++seen[i];
            if (m > 0) {
                EXPECT_LT(list.id(m - 1), list.id(m)) << "list " << j << " out of input order";
            }
            expect_member_matches_id(list, m);
            EXPECT_EQ(j, expected_label(rows.training.data() + i * dim, index.centroids, Metric::L2)) << "row " << i;
        }
    }
    EXPECT_EQ(seen, std::vector<int>(n, 1));
}

INSTANTIATE_TEST_SUITE_P(Counts, IvfBuild,
                         testing::Values(std::make_tuple(1, 1, 1), std::make_tuple(1, 256, 1),
                                         std::make_tuple(5, 256, 5), std::make_tuple(8, 8, 8),
                                         std::make_tuple(40, 4, 4), std::make_tuple(41, 40, 40)));

TEST(IvfAppend, RowsJoinTheirBestListsAtTheEnd) {
    const std::size_t dim = 4;
    const Rows first = make_rows(30, dim, 41, 0);
    IvfIndex index = build_ivf(first.store, first.training.data(), dim, 4, 2, 77, Metric::L2);
    const IvfIndex before = index;
    const Rows more = make_rows(25, dim, 42, 1000);
    append_to_lists(index, more.store, more.training.data());

    ASSERT_EQ(index.lists.size(), before.lists.size());
    EXPECT_EQ(index.n_vectors(), 55u);
    for (std::size_t j = 0; j < index.lists.size(); ++j) {
        EXPECT_EQ(row_of(index.centroids, j), row_of(before.centroids, j));
        const BlockStore& was = before.lists[j].members;
        const BlockStore& now = index.lists[j].members;
        ASSERT_GE(now.size(), was.size());
        for (std::size_t m = 0; m < was.size(); ++m) EXPECT_EQ(now.id(m), was.id(m));
        std::vector<VectorId> appended, want;
        for (std::size_t m = was.size(); m < now.size(); ++m) {
            appended.push_back(now.id(m));
            expect_member_matches_id(now, m);
        }
        for (std::size_t i = 0; i < 25; ++i)
            if (expected_label(more.training.data() + i * dim, before.centroids, Metric::L2) == j) want.push_back(1000 + i);
        EXPECT_EQ(appended, want) << "list " << j;
    }
}

// ---------------------------------------------------------------------------------------
// The engine's later builds never lose vectors. With room for more lists, everything is
// clustered again from the members' decoded codes (in list order) followed by the pending
// rows; otherwise the pending rows join their best lists. Either way the probe count
// comes back to the configured one.

namespace {

Engine make_ivf(std::uint64_t dim, Metric metric, std::uint64_t nlist, std::uint64_t nprobe) {
    ConstructorArgs a;
    a.dim = dim;
    a.metric = metric;
    a.index_type = IndexType::IvfFlat;
    a.ivf_nlist = nlist;
    a.ivf_nprobe = nprobe;
    return Engine::create(make_config(a, *padded_dim_for(dim))).value();
}

std::vector<std::vector<VectorId>> list_ids(const IvfIndex& index) {
    std::vector<std::vector<VectorId>> out;
    for (const auto& l : index.lists) out.emplace_back(l.members.ids().begin(), l.members.ids().end());
    return out;
}

}  // namespace

struct RebuildCase {
    std::size_t first, second;
    std::uint64_t nlist;
    std::size_t lists_after;
    bool reclusters;
};

class IvfRebuild : public testing::TestWithParam<std::tuple<RebuildCase, Metric>> {};

TEST_P(IvfRebuild, KeepsEveryVector) {
    const auto& [c, metric] = GetParam();
    const std::uint64_t dim = 12;
    Engine e = make_ivf(dim, metric, c.nlist, 3);
    const auto a = random_rows(c.first, dim, 51);
    const auto b = random_rows(c.second, dim, 52);
    std::vector<VectorId> ids_a(c.first), ids_b(c.second);
    for (std::size_t i = 0; i < c.first; ++i) ids_a[i] = i;
    for (std::size_t i = 0; i < c.second; ++i) ids_b[i] = 5000 + i;

    ASSERT_TRUE(e.add(ids_a, a).ok());
    ASSERT_TRUE(e.build().ok());
    ASSERT_EQ(lists_of(e.structure())->lists.size(), std::min<std::size_t>(c.first, c.nlist));
    e.set_nprobe(1);
    ASSERT_TRUE(e.add(ids_b, b).ok());
    const IvfIndex old = *lists_of(e.structure());
    const BlockStore pending = e.store();
    const std::size_t padded = e.quantizer().padded_dim();
    std::vector<float> pending_training(c.second * padded);
    for (std::size_t i = 0; i < c.second; ++i) {
        const auto q = e.quantizer().transform_query(std::span<const float>(b.data() + i * dim, dim));
        std::copy(q.begin(), q.end(), pending_training.begin() + i * padded);
    }

    ASSERT_TRUE(e.build().ok());
    const IvfIndex& now = *lists_of(e.structure());
    EXPECT_EQ(now.lists.size(), c.lists_after);
    EXPECT_EQ(e.n_vectors(), c.first + c.second);
    EXPECT_TRUE(e.store().empty());
    EXPECT_EQ(now.nprobe, 3u);

    if (c.reclusters) {
        BlockStore all(pending.row_bytes());
        all.reserve_more(c.first + c.second);
        std::vector<float> training;
        std::vector<float> decoded(padded);
        for (const auto& list : old.lists) {
            for (std::size_t m = 0; m < list.members.size(); ++m) {
                all.push(list.members.id(m), list.members.code(m).data(), list.members.norm(m));
                e.quantizer().decode(list.members.code(m).data(), decoded.data());
                training.insert(training.end(), decoded.begin(), decoded.end());
            }
        }
        for (std::size_t i = 0; i < pending.size(); ++i) all.push(pending.id(i), pending.code(i).data(), pending.norm(i));
        training.insert(training.end(), pending_training.begin(), pending_training.end());
        const IvfIndex want = build_ivf(all, training.data(), padded, c.nlist, 3, e.config().seed, metric);
        EXPECT_EQ(list_ids(now), list_ids(want));
        for (std::size_t j = 0; j < want.lists.size(); ++j) EXPECT_EQ(row_of(now.centroids, j), row_of(want.centroids, j));
    } else {
        std::vector<std::vector<VectorId>> want = list_ids(old);
        for (std::size_t i = 0; i < c.second; ++i)
            want[expected_label(pending_training.data() + i * padded, old.centroids, metric)].push_back(ids_b[i]);
        EXPECT_EQ(list_ids(now), want);
        for (std::size_t j = 0; j < old.lists.size(); ++j) EXPECT_EQ(row_of(now.centroids, j), row_of(old.centroids, j));
    }

    // Every member keeps its own code and norm: each list equals the pending rows it came from.
    for (const auto& list : now.lists) {
        for (std::size_t m = 0; m < list.members.size(); ++m) {
            const VectorId id = list.members.id(m);
            if (id < 5000) continue;
            const std::size_t i = id - 5000;
            EXPECT_EQ(list.members.code(m), pending.code(i));
            EXPECT_EQ(list.members.norm(m), pending.norm(i));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Branches, IvfRebuild,
    testing::Combine(testing::Values(RebuildCase{10, 100, 64, 64, true},   // 10 lists < min(64, 110)
                                     RebuildCase{5, 2, 8, 7, true},         // 5 lists < min(8, 7)
                                     RebuildCase{300, 50, 8, 8, false},     // all 8 lists in use
                                     RebuildCase{8, 1, 8, 8, false},        // exactly nlist lists
                                     RebuildCase{6, 3, 6, 6, false}),
                     testing::Values(Metric::Cosine, Metric::L2, Metric::Dot)));

TEST(IvfRebuild, BuildWithNothingPendingKeepsTheIndex) {
    Engine e = make_ivf(8, Metric::Cosine, 4, 4);
    const auto v = random_rows(20, 8, 61);
    std::vector<VectorId> ids(20);
    for (std::size_t i = 0; i < 20; ++i) ids[i] = 10 + i;
    ASSERT_TRUE(e.add(ids, v).ok());
    ASSERT_TRUE(e.build().ok());
    e.set_nprobe(2);
    const auto lists = list_ids(*lists_of(e.structure()));
    const auto hits = e.search(std::span<const float>(v.data(), 8), 5, std::nullopt).value();

    const Status again = e.build();
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().message(), "index is empty");
    ASSERT_TRUE(lists_of(e.structure()).has_value());
    EXPECT_EQ(list_ids(*lists_of(e.structure())), lists);
    EXPECT_EQ(lists_of(e.structure())->nprobe, 2u) << "a failed build changes nothing";
    const auto after = e.search(std::span<const float>(v.data(), 8), 5, std::nullopt).value();
    ASSERT_EQ(after.size(), hits.size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(after[i].id, hits[i].id);
        EXPECT_EQ(after[i].score, hits[i].score);
    }
}

// ---------------------------------------------------------------------------------------
// Rows holding NaN or infinity (first, among and last) do not move centroids, yet each gets
// a cell; with no finite row there is one cell, its centroid zero.

class IvfNonFinite : public testing::TestWithParam<Metric> {};

TEST_P(IvfNonFinite, FiniteRowsKeepTheirCells) {
    const Metric metric = GetParam();
    const std::size_t n = 304, dim = 8;
    const std::vector<VectorId> bad = {0, 41, 150, 303};
    const float inf = std::numeric_limits<float>::infinity(), values[] = {NAN, inf, -inf, NAN};
    Rows all = make_rows(n, dim, 71, 0), clean, broken;
    for (std::size_t b = 0; b < bad.size(); ++b) all.training[bad[b] * dim + b] = values[b];
    auto is_bad = [&](VectorId id) { return std::find(bad.begin(), bad.end(), id) != bad.end(); };
    for (std::size_t i = 0; i < n; ++i) push_row(is_bad(i) ? broken : clean, i, all.training.data() + i * dim, dim);

    const IvfIndex want = build_ivf(clean.store, clean.training.data(), dim, 16, 4, 5, metric);
    const IvfIndex got = build_ivf(all.store, all.training.data(), dim, 16, 4, 5, metric);
    auto members = list_ids(got);
    for (auto& l : members) std::erase_if(l, is_bad);
    EXPECT_EQ(members, list_ids(want));
    EXPECT_EQ(got.n_vectors(), n);
    for (std::size_t j = 0; j < want.lists.size(); ++j) EXPECT_EQ(row_of(got.centroids, j), row_of(want.centroids, j));

    const IvfIndex lone = build_ivf(broken.store, broken.training.data(), dim, 16, 4, 5, metric);
    EXPECT_EQ(list_ids(lone), std::vector<std::vector<VectorId>>{bad});
    EXPECT_EQ(row_of(lone.centroids, 0), std::vector<float>(dim, 0.0f));
}

INSTANTIATE_TEST_SUITE_P(Metrics, IvfNonFinite, testing::Values(Metric::Cosine, Metric::Dot, Metric::L2),
                         [](const auto& info) { return std::string(metric_name(info.param)); });

// Huge but finite rows under L2: |c|² overflows a float, and so does the float sum of two
// equal rows near the largest float. No cell mixes huge and normal rows, normal queries
// find themselves, and the huge row's own cell ranks first for it.
TEST(IvfOverflow, HugeFiniteRowsTrapNoCell) {
    const std::uint64_t dim = 16;
    const std::size_t n = 2000;
    Engine e = make_ivf(dim, Metric::L2, 16, 2);
    auto v = random_rows(n + 3, dim, 81);
    std::fill(v.begin() + n * dim, v.end(), 0.0f);
    v[n * dim] = 1e30f;
    v[(n + 1) * dim + 5] = v[(n + 2) * dim + 5] = 3e38f;
    std::vector<VectorId> ids(n + 3);
    std::iota(ids.begin(), ids.end(), VectorId{0});
    ASSERT_TRUE(e.add(ids, v).ok() && e.build().ok());
    auto huge = [&](VectorId id) { return id >= n; };
    for (const IvfList& list : lists_of(e.structure())->lists) {
        const auto& m = list.members.ids();
        EXPECT_TRUE(std::all_of(m.begin(), m.end(), huge) || std::none_of(m.begin(), m.end(), huge));
    }
    for (std::size_t i = 0; i < 50; ++i) {
        const auto hits = e.search({v.data() + i * dim, dim}, 10, std::nullopt).value();
        EXPECT_TRUE(hits.size() == 10 && std::any_of(hits.begin(), hits.end(), [&](auto& h) { return h.id == i; }));
    }
    e.set_nprobe(1);
    const auto hits = e.search({v.data() + n * dim, dim}, 1, std::nullopt).value();
    EXPECT_TRUE(hits.size() == 1 && hits[0].id == n);
}

TEST(IvfSearch, ANaNFromOneListStillLetsALaterListOfferRowByRow) {
    // With a zero query every l2 score is -norm²/2. The first list leaves the selection of
    // 4 with id 9 on top and a NaN above id 0 (worse than the top); in the second list id 7
    // replaces the top, after which id 0 is the worst and id 8, below id 9's score, enters.
    const std::size_t dim = 4;
    const RowLayout layout = RowLayout::of(dim, dim);
    const std::uint8_t code[2] = {0x12, 0x34};
    IvfIndex index;
    index.centroids = CentroidSet({0, 0, 0, 0, 1, 0, 0, 0}, 2, dim);  // list 0 ranks first
    index.bytes_per_vec = layout.row_bytes;
    index.nprobe = 2;
    index.padded_dim = dim;
    index.metric = Metric::L2;
    using Rows = std::vector<std::pair<VectorId, float>>;
    Rows first = {{9, 4.0f}, {1, NAN}, {5, 2.0f}, {0, 5.0f}};
    for (VectorId id = 100; id < 112; ++id) first.push_back({id, 20.0f});
    const Rows second = {{7, 3.0f}, {8, 4.5f}};
    TopK want(4, 18);
    for (const Rows* rows : std::initializer_list<const Rows*>{&first, &second}) {
        IvfList list{BlockStore(layout.row_bytes)};
        for (auto [id, norm] : *rows) {
            list.members.push(id, code, norm);
            want.offer(id, 0.0f + ((norm * -0.5f) * norm));
        }
        index.lists.push_back(std::move(list));
    }
    const std::vector<float> q(dim, 0.0f);
    const auto got = ivf_search(index, QueryScorer(q.data(), layout, Metric::L2), 4, std::nullopt);
    const auto expected = std::move(want).finish();
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].id, expected[i].id) << "hit " << i;
    EXPECT_TRUE(std::any_of(got.begin(), got.end(), [](const SearchHit& h) { return h.id == 8; }));
}

// ---------------------------------------------------------------------------------------
// Ranking the lists through the centroids' 4-bit codes gives the full ranking bit for bit
// (lists, order and scores) for every nprobe, and every centroid's float score lies in its
// bounds: random, clustered (with duplicate centroids and queries on them, so scores tie),
// tiny (products underflow) and huge centroids. Beyond the float range, or with a NaN
// query, there are no bounds and the full ranking alone applies.

struct BoundedCase {
    const char* name;
    float scale;      // of the centroids
    float q_scale;    // of the queries
    bool clustered;
    bool bounded;     // whether bounds exist
};

void PrintTo(const BoundedCase& c, std::ostream* os) { *os << c.name; }

class IvfBoundedRanking : public testing::TestWithParam<std::tuple<Metric, BoundedCase>> {};

TEST_P(IvfBoundedRanking, EqualsTheFullRanking) {
    const auto [metric, c] = GetParam();
    const std::size_t k = 83, dim = 37;  // a part lane block, a part code block, an odd nibble
    std::vector<float> rows = random_rows(k, dim, 7);
    std::mt19937 rng(11);
    if (c.clustered) {
        // Centroids near a few centres, some repeated outright.
        for (std::size_t j = 0; j < k; ++j) {
            for (std::size_t d = 0; d < dim; ++d) rows[j * dim + d] = 0.05f * rows[j * dim + d] + rows[(j % 5) * dim + d];
        }
        for (std::size_t j = 60; j < k; j += 3) std::copy_n(rows.begin() + (j - 50) * dim, dim, rows.begin() + j * dim);
    }
    for (float& x : rows) x *= c.scale;
    const CentroidSet centroids(rows, k, dim);
    std::vector<float> queries = random_rows(24, dim, 13, -c.q_scale, c.q_scale);
    for (std::size_t i = 0; i < 6; ++i) {  // on centroids, duplicates among them, and with zeros
        for (std::size_t d = 0; d < dim; ++d) queries[i * dim + d] = rows[(10 + 11 * i) * dim + d] * (c.q_scale / c.scale);
    }
    std::fill_n(queries.begin() + 6 * dim, dim / 2, 0.0f);
    queries[23 * dim + 3] = NAN;
    std::vector<float> scores(centroids.padded_size());
    for (std::size_t i = 0; i < 24; ++i) {
        const float* q = queries.data() + i * dim;
        const auto bounds = centroid_bounds(centroids, q, metric);
        ASSERT_EQ(bounds.has_value(), c.bounded && i != 23) << "query " << i;
        if (bounds) {
            centroids.scores(q, metric, scores.data());
            for (std::size_t j = 0; j < k; ++j) {
                ASSERT_TRUE(bounds->lo[j] <= scores[j] && scores[j] <= bounds->hi[j])
                    << "query " << i << " centroid " << j << ": " << scores[j] << " outside [" << bounds->lo[j] << ", "
                    << bounds->hi[j] << "]";
            }
        }
        for (std::size_t probes = 1; probes <= k; ++probes) {
            const auto full = rank_lists_full(centroids, q, metric, probes);
            for (std::size_t most : {k, std::size_t{0}}) {  // 0: every centroid scored
                const auto got = rank_lists_bounded(centroids, q, metric, probes, most);
                ASSERT_EQ(got.has_value(), bounds.has_value());
                if (!got) continue;
                ASSERT_EQ(got->size(), probes);
                for (std::size_t p = 0; p < probes; ++p) {
                    ASSERT_EQ((*got)[p].id, full[p].id) << "query " << i << " nprobe " << probes << " rank " << p;
                    ASSERT_EQ(std::bit_cast<std::uint32_t>((*got)[p].score), std::bit_cast<std::uint32_t>(full[p].score));
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IvfBoundedRanking,
    testing::Combine(testing::Values(Metric::Cosine, Metric::Dot, Metric::L2),
                     testing::Values(BoundedCase{"Random", 1.0f, 1.0f, false, true},
                                     BoundedCase{"Clustered", 1.0f, 3.0f, true, true},
                                     BoundedCase{"Tiny", 1e-21f, 1e-20f, true, true},
                                     BoundedCase{"Huge", 1e17f, 1e2f, false, true},
                                     BoundedCase{"PastTheFloatRange", 1e20f, 1e20f, true, false})),
    [](const auto& info) {
        return std::string(metric_name(std::get<0>(info.param))) + std::get<1>(info.param).name;
    });
