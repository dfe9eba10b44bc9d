#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/engine.h"
#include "index/brute.h"
#include "index/filter.h"
#include "index/scorer.h"
#include "index/topk.h"

using namespace korvane;

namespace {

std::vector<VectorId> ids_of(const std::vector<SearchHit>& hits) {
    std::vector<VectorId> out;
    for (const auto& h : hits) out.push_back(h.id);
    return out;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

}  // namespace

TEST(TopK, TiesKeepTheFirstOfferedAndHeapOrder) {
    TopK one(1, 10);
    one.offer(1, 0.5f);
    one.offer(2, 0.5f);
    EXPECT_EQ(ids_of(std::move(one).finish()), (std::vector<VectorId>{1}));

    TopK three(3, 10);
    for (VectorId id : {1, 2, 3, 4}) three.offer(id, 0.5f);
    EXPECT_EQ(ids_of(std::move(three).finish()), (std::vector<VectorId>{3, 1, 2}));
}

TEST(TopK, KeepsTheBestAndSortsDescending) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<SearchHit> all;
    TopK top(10, 1000);
    for (VectorId i = 0; i < 1000; ++i) {
        const float s = u(rng);
        all.push_back({i, s});
        top.offer(i, s);
    }
    std::sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.score > b.score; });
    const auto got = std::move(top).finish();
    ASSERT_EQ(got.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(got[i].id, all[i].id);
        EXPECT_EQ(got[i].score, all[i].score);
    }
}

TEST(TopK, RemovalFillsTheHoleWithTheWorseChild) {
    // Equal-score children: the second child moves up; the ids decide otherwise.
    TopK top(4, 4);
    top.offer(10, 1.0f);
    top.offer(11, 2.0f);
    top.offer(12, 2.0f);
    top.offer(13, 3.0f);
    top.offer(14, 5.0f);  // removes id 10
    std::vector<VectorId> heap;
    for (const auto& e : top.entries()) heap.push_back(e.id);
    // The hole at 0 takes the worse of 11 and 12 (equal scores, greater id): 12; the last
    // entry 13 fills the hole at 2; 14 is appended. Equal scores keep array order.
    EXPECT_EQ(heap, (std::vector<VectorId>{12, 11, 13, 14}));
    EXPECT_EQ(ids_of(std::move(top).finish()), (std::vector<VectorId>{14, 13, 12, 11}));
}

TEST(TopK, NaNEntersOnlyWhenNotFullAndIsNeverReplaced) {
    TopK a(2, 4);
    a.offer(1, kNaN);
    a.offer(2, 1.0f);
    a.offer(3, 5.0f);  // 5 > NaN is false, 5 > 1 would be true, but the top decides
    auto hits = std::move(a).finish();
    ASSERT_EQ(hits.size(), 2u);
    // NaN compares equal to 1.0, so the ids decide the top: id 2 is worse than id 1.
    // 5.0 > 1.0 replaces id 2.
    EXPECT_EQ(ids_of(hits), (std::vector<VectorId>{3, 1}));

    TopK b(1, 4);
    b.offer(7, kNaN);
    b.offer(8, 100.0f);
    const auto only = std::move(b).finish();
    ASSERT_EQ(only.size(), 1u);
    EXPECT_EQ(only[0].id, 7u);

    TopK c(1, 4);
    c.offer(1, 1.0f);
    c.offer(2, kNaN);  // a NaN never replaces an entry of a full selection
    EXPECT_EQ(ids_of(std::move(c).finish()), (std::vector<VectorId>{1}));
}

TEST(TopK, HugeKReservesOnlyWhatCanArrive) {
    TopK top(std::uint64_t{1} << 40, 3);
    top.offer(1, 1.0f);
    top.offer(2, 2.0f);
    EXPECT_EQ(ids_of(std::move(top).finish()), (std::vector<VectorId>{2, 1}));
}

TEST(SortHits, StableOnEqualScores) {
    std::vector<SearchHit> h;
    for (VectorId i = 0; i < 100; ++i) h.push_back({i, float(i % 3)});
    sort_hits_descending(h);
    for (std::size_t i = 1; i < h.size(); ++i) {
        ASSERT_GE(h[i - 1].score, h[i].score);
        if (h[i - 1].score == h[i].score) {
            ASSERT_LT(h[i - 1].id, h[i].id);
        }
    }
}

// The order of a stable insertion sort with "a before b iff a.score > b.score": a NaN is
// before nothing and nothing is before it, so no entry moves across one.
std::vector<SearchHit> insertion_sorted(std::vector<SearchHit> h) {
    for (std::size_t i = 1; i < h.size(); ++i) {
        const SearchHit x = h[i];
        std::size_t j = i;
        for (; j > 0 && x.score > h[j - 1].score; --j) h[j] = h[j - 1];
        h[j] = x;
    }
    return h;
}

// n hits with ids 0 .. n-1 and scores drawn from `pool`.
std::vector<SearchHit> hits_from(const std::vector<float>& pool, std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<SearchHit> h;
    for (VectorId i = 0; i < n; ++i) h.push_back(SearchHit{i, pool[rng() % pool.size()]});
    return h;
}

