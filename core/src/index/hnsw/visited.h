// The visited set of a beam search: epoch stamps, one array per thread, reused across
// calls (query search, construction search, repair).
// Internal to the rooms of index/hnsw/, in an unnamed namespace (index/hnsw.h says why).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane {
namespace {

// The thread's object through a pointer the compiler cannot trace back to the thread-local
// variable: otherwise it may look the thread-local address up again after every call.
template <class T>
T& opaque(T& object) {
    T* p = &object;
    asm("" : "+r"(p));
    return *p;
}

template <class Stamp>
class VisitedSet {
public:
    static VisitedSet& local() {
        thread_local VisitedSet v;
        return opaque(v);
    }
    void start(std::size_t n) {
        if (stamps_.size() < n) stamps_.resize(n, 0);
        if (++epoch_ == 0) {  // wrapped: old stamps could collide
            std::fill(stamps_.begin(), stamps_.end(), 0);
            epoch_ = 1;
        }
    }
    Stamp* stamps() { return stamps_.data(); }
    Stamp epoch() const { return epoch_; }

private:
    std::vector<Stamp> stamps_;
    Stamp epoch_ = 0;
};
using Visited = VisitedSet<std::uint32_t>;

}  // namespace
}  // namespace korvane
