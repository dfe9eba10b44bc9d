#include "index/filter.h"

#include <algorithm>

namespace korvane {

AllowFilter AllowFilter::from_ids(std::span<const VectorId> ids) {
    AllowFilter f;
    if (ids.empty()) return f;  // an empty hash set allows nothing
    const VectorId m = *std::max_element(ids.begin(), ids.end());
    // The bitset never takes more than 32 words per entry, nor more than 2^20 words.
    if (m < (VectorId{1} << 26) && m / 64 < 32 * static_cast<std::uint64_t>(ids.size())) {
        f.bitset_ = true;
        f.max_id_ = m;
        f.words_.assign(m / 64 + 1, 0);
        for (VectorId x : ids) f.words_[x >> 6] |= std::uint64_t{1} << (x & 63);
        return f;
    }
    f.set_.reserve(ids.size());
    f.set_.insert(ids.begin(), ids.end());
    return f;
}

}  // namespace korvane
