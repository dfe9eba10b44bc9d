// Bounded selection of the k best (id, score) pairs: a binary heap whose top is the
// worst entry. A NaN score compares equal to every score, so ids decide between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/types.h"

namespace korvane {

struct SearchHit {
    VectorId id;
    float score;
    // Where the row lies in its index (a row, a list and member, a node), for re-scoring.
    std::uint64_t row = 0;
};

class TopK {
public:
    // Room is reserved for min(k, expected) entries, never k itself: k may be huge.
    TopK(std::uint64_t k, std::uint64_t expected) : k_(k) {
        heap_.reserve(static_cast<std::size_t>(k < expected ? k : expected));
    }

    void offer(VectorId id, float score, std::uint64_t row = 0) {
        if (heap_.size() < k_) {
            push({id, score, row});
        } else if (k_ != 0 && score > heap_[0].score) {  // strictly; never for a NaN
            remove_top();
            push({id, score, row});
        }
    }

    std::size_t size() const { return heap_.size(); }
    // Whether a NaN score ever entered: from then on the worst score may fall.
    bool has_nan() const { return nan_; }
    bool full() const { return heap_.size() >= k_; }
    // The score a new entry must exceed once the selection is full.
    float worst_score() const { return heap_[0].score; }
    const std::vector<SearchHit>& entries() const { return heap_; }

    // Entries in array order, stably sorted by score descending.
    std::vector<SearchHit> finish() &&;

    // a is worse than b: lower score, or equal scores and a greater id.
    static bool worse(const SearchHit& a, const SearchHit& b) {
        if (a.score < b.score) return true;
        if (b.score < a.score) return false;
        return a.id > b.id;
    }

private:
    void push(SearchHit e) {
        nan_ |= e.score != e.score;
        heap_.push_back(e);
        sift_up(heap_.size() - 1);
    }

    void sift_up(std::size_t pos) {
        const SearchHit e = heap_[pos];
        while (pos > 0) {
            const std::size_t parent = (pos - 1) / 2;
            if (!worse(e, heap_[parent])) break;  // equal entries are not swapped
            heap_[pos] = heap_[parent];
            pos = parent;
        }
        heap_[pos] = e;
    }

    void remove_top() {
        const SearchHit e = heap_.back();
        heap_.pop_back();
        const std::size_t len = heap_.size();
        if (len == 0) return;
        std::size_t hole = 0;
        while (2 * hole + 2 < len) {
            const std::size_t c1 = 2 * hole + 1, c2 = c1 + 1;
            // the second child unless the first is strictly worse
            const std::size_t c = worse(heap_[c1], heap_[c2]) ? c1 : c2;
            heap_[hole] = heap_[c];
            hole = c;
        }
        if (2 * hole + 1 == len - 1) {
            heap_[hole] = heap_[len - 1];
            hole = len - 1;
        }
        heap_[hole] = e;
        sift_up(hole);
    }

    std::uint64_t k_;
    std::vector<SearchHit> heap_;
    bool nan_ = false;
};

// Stable sort by score descending in which a NaN compares equal to every score.
void sort_hits_descending(std::vector<SearchHit>& hits);
// Re-scored hits best first: finite scores descending (ties keep their order), then the
// rows whose scores are not finite, in their order.
void sort_rescored(std::vector<SearchHit>& hits);

}  // namespace korvane
