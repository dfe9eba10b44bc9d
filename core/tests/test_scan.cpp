// The block scan (four rows per kernel call, vector score adjustment, one comparison with
// the selection's worst score per block) against scoring and offering one row at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "index/brute.h"
#include "index/scan_tables.h"
#include "base/tables.h"
#include "index/scorer.h"
#include "index/topk.h"
#include "simd/kernels.h"

using namespace korvane;
using simd::Level;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
// Beyond 256 rows whole blocks are pruned by the tables' bound.
const std::size_t kRowCounts[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17, 33, 300, 1000};

const char* level_text(Level l) { return l == Level::Scalar ? "scalar" : l == Level::Avx2 ? "avx2" : "avx512"; }
const char* layout_text(Layout l) { return l == Layout::Pure4 ? "pure4" : l == Layout::Pure2 ? "pure2" : "mixed"; }

// 128 padded coordinates: 64-byte 4-bit rows, 32-byte 2-bit rows, or 32 + 16 bytes mixed.
RowLayout row_layout(Layout l) { return RowLayout::of(128, l == Layout::Pure4 ? 128 : l == Layout::Pure2 ? 0 : 64); }

float raw_score(const QueryScorer& s, const std::uint8_t* row) {
    switch (s.layout().layout()) {
        case Layout::Pure4: return s.raw<Layout::Pure4>(row);
        case Layout::Pure2: return s.raw<Layout::Pure2>(row);
        case Layout::Mixed: break;
    }
    return s.raw<Layout::Mixed>(row);
}

struct Data {
    std::vector<float> q;
    std::vector<std::uint8_t> codes;
    std::vector<VectorId> ids;
    std::vector<float> norms;
    std::size_t row_bytes = 0;

    StoreView view(std::size_t rows, bool with_norms) const {
        return {codes.data(), ids.data(), with_norms ? norms.data() : nullptr, rows, row_bytes};
    }
    // Every other stored id.
    std::vector<VectorId> allowlist() const {
        std::vector<VectorId> a;
        for (std::size_t i = 0; i < ids.size(); i += 2) a.push_back(ids[i]);
        return a;
    }
};

// Random query and codes; norms around the quantized norm of a unit vector (about 11),
// with a few zero norms that cosine leaves unapplied. Ids are not in row order.
Data make_data(const RowLayout& l, std::size_t rows, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<float> norm(8.0f, 14.0f);
    Data d;
    d.row_bytes = l.row_bytes;
    d.q.resize(l.padded_dim);
    for (auto& v : d.q) v = normal(rng);
    d.codes.resize(rows * l.row_bytes);
    for (auto& c : d.codes) c = static_cast<std::uint8_t>(rng());
    // In larger sets every seventh row repeats an earlier one: ties, at the worst score too.
    for (std::size_t i = 7; rows > 64 && i < rows; i += 7) std::copy_n(&d.codes[(i / 2) * l.row_bytes], l.row_bytes, &d.codes[i * l.row_bytes]);
    for (std::size_t i = 0; i < rows; ++i) {
        d.ids.push_back(1000 + 3 * ((i * 37 + 5) % rows));  // a permutation while 37 does not divide rows
        d.norms.push_back(i % 7 == 3 ? 0.0f : norm(rng));
    }
    return d;
}

// Each allowed row scored on its own, in store order: (id, score).
std::vector<SearchHit> row_by_row(const QueryScorer& s, const StoreView& v,
                                  const std::optional<std::vector<VectorId>>& allow) {
    std::vector<SearchHit> out;
    for (std::size_t i = 0; i < v.rows; ++i) {
        if (allow && std::find(allow->begin(), allow->end(), v.ids[i]) == allow->end()) continue;
        const float raw = raw_score(s, v.codes + i * v.row_bytes);
        out.push_back({v.ids[i], v.norms ? adjust_score(raw, v.norms[i], s.metric()) : raw});
    }
    return out;
}

