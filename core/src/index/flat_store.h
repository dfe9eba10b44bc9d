// Packed rows with their ids and quantized norms, each array contiguous. The graph's node
// codes are a FlatStore (row-major); the brute-force storage, the pending rows of an IVF
// index and every IVF list are a BlockStore, whose whole blocks of 32 rows are kept in the
// scan layout (index/blocks.h) and whose last size() % 32 rows follow them row-major.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "base/grow.h"
#include "base/types.h"
#include "index/blocks.h"
#include "index/kept_rows.h"

namespace korvane {

// What a scan reads: `rows` rows of `row_bytes` bytes back to back, one id each, and one
// norm each or none at all (norms == nullptr: scores are used without adjustment).
struct StoreView {
    const std::uint8_t* codes = nullptr;
    const VectorId* ids = nullptr;
    const float* norms = nullptr;
    std::size_t rows = 0;
    std::uint64_t row_bytes = 0;
};

// What a scan of a BlockStore reads: the codes of `rows` rows, rows / 32 whole blocks
// then the rest row-major (row i >= 32·(rows / 32) starts at codes + i·row_bytes).
struct BlockView {
    const std::uint8_t* codes = nullptr;
    const VectorId* ids = nullptr;
    const float* norms = nullptr;
    std::size_t rows = 0;
    std::uint64_t row_bytes = 0;

    // Every norm is the norm of its row's dequantized codes (as computed when it was
    // added), so it bounds any part of the row's score: scans may rely on it.
    bool norms_of_codes = false;

    std::size_t blocks() const { return rows / kBlockRows; }
    const std::uint8_t* block(std::size_t j) const { return codes + j * kBlockRows * row_bytes; }
    // The rows after the last whole block, as a row-major view.
    StoreView tail() const {
        const std::size_t first = blocks() * kBlockRows;
        return {codes + first * row_bytes, ids + first, norms ? norms + first : nullptr, rows - first, row_bytes};
    }
};

template <bool Blocked>
class BasicStore {
public:
    BasicStore() = default;
    // kept_bytes: the length of the kept vector stored with every row (0: none).
    explicit BasicStore(std::uint64_t row_bytes, std::uint64_t kept_bytes = 0) : row_bytes_(row_bytes) {
        kept_.set_row_bytes(kept_bytes);
    }

    // Takes over arrays read from elsewhere (codes row-major); `norms` is either one per
    // id or empty.
    static BasicStore adopt(std::uint64_t row_bytes, std::vector<std::uint8_t> codes, std::vector<VectorId> ids,
                            std::vector<float> norms) {
        BasicStore s(row_bytes);
        s.norms_of_codes_ = false;
        s.codes_ = std::move(codes);
        s.ids_ = std::move(ids);
        s.norms_ = std::move(norms);
        if constexpr (Blocked) {
            const std::size_t block_bytes = kBlockRows * row_bytes;
            std::vector<std::uint8_t> rows(block_bytes);
            for (std::size_t j = 0; j < s.ids_.size() / kBlockRows; ++j) {
                std::uint8_t* at = s.codes_.data() + j * block_bytes;
                std::memcpy(rows.data(), at, block_bytes);
                rows_to_block(rows.data(), row_bytes, at);
            }
        }
        return s;
    }

    std::uint64_t row_bytes() const { return row_bytes_; }
    std::uint64_t kept_bytes() const { return kept_.row_bytes(); }
    // Rows from now on keep kept_bytes each; only for an empty store.
    void set_kept_bytes(std::uint64_t kept_bytes) { kept_.set_row_bytes(kept_bytes); }
    // Takes over the kept rows of every stored row (kept_bytes · size() bytes).
    void adopt_kept(std::uint64_t kept_bytes, std::vector<std::uint8_t> kept) { kept_.adopt(kept_bytes, std::move(kept)); }
    // Reads the kept rows of every stored row in place at `data`, which `owner` keeps valid.
    void borrow_kept(std::uint64_t kept_bytes, const std::uint8_t* data, std::shared_ptr<const void> owner) {
        kept_.borrow(kept_bytes, data, ids_.size(), std::move(owner));
    }
    std::size_t size() const { return ids_.size(); }
    bool empty() const { return ids_.empty(); }
    bool has_norms() const { return !norms_.empty() || ids_.empty(); }

    // Room for n more rows. On std::bad_alloc the store's contents are unchanged.
    void reserve_more(std::size_t n) {
        korvane::reserve_more(codes_, n * row_bytes_);
        if constexpr (Blocked) {
            std::vector<std::uint8_t>& scratch = block_scratch();
            if (n > 0 && scratch.size() < kBlockRows * row_bytes_) scratch.resize(kBlockRows * row_bytes_);
        }
        korvane::reserve_more(ids_, n);
        korvane::reserve_more(norms_, n);
        kept_.reserve_more(n);
    }

