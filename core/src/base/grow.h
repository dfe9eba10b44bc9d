// Geometric growth for stores that receive rows a few at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

namespace korvane {

// Room for `extra` more elements. Capacity at least doubles whenever it grows, so n
// appends of one element cost O(n) copies in all, not O(n²). Throws std::bad_alloc and
// leaves `v` as it was when the memory cannot be had.
template <class T, class A>
void reserve_more(std::vector<T, A>& v, std::size_t extra) {
    if (v.capacity() - v.size() >= extra) return;
    const std::size_t max = v.max_size();
    if (extra > max - v.size()) throw std::bad_alloc();
    const std::size_t need = v.size() + extra;
    const std::size_t doubled = v.capacity() > max / 2 ? max : v.capacity() * 2;
    v.reserve(std::max(need, doubled));
}

}  // namespace korvane