// The search over the same rows held in the scan layout.
std::vector<SearchHit> scan(const QueryScorer& s, const StoreView& v, std::uint64_t k,
                            const std::optional<std::vector<VectorId>>& allow) {
    const BlockStore store = BlockStore::adopt(v.row_bytes, {v.codes, v.codes + v.rows * v.row_bytes},
                                               {v.ids, v.ids + v.rows},
                                               v.norms ? std::vector<float>(v.norms, v.norms + v.rows) : std::vector<float>{});
    if (!allow) return brute_force_search(s, store.blocks(), k, std::nullopt);
    return brute_force_search(s, store.blocks(), k, std::span<const VectorId>(*allow));
}

// What a selection of k gives when the rows are offered one at a time, in order.
std::vector<SearchHit> offered_one_by_one(const std::vector<SearchHit>& rows, std::uint64_t k) {
    TopK top(k, rows.size());
    for (const auto& h : rows) top.offer(h.id, h.score);
    return std::move(top).finish();
}

// Ids in order and scores bit for bit (a NaN matches any NaN).
void expect_same_hits(const std::vector<SearchHit>& got, const std::vector<SearchHit>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, want[i].id) << what << " hit " << i;
        if (!(std::isnan(got[i].score) && std::isnan(want[i].score))) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].score), std::bit_cast<std::uint32_t>(want[i].score))
                << what << " hit " << i << ": " << got[i].score << " vs " << want[i].score;
        }
    }
}

std::string describe(std::size_t rows, bool filtered, bool norms, std::uint64_t k) {
    return "rows " + std::to_string(rows) + (filtered ? " filtered" : "") + (norms ? " norms" : " no norms") +
           " k " + std::to_string(k);
}

const auto kLevels = ::testing::Values(Level::Scalar, Level::Avx2, Level::Avx512);
const auto kLayouts = ::testing::Values(Layout::Pure4, Layout::Pure2, Layout::Mixed);
const auto kMetrics = ::testing::Values(Metric::Cosine, Metric::Dot, Metric::L2);

template <class Tuple>
void skip_unsupported(const Tuple& p) {
    if (!simd::level_supported(std::get<0>(p))) GTEST_SKIP() << level_text(std::get<0>(p)) << " not supported by this CPU";
}

class ScanAtLevel : public ::testing::TestWithParam<std::tuple<Level, Layout, Metric>> {
protected:
    void SetUp() override { skip_unsupported(GetParam()); }
};

std::string scan_name(const ::testing::TestParamInfo<std::tuple<Level, Layout, Metric>>& info) {
    const auto [level, layout, metric] = info.param;
    return std::string(level_text(level)) + "_" + layout_text(layout) + "_" + metric_text(metric);
}

INSTANTIATE_TEST_SUITE_P(, ScanAtLevel, ::testing::Combine(kLevels, kLayouts, kMetrics), scan_name);

// The vector levels, each against the scalar one.
class ScanAcrossLevels : public ScanAtLevel {};
INSTANTIATE_TEST_SUITE_P(, ScanAcrossLevels,
                         ::testing::Combine(::testing::Values(Level::Avx2, Level::Avx512), kLayouts, kMetrics),
                         scan_name);

