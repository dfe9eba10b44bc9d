#include "index/ivf.h"

#include <algorithm>
#include <cmath>

#include "index/filter.h"
#include "index/scan.h"

namespace korvane {

namespace {

// Puts rows[i] into lists[labels[i]], reserving every list first.
void distribute(std::vector<IvfList>& lists, const StoreView& rows, const std::uint32_t* labels) {
    std::vector<std::size_t> extra(lists.size(), 0);
    for (std::size_t i = 0; i < rows.rows; ++i) ++extra[labels[i]];
    for (std::size_t j = 0; j < lists.size(); ++j) lists[j].members.reserve_more(extra[j]);
    for (std::size_t i = 0; i < rows.rows; ++i) {
        const float norm = rows.norms ? rows.norms[i] : 0.0f;
        const std::uint8_t* kept = rows.kept ? rows.kept + i * rows.kept_bytes : nullptr;
        lists[labels[i]].members.push(rows.ids[i], rows.codes + i * rows.row_bytes, norm, kept);
    }
}

}  // namespace

IvfIndex build_ivf(const StoreView& rows, const float* training, std::uint64_t padded_dim, std::uint64_t nlist,
                   std::uint64_t nprobe, std::uint64_t seed, Metric metric) {
    KMeansResult km = train_kmeans_finite(training, rows.rows, padded_dim, nlist, seed, metric);
    IvfIndex index;
    index.lists.assign(km.centroids.size(), IvfList{FlatStore(rows.row_bytes, rows.kept_bytes)});
    distribute(index.lists, rows, km.labels.data());
    index.centroids = std::move(km.centroids);
    index.bytes_per_vec = rows.row_bytes;
    index.nprobe = nprobe;
    index.padded_dim = padded_dim;
    index.metric = metric;
    return index;
}

void append_to_lists(IvfIndex& index, const StoreView& rows, const float* training) {
    std::vector<std::uint32_t> labels(rows.rows, 0);
    assign_labels(index.centroids, training, rows.rows, index.metric, labels.data());
    distribute(index.lists, rows, labels.data());
}

std::vector<SearchHit> ivf_search(const IvfIndex& index, const QueryScorer& scorer, std::uint64_t k,
                                  std::optional<std::span<const VectorId>> allowlist) {
    const std::size_t nlists = index.lists.size();
    if (nlists == 0) return {};
    // Rank the lists by their centroid's score, a stable sort keeping lower list numbers
    // first among equal scores.
    const CentroidSet& centroids = index.centroids;
    std::vector<float> scores(centroids.padded_size());
    centroids.scores(scorer.query(), index.metric, scores.data());
    std::vector<SearchHit> ranking(nlists);
    bool finite = true;
    for (std::size_t j = 0; j < nlists; ++j) {
        ranking[j] = {j, scores[j]};
        finite &= std::isfinite(scores[j]);
    }
    if (!finite && all_finite(scorer.query(), centroids.dim())) {
        // |c|² or q·c overflowed: the float scores no longer order the cells.
        std::vector<double> work(centroids.padded_size());
        centroids.scores_wide(scorer.query(), index.metric, work.data(), scores.data());
        for (std::size_t j = 0; j < nlists; ++j) ranking[j].score = scores[j];
    }
    // A NaN score ranks after every number, so a broken centroid is probed last.
    auto numbers_end = ranking.end();
    if (!finite) {
        numbers_end = std::stable_partition(ranking.begin(), ranking.end(),
                                            [](const SearchHit& h) { return !std::isnan(h.score); });
    }
    std::stable_sort(ranking.begin(), numbers_end,
                     [](const SearchHit& a, const SearchHit& b) { return a.score > b.score; });

    const std::size_t probes = static_cast<std::size_t>(std::min<std::uint64_t>(index.nprobe, nlists));
    std::uint64_t scanned = 0;
    for (std::size_t p = 0; p < probes; ++p) scanned += index.lists[ranking[p].id].members.size();
    TopK top(k, scanned);
    // A member's locator is its list number in the high 32 bits and its position below.
    for (std::size_t p = 0; p < probes; ++p) {
        const std::uint64_t list = ranking[p].id;
        scan_store(scorer, index.lists[list].members.view(), nullptr, top, list << 32);
    }
    std::vector<SearchHit> hits = std::move(top).finish();
    if (allowlist) {
        const AllowFilter filter = AllowFilter::from_ids(*allowlist);
        std::erase_if(hits, [&](const SearchHit& h) { return !filter.allows(h.id); });
    }
    return hits;
}

}  // namespace korvane
