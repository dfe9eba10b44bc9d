#include "index/scan.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "index/blocks.h"

namespace korvane {

namespace {

constexpr std::size_t kBatch = 16;

// Rows fed one by one (an index and its code), in the order they are to be offered, and
// scored in batches of up to 16: four at a time, adjusted with vector arithmetic (a vector
// division or multiplication rounds exactly like the scalar one), compared with the
// selection's worst score at once, and only the rows that can enter are offered.
template <Layout L, Metric M, bool HasNorms>
struct Feed {
    Feed(const QueryScorer& s, const VectorId* i, const float* n, TopK& t, std::uint64_t first)
        : scorer(s), ids(i), norms(n), top(t), first_row(first), offer_all(t.has_nan()) {}

    const QueryScorer& scorer;
    const VectorId* ids;
    const float* norms;
    TopK& top;
    std::uint64_t first_row;
    // Until a NaN score is in the selection its worst score only rises, so a row not
    // above it at the start of a batch cannot enter later in the batch. A NaN breaks that
    // order; from then on every row is offered one by one.
    bool offer_all;

    alignas(16) float score[kBatch] = {};
    alignas(16) float norm[kBatch] = {};
    std::size_t row[kBatch] = {};
    const std::uint8_t* code[kBatch] = {};
    std::size_t n = 0;

    // `c` must stay valid until the next flush.
    void add(std::size_t r, const std::uint8_t* c) {
        row[n] = r;
        code[n++] = c;
        if (n == kBatch) flush();
    }

    void flush() {
        if (n == 0) return;
        score_batch();
        offer_batch();
        n = 0;
    }

    void score_batch() {
        std::size_t j = 0;
        for (; j + 4 <= n; j += 4) scorer.template raw4<L>(code + j, score + j);
        for (; j < n; ++j) score[j] = scorer.template raw<L>(code[j]);
        if constexpr (HasNorms && M != Metric::Dot) {
            for (j = 0; j < n; ++j) norm[j] = norms[row[j]];
            for (; j < kBatch; ++j) norm[j] = 1.0f;
            for (std::size_t v = 0; v < kBatch; v += 4) {
                const __m128 raw = _mm_load_ps(score + v);
                const __m128 nv = _mm_load_ps(norm + v);
                __m128 s;
                if constexpr (M == Metric::Cosine) {
                    const __m128 big = _mm_cmpgt_ps(nv, _mm_set1_ps(1e-9f));
                    const __m128 d = _mm_or_ps(_mm_and_ps(big, nv), _mm_andnot_ps(big, _mm_set1_ps(1.0f)));
                    s = _mm_div_ps(raw, d);
                } else {
                    s = _mm_add_ps(raw, _mm_mul_ps(_mm_mul_ps(nv, _mm_set1_ps(-0.5f)), nv));
                }
                _mm_store_ps(score + v, s);
            }
        }
    }

    void offer_batch() {
        const unsigned live = (1u << n) - 1;
        if (!offer_all) {
            unsigned nan = 0;
            for (std::size_t v = 0; v < kBatch; v += 4) {
                const __m128 s = _mm_load_ps(score + v);
                nan |= static_cast<unsigned>(_mm_movemask_ps(_mm_cmpunord_ps(s, s))) << v;
            }
            offer_all = (nan & live) != 0;
        }
        if (offer_all || !top.full()) {
            for (std::size_t j = 0; j < n; ++j) top.offer(ids[row[j]], score[j], first_row + row[j]);
            return;
        }
        const __m128 worst = _mm_set1_ps(top.worst_score());
        unsigned above = 0;
        for (std::size_t v = 0; v < kBatch; v += 4) {
            above |= static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(_mm_load_ps(score + v), worst))) << v;
        }
        for (above &= live; above != 0; above &= above - 1) {
            const unsigned j = static_cast<unsigned>(__builtin_ctz(above));
            top.offer(ids[row[j]], score[j], first_row + row[j]);
        }
    }
};

template <Layout L, Metric M, bool HasNorms, bool Filtered>
void scan_rows(Feed<L, M, HasNorms>& feed, const StoreView& store, const RowFilter& filter, std::size_t first) {
    for (std::size_t i = 0; i < store.rows; ++i) {
        if constexpr (Filtered) {
            if (!filter.allows(first + i, store.ids[i])) continue;
        }
        feed.add(first + i, store.codes + i * store.row_bytes);
    }
    feed.flush();
}

// The rows of a block store: whole blocks through the tables' bound where it can prune,
// the rest scored as the plain scan scores them.
template <Layout L, Metric M, bool HasNorms, bool Filtered>
struct BlockScan {
    const QueryScorer& scorer;
    const BlockView& store;
    const RowFilter filter;
    TopK& top;
    const ScanTables* tables;
    Feed<L, M, HasNorms> feed;
    const std::size_t R = store.row_bytes;
    std::vector<std::uint8_t> rows;   // a whole block's rows, row-major; sized when first needed
    std::vector<std::uint8_t> slots;  // the rows waiting in the feed, by feed position
    alignas(64) std::uint32_t sums[kBlockRows] = {};

