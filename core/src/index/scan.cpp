#include "index/scan.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace korvane {

namespace {

constexpr std::size_t kBlock = 16;

// A block of up to 16 rows: scored four at a time, adjusted with vector arithmetic (a
// vector division or multiplication rounds exactly like the scalar one), compared with
// the selection's worst score at once, and only the rows that can enter are offered.
template <Layout L, Metric M, bool HasNorms, bool Filtered>
struct Scan {
    Scan(const QueryScorer& s, const StoreView& v, const AllowFilter* f, TopK& t, std::uint64_t first)
        : scorer(s), store(v), filter(f), top(t), first_row(first) {}

    const QueryScorer& scorer;
    const StoreView& store;
    const AllowFilter* filter;
    TopK& top;
    std::uint64_t first_row;
    // Until a NaN score is seen the selection's worst score only rises, so a row not
    // above it at the start of a block cannot enter later in the block. A NaN breaks
    // that order; from then on every row is offered one by one.
    bool offer_all = false;

    alignas(16) float score[kBlock] = {};
    alignas(16) float norm[kBlock] = {};
    std::size_t row[kBlock] = {};
    const std::uint8_t* code[kBlock] = {};

    void score_block(std::size_t n) {
        std::size_t j = 0;
        for (; j + 4 <= n; j += 4) scorer.template raw4<L>(code + j, score + j);
        for (; j < n; ++j) score[j] = scorer.template raw<L>(code[j]);
        if constexpr (HasNorms && M != Metric::Dot) {
            for (j = 0; j < n; ++j) norm[j] = store.norms[row[j]];
            for (; j < kBlock; ++j) norm[j] = 1.0f;
            for (std::size_t v = 0; v < kBlock; v += 4) {
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

    void offer_block(std::size_t n) {
        const unsigned live = (1u << n) - 1;
        if (!offer_all) {
            unsigned nan = 0;
            for (std::size_t v = 0; v < kBlock; v += 4) {
                const __m128 s = _mm_load_ps(score + v);
                nan |= static_cast<unsigned>(_mm_movemask_ps(_mm_cmpunord_ps(s, s))) << v;
            }
            offer_all = (nan & live) != 0;
        }
        if (offer_all || !top.full()) {
            for (std::size_t j = 0; j < n; ++j) top.offer(store.ids[row[j]], score[j], first_row + row[j]);
            return;
        }
        const __m128 worst = _mm_set1_ps(top.worst_score());
        unsigned above = 0;
        for (std::size_t v = 0; v < kBlock; v += 4) {
            above |= static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(_mm_load_ps(score + v), worst))) << v;
        }
        for (above &= live; above != 0; above &= above - 1) {
            const unsigned j = static_cast<unsigned>(__builtin_ctz(above));
            top.offer(store.ids[row[j]], score[j], first_row + row[j]);
        }
    }

    void run() {
        const std::size_t rows = store.rows;
        std::size_t i = 0;
        while (i < rows) {
            std::size_t n = 0;
            if constexpr (Filtered) {
                for (; i < rows && n < kBlock; ++i) {
                    if (!filter->allows(store.ids[i])) continue;
                    row[n] = i;
                    code[n++] = store.codes + i * store.row_bytes;
                }
                if (n == 0) break;
            } else {
                n = std::min(kBlock, rows - i);
                for (std::size_t j = 0; j < n; ++j) {
                    row[j] = i + j;
                    code[j] = store.codes + (i + j) * store.row_bytes;
                }
                i += n;
            }
            score_block(n);
            offer_block(n);
        }
    }
};

}  // namespace

void scan_store(const QueryScorer& scorer, const StoreView& store, const AllowFilter* filter, TopK& top,
                std::uint64_t first_row) {
    scorer.dispatch([&]<Layout L, Metric M>() {
        const bool norms = store.norms != nullptr;
        if (filter && norms) Scan<L, M, true, true>{scorer, store, filter, top, first_row}.run();
        else if (filter) Scan<L, M, false, true>{scorer, store, filter, top, first_row}.run();
        else if (norms) Scan<L, M, true, false>{scorer, store, filter, top, first_row}.run();
        else Scan<L, M, false, false>{scorer, store, filter, top, first_row}.run();
    });
}

}  // namespace korvane
