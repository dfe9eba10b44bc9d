// Where the rows of each id are: made the first time an index is asked to remove, update,
// get or test an id, and kept up to date from then on. A row's place is a number its index
// type gives it (a position, a list and a position in it, a graph node).
//
// One slot of 16 bytes per distinct id (the id and the place of its last row) in an open
// table kept between 3/8 and 3/4 full as it grows (21 to 43 bytes per row), halved when
// removals leave it an eighth full. Ids held by several rows
// also count their rows in a small side table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "base/types.h"

namespace korvane {

class IdMap {
public:
    // A row of `id` at `place`, after every row of it already known.
    void add(VectorId id, std::uint64_t place);
    // The place of the last row of id, if any row has it.
    std::optional<std::uint64_t> last(VectorId id) const {
        const std::size_t s = find(id);
        return s == kNone ? std::nullopt : std::optional<std::uint64_t>(slots_[s].place);
    }
    bool contains(VectorId id) const { return find(id) != kNone; }
    // How many rows hold id.
    std::uint64_t rows_of(VectorId id) const;
    // Forgets id and all its rows; returns how many rows it had. May shrink the table:
    // places are kept, slots are not.
    std::uint64_t erase(VectorId id);
    // Whether id is known; if its last row was at `from`, it is now at `to`. (A store that
    // drops forgotten rows asks this of each row it keeps or drops.)
    bool follow(VectorId id, std::uint64_t from, std::uint64_t to) {
        const std::size_t s = find(id);
        if (s == kNone) return false;
        if (slots_[s].place == from) slots_[s].place = to;
        return true;
    }
    // Calls f(place) with a reference to every id's last place, to renumber them all.
    template <class F>
    void renumber(F&& f) {
        for (Slot& s : slots_) {
            if (s.place != kEmpty) s.place = f(s.place);
        }
    }
    // Room for n more distinct ids without growing.
    void reserve_more(std::size_t n);

private:
    struct Slot {
        VectorId id;
        std::uint64_t place;  // kEmpty: the slot is free
    };
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    static constexpr std::size_t kNone = ~std::size_t{0};

    std::size_t home(VectorId id) const {
        // splitmix64's finaliser: ids that are consecutive numbers spread over the table.
        std::uint64_t z = id + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::size_t>(z ^ (z >> 31)) & (slots_.size() - 1);
    }
    std::size_t find(VectorId id) const;
    void grow_to(std::size_t capacity);

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    // Rows beyond the first, for ids that several rows hold.
    std::unordered_map<VectorId, std::uint64_t> more_;
};

}  // namespace korvane
