#include "index/ivf.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>

#include "index/filter.h"
#include "index/scan.h"
#include "index/scan_tables.h"
#include "simd/float_dots.h"
#include "simd/kernels.h"

namespace korvane {

namespace {

// Puts rows[i] into lists[labels[i]], reserving every list first.
void distribute(std::vector<IvfList>& lists, const BlockStore& rows, const std::uint32_t* labels) {
    std::vector<std::size_t> extra(lists.size(), 0);
    for (std::size_t i = 0; i < rows.size(); ++i) ++extra[labels[i]];
    for (std::size_t j = 0; j < lists.size(); ++j) {
        lists[j].members.reserve_more(extra[j]);
        if (extra[j] > 0 && !rows.norms_of_codes()) lists[j].members.set_norms_of_codes(false);
    }
    rows.for_each_row([&](std::size_t i, const std::uint8_t* code) {
        lists[labels[i]].members.push(rows.id(i), code, rows.norm(i), rows.kept_row(i));
    });
}

}  // namespace

IvfIndex build_ivf(const BlockStore& rows, const float* training, std::uint64_t padded_dim, std::uint64_t nlist,
                   std::uint64_t nprobe, std::uint64_t seed, Metric metric) {
    Work work;
    return *build_ivf(rows, training, padded_dim, nlist, nprobe, seed, metric, work);
}

std::optional<IvfIndex> build_ivf(const BlockStore& rows, const float* training, std::uint64_t padded_dim,
                                  std::uint64_t nlist, std::uint64_t nprobe, std::uint64_t seed, Metric metric,
                                  Work& work, std::vector<std::uint32_t>* labels) {
    KMeansResult km = train_kmeans_finite(training, rows.size(), padded_dim, nlist, seed, metric, work);
    if (work.stop_requested()) return std::nullopt;
    if (labels != nullptr) *labels = km.labels;
    IvfIndex index;
    index.lists.assign(km.centroids.size(), IvfList{BlockStore(rows.row_bytes(), rows.kept_bytes())});
    distribute(index.lists, rows, km.labels.data());
    index.centroids = std::move(km.centroids);
    index.bytes_per_vec = rows.row_bytes();
    index.nprobe = nprobe;
    index.padded_dim = padded_dim;
    index.metric = metric;
    return index;
}

void append_to_lists(IvfIndex& index, const BlockStore& rows, const float* training) {
    Work work;
    append_to_lists(index, rows, training, work);
}

bool append_to_lists(IvfIndex& index, const BlockStore& rows, const float* training, Work& work,
                     std::vector<std::uint32_t>* labels_out) {
    std::vector<std::uint32_t> labels(rows.size(), 0);
    assign_labels(index.centroids, training, rows.size(), index.metric, labels.data(), work);
    if (work.stop_requested()) return false;
    distribute(index.lists, rows, labels.data());
    if (labels_out != nullptr) *labels_out = std::move(labels);
    return true;
}

namespace {

// The order of the ranking as a strict total order: score descending, lower list numbers
// first among equal scores, a NaN score after every number so that a broken centroid is
// probed last. A closure rather than a function, so that the sorts inline it.
constexpr auto before = [](const SearchHit& a, const SearchHit& b) {
    const bool an = std::isnan(a.score), bn = std::isnan(b.score);
    if (an || bn) return an != bn ? bn : a.id < b.id;
    if (a.score != b.score) return a.score > b.score;
    return a.id < b.id;
};

// The first `probes` of `ranking` in order, the rest dropped; a partial sort under a
// strict total order is the stable sort's prefix.
void keep_best(std::vector<SearchHit>& ranking, std::size_t probes) {
    if (probes == 1) {
        std::iter_swap(ranking.begin(), std::min_element(ranking.begin(), ranking.end(), before));
    } else {
        std::partial_sort(ranking.begin(), ranking.begin() + static_cast<std::ptrdiff_t>(probes), ranking.end(),
                          before);
    }
    ranking.resize(probes);
}

// A float at or below / at or above x, |x| < 2^127: x moved out by more than the half ulp
// (or half the smallest subnormal) by which rounding to the nearest float can move it back.
float below(double x) { return static_cast<float>(x - std::fabs(x) * 0x1p-23 - 0x1p-149); }
float above(double x) { return static_cast<float>(x + std::fabs(x) * 0x1p-23 + 0x1p-149); }

// Centroid floats below this many (2 MB) stay in cache, where scoring them all in float
// was measured faster than a query's tables and bounds even when those prune everything.
constexpr std::size_t kBoundedFloats = std::size_t{1} << 19;

}  // namespace

std::vector<SearchHit> rank_lists_full(const CentroidSet& centroids, const float* q, Metric metric,
                                       std::size_t probes) {
    const std::size_t nlists = centroids.size();
    std::vector<float> scores(centroids.padded_size());
    centroids.scores(q, metric, scores.data());
    std::vector<SearchHit> ranking(nlists);
    bool finite = true;
    for (std::size_t j = 0; j < nlists; ++j) {
        ranking[j] = {j, scores[j]};
        finite &= std::isfinite(scores[j]);
    }
    if (!finite && all_finite(q, centroids.dim())) {
        // |c|² or q·c overflowed: the float scores no longer order the cells.
        std::vector<double> work(centroids.padded_size());
        centroids.scores_wide(q, metric, work.data(), scores.data());
        for (std::size_t j = 0; j < nlists; ++j) ranking[j].score = scores[j];
    }
    keep_best(ranking, probes);
    return ranking;
}

std::optional<ScoreBounds> centroid_bounds(const CentroidSet& centroids, const float* q, Metric metric,
                                           const ScanTables* tables) {
    const CentroidCodes& codes = centroids.codes();
    const std::size_t k = centroids.size(), dim = centroids.dim();
    if (!codes.usable() || !all_finite(q, dim)) return std::nullopt;
    double qq = 0.0;
    for (std::size_t d = 0; d < dim; ++d) qq += double{q[d]} * q[d];
    const double n = static_cast<double>(dim);
    const double qnorm = std::sqrt(qq) * (1.0 + (n + 8.0) * 0x1p-49);
    // Every partial sum of a float q·c stays within (1 + γ)·|q|·|c|, so below this neither
    // it nor 2·(q·c) − |c|² can overflow: the float scores are all finite, and the
    // reference ranks by them. The bounds stay below 2^127 too: σ·|ĉ| ≤ 2.8·|c| (σ is the
    // coordinates' spread or a least-squares fit), ρ ≤ |c| + σ·|ĉ|, and the tables' margins
    // add under 3·|q|·|c|, so every end lies within 16·|q|·|c|.
    float top_sq = 0.0f;
    for (std::size_t j = 0; j < k; ++j) top_sq = std::max(top_sq, centroids.sqnorm(j));
    if (!(64.0 * qnorm * codes.max_norm() + double{top_sq} < 0x1p126)) return std::nullopt;
    std::optional<ScanTables> own;
    if (tables == nullptr) {
        own = ScanTables::build(QueryScorer(q, RowLayout::of(dim, dim), Metric::Dot));
        if (!own) return std::nullopt;
        tables = &*own;
    }

    // Why [lo, hi] holds the float score s of centroid c, with ĉ its code's centroids:
    // - the tables bound the exact q·ĉ within [lower, upper] of its table sum;
    // - q·c = σ·(q·ĉ) + q·(c − σ·ĉ), the last term within ±|q|·ρ (Cauchy-Schwarz);
    // - the float q·c errs from the exact by at most γ_n·Σ|q_d·c_d| ≤ γ_n·|q|·|c|
    //   (slack carries 2γ_n), plus 2^-150 per product that underflows;
    // - σ·lower and σ·upper are exact in double (two 24-bit significands); the margin and
    //   the two sums round by under 2^-52 of what they add, which `e` covers;
    // - the float q·c then lies in [below(dlo), above(dhi)], and 2·x − |c|² rounds monotonically
    //   in x, so for L2 the same expression on the ends bounds the score.
    const std::size_t blocks = codes.codes().blocks().blocks();
    const std::size_t R = codes.codes().row_bytes();
    const auto scan = simd::best_kernels().block_scan;
    const double underflow = n * 0x1p-149;
    ScoreBounds b;
    b.lo.resize(blocks * kBlockRows);
    b.hi.resize(blocks * kBlockRows);
    alignas(64) std::uint32_t sums[kBlockRows];
    for (std::size_t blk = 0; blk < blocks; ++blk) {
        scan(codes.codes().blocks().block(blk), R, tables->lut(), sums);
        const std::size_t rows = std::min(kBlockRows, k - blk * kBlockRows);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::size_t j = blk * kBlockRows + r;
            const double sigma = codes.sigma(j);
            const double a = sigma * tables->lower(sums[r]);
            const double c = sigma * tables->upper(sums[r]);
            const double m = qnorm * codes.slack(j) + underflow;
            const double e = (std::fabs(a) + std::fabs(c) + m) * 0x1p-50;
            float lo = below(a - m - e), hi = above(c + m + e);
            if (metric == Metric::L2) {
                lo = 2.0f * lo - centroids.sqnorm(j);
                hi = 2.0f * hi - centroids.sqnorm(j);
            }
            b.lo[j] = lo;
            b.hi[j] = hi;
        }
    }
    b.lo.resize(k);
    b.hi.resize(k);
    return b;
}

