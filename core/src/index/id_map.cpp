#include "index/id_map.h"

#include <algorithm>
#include <bit>
#include <new>

namespace korvane {

std::size_t IdMap::find(VectorId id) const {
    if (slots_.empty()) return kNone;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = home(id);; s = (s + 1) & mask) {
        if (slots_[s].place == kEmpty) return kNone;
        if (slots_[s].id == id) return s;
    }
}

void IdMap::grow_to(std::size_t capacity) {
    std::vector<Slot> old(capacity, Slot{0, kEmpty});
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& o : old) {
        if (o.place == kEmpty) continue;
        std::size_t s = home(o.id);
        while (slots_[s].place != kEmpty) s = (s + 1) & mask;
        slots_[s] = o;
    }
}

void IdMap::reserve_more(std::size_t n) {
    const std::size_t need = size_ + n;
    if (need > (std::size_t{1} << 60)) throw std::bad_alloc();
    // At most 3/4 full.
    if (need * 4 <= slots_.size() * 3) return;
    std::size_t capacity = std::max<std::size_t>(16, slots_.size());
    while (need * 4 > capacity * 3) capacity *= 2;
    grow_to(capacity);
}

void IdMap::add(VectorId id, std::uint64_t place) {
    if (const std::size_t s = find(id); s != kNone) {
        slots_[s].place = place;
        ++more_[id];
        return;
    }
    reserve_more(1);
    const std::size_t mask = slots_.size() - 1;
    std::size_t s = home(id);
    while (slots_[s].place != kEmpty) s = (s + 1) & mask;
    slots_[s] = Slot{id, place};
    ++size_;
}

std::uint64_t IdMap::rows_of(VectorId id) const {
    if (!contains(id)) return 0;
    const auto it = more_.find(id);
    return 1 + (it == more_.end() ? 0 : it->second);
}

std::uint64_t IdMap::erase(VectorId id) {
    std::size_t s = find(id);
    if (s == kNone) return 0;
    const std::uint64_t rows = rows_of(id);
    more_.erase(id);
    // Backward shift: later slots of the run move into the hole when their home allows,
    // so that lookups never need markers for erased slots.
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t next = (s + 1) & mask; slots_[next].place != kEmpty; next = (next + 1) & mask) {
        const std::size_t h = home(slots_[next].id);
        // The entry at `next` may move to s unless its home lies cyclically in (s, next].
        const bool stays = s <= next ? (s < h && h <= next) : (s < h || h <= next);
        if (stays) continue;
        slots_[s] = slots_[next];
        s = next;
    }
    slots_[s].place = kEmpty;
    --size_;
    // Halved once it is an eighth full, so that the map shrinks with the index.
    if (slots_.size() > 16 && size_ * 8 < slots_.size()) grow_to(slots_.size() / 2);
    return rows;
}

}  // namespace korvane