    BlockScan(const QueryScorer& s, const BlockView& v, const RowFilter& f, TopK& t, const ScanTables* tb,
              std::uint64_t first)
        : scorer(s), store(v), filter(f), top(t), tables(tb), feed(s, v.ids, v.norms, t, first) {}

    // The rows of block j the filter allows (all without one).
    std::uint32_t allowed(std::size_t j) const {
        if constexpr (!Filtered) {
            return ~std::uint32_t{0};
        } else {
            std::uint32_t mask = 0;
            const VectorId* ids = store.ids + j * kBlockRows;
            for (std::size_t r = 0; r < kBlockRows; ++r) {
                mask |= static_cast<std::uint32_t>(filter.allows(j * kBlockRows + r, ids[r])) << r;
            }
            return mask;
        }
    }

    // Rows of block j whose bit is set in `mask` (allowed ones only), offered in order.
    void offer(std::size_t j, std::uint32_t mask) {
        if (mask == 0) return;
        const std::uint8_t* block = store.block(j);
        if (__builtin_popcount(mask) < 8) {
            // A few rows wait in the feed, copied to its slots, until it holds a batch:
            // they are offered in order, and a later block's bound against an older worst
            // score only keeps more rows.
            if (slots.empty()) slots.resize(kBatch * R);
            for (std::uint32_t m = mask; m != 0; m &= m - 1) {
                const unsigned r = static_cast<unsigned>(__builtin_ctz(m));
                std::uint8_t* slot = slots.data() + feed.n * R;
                block_row(block, R, r, slot);
                feed.add(j * kBlockRows + r, slot);
            }
            return;
        }
        if (rows.empty()) rows.resize(kBlockRows * R);
        block_to_rows(block, R, rows.data());
        for (std::uint32_t m = mask; m != 0; m &= m - 1) {
            const unsigned r = static_cast<unsigned>(__builtin_ctz(m));
            feed.add(j * kBlockRows + r, rows.data() + r * R);
        }
        feed.flush();
    }

    // Whether this block's rows go through the tables' bound: only once the selection is
    // full, and while no NaN is in it (its worst score only rises then).
    bool prunes() const { return tables != nullptr && top.full() && !feed.offer_all; }
    // Byte positions the first pass over a block covers: the tables' first stage where the
    // norms bound the rest of a row, else the whole row.
    std::size_t first_pass() const {
        const std::size_t P = HasNorms && store.norms_of_codes ? tables->prefix() : 0;
        return P > 0 ? P : R;
    }

    // The rows of block j in `allow` that may beat the selection's worst score (a score
    // equal to the worst never enters), from `pass`, the table sums over the first_pass()
    // positions.
    std::uint32_t candidates(std::size_t j, const std::uint32_t* pass, std::uint32_t allow) {
        const std::size_t P = first_pass();
        const float* norms = HasNorms ? store.norms + j * kBlockRows : nullptr;
        alignas(64) float bound[kBlockRows];
        // adjust<M> does not decrease when its raw score grows, so it keeps a bound.
        auto adjusted = [&](std::size_t r, float raw) { return HasNorms ? adjust<M>(raw, norms[r]) : raw; };
        if (P < R) {
            // A first stage bounds the rest of a row by its norm: a block none of whose rows
            // can enter there needs no second.
            for (std::size_t r = 0; r < kBlockRows; ++r) bound[r] = adjusted(r, tables->upper_prefix(pass[r], norms[r]));
            const std::uint32_t mask = above(bound) & allow;
            if (__builtin_popcount(mask) <= 1) return mask;
            simd::best_kernels().block_scan(store.block(j) + kBlockRows * P, R - P,
                                            tables->lut() + simd::laid_out_table_bytes(P), sums);
            for (std::size_t r = 0; r < kBlockRows; ++r) sums[r] += pass[r];
            pass = sums;
        }
        for (std::size_t r = 0; r < kBlockRows; ++r) bound[r] = adjusted(r, tables->upper(pass[r]));
        return above(bound) & allow;
    }

    std::uint32_t candidates(std::size_t j, std::uint32_t allow) {
        alignas(64) std::uint32_t pass[kBlockRows];
        simd::best_kernels().block_scan(store.block(j), first_pass(), tables->lut(), pass);
        return candidates(j, pass, allow);
    }

    // A block's rows worth scoring: the allowed ones, through the bound where it prunes
    // (a block with at most two allowed rows scores them rather than the whole block).
    std::uint32_t worth_scoring(std::size_t j) {
        const std::uint32_t allow = allowed(j);
        if (!prunes() || allow == 0 || (Filtered && __builtin_popcount(allow) <= 2)) return allow;
        return candidates(j, allow);
    }

