// Float rows as an add reads them: RowSource, and a source for each form rows arrive in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace korvane {

// Rows an add reads, in whatever form they lie; each form's source settles how it reads
// when it is made. The add reads from its threads at once (different rows), a row at a
// time: a row that is copied is encoded while it is still in cache.
class RowSource {
public:
    virtual ~RowSource() = default;

    virtual std::size_t size() const = 0;
    // Whether values are left over past the last whole row: a count mismatch of its own.
    virtual bool ragged() const { return false; }
    // How many values row i has.
    virtual std::size_t length(std::size_t i) const = 0;
    // How many rows from the first have exactly `dim` values.
    virtual std::size_t leading(std::size_t dim) const = 0;
    // Row i, of the length the add checked: where it lies, or written to `slot` (room for
    // a row, aligned to a float).
    virtual const float* read(std::size_t i, float* slot) const = 0;
};

// A set of float rows of possibly different lengths, stored back to back; an add reads
// them where they lie.
class RowSet final : public RowSource {
public:
    std::size_t size() const override { return ends_.size(); }
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

    std::size_t length(std::size_t i) const override { return row(i).size(); }
    std::size_t leading(std::size_t dim) const override {
        std::size_t n = 0;
        while (n < size() && row(n).size() == dim) ++n;
        return n;
    }
    const float* read(std::size_t i, float*) const override { return row(i).data(); }

private:
    std::vector<float> values_;
    std::vector<std::size_t> ends_;
};

// Rows of `width` floats back to back, `count` floats in all, read where they lie. `data`
// need not lie on a float (a view into a byte buffer, say): such rows are copied one at a
// time as they are read, never the whole matrix.
class FlatRows final : public RowSource {
public:
    FlatRows(const void* data, std::size_t count, std::size_t width)
        : bytes_(static_cast<const unsigned char*>(data)),
          count_(count),
          width_(width),
          aligned_(reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0) {}
    FlatRows(std::span<const float> values, std::size_t width) : FlatRows(values.data(), values.size(), width) {}

    // rows · width may overflow: the rows are counted by division instead.
    std::size_t size() const override { return width_ == 0 ? 0 : count_ / width_; }
    bool ragged() const override { return width_ == 0 || count_ % width_ != 0; }
    std::size_t length(std::size_t) const override { return width_; }
    std::size_t leading(std::size_t dim) const override { return dim == width_ ? size() : 0; }
    const float* read(std::size_t i, float* slot) const override {
        const unsigned char* row = bytes_ + i * width_ * sizeof(float);
        if (aligned_) return reinterpret_cast<const float*>(row);
        std::memcpy(slot, row, width_ * sizeof(float));
        return slot;
    }

private:
    const unsigned char* bytes_;
    std::size_t count_;
    std::size_t width_;
    bool aligned_;
};

// Rows of `width` values converted to floats as they are read, by a function picked once
// for their form (a type, a layout): convert(context, i, slot) writes row i to slot and
// returns it.
class ReadRows final : public RowSource {
public:
    using Convert = const float* (*)(const void* context, std::size_t i, float* slot);
    ReadRows(Convert convert, const void* context, std::size_t rows, std::size_t width)
        : convert_(convert), context_(context), rows_(rows), width_(width) {}

    std::size_t size() const override { return rows_; }
    std::size_t length(std::size_t) const override { return width_; }
    std::size_t leading(std::size_t dim) const override { return dim == width_ ? rows_ : 0; }
    const float* read(std::size_t i, float* slot) const override { return convert_(context_, i, slot); }

private:
    Convert convert_;
    const void* context_;
    std::size_t rows_;
    std::size_t width_;
};

}  // namespace korvane
