// The construction search: how an inserted node finds its neighbours. plan_links (at the
// bottom) descends from the entry point with a beam of one through the layers above the
// node's level, then on each layer from that level down to 0 runs a beam of
// ef_construction and lets the selection rule choose among what it found. BuildSearch is that beam search, on construction scores that are
// fast with a bound and computed in order only where the bound leaves a decision open;
// Beam keeps its result list.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "index/hnsw/construction_scores.h"
#include "index/hnsw/insert.h"
#include "index/hnsw/select.h"
#include "index/hnsw/visited.h"

namespace korvane {

namespace {

// a's score above b's (a strict comparison, as on the in-order scores).
inline bool above(BuildScores& sc, const Bounded& a, const Bounded& b) {
    if (a.lo > b.hi) return true;
    if (a.hi <= b.lo) return false;
    return sc.exact(a.node) > sc.exact(b.node);
}

// The candidate order: the higher score first, among equal scores the larger node.
inline bool pops_first(BuildScores& sc, const Bounded& a, const Bounded& b) {
    if (a.lo > b.hi) return true;
    if (b.lo > a.hi) return false;
    const float x = sc.exact(a.node), y = sc.exact(b.node);
    if (x != y) return x > y;
    return a.node > b.node;
}

// The order of the candidate heap's array: fast values, ties to the larger node.
inline bool fast_first(const Bounded& a, const Bounded& b) { return a.f > b.f || (a.f == b.f && a.node > b.node); }

// In v (n values, highest first), the place after every value not below x: a binary
// search without branches on the values, whose order the CPU cannot guess.
inline std::size_t after_not_below(const float* v, std::size_t n, float x) {
    if (n == 0) return 0;
    const float* p = v;
    while (n > 1) {
        const std::size_t half = n / 2;
        p = p[half] >= x ? p + half : p;
        n -= half;
    }
    return static_cast<std::size_t>(p - v) + (p[0] >= x);
}

// The result list of a construction beam search, kept as the entries it admitted, in
// order. The list itself is the `size` best of them (higher score first, then the earlier
// admitted): admitting appends and the list drops its lowest, which keeps exactly those.
// So the search needs only the lowest score in the list, which lies between the size-th
// largest low end and that plus the widest bound, and at the end the members in order.
class Beam {
public:
    // The list's lowest score at one moment: its bound, and what computes it exactly.
    struct Lowest {
        double lo, hi;
        std::size_t admitted;  // entries admitted then
        std::size_t size;      // the list's size then; 0 means empty (the lowest is +inf)
    };

    void start(const Bounded& e) {
        all_.clear();
        lows_.clear();
        size_ = 0;
        full_ = false;
        fill_lowest_ = kInf;
        widest_ = 0.0;
        known_admitted_ = kNone;
        add(e, 1);
    }
    std::size_t size() const { return size_; }
    void add(const Bounded& b, std::uint64_t ef) {
        all_.push_back(b);
        widest_ = std::max(widest_, static_cast<double>(b.hi) - static_cast<double>(b.lo));
        if (size_ < ef) {
            // Filling: every entry is in the list. Once full, lows_ holds the size_
            // largest low ends, highest first.
            ++size_;
            lows_.push_back(b.lo);
            fill_lowest_ = std::min(fill_lowest_, b.lo);
            full_ = size_ == ef;
            if (full_) std::sort(lows_.begin(), lows_.end(), std::greater<float>());
            return;
        }
        size_ = static_cast<std::size_t>(ef);
        lows_.insert(lows_.begin() + static_cast<std::ptrdiff_t>(after_not_below(lows_.data(), lows_.size(), b.lo)),
                     b.lo);
        lows_.resize(size_);
    }
    Lowest lowest() const {
        if (size_ == 0) return {kInf, kInf, all_.size(), 0};
        // Each score is at most its low end plus the widest bound; widest_ is within 2^-52
        // of a difference of the entries' ends.
        const double lo = full_ ? lows_.back() : fill_lowest_;
        return {lo, lo + widest_ * (1.0 + 0x1.0p-40), all_.size(), size_};
    }

