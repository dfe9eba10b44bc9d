// A set of float rows of possibly different lengths, stored back to back.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace korvane {

class RowSet {
public:
    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::span<const float> row(std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {values_.data() + begin, ends_[i] - begin};
    }
    void push_row(std::span<const float> r) {
        values_.insert(values_.end(), r.begin(), r.end());
        ends_.push_back(values_.size());
    }
    // Building a row in place: append its values, then close it.
    std::vector<float>& values() { return values_; }
    void close_row() { ends_.push_back(values_.size()); }
    void reserve_rows(std::size_t n) { ends_.reserve(n); }

private:
    std::vector<float> values_;
    std::vector<std::size_t> ends_;
};

// Rows an add reads one at a time, in whatever form they lie: read(context, i, slot) gives
// row i's floats, in place or written to `slot` (room for as many floats as the add says).
// An add calls it from its threads at once, for different rows; one function per form of
// row is picked before the add, never a choice per row.
struct RowReader {
    const float* (*read)(const void* context, std::size_t i, float* slot) = nullptr;
    const void* context = nullptr;
    std::size_t rows = 0;

    const float* operator()(std::size_t i, float* slot) const { return read(context, i, slot); }
};

}  // namespace korvane