class ScanNaN : public ::testing::TestWithParam<std::tuple<Level, Layout>> {
protected:
    void SetUp() override { skip_unsupported(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(, ScanNaN, ::testing::Combine(kLevels, kLayouts), [](const auto& info) {
    return std::string(level_text(std::get<0>(info.param))) + "_" + layout_text(std::get<1>(info.param));
});

// The norm of a row's dequantized codes, every slot counted: what a store keeps with it.
float code_norm(const RowLayout& l, const std::uint8_t* row) {
    float s = 0.0f;
    for (std::size_t n = 0; n < 2 * l.pb4; ++n) s += std::pow(CENTROIDS_4BIT[(row[n / 2] >> (4 * (n % 2))) & 15], 2.0f);
    for (std::size_t i = 0; i < 4 * (l.row_bytes - l.pb4); ++i) {
        s += std::pow(CENTROIDS_2BIT[(row[l.pb4 + i / 4] >> (2 * (i % 4))) & 3], 2.0f);
    }
    return std::sqrt(s);
}

}  // namespace

TEST_P(ScanAtLevel, TablesBoundEveryRawScore) {
    // Layouts with empty slots (odd dimension counts), queries from tiny to huge, rows
    // from random codes: no kernel's raw score exceeds the bound of the row's table sum.
    const Level level = std::get<0>(GetParam());
    const Metric metric = std::get<2>(GetParam());
    std::mt19937 rng(7 + static_cast<unsigned>(metric));
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (const RowLayout l : {RowLayout::of(1, 1), RowLayout::of(7, 7), RowLayout::of(13, 0), RowLayout::of(101, 51),
                              RowLayout::of(768, 512), RowLayout::of(1000, 0)}) {
        for (float magnitude : {1e-30f, 1.0f, 1e30f}) {
            std::vector<float> q(l.padded_dim);
            for (auto& v : q) v = magnitude * normal(rng) * (rng() % 5 == 0 ? 100.0f : 1.0f);
            const QueryScorer s(q.data(), l, metric, simd::kernels_for(level));
            const auto t = ScanTables::build(s);
            ASSERT_TRUE(t.has_value()) << l.padded_dim << " at " << magnitude;
            std::vector<std::uint8_t> row(l.row_bytes);
            for (int trial = 0; trial < 200; ++trial) {
                for (auto& c : row) c = static_cast<std::uint8_t>(trial < 16 ? trial * 0x11 : rng());
                std::vector<std::uint8_t> block(32 * l.row_bytes);
                for (std::size_t b = 0; b < l.row_bytes; ++b) block[32 * b] = row[b];
                std::uint32_t sums[32];
                simd::block_scan_scalar(block.data(), l.row_bytes, t->lut(), sums);
                const std::uint32_t sum = sums[0];
                const float raw = raw_score(s, row.data());
                ASSERT_LE(raw, t->upper(sum)) << l.padded_dim << " at " << magnitude;
                if (t->prefix() > 0) {
                    simd::block_scan_scalar(block.data(), t->prefix(), t->lut(), sums);
                    ASSERT_LE(raw, t->upper_prefix(sums[0], code_norm(l, row.data()))) << l.padded_dim << " at " << magnitude;
                }
            }
        }
    }
    std::vector<float> q(64, 0.0f);
    EXPECT_FALSE(ScanTables::build(QueryScorer(q.data(), RowLayout::of(64, 64), metric)));  // nothing to bound
    q[3] = kNaN;
    EXPECT_FALSE(ScanTables::build(QueryScorer(q.data(), RowLayout::of(64, 64), metric)));
}

namespace {

// Sets coordinate d of a packed row to code c.
void set_code(const RowLayout& l, std::uint8_t* row, std::size_t d, unsigned c) {
    if (d < l.n4_dims) {
        const unsigned shift = 4 * (d % 2);
        row[d / 2] = static_cast<std::uint8_t>((row[d / 2] & ~(15u << shift)) | (c << shift));
    } else {
        const std::size_t i = d - l.n4_dims;
        const unsigned shift = 2 * (i % 4);
        row[l.pb4 + i / 4] = static_cast<std::uint8_t>((row[l.pb4 + i / 4] & ~(3u << shift)) | (c << shift));
    }
}

float centroid(const RowLayout& l, const std::uint8_t* row, std::size_t d) {
    if (d < l.n4_dims) return CENTROIDS_4BIT[(row[d / 2] >> (4 * (d % 2))) & 15];
    const std::size_t i = d - l.n4_dims;
    return CENTROIDS_2BIT[(row[l.pb4 + i / 4] >> (2 * (i % 4))) & 3];
}

// The table sums of a row over all its bytes and over the first `prefix`.
std::pair<std::uint32_t, std::uint32_t> table_sums(const ScanTables& t, const RowLayout& l, const std::uint8_t* row) {
    std::vector<std::uint8_t> block(32 * l.row_bytes);
    for (std::size_t b = 0; b < l.row_bytes; ++b) block[32 * b] = row[b];
    std::uint32_t all[32], first[32];
    simd::block_scan_scalar(block.data(), l.row_bytes, t.lut(), all);
    simd::block_scan_scalar(block.data(), t.prefix(), t.lut(), first);
    return {all[0], first[0]};
}

// Whatever kernel computes a row's raw score, it lies within (L + 2)·2^-24 of the exact
// sum of the L products, relative to the sum of their magnitudes: the bounds must leave
// that much room around the exact sum, not merely around this machine's kernels.
void expect_bounds_hold(const ScanTables& t, const RowLayout& l, const float* q, const std::uint8_t* row,
                        const std::string& what) {
    long double exact = 0, size = 0;
    for (std::size_t d = 0; d < l.padded_dim; ++d) {
        exact += static_cast<long double>(q[d]) * centroid(l, row, d);
        size += std::fabs(static_cast<long double>(q[d]) * centroid(l, row, d));
    }
    const long double kernel = (l.padded_dim + 2) * std::ldexp(1.0L, -24) * size;
    const auto [sum, first] = table_sums(t, l, row);
    ASSERT_GE(t.upper(sum), exact + kernel) << what;
    ASSERT_LE(t.lower(sum), exact - kernel) << what;
    if (t.prefix() > 0) {
        ASSERT_GE(t.upper_prefix(first, code_norm(l, row)), exact + kernel) << what;
    }
    for (Level level : {Level::Scalar, Level::Avx2, Level::Avx512}) {
        if (!simd::level_supported(level)) continue;
        const float raw = raw_score(QueryScorer(q, l, Metric::Dot, simd::kernels_for(level)), row);
        ASSERT_LE(raw, t.upper(sum)) << what << " " << level_text(level);
        ASSERT_GE(raw, t.lower(sum)) << what << " " << level_text(level);
    }
}

// The query's coordinates whose nibbles lie past the first stage's bytes.
double rest_norm(const RowLayout& l, const float* q, std::size_t prefix) {
    double sq = 0;
    for (std::size_t d = 0; d < l.padded_dim; ++d) {
        const std::size_t nibble = d < l.n4_dims ? d : 2 * l.pb4 + (d - l.n4_dims) / 2;
        if (nibble >= 2 * prefix) sq += static_cast<double>(q[d]) * q[d];
    }
    return std::sqrt(sq);
}

}  // namespace

TEST(ScanTables, BoundsHoldAtTheirEdges) {
    // Inputs that leave the bounds the least room: one-hot queries against rows of each
    // position's maximising code; table entries that all round down by almost half a unit;
    // and the largest rows the tables take.
    const RowLayout layouts[] = {RowLayout::of(256, 256), RowLayout::of(512, 256), RowLayout::of(1024, 0),
                                 RowLayout::of(1024, 1024), RowLayout::of(65536, 65536)};
    for (const RowLayout& l : layouts) {
        const std::string name = std::to_string(l.padded_dim) + "/" + std::to_string(l.n4_dims);
        std::vector<float> q(l.padded_dim, 0.0f);
        std::vector<std::uint8_t> row(l.row_bytes);
        const std::size_t step = l.padded_dim > 1024 ? 997 : 1;
        for (std::size_t d = 0; d < l.padded_dim; d += step) {
            for (float v : {1.0f, -0.75f}) {
                std::fill(q.begin(), q.end(), 0.0f);
                q[d] = v;
                const QueryScorer s(q.data(), l, Metric::Dot);
                const auto t = ScanTables::build(s);
                ASSERT_TRUE(t) << name;
                const unsigned top = d < l.n4_dims ? 15 : 3;
                for (std::size_t e = 0; e < l.padded_dim; ++e) set_code(l, row.data(), e, (e * 5) % (top + 1));
                set_code(l, row.data(), d, v > 0 ? top : 0);
                expect_bounds_hold(*t, l, q.data(), row.data(), name + " one-hot " + std::to_string(d));
                if (t->prefix() == 0) continue;
                // The first stage's rest term covers the query past the prefix times the
                // row's norm, which a store may hold low by (slots + 2)·2^-24 of itself.
                const double slots = 4.0 * static_cast<double>(l.row_bytes) + 2.0;
                const float norm = 1e6f;
                const double rest = rest_norm(l, q.data(), t->prefix()) * norm * (1.0 + (slots + 2) * std::ldexp(1.0, -24));
                ASSERT_GE(static_cast<double>(t->upper_prefix(0, norm)) - t->upper_prefix(0, 0.0f), rest)
                    << name << " one-hot " << d;
            }
        }
        if (l.n2_dims != 0) continue;
        // Every entry of the row's codes rounds down by almost half a unit, so the table
        // sum falls short of the exact one by nearly all the rounding margin; what is left
        // must still cover the kernels' own error.
        const double scale = (double{CENTROIDS_4BIT[15]} - CENTROIDS_4BIT[0]) / 255.0;
        const double step14 = double{CENTROIDS_4BIT[14]} - CENTROIDS_4BIT[0];
        q[0] = 1.0f;
        for (std::size_t d = 1; d < l.padded_dim; ++d) {
            q[d] = static_cast<float>((100.0 + static_cast<double>(d % 97) + 0.4999) * scale / step14);
        }
        for (std::size_t d = 0; d < l.padded_dim; ++d) set_code(l, row.data(), d, 14);
        const auto t = ScanTables::build(QueryScorer(q.data(), l, Metric::Dot));
        ASSERT_TRUE(t) << name;
        expect_bounds_hold(*t, l, q.data(), row.data(), name + " entries rounded down");
    }
}

TEST_P(ScanAtLevel, EqualsRowByRowScoresSorted) {
    const auto [level, layout, metric] = GetParam();
    const RowLayout l = row_layout(layout);
    for (std::size_t rows : kRowCounts) {
        const Data d = make_data(l, rows, static_cast<unsigned>(rows));
        const QueryScorer s(d.q.data(), l, metric, simd::kernels_for(level));
        for (bool filtered : {false, true}) {
            const auto allow = filtered ? std::optional(d.allowlist()) : std::nullopt;
            for (bool norms : {false, true}) {
                const StoreView v = d.view(rows, norms);
                const auto each = row_by_row(s, v, allow);
                for (std::size_t k : {rows, std::size_t{10}, std::size_t{3}, std::size_t{1}}) {
                    expect_same_hits(scan(s, v, k, allow), offered_one_by_one(each, k), describe(rows, filtered, norms, k));
                }
            }
        }
    }
}

TEST_P(ScanAcrossLevels, SameIdsAndScoresWithinRounding) {
    const auto [level, layout, metric] = GetParam();
    const RowLayout l = row_layout(layout);
    for (std::size_t rows : {17u, 33u}) {
        const Data d = make_data(l, rows, 500 + static_cast<unsigned>(rows));
        const QueryScorer scalar(d.q.data(), l, metric, simd::kernels_for(Level::Scalar));
        const QueryScorer vector(d.q.data(), l, metric, simd::kernels_for(level));
        for (bool filtered : {false, true}) {
            const auto allow = filtered ? std::optional(d.allowlist()) : std::nullopt;
            const StoreView v = d.view(rows, true);
            const auto want = scan(scalar, v, rows, allow);
            // The data must separate the rows by far more than the rounding differences.
            for (std::size_t i = 1; i < want.size(); ++i) {
                ASSERT_GT(want[i - 1].score - want[i].score, 1e-4f * std::max(std::fabs(want[i].score), 1.0f))
                    << "rows " << rows << " are too close to rank reliably";
            }
            for (std::uint64_t k : {std::uint64_t{3}, std::uint64_t{rows}}) {
                const auto got = scan(vector, v, k, allow);
                ASSERT_EQ(got.size(), std::min<std::size_t>(k, want.size()));
                for (std::size_t i = 0; i < got.size(); ++i) {
                    EXPECT_EQ(got[i].id, want[i].id) << describe(rows, filtered, true, k) << " hit " << i;
                    EXPECT_NEAR(got[i].score, want[i].score, 1e-5f * std::max(std::fabs(want[i].score), 1.0f))
                        << describe(rows, filtered, true, k) << " hit " << i;
                }
            }
        }
    }
}

TEST_P(ScanNaN, NaNQueryGivesWhatOfferingRowByRowGives) {
    // Every score is NaN: all compare equal, so the selection keeps the rows that the
    // heap rules keep, in its array order.
    const auto [level, layout] = GetParam();
    const RowLayout l = row_layout(layout);
    for (Metric metric : {Metric::Cosine, Metric::Dot, Metric::L2}) {
        for (std::size_t rows : {9u, 17u, 33u}) {
            Data d = make_data(l, rows, 900 + static_cast<unsigned>(rows));
            d.q[5] = kNaN;
            const QueryScorer s(d.q.data(), l, metric, simd::kernels_for(level));
            for (bool filtered : {false, true}) {
                const auto allow = filtered ? std::optional(d.allowlist()) : std::nullopt;
                for (bool norms : {false, true}) {
                    const StoreView v = d.view(rows, norms);
                    const auto each = row_by_row(s, v, allow);
                    ASSERT_TRUE(std::all_of(each.begin(), each.end(), [](auto& h) { return std::isnan(h.score); }));
                    for (std::uint64_t k : {1u, 3u, 8u}) {
                        expect_same_hits(scan(s, v, k, allow), offered_one_by_one(each, k),
                                         std::string(metric_text(metric)) + " " + describe(rows, filtered, norms, k));
                    }
                }
            }
        }
    }
}

TEST_P(ScanNaN, OneNaNRowGivesWhatOfferingRowByRowGives) {
    // A NaN norm makes that row's l2 score NaN. Placed before the selection fills, inside
    // a block after it filled, at a block's start and as the last row.
    const auto [level, layout] = GetParam();
    const RowLayout l = row_layout(layout);
    for (std::size_t nan_row : {0u, 1u, 2u, 3u, 4u, 10u, 15u, 16u, 20u, 32u, 290u, 299u}) {
        const std::size_t rows = nan_row < 33 ? 33 : 300;
        Data d = make_data(l, rows, 1300 + static_cast<unsigned>(nan_row));
        d.norms[nan_row] = kNaN;
        const QueryScorer s(d.q.data(), l, Metric::L2, simd::kernels_for(level));
        for (bool filtered : {false, true}) {
            const auto allow = filtered ? std::optional(d.allowlist()) : std::nullopt;
            const StoreView v = d.view(rows, true);
            const auto each = row_by_row(s, v, allow);
            for (std::uint64_t k : {1u, 2u, 3u, 8u}) {
                expect_same_hits(scan(s, v, k, allow), offered_one_by_one(each, k),
                                 "NaN row " + std::to_string(nan_row) + " " + describe(rows, filtered, true, k));
            }
        }
    }
}

TEST_P(ScanNaN, ANaNEntryCanLowerTheWorstScore) {
    // NaN compares equal to every score, so a selection holding one is no true heap: here
    // the row of id 0 ends up below the NaN although it is worse than the top, and once
    // the top leaves it becomes the new, lower, worst. A row that did not beat the worst at
    // the start of the second block (id 8) must still enter after id 7 replaced the top.
    // With a zero query every raw score is 0 and the l2 score is -norm²/2.
    const auto [level, layout] = GetParam();
    const RowLayout l = row_layout(layout);
    struct Row {
        VectorId id;
        float norm;
    };
    std::vector<Row> plan = {{9, 4.0f}, {1, kNaN}, {5, 2.0f}, {0, 5.0f}};  // fills k = 4: top 9, NaN above 0
    for (VectorId id = 100; id < 112; ++id) plan.push_back({id, 20.0f});  // rest of the first block: no entry
    plan.push_back({7, 3.0f});  // beats the top (id 9)
    plan.push_back({8, 4.5f});  // below id 9's score, above id 0's
    Data d = make_data(l, plan.size(), 1);
    std::fill(d.q.begin(), d.q.end(), 0.0f);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        d.ids[i] = plan[i].id;
        d.norms[i] = plan[i].norm;
    }
    const QueryScorer s(d.q.data(), l, Metric::L2, simd::kernels_for(level));
    const StoreView v = d.view(plan.size(), true);
    for (bool filtered : {false, true}) {
        const auto allow = filtered ? std::optional(d.ids) : std::nullopt;
        const auto want = offered_one_by_one(row_by_row(s, v, allow), 4);
        ASSERT_TRUE(std::any_of(want.begin(), want.end(), [](auto& h) { return h.id == 8; }));
        expect_same_hits(scan(s, v, 4, allow), want, filtered ? "filtered" : "unfiltered");
    }
}

TEST_P(ScanAtLevel, BatchOffersWhatEachQueryOffers) {
    // 5000 rows span several runs of blocks; queries include a NaN one, which has no tables.
    const auto [level, layout, metric] = GetParam();
    const RowLayout l = row_layout(layout);
    const Data d = make_data(l, 5000, 11);
    std::vector<std::vector<float>> qs = {d.q, make_data(l, 1, 12).q, make_data(l, 1, 13).q};
    qs[2][7] = kNaN;
    std::vector<QueryScorer> scorers;
    for (const auto& q : qs) scorers.emplace_back(q.data(), l, metric, simd::kernels_for(level));
    const BlockStore store = BlockStore::adopt(l.row_bytes, d.codes, d.ids, d.norms);
    const auto allow = d.allowlist();
    for (std::uint64_t k : {1u, 10u, 5000u}) {
        for (bool filtered : {false, true}) {
            const auto list = filtered ? std::optional(std::span<const VectorId>(allow)) : std::nullopt;
            const auto got = brute_force_search_batch(scorers, store.blocks(), k, list);
            for (std::size_t i = 0; i < qs.size(); ++i) {
                expect_same_hits(got[i], brute_force_search(scorers[i], store.blocks(), k, list),
                                 describe(5000, filtered, true, k) + " query " + std::to_string(i));
            }
        }
    }
}

TEST_P(ScanAtLevel, TwoStagesOfferWhatEachRowOffers) {
    // Rows long enough for a first stage, norms that are the codes' own, and a query close
    // to a row repeated through the set: most blocks stop after the first stage.
    const auto [level, layout, metric] = GetParam();
    const RowLayout l = RowLayout::of(512, layout == Layout::Pure4 ? 512 : layout == Layout::Pure2 ? 0 : 256);
    Data d = make_data(l, 1000, 21);
    for (std::size_t i = 0; i < 1000; i += 97) std::copy_n(&d.codes[0], l.row_bytes, &d.codes[i * l.row_bytes]);
    for (std::size_t i = 0; i < 1000; ++i) d.norms[i] = code_norm(l, &d.codes[i * l.row_bytes]);
    for (std::size_t n = 0; n < l.padded_dim; ++n) {
        d.q[n] = n < l.n4_dims ? CENTROIDS_4BIT[(d.codes[n / 2] >> (4 * (n % 2))) & 15]
                               : CENTROIDS_2BIT[(d.codes[l.pb4 + (n - l.n4_dims) / 4] >> (2 * ((n - l.n4_dims) % 4))) & 3];
        d.q[n] += 0.3f * d.q[(n * 7) % l.padded_dim];
    }
    const QueryScorer s(d.q.data(), l, metric, simd::kernels_for(level));
    ASSERT_GT(ScanTables::build(s)->prefix(), 0u);
    BlockStore store = BlockStore::adopt(l.row_bytes, d.codes, d.ids, d.norms);
    store.set_norms_of_codes(true);
    const auto allow = d.allowlist();
    for (bool filtered : {false, true}) {
        const auto list = filtered ? std::optional(std::span<const VectorId>(allow)) : std::nullopt;
        const auto each = row_by_row(s, d.view(1000, true), filtered ? std::optional(allow) : std::nullopt);
        for (std::uint64_t k : {1u, 10u, 200u}) {
            const auto want = offered_one_by_one(each, k);
            expect_same_hits(brute_force_search(s, store.blocks(), k, list), want, describe(1000, filtered, true, k));
            // The same query twice in a batch: both through the shared first pass.
            const QueryScorer pair[2] = {s, s};
            for (const auto& got : brute_force_search_batch(pair, store.blocks(), k, list)) {
                expect_same_hits(got, want, describe(1000, filtered, true, k) + " batch");
            }
        }
    }
}

TEST(BlockStore, HoldsEveryRowInTheScanLayout) {
    // Rows pushed one by one and adopted at once give the same store: whole blocks with
    // byte b of row r at 32·b + r, the rest row-major, and every row back as it went in.
    std::mt19937 rng(5);
    for (std::size_t R : {1u, 3u, 17u, 64u}) {
        for (std::size_t n : {0u, 1u, 31u, 32u, 33u, 100u}) {
            std::vector<std::uint8_t> codes(n * R);
            for (auto& c : codes) c = static_cast<std::uint8_t>(rng());
            std::vector<VectorId> ids(n);
            std::iota(ids.begin(), ids.end(), VectorId{7});
            BlockStore pushed(R);
            pushed.reserve_more(n);
            for (std::size_t i = 0; i < n; ++i) pushed.push(ids[i], &codes[i * R], 1.0f);
            const BlockStore adopted = BlockStore::adopt(R, codes, ids, std::vector<float>(n, 1.0f));
            for (const BlockStore* s : std::initializer_list<const BlockStore*>{&pushed, &adopted}) {
                EXPECT_EQ(s->row_major(), codes) << "R " << R << " n " << n;
                const BlockView v = s->blocks();
                for (std::size_t i = 0; i < n; ++i) {
                    const std::uint8_t* want = &codes[i * R];
                    EXPECT_TRUE(std::equal(want, want + R, s->code(i).begin()));
                    for (std::size_t b = 0; b < R; ++b) {
                        const std::uint8_t got = i < v.blocks() * 32 ? v.block(i / 32)[b * 32 + i % 32] : v.codes[i * R + b];
                        ASSERT_EQ(got, want[b]) << "R " << R << " n " << n << " row " << i << " byte " << b;
                    }
                }
            }
            // Erasing rows leaves the store the survivors make, kept rows too, whether they
            // were owned or (a prefix) borrowed.
            for (bool borrowed : {false, true}) {
                auto kept = std::make_shared<std::vector<std::uint8_t>>(n * 2);
                for (auto& c : *kept) c = static_cast<std::uint8_t>(rng());
                BlockStore s = BlockStore::adopt(R, codes, ids, std::vector<float>(ids.begin(), ids.end()));
                if (borrowed) s.borrow_kept(2, kept->data(), kept);
                else s.adopt_kept(2, *kept);
                const std::size_t first = n == 0 ? 0 : rng() % n;
                std::vector<bool> drop(n);
                BlockStore want(R, 2);
                for (std::size_t i = 0; i < n; ++i) {
                    drop[i] = i >= first && rng() % 3 == 0;
                    if (!drop[i]) want.push(ids[i], &codes[i * R], static_cast<float>(ids[i]), &(*kept)[2 * i]);
                }
                const std::size_t gone = s.erase_rows(first, [&](std::size_t i) { return static_cast<bool>(drop[i]); });
                EXPECT_EQ(gone, n - want.size());
                EXPECT_EQ(s.row_major(), want.row_major()) << "R " << R << " n " << n << " first " << first;
                EXPECT_TRUE(std::ranges::equal(s.ids(), want.ids()));
                EXPECT_TRUE(std::ranges::equal(s.norms(), want.norms()));
                EXPECT_EQ(s.kept().copy(), want.kept().copy());
            }
        }
    }
}