    // The rows whose bound is above the selection's worst score.
    std::uint32_t above(const float* bound) const {
        const __m128 worst = _mm_set1_ps(top.worst_score());
        std::uint32_t mask = 0;
        for (std::size_t r = 0; r < kBlockRows; r += 4) {
            mask |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_cmpgt_ps(_mm_load_ps(bound + r), worst))) << r;
        }
        return mask;
    }

    void run_blocks(std::size_t from, std::size_t to) {
        for (std::size_t j = from; j < to; ++j) offer(j, worth_scoring(j));
    }
    void run_tail() { scan_rows<L, M, HasNorms, Filtered>(feed, store.tail(), filter, store.blocks() * kBlockRows); }
};

template <class Run>
void with_flags(bool filtered, bool norms, Run&& run) {
    if (filtered && norms) run.template operator()<true, true>();
    else if (filtered) run.template operator()<false, true>();
    else if (norms) run.template operator()<true, false>();
    else run.template operator()<false, false>();
}

}  // namespace

void scan_store(const QueryScorer& scorer, const StoreView& store, const AllowFilter* filter, TopK& top,
                std::uint64_t first_row) {
    const RowFilter rows{filter, nullptr};
    scorer.dispatch([&]<Layout L, Metric M>() {
        with_flags(rows.any(), store.norms != nullptr, [&]<bool N, bool F>() {
            Feed<L, M, N> feed(scorer, store.ids, store.norms, top, first_row);
            scan_rows<L, M, N, F>(feed, store, rows, 0);
        });
    });
}

void scan_blocks(const QueryScorer& scorer, const BlockView& store, const AllowFilter* filter, TopK& top,
                 const ScanTables* tables, std::uint64_t first_row, const std::uint8_t* dead) {
    const RowFilter rows{filter, dead};
    scorer.dispatch([&]<Layout L, Metric M>() {
        with_flags(rows.any(), store.norms != nullptr, [&]<bool N, bool F>() {
            BlockScan<L, M, N, F> scan(scorer, store, rows, top, tables, first_row);
            scan.run_blocks(0, store.blocks());
            scan.run_tail();
        });
    });
}

void scan_blocks_batch(std::span<const QueryScorer> scorers, const BlockView& store, const AllowFilter* filter,
                       std::span<TopK> tops, std::span<const ScanTables* const> tables, const std::uint8_t* dead) {
    if (scorers.empty()) return;
    const RowFilter rows{filter, dead};
    scorers[0].dispatch([&]<Layout L, Metric M>() {
        with_flags(rows.any(), store.norms != nullptr, [&]<bool N, bool F>() {
            std::vector<BlockScan<L, M, N, F>> scans;
            scans.reserve(scorers.size());
            for (std::size_t i = 0; i < scorers.size(); ++i) scans.emplace_back(scorers[i], store, rows, tops[i], tables[i], 0);
            // Up to eight queries whose selections prune share each block's first pass: one
            // kernel call loads and splits the codes once for all of them.
            const auto many = simd::best_kernels().block_scan_many;
            std::vector<std::uint32_t> pass(simd::kMaxScanQueries * kBlockRows);
            std::vector<std::size_t> who;
            std::vector<const std::uint8_t*> luts;
            for (std::size_t start = 0; start < scans.size(); start += simd::kMaxScanQueries) {
                const std::size_t end = std::min(scans.size(), start + simd::kMaxScanQueries);
                for (std::size_t j = 0; j < store.blocks(); ++j) {
                    const std::uint32_t allow = scans[start].allowed(j);
                    if (allow == 0) continue;
                    // Queries that prune with the same first pass share it; the others go
                    // alone.
                    who.clear();
                    luts.clear();
                    std::size_t first = 0;
                    for (std::size_t i = start; i < end; ++i) {
                        const bool alone = !scans[i].prunes() || (F && __builtin_popcount(allow) <= 2) ||
                                           (!who.empty() && scans[i].first_pass() != first);
                        if (alone) {
                            scans[i].offer(j, scans[i].worth_scoring(j));
                            continue;
                        }
                        first = scans[i].first_pass();
                        who.push_back(i);
                        luts.push_back(scans[i].tables->lut());
                    }
                    if (who.empty()) continue;
                    many(store.block(j), first, luts.data(), who.size(), pass.data());
                    for (std::size_t w = 0; w < who.size(); ++w) {
                        scans[who[w]].offer(j, scans[who[w]].candidates(j, pass.data() + w * kBlockRows, allow));
                    }
                }
            }
            for (auto& scan : scans) scan.run_tail();
        });
    });
}

}  // namespace korvane
