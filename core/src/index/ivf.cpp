#include "index/ivf.h"

#include <algorithm>
#include <cmath>

#include "index/filter.h"
#include "index/scan.h"

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
    KMeansResult km = train_kmeans_finite(training, rows.size(), padded_dim, nlist, seed, metric);
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
    std::vector<std::uint32_t> labels(rows.size(), 0);
    assign_labels(index.centroids, training, rows.size(), index.metric, labels.data());
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
    // The nprobe best lists in the order of a stable sort by score descending (lower list
    // numbers first among equal scores), a NaN score ranking after every number so that a
    // broken centroid is probed last. As a strict total order this is a partial sort.
    const std::size_t probes = static_cast<std::size_t>(std::min<std::uint64_t>(index.nprobe, nlists));
    auto before = [](const SearchHit& a, const SearchHit& b) {
        const bool an = std::isnan(a.score), bn = std::isnan(b.score);
        if (an || bn) return an != bn ? bn : a.id < b.id;
        if (a.score != b.score) return a.score > b.score;
        return a.id < b.id;
    };
    if (probes == 1) {
        std::iter_swap(ranking.begin(), std::min_element(ranking.begin(), ranking.end(), before));
    } else {
        std::partial_sort(ranking.begin(), ranking.begin() + static_cast<std::ptrdiff_t>(probes), ranking.end(),
                          before);
    }

    std::uint64_t scanned = 0, blocked = 0;
    for (std::size_t p = 0; p < probes; ++p) {
        const std::size_t m = index.lists[ranking[p].id].members.size();
        scanned += m;
        blocked += m - m % kBlockRows;
    }
    TopK top(k, scanned);
    std::optional<ScanTables> tables;
    if (worth_tables(blocked, k)) tables = ScanTables::build(scorer);
    // A member's locator is its list number in the high 32 bits and its position below.
    for (std::size_t p = 0; p < probes; ++p) {
        const std::uint64_t list = ranking[p].id;
        scan_blocks(scorer, index.lists[list].members.blocks(), nullptr, top, tables ? &*tables : nullptr,
                    list << 32);
    }
    std::vector<SearchHit> hits = std::move(top).finish();
    if (allowlist) {
        const AllowFilter filter = AllowFilter::from_ids(*allowlist);
        std::erase_if(hits, [&](const SearchHit& h) { return !filter.allows(h.id); });
    }
    return hits;
}

}  // namespace korvane