    // Appends one row (with its kept vector when the store keeps them); after
    // reserve_more this does not allocate.
    void push(VectorId id, const std::uint8_t* code, float norm, const std::uint8_t* kept = nullptr) {
        if constexpr (Blocked) {
            // Room to lay out the block this row completes, had before anything changes.
            if ((ids_.size() + 1) % kBlockRows == 0 && block_scratch().size() < kBlockRows * row_bytes_) {
                block_scratch().resize(kBlockRows * row_bytes_);
            }
        }
        codes_.insert(codes_.end(), code, code + row_bytes_);
        ids_.push_back(id);
        norms_.push_back(norm);
        if constexpr (Blocked) {
            if (ids_.size() % kBlockRows == 0) seal_block();
        }
        if (kept_.row_bytes() != 0) kept_.push(kept);  // callers always pass one
    }

    const std::uint8_t* row(std::size_t i) const
        requires(!Blocked)
    {
        return codes_.data() + i * row_bytes_;
    }
    // Row i's code into out (row_bytes() bytes).
    void copy_row(std::size_t i, std::uint8_t* out) const {
        const std::size_t whole = Blocked ? ids_.size() / kBlockRows * kBlockRows : 0;
        if (i < whole) {
            block_row(codes_.data() + (i / kBlockRows) * kBlockRows * row_bytes_, row_bytes_, i % kBlockRows, out);
        } else {
            std::memcpy(out, codes_.data() + i * row_bytes_, row_bytes_);
        }
    }
    std::vector<std::uint8_t> code(std::size_t i) const {
        std::vector<std::uint8_t> out(row_bytes_);
        copy_row(i, out.data());
        return out;
    }
    // Calls f(i, code) for every row in order; `code` is valid during the call only.
    template <class F>
    void for_each_row(F&& f) const {
        std::size_t i = 0;
        if constexpr (Blocked) {
            std::vector<std::uint8_t> rows(kBlockRows * row_bytes_);
            for (; i + kBlockRows <= ids_.size(); i += kBlockRows) {
                block_to_rows(codes_.data() + i * row_bytes_, row_bytes_, rows.data());
                for (std::size_t r = 0; r < kBlockRows; ++r) f(i + r, rows.data() + r * row_bytes_);
            }
        }
        for (; i < ids_.size(); ++i) f(i, codes_.data() + i * row_bytes_);
    }
    // Every code row-major, as the file and packed_data() hold them.
    std::vector<std::uint8_t> row_major() const {
        std::vector<std::uint8_t> out(codes_.size());
        for_each_row([&](std::size_t i, const std::uint8_t* code) {
            std::memcpy(out.data() + i * row_bytes_, code, row_bytes_);
        });
        return out;
    }
    VectorId id(std::size_t i) const { return ids_[i]; }
    const std::uint8_t* kept_row(std::size_t i) const { return kept_.row_bytes() ? kept_.row(i) : nullptr; }
    const KeptRows& kept() const { return kept_; }
    // A store without norms (a legacy file) reads as 0, which scores rows raw.
    float norm(std::size_t i) const { return norms_.empty() ? 0.0f : norms_[i]; }
    std::span<const std::uint8_t> codes() const
        requires(!Blocked)
    {
        return codes_;
    }
    std::span<const VectorId> ids() const { return ids_; }
    std::span<const float> norms() const { return norms_; }

    StoreView view() const
        requires(!Blocked)
    {
        return {codes_.data(), ids_.data(), norms_.empty() ? nullptr : norms_.data(), ids_.size(), row_bytes_};
    }
    BlockView blocks() const
        requires Blocked
    {
        return {codes_.data(), ids_.data(), norms_.empty() ? nullptr : norms_.data(), ids_.size(), row_bytes_,
                norms_of_codes_};
    }
    // Whether every norm is the norm of its row's codes. Rows read from a file are not
    // until checked; a store filled from others is so only when they all were.
    bool norms_of_codes() const { return norms_of_codes_; }
    void set_norms_of_codes(bool yes) { norms_of_codes_ = yes; }

    // A store loaded without norms (a legacy file) must get them from its codes before
    // rows are added, so that rows never outnumber norms. These are those norms, with room
    // for `more` rows, or nothing when the store needs none; the store is not changed, so
    // an add that fails after this leaves it without norms, as it was.
    template <class NormOf>
    std::vector<float> missing_norms(NormOf&& norm_of, std::size_t more) const {
        if (!norms_.empty() || ids_.empty()) return {};
        std::vector<float> norms;
        norms.reserve(ids_.size() + more);
        for_each_row([&](std::size_t, const std::uint8_t* code) { norms.push_back(norm_of(code)); });
        return norms;
    }
    // Takes over the norms of missing_norms (one per stored row); does not allocate.
    void adopt_norms(std::vector<float>&& norms) noexcept { norms_ = std::move(norms); }

