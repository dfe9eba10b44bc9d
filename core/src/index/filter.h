// The allowlist of a search: a bitset for small, dense ids, a hash set otherwise.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "base/types.h"

namespace korvane {

class AllowFilter {
public:
    static AllowFilter from_ids(std::span<const VectorId> ids);

    bool allows(VectorId x) const {
        if (bitset_) return x <= max_id_ && ((words_[x >> 6] >> (x & 63)) & 1u);
        return set_.contains(x);
    }
    bool is_bitset() const { return bitset_; }

private:
    bool bitset_ = false;
    VectorId max_id_ = 0;
    std::vector<std::uint64_t> words_;
    std::unordered_set<VectorId> set_;
};

// What a scan offers: the rows the allowlist allows (every row without one), less those
// marked dead (removed rows a store still holds; null: none).
struct RowFilter {
    const AllowFilter* allow = nullptr;
    const std::uint8_t* dead = nullptr;
    bool allows(std::uint64_t row, VectorId id) const {
        return (dead == nullptr || dead[row] == 0) && (allow == nullptr || allow->allows(id));
    }
    bool any() const { return allow != nullptr || dead != nullptr; }
};

}  // namespace korvane
