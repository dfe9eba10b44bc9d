// The kept rows of a store: rows it owns, after a prefix it may borrow from memory that
// someone else owns (a mapped index file), kept alive by a shared owner. What is added
// later is always owned; nothing ever writes to the borrowed rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/grow.h"

namespace korvane {

class KeptRows {
public:
    std::uint64_t row_bytes() const { return row_bytes_; }
    // Rows from now on have this length; only while there are none.
    void set_row_bytes(std::uint64_t bytes) { row_bytes_ = bytes; }
    std::size_t rows() const { return borrowed_rows_ + (row_bytes_ ? owned_.size() / row_bytes_ : 0); }
    std::size_t borrowed_rows() const { return borrowed_rows_; }

    const std::uint8_t* row(std::size_t i) const {
        return i < borrowed_rows_ ? borrowed_ + i * row_bytes_ : owned_.data() + (i - borrowed_rows_) * row_bytes_;
    }

    // Takes over `rows` (whole rows of `bytes` each), replacing any rows held.
    void adopt(std::uint64_t bytes, std::vector<std::uint8_t> rows) {
        *this = KeptRows();
        row_bytes_ = bytes;
        owned_ = std::move(rows);
    }
    // Uses `count` rows at `data` in place, for as long as this store or a copy of it
    // lives; `owner` keeps that memory valid.
    void borrow(std::uint64_t bytes, const std::uint8_t* data, std::size_t count, std::shared_ptr<const void> owner) {
        *this = KeptRows();
        row_bytes_ = bytes;
        borrowed_ = data;
        borrowed_rows_ = count;
        owner_ = std::move(owner);
    }

    void reserve_more(std::size_t n) { korvane::reserve_more(owned_, n * row_bytes_); }
    // Appends one row; a null row appends zeros.
    void push(const std::uint8_t* row) {
        if (row != nullptr) owned_.insert(owned_.end(), row, row + row_bytes_);
        else owned_.resize(owned_.size() + row_bytes_, 0);
    }
    // Keeps the first n rows; never allocates.
    void truncate(std::size_t n) {
        if (n >= rows()) return;
        if (n <= borrowed_rows_) {
            owned_.clear();
            borrowed_rows_ = n;
        } else {
            owned_.resize((n - borrowed_rows_) * row_bytes_);
        }
    }
    // Drops the rows from `first` on for which drop(i) is true, keeping the others in
    // order. Borrowed rows from `first` on become owned: on std::bad_alloc nothing changed.
    template <class Drop>
    void erase_rows(std::size_t first, Drop&& drop) {
        const std::size_t n = rows();
        if (row_bytes_ == 0 || first >= n) return;
        if (first < borrowed_rows_) {
            std::vector<std::uint8_t> owned;
            owned.reserve((n - first) * row_bytes_);
            for (std::size_t i = first; i < n; ++i) {
                if (!drop(i)) owned.insert(owned.end(), row(i), row(i) + row_bytes_);
            }
            owned_ = std::move(owned);
            borrowed_rows_ = first;
            if (borrowed_rows_ == 0) {
                borrowed_ = nullptr;
                owner_.reset();
            }
            return;
        }
        std::size_t out = first - borrowed_rows_;
        for (std::size_t i = first; i < n; ++i) {
            if (drop(i)) continue;
            const std::size_t at = i - borrowed_rows_;
            if (at != out) std::memmove(owned_.data() + out * row_bytes_, owned_.data() + at * row_bytes_, row_bytes_);
            ++out;
        }
        owned_.resize(out * row_bytes_);
    }
    void shrink_to_fit() { owned_.shrink_to_fit(); }
    // Drops every row and gives the memory (and any borrowed memory) back.
    void release() {
        const std::uint64_t bytes = row_bytes_;
        *this = KeptRows();
        row_bytes_ = bytes;
    }

    // Calls f(data, size) for each run of consecutive rows, in row order.
    template <class F>
    void for_each_run(F&& f) const {
        if (borrowed_rows_ > 0) f(borrowed_, borrowed_rows_ * row_bytes_);
        if (!owned_.empty()) f(owned_.data(), owned_.size());
    }
    // Every row, in order, as one array (tests and exports).
    std::vector<std::uint8_t> copy() const {
        std::vector<std::uint8_t> out;
        out.reserve(rows() * row_bytes_);
        for_each_run([&](const std::uint8_t* p, std::size_t n) { out.insert(out.end(), p, p + n); });
        return out;
    }

private:
    std::uint64_t row_bytes_ = 0;
    const std::uint8_t* borrowed_ = nullptr;
    std::size_t borrowed_rows_ = 0;
    std::shared_ptr<const void> owner_;
    std::vector<std::uint8_t> owned_;
};

}  // namespace korvane