    // l's score strictly above c's.
    bool above(BuildScores& sc, const Lowest& l, const Bounded& c) {
        if (l.size == 0) return c.hi < kInf || sc.exact(c.node) < kInf;
        if (l.lo > c.hi) return true;
        if (l.hi <= c.lo) return false;
        return exact(sc, l) > sc.exact(c.node);
    }
    // c's score strictly above l's.
    bool below(BuildScores& sc, const Lowest& l, const Bounded& c) {
        if (l.size == 0) return false;
        if (c.lo > l.hi) return true;
        if (c.hi <= l.lo) return false;
        return sc.exact(c.node) > exact(sc, l);
    }

    // Drops entries that can never be in the list again (below the size-th largest low
    // end, which only rises while the list is full), once they are many.
    void tidy(std::uint64_t ef) {
        if (!full_ || size_ < ef || all_.size() < 2 * size_ + 32) return;
        const float floor = lows_.back();
        std::erase_if(all_, [&](const Bounded& b) { return b.hi < floor; });
        known_admitted_ = kNone;
    }

    // The list's members, best first (ties: the earlier admitted first).
    void finish(BuildScores& sc, std::vector<Bounded>& w) {
        w.clear();
        const Lowest l = lowest();
        if (l.size == all_.size()) {
            w = all_;
        } else if (l.size > 0) {
            const float v = exact(sc, l);
            std::size_t ties = l.size - above_count_;  // band members needed
            for (const Bounded& b : all_) {
                if (b.lo > l.hi || b.hi < l.lo) continue;
                if (sc.exact(b.node) > v) --ties;
            }
            // In admission order: the entries above the band, those of the band above v,
            // and the first of those equal to v.
            for (const Bounded& b : all_) {
                if (b.lo > l.hi) {
                    w.push_back(b);
                } else if (b.hi >= l.lo) {
                    const float s = sc.exact(b.node);
                    if (s > v || (s == v && ties > 0)) {
                        ties -= s == v;
                        w.push_back(b);
                    }
                }
            }
        }
        order_.sort(sc, w);
    }

private:
    static constexpr float kInf = std::numeric_limits<float>::infinity();
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // The exact lowest score of the list at moment l: the size-th largest in-order score
    // among the entries admitted then. Entries wholly above the bound are counted, those
    // across it computed side by side.
    float exact(BuildScores& sc, const Lowest& l) {
        if (known_admitted_ == l.admitted && known_size_ == l.size) return known_;
        above_count_ = 0;
        band_.clear();
        for (std::size_t i = 0; i < l.admitted; ++i) {
            const Bounded& b = all_[i];
            if (b.lo > l.hi) ++above_count_;
            else if (b.hi >= l.lo) band_.push_back(b.node);
        }
        sc.resolve(band_.data(), band_.size());
        values_.clear();
        for (std::uint32_t node : band_) values_.push_back(sc.exact(node));
        const std::size_t rank = l.size - above_count_ - 1;  // among the band, best first
        std::nth_element(values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(rank), values_.end(),
                         std::greater<float>());
        known_ = values_[rank];
        known_admitted_ = l.admitted;
        known_size_ = l.size;
        return known_;
    }

    std::vector<Bounded> all_;
    std::vector<float> lows_;
    std::size_t size_ = 0;
    bool full_ = false;
    float fill_lowest_ = kInf;
    double widest_ = 0.0;
    std::vector<std::uint32_t> band_;
    std::vector<float> values_;
    BestFirst order_;
    std::size_t above_count_ = 0;
    std::size_t known_admitted_ = kNone, known_size_ = 0;
    float known_ = 0.0f;
};

// The beam search of one layer during insertion: the steps and decisions of LayerSearch
// on the in-order construction scores, taken on fast scores wherever their bounds decide.
class BuildSearch {
public:
    std::vector<Bounded> w;

    // Out of line, so that callers hold the address instead of looking it up again.
    [[gnu::noinline]] static BuildSearch& local() {
        thread_local BuildSearch s;
        return s;
    }