TEST(SortHits, LongListsFollowAStableInsertionSort) {
    // Past the 16-entry runs the sort merges; equal scores, -0.0 and +0.0 keep their order.
    const std::vector<float> pool = {3.0f, 1.0f, 1.0f, -0.0f, 0.0f, -2.5f, 7.0f, 0.0f, -0.0f};
    for (std::size_t n : {17u, 40u, 100u}) {
        auto h = hits_from(pool, n, static_cast<unsigned>(n));
        const auto want = insertion_sorted(h);
        sort_hits_descending(h);
        EXPECT_EQ(ids_of(h), ids_of(want)) << n << " entries";
    }
}

// Disabled while it fails: the merge of the 16-entry runs moves entries across NaNs, which
// the insertion sort of a run (and so every list of at most 16 hits) never does.
TEST(SortHits, LongListsWithNaNsFollowAStableInsertionSort) {
    // Fifteen 1.0, a NaN, then 2.0: the 2.0 cannot pass the NaN.
    std::vector<SearchHit> h;
    for (VectorId i = 0; i < 15; ++i) h.push_back({i, 1.0f});
    h.push_back({15, kNaN});
    h.push_back({16, 2.0f});
    auto want = insertion_sorted(h);
    sort_hits_descending(h);
    EXPECT_EQ(ids_of(h), ids_of(want)) << "17 entries";

    const std::vector<float> pool = {3.0f, kNaN, 1.0f, -0.0f, 0.0f, kNaN, 7.0f, 0.0f, -2.5f};
    for (std::size_t n : {40u, 100u}) {
        h = hits_from(pool, n, static_cast<unsigned>(n));
        want = insertion_sorted(h);
        sort_hits_descending(h);
        EXPECT_EQ(ids_of(h), ids_of(want)) << n << " entries";
    }
}

TEST(AllowFilter, FormSwitchBoundaries) {
    auto form = [](std::vector<VectorId> ids) { return AllowFilter::from_ids(ids).is_bitset(); };
    EXPECT_TRUE(form({5}));
    EXPECT_TRUE(form({2047}));
    EXPECT_FALSE(form({2048}));
    EXPECT_FALSE(form({3000}));
    EXPECT_TRUE(form({10, 4000}));
    EXPECT_FALSE(form({10, 5000}));
    EXPECT_FALSE(form({}));
    std::vector<VectorId> many(1 << 20);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = i;
    many.back() = (VectorId{1} << 26) - 1;
    EXPECT_TRUE(form(many));
    many.back() = VectorId{1} << 26;
    EXPECT_FALSE(form(many));
}

TEST(AllowFilter, BothFormsAnswerAlike) {
    for (const std::vector<VectorId>& list : {std::vector<VectorId>{10, 4000, 10}, std::vector<VectorId>{10, 5000},
                                            std::vector<VectorId>{0, 63, 64, 2047}, std::vector<VectorId>{}}) {
        const auto f = AllowFilter::from_ids(list);
        for (VectorId x = 0; x < 6000; ++x) {
            const bool want = std::find(list.begin(), list.end(), x) != list.end();
            ASSERT_EQ(f.allows(x), want) << x;
        }
        EXPECT_FALSE(f.allows(std::numeric_limits<VectorId>::max()));
    }
}

class BruteForceTest : public ::testing::Test {
protected:
    static Engine make(Metric metric, std::uint64_t n4, std::uint64_t dim = 32) {
        EngineConfig c;
        c.dim = dim;
        c.n4_dims = n4;
        c.metric = metric;
        return Engine::create(c).value();
    }
};

TEST_F(BruteForceTest, AllowlistFormsGiveIdenticalResults) {
    auto e = make(Metric::Cosine, 32);
    std::mt19937 rng(3);
    std::normal_distribution<float> n(0, 1);
    const std::size_t rows = 300;
    std::vector<float> data(rows * 32);
    for (auto& v : data) v = n(rng);
    std::vector<VectorId> ids(rows);
    for (std::size_t i = 0; i < rows; ++i) ids[i] = i * 17;  // 0 .. 5083
    ASSERT_TRUE(e.add(ids, data).ok());
    const std::vector<float> q(data.begin(), data.begin() + 32);
    // The same stored ids through both forms: an id that is not stored (10^6) pushes the
    // list over the bitset limit and changes nothing else.
    const std::vector<VectorId> dense = {17, 34, 4012, 2040, 3400};
    std::vector<VectorId> sparse = dense;
    sparse.push_back(1000000);
    ASSERT_TRUE(AllowFilter::from_ids(dense).is_bitset());
    ASSERT_FALSE(AllowFilter::from_ids(sparse).is_bitset());
    const auto a = e.search(q, 10, dense).value();
    const auto b = e.search(q, 10, sparse).value();
    EXPECT_EQ(ids_of(a), ids_of(b));
    EXPECT_EQ(a.size(), 5u);
    // without the allowlist the first row itself is the best hit
    EXPECT_EQ(e.search(q, 1, std::nullopt).value()[0].id, 0u);
    // empty allowlist allows nothing; ids absent from the index change nothing
    EXPECT_TRUE(e.search(q, 10, std::vector<VectorId>{}).value().empty());
    EXPECT_TRUE(e.search(q, 10, std::vector<VectorId>{1, 2, 3}).value().empty());
    EXPECT_TRUE(e.search(q, 0, dense).value().empty());
}

