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
};

class FlatStore {
public:
    FlatStore() = default;
    explicit FlatStore(std::uint64_t row_bytes) : row_bytes_(row_bytes) {}

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
    std::size_t size() const { return ids_.size(); }
    bool empty() const { return ids_.empty(); }
    bool has_norms() const { return !norms_.empty() || ids_.empty(); }

    // Room for n more rows. On std::bad_alloc the store's contents are unchanged.
    void reserve_more(std::size_t n) {
        korvane::reserve_more(codes_, n * row_bytes_);
        korvane::reserve_more(ids_, n);
        korvane::reserve_more(norms_, n);
    }

    // Appends one row; after reserve_more this does not allocate.
    void push(VectorId id, const std::uint8_t* code, float norm) {
        codes_.insert(codes_.end(), code, code + row_bytes_);
        ids_.push_back(id);
        norms_.push_back(norm);
    }

    const std::uint8_t* row(std::size_t i) const { return codes_.data() + i * row_bytes_; }
    VectorId id(std::size_t i) const { return ids_[i]; }
    // A store without norms (a legacy file) reads as 0, which scores rows raw.
    float norm(std::size_t i) const { return norms_.empty() ? 0.0f : norms_[i]; }
    std::span<const std::uint8_t> codes() const { return codes_; }
    std::span<const VectorId> ids() const { return ids_; }
    std::span<const float> norms() const { return norms_; }

    StoreView view() const {
        return {codes_.data(), ids_.data(), norms_.empty() ? nullptr : norms_.data(), ids_.size(), row_bytes_};
    }

    // Gives back the room kept for growth.
    void shrink_to_fit() {
        codes_.shrink_to_fit();
        ids_.shrink_to_fit();
        norms_.shrink_to_fit();
    }

    // Empties the store and gives its memory back.
    void release() {
        std::vector<std::uint8_t>().swap(codes_);
        std::vector<VectorId>().swap(ids_);
        std::vector<float>().swap(norms_);
    }

private:
    std::uint64_t row_bytes_ = 0;
    std::vector<std::uint8_t> codes_;
    std::vector<VectorId> ids_;
    std::vector<float> norms_;
};

}  // namespace korvane