    void run(const HnswIndex& index, BuildScores& sc, std::uint32_t entry, std::uint64_t ef, std::uint64_t layer) {
        // Two-byte stamps: half the memory to miss in, a clearing every 65,535 searches.
        visited_.start(index.size());
        std::uint16_t* const stamps = visited_.stamps();
        const std::uint16_t epoch = visited_.epoch();
        stamps[entry] = epoch;
        Bounded e;
        sc.score(&entry, 1, &e);
        heap_.clear();
        bin_.clear();
        bin_hi_ = -kInf;
        widest_ = 0.0f;
        push(e);
        beam_.start(e);
        std::uint64_t popped = 0;
        while (!heap_.empty() || !bin_.empty()) {
            beam_.tidy(ef);
            const Beam::Lowest worst = beam_.lowest();  // fixed for this expansion
            if (!bin_.empty() && (heap_.empty() || !(heap_[0].lo > bin_hi_))) {
                // The next candidate might be a set-aside one, which is below the list's
                // lowest score. Past ef expansions, with every entry of the heap below it too
                // (none reaches beyond the top's fast value plus twice the widest bound), the
                // search stops at that candidate whichever it is; else they rejoin the heap.
                if (popped + 1 > ef &&
                    (heap_.empty() || static_cast<double>(heap_[0].f) + 2.0 * widest_ < worst.lo))
                    break;
                for (const Bounded& b : bin_) push(b);
                bin_.clear();
                bin_hi_ = -kInf;
            }
            const Bounded c = pop(sc);
            ++popped;
            if (popped > ef && beam_.above(sc, worst, c)) break;
            if (layer > 0 && index.levels[c.node] < layer) continue;
            const std::span<const std::uint32_t> list = index.neighbours(c.node, layer);
            if (fresh_.size() < list.size()) {
                fresh_.resize(list.size());
                scored_.resize(list.size());
            }
            std::size_t n_fresh = 0;
            for (std::uint32_t nb : list) {
                if (stamps[nb] == epoch) continue;
                stamps[nb] = epoch;
                __builtin_prefetch(index.construction_vectors.data() + std::size_t{nb} * index.padded_dim);
                fresh_[n_fresh++] = nb;
            }
            if (n_fresh == 0) continue;
            sc.score(fresh_.data(), n_fresh, scored_.data());
            // Once the list is full its lowest score only rises: a candidate below it now is
            // never admitted and comes out of the heap only if the heap holds nothing above
            // it, so it waits aside.
            const bool full = ef > 0 && worst.size == ef;
            for (std::size_t j = 0; j < n_fresh; ++j) {
                const Bounded& cand = scored_[j];
                if (full && static_cast<double>(cand.hi) < worst.lo) {
                    bin_.push_back(cand);
                    bin_hi_ = std::max(bin_hi_, cand.hi);
                    continue;
                }
                push(cand);
                // Its list is read when it is expanded, likely soon.
                __builtin_prefetch(index.links0.data() + std::size_t{cand.node} * index.stride0);
                if (beam_.size() < ef || beam_.below(sc, worst, cand)) beam_.add(cand, ef);
            }
        }
        beam_.finish(sc, w);
    }

private:
    void push(const Bounded& b) {
        widest_ = std::max(widest_, std::max(b.hi - b.f, b.f - b.lo));
        heap_.push_back(b);
        sift_up(heap_.size() - 1);
    }
    void sift_up(std::size_t pos) {
        const Bounded b = heap_[pos];
        while (pos > 0) {
            const std::size_t parent = (pos - 1) / 2;
            if (!fast_first(b, heap_[parent])) break;
            heap_[pos] = heap_[parent];
            pos = parent;
        }
        heap_[pos] = b;
    }
    void sift_down(std::size_t pos) {
        const std::size_t n = heap_.size();
        const Bounded b = heap_[pos];
        for (;;) {
            std::size_t child = 2 * pos + 1;
            if (child >= n) break;
            if (child + 1 < n && fast_first(heap_[child + 1], heap_[child])) ++child;
            if (!fast_first(heap_[child], b)) break;
            heap_[pos] = heap_[child];
            pos = child;
        }
        heap_[pos] = b;
    }