std::optional<std::vector<SearchHit>> rank_lists_bounded(const CentroidSet& centroids, const float* q,
                                                         Metric metric, std::size_t probes, std::size_t max_blocks,
                                                         const ScanTables* tables, bool* pruned) {
    const std::size_t k = centroids.size();
    if (probes == 0 || probes > k) return std::nullopt;
    std::optional<ScoreBounds> bounds = centroid_bounds(centroids, q, metric, tables);
    if (!bounds) return std::nullopt;
    const std::size_t lanes = simd::kDotLanes, nblocks = (k + lanes - 1) / lanes;
    std::vector<float> exact(nblocks * lanes);
    std::vector<std::uint8_t> wanted(nblocks, 0), scored(nblocks, 0);
    // Scores the wanted lane blocks not scored yet, a run of blocks at a time.
    auto score = [&] {
        for (std::size_t first = 0; first < nblocks;) {
            if (!wanted[first] || scored[first]) {
                ++first;
                continue;
            }
            std::size_t end = first;
            while (end < nblocks && wanted[end] && !scored[end]) ++end;
            centroids.block_scores(q, first, end - first, metric, exact.data() + first * lanes);
            std::fill(scored.begin() + first, scored.begin() + end, std::uint8_t{1});
            first = end;
        }
    };
    // First the blocks of the `probes` centroids with the largest lower bounds; T is then
    // the probes-th best float score among those scored, so `probes` centroids score at
    // least T. A centroid whose upper bound is below T scores below each of them: at least
    // `probes` lists rank before it and it cannot be among the best. The rest are the
    // candidates; the best of any scored set holding them, by their float scores and the
    // same order, are the best of all.
    std::vector<std::uint32_t> order(k);
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    const auto nth = order.begin() + static_cast<std::ptrdiff_t>(probes - 1);
    std::nth_element(order.begin(), nth, order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return bounds->lo[a] > bounds->lo[b]; });
    for (std::size_t p = 0; p < probes; ++p) wanted[order[p] / lanes] = 1;
    score();
    std::vector<float> known;
    for (std::size_t j = 0; j < k; ++j) {
        if (scored[j / lanes]) known.push_back(exact[j]);
    }
    std::nth_element(known.begin(), known.begin() + static_cast<std::ptrdiff_t>(probes - 1), known.end(),
                     std::greater<float>());
    const float T = known[probes - 1];
    for (std::size_t j = 0; j < k; ++j) wanted[j / lanes] |= bounds->hi[j] >= T;
    const auto blocks = static_cast<std::size_t>(std::count(wanted.begin(), wanted.end(), std::uint8_t{1}));
    // Candidates in too many blocks: scoring every block in runs is the reference's own
    // work, and faster than scattered blocks.
    if (pruned != nullptr) *pruned = blocks <= max_blocks;
    if (blocks > max_blocks) std::fill(wanted.begin(), wanted.end(), std::uint8_t{1});
    score();
    std::vector<SearchHit> ranking;
    ranking.reserve(std::min(k, blocks * lanes));
    for (std::size_t j = 0; j < k; ++j) {
        if (scored[j / lanes]) ranking.push_back({j, exact[j]});
    }
    keep_best(ranking, probes);
    return ranking;
}