TEST_F(BruteForceTest, ScoresAreAdjustedByMetric) {
    for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
        auto e = make(m, 16, 16);
        std::vector<float> v(16);
        for (std::size_t i = 0; i < 16; ++i) v[i] = 0.1f * float(i) - 0.5f;
        ASSERT_TRUE(e.add(std::vector<VectorId>{9}, v).ok());
        const auto q = e.quantizer().transform_query(v);
        const QueryScorer scorer(q.data(), e.quantizer().row_layout(), m);
        const float raw = scorer.raw<Layout::Pure4>(e.store().code(0).data());
        const float norm = e.store().norms()[0];
        const auto hit = e.search(v, 5, std::nullopt).value();
        ASSERT_EQ(hit.size(), 1u);
        EXPECT_EQ(hit[0].score, adjust_score(raw, norm, m));
    }
}

TEST_F(BruteForceTest, EqualRowsFollowTheTieRules) {
    auto e = make(Metric::Dot, 8, 8);
    const std::vector<float> v = {1, 2, 3, 4, 5, 6, 7, 8};
    RowSet rows;
    for (int i = 0; i < 4; ++i) rows.push_row(v);
    ASSERT_TRUE(e.add(std::vector<VectorId>{1, 2, 3, 4}, rows).ok());
    EXPECT_EQ(ids_of(e.search(v, 3, std::nullopt).value()), (std::vector<VectorId>{3, 1, 2}));
    EXPECT_EQ(ids_of(e.search(v, 1, std::nullopt).value()), (std::vector<VectorId>{1}));
    EXPECT_EQ(e.search(v, std::uint64_t{1} << 40, std::nullopt).value().size(), 4u);
}

TEST(BruteForceStore, MissingNormsUseRawScores) {
    EngineConfig c;
    c.dim = 4;
    c.n4_dims = 4;
    c.metric = Metric::L2;
    const auto qz = Quantizer::create(c).value();
    const std::vector<std::uint8_t> codes = {0xFF, 0xFF, 0x00, 0x00};
    const std::vector<VectorId> ids = {1, 2};
    const std::vector<float> q = {1, 1, 1, 1};
    const BlockView store{codes.data(), ids.data(), nullptr, 2, 2};
    const auto hits = brute_force_search(QueryScorer(q.data(), qz.row_layout(), c.metric), store, 10, std::nullopt);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].id, 1u);
    EXPECT_FLOAT_EQ(hits[0].score, 4 * 2.7325895f);
}

TEST_F(BruteForceTest, AllowlistsOnBothSidesOfEverySwitchBoundary) {
    // Ids placed around the bitset limits: one entry below 2048, two entries below
    // 64 words apart, and the 2^26 cap. Filtering before selection must equal filtering
    // the full ranking, whichever form the filter takes.
    const std::vector<VectorId> stored = {0,    5,    63,   64,   2047, 2048, 3000, 4000, 4095,
                                          4096, 5000, 8191, 8192, (VectorId{1} << 26) - 1,
                                          VectorId{1} << 26, ~VectorId{0}};
    auto e = make(Metric::L2, 16, 16);
    std::mt19937 rng(8);
    std::normal_distribution<float> n(0, 1);
    std::vector<float> data(stored.size() * 16);
    for (auto& v : data) v = n(rng);
    ASSERT_TRUE(e.add(stored, data).ok());
    std::vector<float> q(16);
    for (auto& v : q) v = n(rng);
    const auto full = e.search(q, 1000, std::nullopt).value();
    ASSERT_EQ(full.size(), stored.size());

    const std::vector<std::vector<VectorId>> lists = {
        {2047}, {2048}, {5}, {10, 4000}, {10, 4095}, {10, 4096}, {10, 5000}, {0, 8191}, {0, 8192},
        {(VectorId{1} << 26) - 1}, {VectorId{1} << 26}, {0, 5, 63, 64, (VectorId{1} << 26) - 1},
        {~VectorId{0}, 5}, {5, 5, 5}, {64, 63, 64},
    };
    for (const auto& list : lists) {
        for (std::uint64_t k : {1u, 2u, 3u, 100u}) {
            std::vector<VectorId> want;
            for (const auto& h : full) {
                if (want.size() < k && std::find(list.begin(), list.end(), h.id) != list.end()) want.push_back(h.id);
            }
            EXPECT_EQ(ids_of(e.search(q, k, list).value()), want)
                << "first id " << list.front() << " bitset " << AllowFilter::from_ids(list).is_bitset();
        }
    }
}
