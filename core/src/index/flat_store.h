// Packed rows with their ids and quantized norms, each array contiguous. The brute-force
// storage, the pending rows of an IVF index, every IVF list and the graph's node codes
// are flat stores.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "base/grow.h"
#include "base/types.h"

namespace korvane {

// What a scan reads: `rows` rows of `row_bytes` bytes back to back, one id each, and one
// norm each or none at all (norms == nullptr: scores are used without adjustment).
struct StoreView {
    const std::uint8_t* codes = nullptr;
    const VectorId* ids = nullptr;
    const float* norms = nullptr;
    std::size_t rows = 0;
    std::uint64_t row_bytes = 0;
    const std::uint8_t* kept = nullptr;  // kept_bytes per row, or none
    std::uint64_t kept_bytes = 0;
};

class FlatStore {
public:
    FlatStore() = default;
    // kept_bytes: the length of the kept vector stored with every row (0: none).
    explicit FlatStore(std::uint64_t row_bytes, std::uint64_t kept_bytes = 0)
        : row_bytes_(row_bytes), kept_bytes_(kept_bytes) {}

    // Takes over arrays read from elsewhere; `norms` is either one per id or empty.
    static FlatStore adopt(std::uint64_t row_bytes, std::vector<std::uint8_t> codes, std::vector<VectorId> ids,
                           std::vector<float> norms) {
        FlatStore s(row_bytes);
        s.codes_ = std::move(codes);
        s.ids_ = std::move(ids);
        s.norms_ = std::move(norms);
        return s;
    }

    std::uint64_t row_bytes() const { return row_bytes_; }
    std::uint64_t kept_bytes() const { return kept_bytes_; }
    // Rows from now on keep kept_bytes each; only for an empty store.
    void set_kept_bytes(std::uint64_t kept_bytes) { kept_bytes_ = kept_bytes; }
    // Takes over the kept rows of every stored row (kept_bytes · size() bytes).
    void adopt_kept(std::uint64_t kept_bytes, std::vector<std::uint8_t> kept) {
        kept_bytes_ = kept_bytes;
        kept_ = std::move(kept);
    }
    std::size_t size() const { return ids_.size(); }
    bool empty() const { return ids_.empty(); }
    bool has_norms() const { return !norms_.empty() || ids_.empty(); }

    // Room for n more rows. On std::bad_alloc the store's contents are unchanged.
    void reserve_more(std::size_t n) {
        korvane::reserve_more(codes_, n * row_bytes_);
        korvane::reserve_more(ids_, n);
        korvane::reserve_more(norms_, n);
        korvane::reserve_more(kept_, n * kept_bytes_);
    }

    // Appends one row (with its kept vector when the store keeps them); after
    // reserve_more this does not allocate.
    void push(VectorId id, const std::uint8_t* code, float norm, const std::uint8_t* kept = nullptr) {
        codes_.insert(codes_.end(), code, code + row_bytes_);
        ids_.push_back(id);
        norms_.push_back(norm);
        if (kept_bytes_ == 0) return;
        if (kept != nullptr) kept_.insert(kept_.end(), kept, kept + kept_bytes_);
        else kept_.resize(kept_.size() + kept_bytes_, 0);  // never in practice: callers pass one
    }

    const std::uint8_t* row(std::size_t i) const { return codes_.data() + i * row_bytes_; }
    VectorId id(std::size_t i) const { return ids_[i]; }
    const std::uint8_t* kept_row(std::size_t i) const { return kept_bytes_ ? kept_.data() + i * kept_bytes_ : nullptr; }
    std::span<const std::uint8_t> kept() const { return kept_; }
    // A store without norms (a legacy file) reads as 0, which scores rows raw.
    float norm(std::size_t i) const { return norms_.empty() ? 0.0f : norms_[i]; }
    std::span<const std::uint8_t> codes() const { return codes_; }
    std::span<const VectorId> ids() const { return ids_; }
    std::span<const float> norms() const { return norms_; }

    StoreView view() const {
        return {codes_.data(), ids_.data(), norms_.empty() ? nullptr : norms_.data(), ids_.size(), row_bytes_,
                kept_bytes_ ? kept_.data() : nullptr, kept_bytes_};
    }

    // A store loaded without norms (a legacy file) must get them from its codes before
    // rows are added, so that rows never outnumber norms. These are those norms, with room
    // for `more` rows, or nothing when the store needs none; the store is not changed, so
    // an add that fails after this leaves it without norms, as it was.
    template <class NormOf>
    std::vector<float> missing_norms(NormOf&& norm_of, std::size_t more) const {
        if (!norms_.empty() || ids_.empty()) return {};
        std::vector<float> norms;
        norms.reserve(ids_.size() + more);
        for (std::size_t i = 0; i < ids_.size(); ++i) norms.push_back(norm_of(row(i)));
        return norms;
    }
    // Takes over the norms of missing_norms (one per stored row); does not allocate.
    void adopt_norms(std::vector<float>&& norms) noexcept { norms_ = std::move(norms); }

    // Gives back the room kept for growth.
    void shrink_to_fit() {
        codes_.shrink_to_fit();
        ids_.shrink_to_fit();
        norms_.shrink_to_fit();
        kept_.shrink_to_fit();
    }

    // Empties the store and gives its memory back.
    void release() {
        std::vector<std::uint8_t>().swap(codes_);
        std::vector<VectorId>().swap(ids_);
        std::vector<float>().swap(norms_);
        std::vector<std::uint8_t>().swap(kept_);
    }

private:
    std::uint64_t row_bytes_ = 0;
    std::vector<std::uint8_t> codes_;
    std::vector<VectorId> ids_;
    std::vector<float> norms_;
    std::uint64_t kept_bytes_ = 0;
    std::vector<std::uint8_t> kept_;
};

}  // namespace korvane