    // Drops the rows from n on; never allocates.
    void truncate(std::size_t n)
        requires(!Blocked)
    {
        if (n >= ids_.size()) return;
        codes_.resize(n * row_bytes_);
        ids_.resize(n);
        if (!norms_.empty()) norms_.resize(n);
        kept_.truncate(n);
    }

    // Drops the rows from `first` on for which drop(i) is true (asked once of each, in
    // order, before anything moves), in one pass, keeping the others in order (blocks from the first changed one are laid out again); returns how
    // many were dropped. On std::bad_alloc (only a mapped store's kept rows, which then
    // move into memory, or the room for one block) nothing changed.
    template <class Drop>
    std::size_t erase_rows(std::size_t first, Drop&& drop) {
        const std::size_t n = ids_.size();
        if (first >= n) return 0;
        // Decided once per row, before anything moves.
        std::vector<bool> dropped(n - first);
        std::size_t count = 0;
        for (std::size_t i = first; i < n; ++i) count += (dropped[i - first] = static_cast<bool>(drop(i)));
        if (count == 0) return 0;
        const auto gone = [&](std::size_t i) { return dropped[i - first]; };
        std::vector<std::uint8_t> rows(Blocked ? 2 * kBlockRows * row_bytes_ : 0);
        kept_.erase_rows(first, gone);
        // From here on nothing allocates.
        const std::size_t start = Blocked ? first / kBlockRows * kBlockRows : first;
        std::size_t out = start;
        if constexpr (Blocked) {
            // Survivors gather row-major in `pending` and are laid out a block at a time at
            // `out`, which never passes the block being read.
            std::uint8_t* in_rows = rows.data();
            std::uint8_t* pending = rows.data() + kBlockRows * row_bytes_;
            std::size_t held = 0;
            const std::size_t whole = n / kBlockRows * kBlockRows;
            for (std::size_t b = start; b < n; b += kBlockRows) {
                const std::size_t in_block = std::min(kBlockRows, n - b);
                const std::uint8_t* src = codes_.data() + b * row_bytes_;
                if (b < whole) {
                    block_to_rows(src, row_bytes_, in_rows);
                    src = in_rows;
                } else {
                    std::memcpy(in_rows, src, in_block * row_bytes_);
                    src = in_rows;
                }
                for (std::size_t r = 0; r < in_block; ++r) {
                    if (b + r >= first && gone(b + r)) continue;
                    std::memcpy(pending + held * row_bytes_, src + r * row_bytes_, row_bytes_);
                    if (++held == kBlockRows) {
                        rows_to_block(pending, row_bytes_, codes_.data() + out * row_bytes_);
                        out += kBlockRows;
                        held = 0;
                    }
                }
            }
            std::memcpy(codes_.data() + out * row_bytes_, pending, held * row_bytes_);
        } else {
            for (std::size_t i = first; i < n; ++i) {
                if (gone(i)) continue;
                if (i != out) std::memmove(codes_.data() + out * row_bytes_, codes_.data() + i * row_bytes_, row_bytes_);
                ++out;
            }
        }
        std::size_t kept_at = first;
        for (std::size_t i = first; i < n; ++i) {
            if (gone(i)) continue;
            ids_[kept_at] = ids_[i];
            if (!norms_.empty()) norms_[kept_at] = norms_[i];
            ++kept_at;
        }
        ids_.resize(kept_at);
        if (!norms_.empty()) norms_.resize(kept_at);
        codes_.resize(kept_at * row_bytes_);
        return count;
    }

    // Gives back the room kept for growth.
    void shrink_to_fit() {
        codes_.shrink_to_fit();
        ids_.shrink_to_fit();
        norms_.shrink_to_fit();
        kept_.shrink_to_fit();
    }

    // Empties the store and gives its memory back.
    void release() {
        norms_of_codes_ = true;
        std::vector<std::uint8_t>().swap(codes_);
        std::vector<VectorId>().swap(ids_);
        std::vector<float>().swap(norms_);
        kept_.release();
    }

private:
    // Room to lay out one block, one per thread, sized by reserve_more so that a push after
    // it never allocates.
    static std::vector<std::uint8_t>& block_scratch() {
        thread_local std::vector<std::uint8_t> scratch;
        return scratch;
    }

    // The last 32 rows, row-major at the end, become a block.
    void seal_block() {
        const std::size_t block_bytes = kBlockRows * row_bytes_;
        std::uint8_t* at = codes_.data() + codes_.size() - block_bytes;
        std::vector<std::uint8_t>& scratch = block_scratch();
        std::memcpy(scratch.data(), at, block_bytes);
        rows_to_block(scratch.data(), row_bytes_, at);
    }

    std::uint64_t row_bytes_ = 0;
    bool norms_of_codes_ = true;
    std::vector<std::uint8_t> codes_;
    std::vector<VectorId> ids_;
    std::vector<float> norms_;
    KeptRows kept_;
};

using FlatStore = BasicStore<false>;
using BlockStore = BasicStore<true>;

}  // namespace korvane