bool RankingHint::worth_bounds(std::uint64_t probes) const {
    const std::uint64_t s = state_.load(std::memory_order_relaxed);
    if (s >> 32 != probes || (s & 0xFFFFFFFFu) < kMisses) return true;
    return tick_.fetch_add(1, std::memory_order_relaxed) % kRetry == 0;
}

void RankingHint::record(std::uint64_t probes, bool pruned) const {
    const std::uint64_t s = state_.load(std::memory_order_relaxed);
    const std::uint64_t misses = s >> 32 == probes ? s & 0xFFFFFFFFu : 0;
    state_.store(probes << 32 | (pruned ? 0 : std::min<std::uint64_t>(misses + 1, kMisses)),
                 std::memory_order_relaxed);
}

namespace {

// The ranking of one query by its centroid bounds where they may pay (nothing when they
// are not tried or cannot rank), and the query's tables if they were built on the way
// (`tried` then set).
std::optional<std::vector<SearchHit>> try_bounded(const IvfIndex& index, const QueryScorer& scorer,
                                                  std::size_t probes, std::optional<ScanTables>& tables, bool& tried) {
    tried = false;
    const std::size_t nlists = index.lists.size();
    const CentroidSet& centroids = index.centroids;
    // Bounds pay only when they can leave most centroids unread.
    if (nlists * centroids.dim() < kBoundedFloats || probes > nlists / 4 || !index.hint.worth_bounds(probes)) {
        return std::nullopt;
    }
    // The lists' tables serve the centroid codes too when the rows are 4-bit throughout.
    const RowLayout& layout = scorer.layout();
    if (layout.layout() == Layout::Pure4 && layout.padded_dim == centroids.dim()) {
        tables = ScanTables::build(scorer);
        tried = true;
    }
    bool pruned = false;
    auto bounded = rank_lists_bounded(centroids, scorer.query(), index.metric, probes,
                                      (nlists + simd::kDotLanes - 1) / simd::kDotLanes / 2, tables ? &*tables : nullptr,
                                      &pruned);
    index.hint.record(probes, bounded && pruned);
    return bounded;
}

// Scans the ranked lists for the k best (k > 0), then keeps the hits the allowlist holds.
std::vector<SearchHit> scan_lists(const IvfIndex& index, const QueryScorer& scorer, const std::vector<SearchHit>& ranking,
                                  std::uint64_t k, std::optional<std::span<const VectorId>> allowlist,
                                  std::optional<ScanTables>& tables, bool tried) {
    std::uint64_t scanned = 0, blocked = 0;
    for (const SearchHit& r : ranking) {
        const std::size_t m = index.lists[r.id].members.size();
        scanned += m;
        blocked += m - m % kBlockRows;
    }
    TopK top(k, scanned);
    if (!worth_tables(blocked, k)) tables.reset();
    else if (!tried) tables = ScanTables::build(scorer);
    // A member's locator is its list number in the high 32 bits and its position below.
    for (const SearchHit& r : ranking) {
        scan_blocks(scorer, index.lists[r.id].members.blocks(), nullptr, top, tables ? &*tables : nullptr, r.id << 32);
    }
    std::vector<SearchHit> hits = std::move(top).finish();
    if (allowlist) {
        const AllowFilter filter = AllowFilter::from_ids(*allowlist);
        std::erase_if(hits, [&](const SearchHit& h) { return !filter.allows(h.id); });
    }
    return hits;
}

std::size_t probes_of(const IvfIndex& index) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(index.nprobe, index.lists.size()));
}

}  // namespace

