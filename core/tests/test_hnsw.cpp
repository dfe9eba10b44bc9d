#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/construct.h"
#include "engine/engine.h"
#include "engine/inspect.h"
#include "index/hnsw.h"
#include "io/krvn.h"
#include "simd/float_dots.h"
#include "simd/kernels.h"

using namespace korvane;

namespace {

struct Link {
    std::uint32_t node;
    float score;
    bool operator==(const Link&) const = default;
};

void PrintTo(const Link& l, std::ostream* os) { *os << "{" << l.node << ", " << l.score << "}"; }

using Vectors = std::vector<std::vector<float>>;

// A graph of vectors inserted by hand: codes and norms are placeholders (construction
// never reads them), the vectors are exactly the floats given.
HnswIndex empty_graph(Metric metric, std::uint64_t m, std::uint64_t dim, std::uint64_t ef_construction = 1000) {
    EngineConfig c;
    c.dim = dim;
    c.metric = metric;
    c.index_type = IndexType::Hnsw;
    c.hnsw_m = m;
    c.hnsw_ef_construction = ef_construction;
    return HnswIndex::empty(c, 1, dim);
}

void insert_all(HnswIndex& g, const Vectors& xs) {
    for (const auto& x : xs) {
        const std::uint8_t code = 0;
        hnsw_insert(g, &code, 1.0f, 1000 + g.size(), x.data());
    }
}

// A graph with no nodes whose construction vectors are `xs`: enough for the selection.
HnswIndex with_vectors(Metric metric, const Vectors& xs) {
    HnswIndex g = empty_graph(metric, 2, xs[0].size());
    for (const auto& x : xs) {
        g.construction_vectors.insert(g.construction_vectors.end(), x.begin(), x.end());
        g.sqnorms.push_back(simd::dot_sequential(x.data(), x.data(), x.size()));
    }
    return g;
}

std::vector<Link> links(const HnswIndex& g, std::uint32_t node, std::uint64_t layer) {
    const std::span<const std::uint32_t> nb = g.neighbours(node, layer);
    const float* scores = layer == 0 ? g.scores0.data() + node * g.stride0
                                     : g.scores_up.data() + (g.upper_at[node] + layer - 1) * g.stride_up;
    std::vector<Link> out;
    for (std::size_t i = 0; i < nb.size(); ++i) out.push_back({nb[i], scores[i]});
    return out;
}

const float* vec_of(const HnswIndex& g, std::uint32_t node) {
    return g.construction_vectors.data() + std::size_t{node} * g.padded_dim;
}

float dot(const HnswIndex& g, std::uint32_t a, std::uint32_t b) {
    return simd::dot_sequential(vec_of(g, a), vec_of(g, b), g.padded_dim);
}

// dot(a, b) minus half of b's squared norm: b is the node being scored.
float l2_score(const HnswIndex& g, std::uint32_t a, std::uint32_t b) { return dot(g, a, b) - 0.5f * dot(g, b, b); }

Vectors random_vectors(std::size_t n, std::size_t dim, unsigned seed, bool varied_norms = false) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<float> scale(0.5f, 3.0f);
    Vectors xs(n, std::vector<float>(dim));
    for (auto& x : xs) {
        const float s = varied_norms ? scale(rng) : 1.0f;
        for (auto& v : x) v = s * normal(rng);
    }
    return xs;
}

// Points around a few centres: dense neighbourhoods that fill lists and force cuts.
Vectors clustered_vectors(std::size_t n, std::size_t dim, std::size_t centres, unsigned seed, float spread = 0.1f) {
    const Vectors c = random_vectors(centres, dim, seed + 1000);
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, spread);
    Vectors xs(n, std::vector<float>(dim));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t d = 0; d < dim; ++d) xs[i][d] = c[i % centres][d] + normal(rng);
    return xs;
}

Engine make_engine(Metric metric, std::uint64_t dim, std::uint64_t m, std::uint64_t ef_construction) {
    ConstructorArgs a;
    a.dim = dim;
    a.metric = metric;
    a.index_type = IndexType::Hnsw;
    a.hnsw_m = m;
    a.hnsw_ef_construction = ef_construction;
    return Engine::create(make_config(a, *padded_dim_for(dim))).value();
}

std::vector<float> flatten(const Vectors& xs) {
    std::vector<float> out;
    for (const auto& x : xs) out.insert(out.end(), x.begin(), x.end());
    return out;
}

std::vector<VectorId> iota_ids(std::size_t n, VectorId first) {
    std::vector<VectorId> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = first + i;
    return ids;
}

// A test name: a prefix and a number.
std::string name_with(const char* prefix, std::uint64_t n) {
    std::string s = prefix;
    s += std::to_string(n);
    return s;
}

// Marks a seeded random share of the nodes, and the entry point when asked.
void mark_share(HnswIndex& g, double share, unsigned seed, bool entry = false) {
    std::vector<std::uint32_t> order(g.size());
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    order.resize(static_cast<std::size_t>(share * static_cast<double>(g.size())));
    if (entry) order.push_back(*g.entry_point);
    for (std::uint32_t n : order) hnsw_mark_deleted(g, n);
}

std::vector<SearchHit> search_graph(const HnswIndex& g, const Engine& e, const std::vector<float>& raw, std::uint64_t k,
                                    bool reference = false) {
    const std::vector<float> q = e.quantizer().transform_query(raw);
    return hnsw_search(g, QueryScorer(q.data(), e.quantizer().row_layout(), e.config().metric), k, std::nullopt, reference);
}

// An engine like e, of another type, holding `xs` under `ids`.
Engine like(const Engine& e, IndexType type, const std::vector<VectorId>& ids, const Vectors& xs) {
    EngineConfig c = e.config();
    c.index_type = type;
    Engine out = Engine::create(c).value();
    EXPECT_TRUE(out.add(ids, flatten(xs)).ok());
    return out;
}

io::IndexParts parts_of(const Engine& e, const HnswIndex& g, bool checksum) {
    static const BlockStore none(1);
    return {&e.config(), &e.quantizer(), &none, nullptr, &g, nullptr, std::nullopt, std::nullopt, 0.0, checksum, false, std::nullopt};
}

// The deleted-nodes section as written: tag, version, count, node numbers.
std::vector<std::uint8_t> deleted_section(std::uint32_t version, std::uint64_t count, std::vector<std::uint32_t> nodes) {
    std::vector<std::uint8_t> out = {'K', 'D', 'E', 'L'};
    const auto put = [&](const void* p, std::size_t n) {
        out.insert(out.end(), static_cast<const std::uint8_t*>(p), static_cast<const std::uint8_t*>(p) + n);
    };
    put(&version, 4);
    put(&count, 8);
    put(nodes.data(), 4 * nodes.size());
    return out;
}

}  // namespace

// ---- neighbour selection ----------------------------------------------------------------

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct SelectCase {
    const char* name;
    Metric metric;
    Vectors vectors;  // node 0 is the base
    std::vector<ScoredNode> candidates;
    std::uint64_t max_keep;
    std::vector<std::uint32_t> kept;
};

class HnswSelect : public ::testing::TestWithParam<SelectCase> {};

}  // namespace