    // Takes out the candidate the in-order scores pop first. The heap is ordered by fast
    // values; only entries whose bound reaches the top's can come before it, and a subtree
    // whose root's fast value plus twice the widest bound is below the top's low end
    // holds none (widest_ is at least hi - f of every entry up to a rounding, and at
    // least 8u|f|). Those that can get their in-order scores side by side, kept in the
    // heap as points.
    Bounded pop(BuildScores& sc) {
        const Bounded top = heap_[0];
        const double reach = static_cast<double>(top.lo) - 2.0 * widest_;
        const std::size_t size = heap_.size();
        near_.clear();
        stack_.clear();
        for (std::size_t c = 1; c <= 2 && c < size; ++c) {
            if (static_cast<double>(heap_[c].f) >= reach) stack_.push_back(c);
        }
        while (!stack_.empty()) {
            const std::size_t p = stack_.back();
            stack_.pop_back();
            if (heap_[p].hi >= top.lo) near_.push_back(p);
            for (std::size_t c = 2 * p + 1; c <= 2 * p + 2 && c < size; ++c) {
                if (static_cast<double>(heap_[c].f) >= reach) stack_.push_back(c);
            }
        }
        std::size_t best = 0;
        if (!near_.empty()) {
            nodes_.clear();
            nodes_.push_back(top.node);
            for (std::size_t p : near_) nodes_.push_back(heap_[p].node);
            sc.resolve(nodes_.data(), nodes_.size());
            to_point(sc, heap_[0]);
            for (std::size_t p : near_) {
                to_point(sc, heap_[p]);
                if (pops_first(sc, heap_[p], heap_[best])) best = p;
            }
        }
        const Bounded out = heap_[best];
        const Bounded last = heap_.back();
        heap_.pop_back();
        if (best < heap_.size()) {
            heap_[best] = last;
            if (best > 0 && fast_first(last, heap_[(best - 1) / 2])) sift_up(best);
            else sift_down(best);
        }
        return out;
    }
    // The bound of an entry whose in-order score is known becomes that score; its fast
    // value stays, as the heap's order.
    static void to_point(BuildScores& sc, Bounded& b) { b.lo = b.hi = sc.exact(b.node); }

    static constexpr float kInf = std::numeric_limits<float>::infinity();

    VisitedSet<std::uint16_t> visited_;
    std::vector<Bounded> heap_;
    std::vector<Bounded> bin_;  // candidates set aside, below the full list's lowest score
    float bin_hi_ = -kInf;      // the highest bound among them
    Beam beam_;
    float widest_ = 0.0f;
    std::vector<std::uint32_t> fresh_;
    std::vector<Bounded> scored_;
    std::vector<std::size_t> near_, stack_;
    std::vector<std::uint32_t> nodes_;
};

}  // namespace

void plan_links(const HnswIndex& index, std::uint32_t n, LinkPlan& plan) {
    const std::uint64_t level = index.levels[n];
    plan.chosen.resize(static_cast<std::size_t>(level) + 1);
    for (auto& c : plan.chosen) c.clear();
    if (!index.entry_point) return;
    BuildScores& scores = BuildScores::local();
    scores.start(index, n);
    BuildSearch& search = BuildSearch::local();
    thread_local std::vector<Bounded> live_found;
    std::uint32_t ep = *index.entry_point;
    const std::uint64_t top = index.max_level;
    for (std::uint64_t lc = top; lc > level; --lc) {
        search.run(index, scores, ep, 1, lc);
        if (!search.w.empty()) ep = search.w[0].node;
    }
    // A layer's links and back-links change only that layer's lists, which the searches
    // below it never read: planning every layer first chooses what inserting layer by
    // layer chooses.
    const BaseScores base_scores = index.metric == Metric::L2 ? BaseScores::kScored : BaseScores::kCandidate;
    for (std::uint64_t lc = std::min(top, level) + 1; lc-- > 0;) {
        search.run(index, scores, ep, index.ef_construction, lc);
        std::vector<ScoredNode>& chosen = plan.chosen[lc];
        // Deleted nodes guide the search but are not linked to: a purge would drop them.
        const std::vector<Bounded>* found = &search.w;
        if (index.n_deleted > 0) {
            live_found.clear();
            for (const Bounded& b : search.w) {
                if (!index.is_deleted(b.node)) live_found.push_back(b);
            }
            found = &live_found;
        }
        select_into(index, n, found->data(), nullptr, found->size(), index.cap(lc), base_scores,
                    [&](const Bounded& b) { return scores.exact(b.node); }, chosen);
        // The scores kept with the links are the in-order ones.
        scores.make_exact(chosen);
        if (!search.w.empty()) ep = search.w[0].node;
    }
}

}  // namespace korvane