std::vector<SearchHit> ivf_search(const IvfIndex& index, const QueryScorer& scorer, std::uint64_t k,
                                  std::optional<std::span<const VectorId>> allowlist) {
    if (index.lists.empty()) return {};
    const std::size_t probes = probes_of(index);
    std::optional<ScanTables> tables;
    bool tried = false;
    std::optional<std::vector<SearchHit>> bounded = try_bounded(index, scorer, probes, tables, tried);
    const std::vector<SearchHit> ranking =
        bounded ? std::move(*bounded) : rank_lists_full(index.centroids, scorer.query(), index.metric, probes);
    return scan_lists(index, scorer, ranking, k, allowlist, tables, tried);
}

std::vector<std::vector<SearchHit>> ivf_search_many(const IvfIndex& index, std::span<const QueryScorer> scorers,
                                                    std::uint64_t k, std::optional<std::span<const VectorId>> allowlist) {
    std::vector<std::vector<SearchHit>> out(scorers.size());
    if (index.lists.empty()) return out;
    const std::size_t probes = probes_of(index), nq = scorers.size();
    const CentroidSet& centroids = index.centroids;
    std::vector<std::optional<ScanTables>> tables(nq);
    std::vector<std::optional<std::vector<SearchHit>>> rankings(nq);
    std::vector<char> tried(nq, 0);
    // The queries left to full ranking score every centroid together: each lane block of
    // centroids is read once for several queries, and every score is the one a lone query
    // gets.
    std::vector<std::size_t> full;
    for (std::size_t i = 0; i < nq; ++i) {
        bool t = false;
        rankings[i] = try_bounded(index, scorers[i], probes, tables[i], t);
        tried[i] = t;
        if (!rankings[i]) full.push_back(i);
    }
    const std::size_t dim = centroids.dim(), width = centroids.padded_size();
    std::vector<float> queries(full.size() * dim), scores(full.size() * width);
    for (std::size_t f = 0; f < full.size(); ++f) {
        std::copy_n(scorers[full[f]].query(), dim, queries.data() + f * dim);
    }
    if (!full.empty()) centroids.scores(queries.data(), full.size(), dim, index.metric, scores.data());
    for (std::size_t f = 0; f < full.size(); ++f) {
        const float* s = scores.data() + f * width;
        std::vector<SearchHit> ranking(centroids.size());
        bool finite = true;
        for (std::size_t j = 0; j < ranking.size(); ++j) {
            ranking[j] = {j, s[j]};
            finite &= std::isfinite(s[j]);
        }
        if (!finite) {
            rankings[full[f]] = rank_lists_full(centroids, scorers[full[f]].query(), index.metric, probes);
            continue;
        }
        keep_best(ranking, probes);
        rankings[full[f]] = std::move(ranking);
    }
    for (std::size_t i = 0; i < nq; ++i) out[i] = scan_lists(index, scorers[i], *rankings[i], k, allowlist, tables[i], tried[i]);
    return out;
}

}  // namespace korvane