TEST_P(HnswSelect, KeepsTheDiverseCandidatesInOrder) {
    const SelectCase& c = GetParam();
    const HnswIndex g = with_vectors(c.metric, c.vectors);
    const std::vector<ScoredNode> got = select_neighbours(g, 0, c.candidates, c.max_keep);
    std::vector<std::uint32_t> nodes;
    for (const ScoredNode& s : got) {
        nodes.push_back(s.node);
        // A kept candidate carries the score it came with.
        const auto in = std::find_if(c.candidates.begin(), c.candidates.end(),
                                     [&](const ScoredNode& x) { return x.node == s.node; });
        ASSERT_NE(in, c.candidates.end());
        EXPECT_EQ(std::bit_cast<std::uint32_t>(s.score), std::bit_cast<std::uint32_t>(in->score));
    }
    EXPECT_EQ(nodes, c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HnswSelect,
    ::testing::Values(
        // Base (1,0). Node 2 scores 1.9 against the kept node 1 and only 0.9 against the
        // base: dropped. Node 3 scores 0 against node 1, 1 against the base: kept, and the
        // dropped node does not use up a place.
        SelectCase{"closer_to_a_kept_node_is_dropped", Metric::Dot,
                   {{1, 0}, {1, 1}, {0.9f, 1}, {1, -1}}, {{1, 1}, {0.9f, 2}, {1, 3}}, 2, {1, 3}},
        SelectCase{"same_under_cosine", Metric::Cosine,
                   {{1, 0}, {1, 1}, {0.9f, 1}, {1, -1}}, {{1, 1}, {0.9f, 2}, {1, 3}}, 2, {1, 3}},
        // Node 2 scores 2 against node 1 and 2 against the base: only a strictly higher
        // score drops a candidate.
        SelectCase{"equal_to_the_base_score_is_kept", Metric::Dot,
                   {{1, 0}, {1, 1}, {2, 0}}, {{1, 1}, {1, 2}}, 4, {1, 2}},
        // Three orthogonal candidates with equal scores: all kept, in the order given.
        SelectCase{"equal_scores_keep_candidate_order", Metric::Dot,
                   {{1, 1, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {{1, 3}, {1, 1}, {1, 2}}, 4, {3, 1, 2}},
        SelectCase{"stops_at_max_keep", Metric::Dot,
                   {{1, 1, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {{1, 3}, {1, 1}, {1, 2}}, 2, {3, 1}},
        SelectCase{"max_keep_zero_keeps_nothing", Metric::Dot,
                   {{1, 1, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {{1, 3}, {1, 1}, {1, 2}}, 0, {}},
        // L2, base at the origin: node 2 = (0.4, 2) is nearer the base (distance² 4.16) than
        // node 1 = (1, 0) (4.36), so it is kept: 0.4 - 0.5 against 0 - 0. Plain dot products
        // (or the candidate's own norm on both sides) would give 0.4 > 0 and drop it.
        SelectCase{"l2_uses_the_scored_node_norm_keep", Metric::L2,
                   {{0, 0}, {1, 0}, {0.4f, 2}}, {{-0.5f, 1}, {-2.08f, 2}}, 4, {1, 2}},
        // L2, base (4, 0): node 2 = (1, 1) is nearer node 1 = (1, 0) than the base, so it is
        // dropped: 1 - 0.5 > 4 - 8. Plain dot products would give 1 < 4 and keep it.
        SelectCase{"l2_uses_the_scored_node_norm_drop", Metric::L2,
                   {{4, 0}, {1, 0}, {1, 1}}, {{3.5f, 1}, {3, 2}}, 4, {1}},
        // A NaN base: every score against it is the lowest, so node 2 (0 against node 1)
        // is dropped, while the NaN node 3 (NaN against node 1, the lowest too) is kept.
        SelectCase{"a_nan_score_is_the_lowest", Metric::Dot,
                   {{kNaN, kNaN}, {1, 0}, {0, 1}, {kNaN, kNaN}}, {{-kInf, 1}, {-kInf, 2}, {-kInf, 3}}, 4, {1, 3}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- level draw ---------------------------------------------------------------------------

namespace {

struct LevelCase {
    std::uint64_t m;
    std::vector<std::uint64_t> first_of_level;  // [L - 1]: the first node of level L
};

class HnswLevels : public ::testing::TestWithParam<LevelCase> {};

}  // namespace

TEST_P(HnswLevels, FirstNodeOfEachLevel) {
    const LevelCase& c = GetParam();
    const double mult = 1.0 / std::log(static_cast<double>(c.m));
    const std::uint64_t last = c.first_of_level.back();
    std::vector<std::uint64_t> first;  // first node whose level is at least L
    for (std::uint64_t n = 0; n <= last; ++n) {
        const std::uint64_t level = draw_level(n, mult);
        while (first.size() < level) first.push_back(n);
    }
    ASSERT_EQ(first, c.first_of_level);
    for (std::uint64_t l = 0; l < first.size(); ++l) EXPECT_EQ(draw_level(first[l], mult), l + 1) << "level " << l + 1;
}

INSTANTIATE_TEST_SUITE_P(Ms, HnswLevels,
                         ::testing::Values(LevelCase{32, {22, 3535, 22877}}, LevelCase{16, {22, 164, 3535, 22877}}),
                         [](const auto& info) { return name_with("m", info.param.m); });

TEST(HnswLevels, Saturates) {
    EXPECT_EQ(draw_level(0, 1e300), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(draw_level(0, 0.0), 0u);
    EXPECT_EQ(draw_level(0, -1.0), 0u);
}

// ---- graph invariants -----------------------------------------------------------------------

namespace {

class HnswCaps : public ::testing::TestWithParam<std::uint64_t> {};

}  // namespace

TEST_P(HnswCaps, ListsStayWithinTheirCapsAndLinkValidNodes) {
    const std::uint64_t m = GetParam();
    HnswIndex g = empty_graph(Metric::L2, m, 8, 40);
    insert_all(g, clustered_vectors(1200, 8, 6, 5));
    std::size_t full0 = 0, full_up = 0;
    for (std::uint32_t n = 0; n < g.size(); ++n) {
        EXPECT_EQ(g.levels[n], draw_level(n, g.level_mult));
        for (std::uint64_t layer = 0; layer <= g.levels[n]; ++layer) {
            const auto list = g.neighbours(n, layer);
            ASSERT_LE(list.size(), layer == 0 ? 2 * m : m) << "node " << n << " layer " << layer;
            (layer == 0 ? full0 : full_up) += list.size() == g.cap(layer);
            std::vector<std::uint32_t> sorted(list.begin(), list.end());
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "duplicate in " << n;
            for (std::uint32_t nb : list) {
                ASSERT_LT(nb, g.size());
                EXPECT_NE(nb, n);
                EXPECT_GE(g.levels[nb], layer);
            }
        }
    }
    // The bound was reached, so lists were cut.
    EXPECT_GT(full0, 0u);
    EXPECT_GT(full_up, 0u);
}

INSTANTIATE_TEST_SUITE_P(Ms, HnswCaps, ::testing::Values(2, 3, 8));

TEST(HnswEntry, PromotedOnlyByAStrictlyHigherLevel) {
    // With m = 4 the levels start 0 0 1 0 0 1: node 2 takes over from node 0, node 5 (same
    // level as the entry) does not.
    HnswIndex g = empty_graph(Metric::Cosine, 4, 4, 20);
    const Vectors xs = random_vectors(3000, 4, 9);
    std::uint32_t expected_entry = 0;
    std::uint64_t expected_max = 0;
    int promotions = 0, equal_levels = 0;
    for (std::uint32_t n = 0; n < xs.size(); ++n) {
        insert_all(g, {xs[n]});
        const std::uint64_t level = g.levels[n];
        if (n == 0 || level > expected_max) {
            promotions += n > 0;
            expected_entry = n;
            expected_max = level;
        } else if (level == expected_max) {
            ++equal_levels;
        }
        ASSERT_EQ(g.entry_point, expected_entry) << "after node " << n;
        ASSERT_EQ(g.max_level, expected_max) << "after node " << n;
    }
    EXPECT_GE(promotions, 3);
    EXPECT_GE(equal_levels, 3);
}

TEST(HnswEntry, FirstNodeNeedsNoSearch) {
    HnswIndex g = empty_graph(Metric::L2, 2, 2);
    EXPECT_FALSE(g.entry_point.has_value());
    insert_all(g, {{3, 4}});
    EXPECT_EQ(g.entry_point, 0u);
    EXPECT_EQ(g.max_level, 1u);  // draw_level(0) with m = 2
    EXPECT_TRUE(links(g, 0, 0).empty() && links(g, 0, 1).empty());
}

TEST(HnswGraph, AnEqualVectorLinksToItsTwinWithoutHidingOthers) {
    // Node 3 repeats node 0. Its selection keeps the twin first; nodes 1 and 2 score the
    // same against the twin as against node 3, so the twin drops neither. m = 2 gives the
    // levels 1 0 3 1: layers 0 and 1 both hold node 3.
    HnswIndex g = empty_graph(Metric::Dot, 2, 3);
    insert_all(g, {{1, 0, 0}, {0.5f, 1, 0}, {0.25f, 0, 1}, {1, 0, 0}});
    EXPECT_EQ(links(g, 3, 0), (std::vector<Link>{{0, 1}, {1, 0.5f}, {2, 0.25f}}));
    EXPECT_EQ(links(g, 3, 1), (std::vector<Link>{{0, 1}, {2, 0.25f}}));
    for (std::uint64_t layer : {0, 1}) {
        const auto twin = links(g, 0, layer);
        EXPECT_NE(std::find(twin.begin(), twin.end(), Link{3, 1}), twin.end()) << "layer " << layer;
    }
}

// Points on a line under L2, m = 2 (caps 4 and 2, levels 1 0 3 1 0 2). A selection keeps
// the nearest point on either side: a farther point on the same side is nearer to that
// one than to the owner. A link score is x_new·x_t − x_t²/2 for the pair that made it.
TEST(HnswGraph, SmallLineGraphMatchesTheHandComputedLinks) {
    HnswIndex g = empty_graph(Metric::L2, 2, 2);
    const float xs[] = {0, 10, 4, 1, 3, 6};
    for (float x : xs) insert_all(g, {{x, 0}});
    ASSERT_EQ(g.size(), 6u);
    EXPECT_EQ(g.levels, (std::vector<std::uint8_t>{1, 0, 3, 1, 0, 2}));
    EXPECT_EQ(g.entry_point, 2u);
    EXPECT_EQ(g.max_level, 3u);
    using L = std::vector<Link>;
    // Layer 0. Node 2 (x = 4) overflowed when node 5 came: [0 1 3 4] + 5 were cut to the
    // nearest on each side, nodes 5 (x = 6) and 4 (x = 3). Back-link scores are the new
    // node's: node 3's link to node 4 holds 3·1 − 1/2 = 2.5.
    EXPECT_EQ(links(g, 0, 0), (L{{1, 0}, {2, 0}, {3, 0}}));
    EXPECT_EQ(links(g, 1, 0), (L{{0, 0}, {2, -10}, {5, 10}}));
    EXPECT_EQ(links(g, 2, 0), (L{{5, 16}, {4, 4}}));
    EXPECT_EQ(links(g, 3, 0), (L{{0, 0}, {2, -4}, {4, 2.5f}}));
    EXPECT_EQ(links(g, 4, 0), (L{{2, 4}, {3, 2.5f}}));
    EXPECT_EQ(links(g, 5, 0), (L{{2, 16}, {1, 10}}));
    // Layer 1 (nodes 0, 2, 3, 5): node 2's full list [0 3] took node 5 and kept 5 and 0.
    EXPECT_EQ(links(g, 0, 1), (L{{2, 0}, {3, 0}}));
    EXPECT_EQ(links(g, 2, 1), (L{{5, 16}, {0, 0}}));
    EXPECT_EQ(links(g, 3, 1), (L{{0, 0}, {2, -4}}));
    EXPECT_EQ(links(g, 5, 1), (L{{2, 16}}));
    // Layers 2 and 3: node 2's layer-3 list stays empty (no other node reaches it).
    EXPECT_EQ(links(g, 2, 2), (L{{5, 16}}));
    EXPECT_EQ(links(g, 5, 2), (L{{2, 16}}));
    EXPECT_EQ(links(g, 2, 3), L{});
}

namespace {

// A plain model of insertion, search included: the beam search as a list scan (the
// candidate with the highest score, then the larger node, comes out first), the
// selection as a double loop.
struct ReferenceGraph {
    Metric metric;
    std::uint64_t m;
    std::uint64_t ef_construction;
    double level_mult;
    Vectors x;
    std::vector<std::uint64_t> level;
    std::vector<std::vector<std::vector<Link>>> lists;  // [node][layer]
    std::uint32_t entry = 0;
    std::uint64_t top = 0;

    float score(std::uint32_t q, std::uint32_t t) const {
        const std::size_t dim = x[q].size();
        float s = simd::dot_sequential(x[q].data(), x[t].data(), dim);
        if (metric == Metric::L2) s -= 0.5f * simd::dot_sequential(x[t].data(), x[t].data(), dim);
        return s;
    }
    static void sort_desc(std::vector<Link>& l) {
        std::stable_sort(l.begin(), l.end(), [](const Link& a, const Link& b) { return a.score > b.score; });
    }
    std::vector<Link> search(std::uint32_t q, std::uint32_t ep, std::uint64_t ef, std::uint64_t layer) const {
        std::vector<bool> seen(x.size());
        seen[ep] = true;
        std::vector<Link> heap{{ep, score(q, ep)}}, w = heap;
        for (std::uint64_t popped = 1; !heap.empty(); ++popped) {
            auto best = heap.begin();
            for (auto it = heap.begin(); it != heap.end(); ++it)
                if (it->score > best->score || (it->score == best->score && it->node > best->node)) best = it;
            const Link c = *best;
            heap.erase(best);
            float worst = std::numeric_limits<float>::infinity();
            for (const Link& e : w) worst = std::min(worst, e.score);
            if (worst > c.score && popped > ef) break;
            if (level[c.node] < layer) continue;
            for (const Link& nb : lists[c.node][layer]) {
                if (seen[nb.node]) continue;
                seen[nb.node] = true;
                const Link e{nb.node, score(q, nb.node)};
                heap.push_back(e);
                if (w.size() < ef) {
                    w.push_back(e);
                } else if (e.score > worst) {
                    w.push_back(e);
                    sort_desc(w);
                    w.resize(ef);
                }
            }
        }
        sort_desc(w);
        return w;
    }
    std::vector<Link> select(std::uint32_t base, const std::vector<Link>& c, std::size_t cap) const {
        std::vector<Link> kept;
        for (const Link& e : c) {
            if (kept.size() == cap) break;
            bool keep = true;
            for (const Link& r : kept) keep = keep && !(score(e.node, r.node) > score(e.node, base));
            if (keep) kept.push_back(e);
        }
        return kept;
    }
    void insert(const std::vector<float>& v) {
        const auto n = static_cast<std::uint32_t>(x.size());
        const std::uint64_t lv = draw_level(n, level_mult);
        x.push_back(v);
        level.push_back(lv);
        lists.emplace_back(lv + 1);
        if (n == 0) {
            top = lv;
            return;
        }
        std::uint32_t ep = entry;
        for (std::uint64_t lc = top; lc > lv; --lc) ep = search(n, ep, 1, lc)[0].node;
        for (std::uint64_t lc = std::min(top, lv) + 1; lc-- > 0;) {
            const std::size_t cap = lc == 0 ? 2 * m : m;
            const std::vector<Link> w = search(n, ep, ef_construction, lc);
            lists[n][lc] = select(n, w, cap);
            for (const Link& t : lists[n][lc]) {
                std::vector<Link>& l = lists[t.node][lc];
                if (std::any_of(l.begin(), l.end(), [&](const Link& e) { return e.node == n; })) continue;
                l.push_back({n, t.score});
                if (l.size() > cap) {
                    sort_desc(l);
                    l = select(t.node, l, cap);
                }
            }
            ep = w[0].node;
        }
        if (lv > top) {
            entry = n;
            top = lv;
        }
    }
};

// Small integer coordinates: exact arithmetic, repeated points and many equal scores, so
// that every tie rule (heap order, stable sorts, the strict comparison) shows.
Vectors grid_vectors(std::size_t n, std::size_t dim, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> coord(-2, 2);
    Vectors xs(n, std::vector<float>(dim));
    for (auto& x : xs)
        for (auto& v : x) v = static_cast<float>(coord(rng));
    return xs;
}

// Wide rows, half of them an earlier row scaled (by 0.7, 3 or 1 + 2^-23) with a few
// coordinates moved by an ulp: long sums whose last bits decide between near-equal scores.
Vectors near_vectors(std::size_t n, std::size_t dim, unsigned seed) {
    Vectors xs = random_vectors(n, dim, seed);
    std::mt19937 rng(seed);
    const float scales[] = {1.0f, 0.7f, 3.0f, 1.0f + 0x1.0p-23f};
    for (std::size_t i = 1; i < n; i += 2) {
        const std::vector<float>& from = xs[rng() % i];
        for (std::size_t d = 0; d < dim; ++d) xs[i][d] = from[d] * scales[rng() % 4];
        for (int k = 0; k < 3; ++k) {
            float& v = xs[i][rng() % dim];
            v = std::nextafter(v, rng() % 2 ? kInf : -kInf);
        }
    }
    return xs;
}

// Half the rows: a coordinate 1, the others so small that each product rounds away
// against it in the in-order sum, which their fast sums keep. The other half: 1 + 2^-23 k
// alone, in between. The two orders disagree at every comparison of the two kinds.
Vectors drift_vectors(std::size_t n, std::size_t dim, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> spread(0.67f, 0.97f);  // products 0.45u to 0.95u
    Vectors xs(n, std::vector<float>(dim, 0.0f));
    for (std::size_t i = 0; i < n; ++i) {
        xs[i][0] = i % 2 ? 1.0f + 0x1.0p-23f * static_cast<float>(rng() % 30 + 1) : 1.0f;
        for (std::size_t d = 1; d < dim && i % 2 == 0; ++d) xs[i][d] = 0x1.0p-12f * spread(rng);
    }
    return xs;
}

enum class Data { kClustered, kGrid, kNear, kDrift };
const char* const kDataNames[] = {"_clustered", "_grid", "_near", "_drift"};

struct ReferenceCase {
    Metric metric;
    std::uint64_t ef_construction;
    Data data;
    unsigned seed;
};

class HnswReference : public ::testing::TestWithParam<ReferenceCase> {};

}  // namespace

TEST_P(HnswReference, GraphsMatchAPlainModel) {
    const auto [metric, ef_construction, data, seed] = GetParam();
    const Vectors xs = data == Data::kGrid    ? grid_vectors(60, 3, seed)
                       : data == Data::kNear  ? near_vectors(160, 96, seed)
                       : data == Data::kDrift ? drift_vectors(120, 96, seed)
                                              : clustered_vectors(60, 4, 4, seed);
    const std::uint64_t m = data == Data::kNear || data == Data::kDrift ? 4 : 2;
    HnswIndex g = empty_graph(metric, m, xs[0].size(), ef_construction);
    ReferenceGraph ref{metric, m, ef_construction, g.level_mult, {}, {}, {}};
    for (const auto& v : xs) {
        insert_all(g, {v});
        ref.insert(v);
    }
    EXPECT_EQ(g.entry_point, ref.entry);
    EXPECT_EQ(g.max_level, ref.top);
    int cuts = 0;  // lists that lost a back-link: the model must have cut some
    for (std::uint32_t n = 0; n < xs.size(); ++n) {
        ASSERT_EQ(g.levels[n], ref.level[n]);
        for (std::uint64_t layer = 0; layer <= ref.level[n]; ++layer) {
            EXPECT_EQ(links(g, n, layer), ref.lists[n][layer]) << "node " << n << " layer " << layer;
            for (std::uint32_t later = n + 1; later < xs.size(); ++later) {
                const auto& own = ref.lists[later];
                const bool chose_n = layer < own.size() && std::any_of(own[layer].begin(), own[layer].end(),
                                                                       [&](const Link& e) { return e.node == n; });
                const auto& mine = ref.lists[n][layer];
                cuts += chose_n && std::none_of(mine.begin(), mine.end(), [&](const Link& e) { return e.node == later; });
            }
        }
    }
    EXPECT_GT(cuts, 0);
}

namespace {

std::vector<ReferenceCase> reference_cases() {
    std::vector<ReferenceCase> out;
    for (Metric metric : {Metric::Dot, Metric::L2})
        for (std::uint64_t ef : {3, 1000})
            for (Data data : {Data::kClustered, Data::kGrid, Data::kNear, Data::kDrift})
                for (unsigned seed : {1u, 2u, 3u}) out.push_back({metric, ef, data, seed});
    return out;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Cases, HnswReference, ::testing::ValuesIn(reference_cases()), [](const auto& info) {
    const ReferenceCase& c = info.param;
    std::string s = c.metric == Metric::L2 ? "l2" : "dot";
    s += kDataNames[static_cast<int>(c.data)];
    s += name_with("_ef", c.ef_construction);
    return s + name_with("_seed", c.seed);
});

TEST(HnswGraph, L2LinkScoresSubtractTheScoredNodesNorm) {
    // Every link is scored when the later of its two nodes is inserted, with that node as
    // the query: the half squared norm subtracted is the earlier node's. A forward link
    // n -> t and the back-link t -> n therefore hold the same score.
    HnswIndex g = empty_graph(Metric::L2, 4, 8, 64);
    insert_all(g, random_vectors(300, 8, 17, true));
    std::size_t checked = 0, mutual = 0;
    for (std::uint32_t owner = 0; owner < g.size(); ++owner) {
        for (std::uint64_t layer = 0; layer <= g.levels[owner]; ++layer) {
            for (const Link& l : links(g, owner, layer)) {
                const std::uint32_t later = std::max(owner, l.node), earlier = std::min(owner, l.node);
                ASSERT_EQ(std::bit_cast<std::uint32_t>(l.score), std::bit_cast<std::uint32_t>(l2_score(g, later, earlier)))
                    << owner << " -> " << l.node << " on layer " << layer;
                ++checked;
                for (const Link& back : links(g, l.node, layer)) {
                    if (back.node != owner) continue;
                    EXPECT_EQ(back.score, l.score);
                    ++mutual;
                }
            }
        }
    }
    EXPECT_GT(checked, 1000u);
    EXPECT_GT(mutual, 100u);
}

TEST(HnswGraph, TwoAddsBuildTheSameGraphAsOne) {
    const Vectors xs = clustered_vectors(20, 16, 3, 4);
    const std::vector<float> flat = flatten(xs);
    auto one = make_engine(Metric::L2, 16, 2, 8);
    auto two = make_engine(Metric::L2, 16, 2, 8);
    ASSERT_TRUE(one.add(iota_ids(20, 0), flat).ok());
    ASSERT_TRUE(two.add(iota_ids(10, 0), std::span(flat).first(160)).ok());
    ASSERT_TRUE(two.add(iota_ids(10, 10), std::span(flat).subspan(160)).ok());
    const HnswIndex& a = *graph_of(one.structure());
    const HnswIndex& b = *graph_of(two.structure());
    EXPECT_EQ(a.entry_point, b.entry_point);
    EXPECT_EQ(a.max_level, b.max_level);
    EXPECT_EQ(a.count0, b.count0);
    EXPECT_EQ(a.links0, b.links0);
    EXPECT_EQ(a.scores0, b.scores0);
    EXPECT_EQ(a.count_up, b.count_up);
    EXPECT_EQ(a.links_up, b.links_up);
    EXPECT_EQ(a.scores_up, b.scores_up);
}

// ---- add after build --------------------------------------------------------------------------

TEST(HnswGraph, BuildReleasesConstructionDataAndALaterAddRestoresIt) {
    const std::uint64_t dim = 16;
    auto e = make_engine(Metric::L2, dim, 4, 32);
    const Vectors xs = random_vectors(151, dim, 23, true);
    const std::vector<float> flat = flatten(Vectors(xs.begin(), xs.end() - 1));
    ASSERT_TRUE(e.add(iota_ids(150, 0), flat).ok());
    const HnswIndex before = *graph_of(e.structure());
    std::vector<std::vector<SearchHit>> answers;
    for (int q = 0; q < 10; ++q) answers.push_back(e.search(xs[q * 7], 10, std::nullopt).value());

    ASSERT_TRUE(e.build().ok());
    const HnswIndex& g = *graph_of(e.structure());
    EXPECT_TRUE(g.construction_vectors.empty());
    EXPECT_TRUE(g.sqnorms.empty());
    EXPECT_FALSE(g.link_scores_valid);
    EXPECT_TRUE(std::all_of(g.scores0.begin(), g.scores0.end(), [](float s) { return s == 0.0f; }));
    EXPECT_TRUE(std::all_of(g.scores_up.begin(), g.scores_up.end(), [](float s) { return s == 0.0f; }));
    EXPECT_EQ(g.links0, before.links0);
    EXPECT_EQ(g.count0, before.count0);
    EXPECT_EQ(g.links_up, before.links_up);
    EXPECT_EQ(g.count_up, before.count_up);
    // Search reads codes only.
    for (int q = 0; q < 10; ++q) {
        const auto hits = e.search(xs[q * 7], 10, std::nullopt).value();
        ASSERT_EQ(hits.size(), answers[q].size());
        for (std::size_t i = 0; i < hits.size(); ++i) {
            EXPECT_EQ(hits[i].id, answers[q][i].id);
            EXPECT_EQ(hits[i].score, answers[q][i].score);
        }
    }

    ASSERT_TRUE(e.add(std::vector<VectorId>{150}, xs[150]).ok());
    ASSERT_EQ(g.size(), 151u);
    EXPECT_TRUE(g.link_scores_valid);
    ASSERT_EQ(g.construction_vectors.size(), 151 * g.padded_dim);
    // The old nodes stand for their decoded codes, the new one for its transformed vector.
    std::vector<float> decoded(g.padded_dim);
    for (std::uint32_t n = 0; n < 150; ++n) {
        e.quantizer().decode(g.nodes.row(n), decoded.data());
        ASSERT_EQ(std::memcmp(decoded.data(), vec_of(g, n), g.padded_dim * sizeof(float)), 0) << "node " << n;
    }
    const std::vector<float> t = e.quantizer().transform_query(xs[150]);
    EXPECT_EQ(std::memcmp(t.data(), vec_of(g, 150), g.padded_dim * sizeof(float)), 0);
    // Links among old nodes were rescored as construction_score(owner, neighbour); links that
    // involve the new node were scored with it as the query.
    std::size_t old_links = 0, new_links = 0;
    for (std::uint32_t owner = 0; owner < g.size(); ++owner) {
        for (std::uint64_t layer = 0; layer <= g.levels[owner]; ++layer) {
            for (const Link& l : links(g, owner, layer)) {
                const bool involves_new = owner == 150 || l.node == 150;
                const float want = involves_new ? l2_score(g, 150, owner == 150 ? l.node : owner) : l2_score(g, owner, l.node);
                ASSERT_EQ(l.score, want) << owner << " -> " << l.node << " on layer " << layer;
                ++(involves_new ? new_links : old_links);
            }
        }
    }
    EXPECT_GT(old_links, 500u);
    EXPECT_GT(new_links, 2u);
    // The new node is reachable, and a wide search finds what a scan of the codes finds.
    auto brute = Engine::create([&] {
                     EngineConfig c = e.config();
                     c.index_type = IndexType::BruteForce;
                     return c;
                 }())
                     .value();
    ASSERT_TRUE(brute.add(iota_ids(151, 0), flatten(xs)).ok());
    e.set_ef_search(151);
    const auto all = e.search(xs[150], 151, std::nullopt).value();
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const SearchHit& h) { return h.id == 150; }));
    const auto best = brute.search(xs[150], 1, std::nullopt).value();
    EXPECT_EQ(all[0].id, best[0].id);
    EXPECT_EQ(all[0].score, best[0].score);
}

// ---- search -------------------------------------------------------------------------------------

TEST(HnswSearch, HugeKAndEfAnswerWithEveryNode) {
    auto e = make_engine(Metric::Cosine, 8, 2, 16);
    const Vectors xs = random_vectors(30, 8, 31);
    ASSERT_TRUE(e.add(iota_ids(30, 0), flatten(xs)).ok());
    for (std::uint64_t ef : {std::uint64_t{0}, std::numeric_limits<std::uint64_t>::max()}) {
        e.set_ef_search(ef);
        for (std::uint64_t k : {std::uint64_t{30}, std::uint64_t{1} << 40, std::numeric_limits<std::uint64_t>::max()}) {
            const auto hits = e.search(xs[3], k, std::nullopt).value();
            ASSERT_EQ(hits.size(), 30u) << "ef " << ef << " k " << k;
            EXPECT_EQ(hits[0].id, 3u);
            for (std::size_t i = 1; i < hits.size(); ++i) EXPECT_GE(hits[i - 1].score, hits[i].score);
        }
    }
}

// With marks (a third of the nodes and the entry point) too: the quick search answers as the
// plain one, never with a deleted node, and with every live node it can reach up to k.
class HnswQuickSearch : public ::testing::TestWithParam<std::tuple<Metric, bool, bool>> {};

TEST_P(HnswQuickSearch, AnswersAsThePlainSearch) {
    const auto [metric, grid, marked] = GetParam();
    const std::uint64_t dim = 6;
    const Vectors xs = grid ? grid_vectors(500, dim, 3) : clustered_vectors(500, dim, 5, 3);
    auto e = make_engine(metric, dim, 3, 12);
    ASSERT_TRUE(e.add(iota_ids(500, 0), flatten(xs)).ok());
    HnswIndex g = *graph_of(e.structure());
    if (marked) mark_share(g, 0.33, 4, true);
    EXPECT_FALSE(hnsw_mark_deleted(g, 500) || (marked && hnsw_mark_deleted(g, *g.entry_point)));
    EXPECT_EQ(g.live_size(), 500 - static_cast<std::size_t>(std::count(g.deleted.begin(), g.deleted.end(), 1)));
    Vectors queries(xs.begin(), xs.begin() + 20);
    for (const auto& q : random_vectors(20, dim, 9, true)) queries.push_back(q);
    for (std::uint64_t ef : {1, 2, 7, 40}) {
        g.ef_search = ef;
        for (const auto& raw : queries) {
            const auto all = search_graph(*graph_of(e.structure()), e, raw, 600);  // every node reachable from the layer-0 start
            const auto live = std::count_if(all.begin(), all.end(), [&](const SearchHit& h) { return !g.is_deleted(h.row); });
            for (std::uint64_t k : {1, 5, 30, 600}) {
                const auto quick = search_graph(g, e, raw, k), plain = search_graph(g, e, raw, k, true);
                ASSERT_EQ(quick.size(), plain.size());
                ASSERT_EQ(quick.size(), std::min<std::size_t>(k, static_cast<std::size_t>(live))) << "ef " << ef << " k " << k;
                for (std::size_t i = 0; i < quick.size(); ++i) {
                    ASSERT_EQ(quick[i].id, plain[i].id) << "ef " << ef << " k " << k << " hit " << i;
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(quick[i].score), std::bit_cast<std::uint32_t>(plain[i].score));
                    ASSERT_FALSE(g.is_deleted(quick[i].row));
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HnswQuickSearch,
                         ::testing::Combine(::testing::Values(Metric::L2, Metric::Cosine, Metric::Dot), ::testing::Bool(),
                                            ::testing::Bool()));

// ---- float dot products --------------------------------------------------------------------

namespace {

class HnswManyDots : public ::testing::TestWithParam<std::size_t> {};

}  // namespace

TEST_P(HnswManyDots, Avx2EqualsScalarBitForBit) {
    if (!simd::level_supported(simd::Level::Avx2)) GTEST_SKIP() << "no AVX2 on this CPU";
    const std::size_t dim = GetParam();
    std::mt19937 rng(static_cast<unsigned>(dim));
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-20, 20);
    // Magnitudes spread over many binades, so that any change of summation order or a
    // fused multiply-add shows in the low bits.
    auto value = [&] { return std::ldexp(normal(rng), exponent(rng)); };
    std::vector<float> q(dim);
    for (auto& v : q) v = value();
    // Each vector in its own allocation of exactly dim floats.
    std::vector<std::vector<float>> vecs(40, std::vector<float>(dim));
    for (auto& x : vecs)
        for (auto& v : x) v = value();
    std::vector<const float*> ptrs;
    for (const auto& x : vecs) ptrs.push_back(x.data());
    for (std::size_t count = 1; count <= 40; ++count) {
        std::vector<float> a(count), b(count);
        simd::many_dots_scalar(q.data(), ptrs.data(), count, dim, a.data());
        simd::many_dots_avx2(q.data(), ptrs.data(), count, dim, b.data());
        for (std::size_t j = 0; j < count; ++j) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(a[j]), std::bit_cast<std::uint32_t>(b[j]))
                << "count " << count << " vector " << j;
            ASSERT_EQ(std::bit_cast<std::uint32_t>(a[j]),
                      std::bit_cast<std::uint32_t>(simd::dot_sequential(q.data(), ptrs[j], dim)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dims, HnswManyDots, ::testing::Values(1, 7, 8, 128, 1000),
                         [](const auto& info) { return name_with("dim", info.param); });

// ---- threaded insertion -----------------------------------------------------------------------

class HnswThreads : public ::testing::TestWithParam<Metric> {};

TEST_P(HnswThreads, OneThreadIsTheDesignedGraphAndMoreAreAllTheSameGraph) {
    const Vectors xs = clustered_vectors(700, 12, 5, 7);
    const std::vector<float> flat = flatten(xs);
    std::vector<float> norms(xs.size(), 1.0f);
    std::vector<VectorId> ids(xs.size());
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = 1000 + i;
    const std::vector<std::uint8_t> codes(xs.size(), 0);
    const auto build = [&](unsigned threads) {
        HnswIndex g = empty_graph(GetParam(), 4, 12, 24);
        Work work(threads);
        InsertRows rows{codes.data(), norms.data(), ids.data(), flat.data(), nullptr, 0, xs.size()};
        EXPECT_EQ(hnsw_insert_rows(g, rows, work), xs.size());
        EXPECT_EQ(work.done(), xs.size());
        return g;
    };
    HnswIndex designed = empty_graph(GetParam(), 4, 12, 24);
    insert_all(designed, xs);
    const HnswIndex one = build(1), two = build(2), four = build(4);
    const auto same = [](const HnswIndex& a, const HnswIndex& b) {
        return a.entry_point == b.entry_point && a.count0 == b.count0 && a.links0 == b.links0 &&
               a.scores0 == b.scores0 && a.count_up == b.count_up && a.links_up == b.links_up &&
               a.scores_up == b.scores_up;
    };
    EXPECT_TRUE(same(designed, one));
    EXPECT_TRUE(same(two, four));
    EXPECT_FALSE(same(one, two));  // batches do see a different graph
    for (std::uint32_t n = 0; n < two.size(); ++n) {
        for (std::uint64_t layer = 0; layer <= two.levels[n]; ++layer) {
            for (std::uint32_t nb : two.neighbours(n, layer)) {
                ASSERT_NE(nb, n);
                ASSERT_LT(nb, two.size());
                ASSERT_GE(two.levels[nb], layer);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Metrics, HnswThreads, ::testing::Values(Metric::L2, Metric::Cosine));

namespace {

struct FastKernel {
    const char* name;
    simd::Level level;
    simd::FastDots dots;
};
const FastKernel kFastKernels[] = {{"scalar", simd::Level::Scalar, simd::kFastDotsScalar},
                                   {"avx2", simd::Level::Avx2, simd::kFastDotsAvx2},
                                   {"avx512", simd::Level::Avx512, simd::kFastDotsAvx512}};

class FastDotBound : public ::testing::TestWithParam<FastKernel> {};

}  // namespace

TEST_P(FastDotBound, CoversTheDistanceToTheInOrderSum) {
    const FastKernel& k = GetParam();
    if (!simd::level_supported(k.level)) GTEST_SKIP() << k.name << " is not supported by this CPU";
    std::mt19937 rng(7);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    double tightest = 0.0;  // the largest distance seen, as a share of its bound
    for (std::size_t dim : {1, 5, 16, 33, 128, 200, 768, 1000}) {
        const simd::DotErrorModel model = simd::fast_dot_error_model(dim, k.dots.partials);
        // Each kind makes one query and 12 vectors.
        for (int kind = 0; kind < 5; ++kind) {
            std::vector<float> q(dim);
            Vectors xs(12, std::vector<float>(dim));
            std::uniform_int_distribution<int> binade(kind == 1 ? -40 : -8, kind == 1 ? 40 : 8);
            for (std::size_t d = 0; d < dim; ++d) q[d] = std::ldexp(normal(rng), kind == 2 ? -70 : binade(rng));
            for (std::size_t i = 0; i < xs.size(); ++i) {
                for (std::size_t d = 0; d < dim; ++d) {
                    switch (kind) {
                        case 0: xs[i][d] = q[d] * (1.0f + 0.01f * normal(rng)); break;  // every product positive
                        case 1: xs[i][d] = std::ldexp(normal(rng), binade(rng)); break;  // 2^-40 to 2^40
                        case 2: xs[i][d] = std::ldexp(normal(rng), -80 + static_cast<int>(i)); break;  // underflow
                        case 3:  // products cancel in pairs, up to the noise
                            xs[i][d] = (d % 2 ? -1.0f : 1.0f) * q[std::min(d ^ 1, dim - 1)] * (1.0f + 1e-4f * normal(rng));
                            break;
                        default: break;
                    }
                }
                if (kind == 4) {
                    // One large product, then many that each round away in the in-order sum.
                    const float small = std::sqrt(0.75f * 0x1.0p-24f) * (i % 2 ? 1.0f : 0.5f);
                    std::fill(q.begin(), q.end(), small);
                    std::fill(xs[i].begin(), xs[i].end(), small);
                    q[0] = xs[i][0] = 1.0f;
                }
            }
            std::vector<const float*> ptrs;
            for (const auto& x : xs) ptrs.push_back(x.data());
            // (query, vector, fast dot product) from every grouping of both kernel forms.
            std::vector<std::tuple<const float*, const float*, float>> got;
            for (std::size_t i = 0; i < xs.size(); ++i) {
                float one, together[12];
                k.dots.dots(q.data(), ptrs.data() + i, 1, dim, &one);
                k.dots.dots(q.data(), ptrs.data(), i + 1, dim, together);
                ASSERT_EQ(std::bit_cast<std::uint32_t>(together[i]), std::bit_cast<std::uint32_t>(one));
                got.emplace_back(q.data(), ptrs[i], one);
            }
            const float* qs[4] = {q.data(), ptrs[0], ptrs[1], ptrs[2]};
            for (std::size_t nq = 1; nq <= 4; ++nq) {
                for (std::size_t nx = 1; nx <= 4; ++nx) {
                    float grid[16];
                    k.dots.grid(qs, nq, ptrs.data() + 8 - nx, nx, dim, grid);
                    for (std::size_t a = 0; a < nq * nx; ++a) got.emplace_back(qs[a / nx], ptrs[8 - nx + a % nx], grid[a]);
                }
            }
            for (const auto& [query, x, fast] : got) {
                const float in_order = simd::dot_sequential(query, x, dim);
                const float bound = model.slope(simd::dot_norms(query, dim)) * simd::dot_norms(x, dim).norm + model.floor;
                ASSERT_TRUE(std::isfinite(in_order) && std::isfinite(bound)) << "dim " << dim << " kind " << kind;
                const double gap = std::fabs(static_cast<double>(fast) - in_order);
                ASSERT_LE(gap, bound) << "dim " << dim << " kind " << kind;
                tightest = std::max(tightest, gap / bound);
            }
        }
    }
    // The drifting sums come close to the bound: it is not vacuous.
    EXPECT_GT(tightest, 0.5);
}

TEST(FastDotBound, NoBoundForVectorsThatCouldOverflow) {
    const simd::DotErrorModel model = simd::fast_dot_error_model(4, 8);
    for (float v : {std::numeric_limits<float>::infinity(), kNaN, 0x1.0p63f}) {
        const std::vector<float> x{1.0f, v, 0.0f, 1.0f};
        const float e = model.slope(simd::dot_norms(x.data(), 4)) * 1.0f + model.floor;
        EXPECT_FALSE(e <= 0x1.0p100f) << v;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, FastDotBound, ::testing::ValuesIn(kFastKernels),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- deleted nodes: recall, purge, file --------------------------------------------------------

class HnswDeletedRecall : public ::testing::TestWithParam<double> {};

// Recall@10 at ef 64 against a scan of the survivors: through the marks, after a purge, and
// on a fresh graph of the survivors. The last 300 points are the queries.
TEST_P(HnswDeletedRecall, PurgedGraphRecallsAsAFreshOne) {
    Vectors xs = clustered_vectors(4300, 64, 100, 21, 1.0f), survivors;
    const Vectors queries(xs.end() - 300, xs.end());
    auto e = make_engine(Metric::L2, 64, 8, 32);
    ASSERT_TRUE(e.add(iota_ids(4000, 0), flatten(Vectors(xs.begin(), xs.begin() + 4000))).ok());
    HnswIndex marked = *graph_of(e.structure());
    mark_share(marked, GetParam(), 8);
    HnswIndex purged = marked;
    Work work(2);
    std::vector<std::uint32_t> map;
    ASSERT_TRUE(hnsw_purge_deleted(purged, e.quantizer(), work, map));
    std::vector<VectorId> ids;
    for (std::uint32_t i = 0; i < 4000; ++i) {
        if (!marked.is_deleted(i)) survivors.push_back(xs[i]), ids.push_back(i);
    }
    Engine fresh = like(e, IndexType::Hnsw, ids, survivors), brute = like(e, IndexType::BruteForce, ids, survivors);
    marked.ef_search = purged.ef_search = 64;
    fresh.set_ef_search(64);
    double found[3] = {0, 0, 0};
    for (const auto& raw : queries) {
        const auto truth = brute.search(raw, 10, std::nullopt).value();
        const std::vector<SearchHit> got[3] = {search_graph(marked, e, raw, 10), search_graph(purged, e, raw, 10),
                                               fresh.search(raw, 10, std::nullopt).value()};
        for (int a = 0; a < 3; ++a) {
            for (const SearchHit& h : got[a]) found[a] += std::any_of(truth.begin(), truth.end(), [&](const SearchHit& t) { return t.id == h.id; });
        }
    }
    std::printf("deleted %.0f%%: recall@10 marked %.4f purged %.4f fresh %.4f\n", GetParam() * 100, found[0] / 3000,
                found[1] / 3000, found[2] / 3000);
    EXPECT_GE(found[1], 0.98 * found[2]);
}

INSTANTIATE_TEST_SUITE_P(Shares, HnswDeletedRecall, ::testing::Values(0.1, 0.3, 0.5));

class HnswPurge : public ::testing::TestWithParam<std::tuple<Metric, bool>> {};

// A purge on 1, 2 or 3 threads makes one graph: live nodes in order with their id, kept row
// and level, valid links scored as an add after a load scores them, the entry the first of
// the highest, settled counts that choose what none settled choose; adds go on by node
// number. Released vectors stay released; a graph all deleted becomes empty.
TEST_P(HnswPurge, RelinksAndRenumbersTheSameOnAnyThreadCount) {
    const auto [metric, released] = GetParam();
    const Vectors xs = clustered_vectors(700, 16, 5, 11);
    auto e = make_engine(metric, 16, 4, 24);
    HnswIndex before = *graph_of(e.structure());
    before.nodes.set_kept_bytes(4);
    const auto add = [&](HnswIndex& g, std::uint32_t from, std::uint32_t to) {
        prepare_for_insert(g, e.quantizer());
        for (std::uint32_t i = from; i < to; ++i) {
            hnsw_insert(g, e.quantizer().encode(xs[i]).data(), 1.0f, 1000 + i, e.quantizer().transform_query(xs[i]).data(),
                        reinterpret_cast<const std::uint8_t*>(&i));
        }
    };
    add(before, 0, 600);
    if (released) release_construction_vectors(before);
    mark_share(before, 0.3, 2, true);
    HnswIndex grown = before;  // a node added among marks links to live nodes only
    add(grown, 600, 601);
    for (std::uint32_t nb : grown.neighbours(600, 0)) ASSERT_FALSE(grown.is_deleted(nb));
    std::vector<HnswIndex> after(3, before);
    std::vector<std::uint32_t> map;
    for (unsigned t = 0; t < 3; ++t) {
        Work work(t + 1);
        ASSERT_TRUE(hnsw_purge_deleted(after[t], e.quantizer(), work, map));
        EXPECT_TRUE(after[t].links0 == after[0].links0 && after[t].links_up == after[0].links_up &&
                    after[t].scores0 == after[0].scores0 && after[t].settled0 == after[0].settled0);
    }
    HnswIndex& g = after[0];
    EXPECT_TRUE(g.deleted.empty() && g.size() == before.live_size() && g.construction_vectors.empty() == released);
    for (std::uint32_t i = 0, next = 0; i < before.size(); ++i) {
        ASSERT_EQ(map[i], before.is_deleted(i) ? kNoNode : next++);
        ASSERT_TRUE(map[i] == kNoNode || (g.nodes.id(map[i]) == 1000 + i && g.levels[map[i]] == before.levels[i] &&
                                          std::memcmp(g.nodes.kept_row(map[i]), &i, 4) == 0));
    }
    const std::uint8_t top = *std::max_element(g.levels.begin(), g.levels.end());
    EXPECT_TRUE(g.max_level == top && std::find(g.levels.begin(), g.levels.end(), top) - g.levels.begin() == *g.entry_point);
    HnswIndex rescored = g;
    rescored.link_scores_valid = false;
    add(rescored, 0, 0);
    add(g, 0, 0);
    for (std::uint32_t n = 0; n < g.size(); ++n) {
        for (std::uint64_t layer = 0; layer <= g.levels[n]; ++layer) {
            const auto l = g.neighbours(n, layer);
            ASSERT_TRUE(l.size() <= g.cap(layer) && std::all_of(l.begin(), l.end(), [&](std::uint32_t nb) {
                return nb != n && nb < g.size() && g.levels[nb] >= layer && std::count(l.begin(), l.end(), nb) == 1;
            }));
            // Under L2 a back-link an insertion made keeps the new node's score for its owner.
            ASSERT_TRUE(metric == Metric::L2 || links(g, n, layer) == links(rescored, n, layer));
        }
    }
    std::fill(rescored.settled0.begin(), rescored.settled0.end(), 0u);
    std::fill(rescored.settled_up.begin(), rescored.settled_up.end(), 0u);
    rescored.scores0 = g.scores0, rescored.scores_up = g.scores_up;
    add(g, 600, 700);
    add(rescored, 600, 700);
    EXPECT_TRUE(g.links0 == rescored.links0 && g.links_up == rescored.links_up);
    EXPECT_EQ(g.levels.back(), draw_level(g.size() - 1, g.level_mult));
    for (std::uint32_t n = 0; n < g.size(); ++n) hnsw_mark_deleted(g, n);
    EXPECT_TRUE(search_graph(g, e, xs[0], 5).empty() && hnsw_wants_purge(g));
    Work two(2);
    ASSERT_TRUE(hnsw_purge_deleted(g, e.quantizer(), two, map));
    EXPECT_TRUE(g.size() == 0 && !g.entry_point && g.max_level == 0 && g.count_up.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, HnswPurge,
                         ::testing::Combine(::testing::Values(Metric::L2, Metric::Cosine, Metric::Dot), ::testing::Bool()));

// A purge stopped before its first unit of lists changes no list, and the next one makes
// the graph one purge makes. Stopped part way it leaves the graph whole: marks kept, every
// list valid, those relinked naming live nodes only, searches returning live nodes; the
// next purge finishes it.
TEST(HnswPurgeStop, LeavesAWholeGraphThatTheNextPurgeFinishes) {
    const Vectors xs = clustered_vectors(3000, 16, 20, 12);
    auto e = make_engine(Metric::Cosine, 16, 6, 24);
    ASSERT_TRUE(e.add(iota_ids(3000, 0), flatten(xs)).ok());
    HnswIndex marked = *graph_of(e.structure());
    mark_share(marked, 0.3, 5);
    HnswIndex whole = marked, early = marked, midway = marked;
    std::vector<std::uint32_t> map, early_map, midway_map;
    Work once(2), before(2), again(1), work(1), rest(2);
    ASSERT_TRUE(hnsw_purge_deleted(whole, e.quantizer(), once, map));
    before.request_stop();
    EXPECT_FALSE(hnsw_purge_deleted(early, e.quantizer(), before, early_map));
    EXPECT_TRUE(before.done() == 0 && before.total() == once.total() && early.links0 == marked.links0 &&
                early.links_up == marked.links_up && early.deleted == marked.deleted);
    ASSERT_TRUE(hnsw_purge_deleted(early, e.quantizer(), again, early_map));
    EXPECT_TRUE(early.links0 == whole.links0 && early.links_up == whole.links_up && early_map == map);

    std::thread stopper([&] {
        while (work.done() == 0) std::this_thread::yield();
        work.request_stop();
    });
    const bool finished = hnsw_purge_deleted(midway, e.quantizer(), work, midway_map);
    stopper.join();
    if (!finished) {  // else the purge outran the stop: nothing more to see
        EXPECT_TRUE(work.done() % 256 == 0 && work.done() < work.total() && midway.deleted == marked.deleted);
        std::size_t naming_deleted = 0;
        for (std::uint32_t n = 0; n < midway.size(); ++n) {
            for (std::uint64_t layer = 0; layer <= midway.levels[n] && !midway.is_deleted(n); ++layer) {
                const auto l = midway.neighbours(n, layer);
                ASSERT_TRUE(l.size() <= midway.cap(layer) && std::all_of(l.begin(), l.end(), [&](std::uint32_t nb) {
                    return nb != n && nb < midway.size() && midway.levels[nb] >= layer && std::count(l.begin(), l.end(), nb) == 1;
                }));
                naming_deleted += std::any_of(l.begin(), l.end(), [&](std::uint32_t nb) { return midway.is_deleted(nb); });
            }
        }
        EXPECT_LE(naming_deleted, work.total() - work.done());
        for (std::size_t q = 0; q < 3000; q += 97) {
            for (const SearchHit& h : search_graph(midway, e, xs[q], 10)) ASSERT_FALSE(midway.is_deleted(static_cast<std::uint32_t>(h.row)));
        }
        ASSERT_TRUE(hnsw_purge_deleted(midway, e.quantizer(), rest, midway_map));
        EXPECT_TRUE(rest.total() == naming_deleted && midway.deleted.empty() && midway.size() == marked.live_size());
    }
}

struct DeletedSection {
    const char* name;
    std::vector<std::uint8_t> section;
    const char* error;  // null: the section as saved
};

class HnswDeletedFile : public ::testing::TestWithParam<DeletedSection> {};

// Marks follow the plain body, and load back (sealed or not) answering as before; a bad
// section is refused, as is one after a BruteForce body.
TEST_P(HnswDeletedFile, LoadsWithTheSameAnswersOrIsRefused) {
    auto e = make_engine(Metric::L2, 16, 4, 32);
    const Vectors xs = clustered_vectors(40, 16, 4, 6);
    ASSERT_TRUE(e.add(iota_ids(40, 0), flatten(xs)).ok());
    HnswIndex g = *graph_of(e.structure());
    for (std::uint32_t n : {0u, 5u, 17u, 39u}) hnsw_mark_deleted(g, n);
    const std::vector<std::uint8_t> ok = deleted_section(1, 4, {0, 5, 17, 39});
    auto bytes = io::save_krvn_bytes(parts_of(e, *graph_of(e.structure()), false)).value();
    bytes.insert(bytes.end(), GetParam().error ? GetParam().section.begin() : ok.begin(), GetParam().error ? GetParam().section.end() : ok.end());
    if (GetParam().error) {
        EXPECT_EQ(io::load_krvn_bytes(bytes.data(), bytes.size()).error().message(), GetParam().error);
        auto flat = like(e, IndexType::BruteForce, iota_ids(40, 0), xs).to_bytes(false).value();
        flat.insert(flat.end(), ok.begin(), ok.end());
        EXPECT_EQ(io::load_krvn_bytes(flat.data(), flat.size()).error().message(),
                  "invalid .krvn file: deleted nodes in a file that is not an Hnsw graph");
        return;
    }
    EXPECT_EQ(io::save_krvn_bytes(parts_of(e, g, false)).value(), bytes);
    for (bool sealed : {false, true}) {
        bytes = io::save_krvn_bytes(parts_of(e, g, sealed)).value();
        const HnswIndex h = *io::load_krvn_bytes(bytes.data(), bytes.size()).value().hnsw;
        ASSERT_TRUE(h.deleted == g.deleted && h.n_deleted == 4);
        for (const auto& raw : xs) {
            const auto a = search_graph(g, e, raw, 10), b = search_graph(h, e, raw, 10);
            ASSERT_EQ(a.size(), b.size());
            for (std::size_t i = 0; i < a.size(); ++i) ASSERT_TRUE(a[i].id == b[i].id && a[i].score == b[i].score);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sections, HnswDeletedFile,
    ::testing::Values(DeletedSection{"Saved", {}, nullptr},
                      DeletedSection{"OutOfRange", deleted_section(1, 2, {3, 40}), "invalid .krvn file: deleted node out of range"},
                      DeletedSection{"Descending", deleted_section(1, 2, {5, 3}), "invalid .krvn file: deleted nodes not ascending or repeated"},
                      DeletedSection{"Repeated", deleted_section(1, 2, {3, 3}), "invalid .krvn file: deleted nodes not ascending or repeated"},
                      DeletedSection{"Version", deleted_section(2, 1, {3}), "invalid .krvn file: unsupported deleted nodes section version 2"},
                      DeletedSection{"Truncated", deleted_section(1, 3, {1, 2}), "io error: failed to fill whole buffer"},
                      DeletedSection{"TooMany", deleted_section(1, 41, std::vector<std::uint32_t>(41, 0)),
                                     "invalid .krvn file: more deleted nodes than the graph holds"}),
    [](const auto& info) { return std::string(info.param.name); });
