// How the multi-query block scans split their queries: a group's accumulators must fit
// the vector registers, so nq queries go in as few groups as that allows, of sizes that
// differ by at most one (7 queries in groups of at most 4: 4 and 3, not 4, 2 and 1).
#pragma once

#include <cstddef>

namespace korvane::simd::detail {

// run(first, count) once per group, in query order.
template <std::size_t MaxGroup, class Run>
inline void in_query_groups(std::size_t nq, Run&& run) {
    const std::size_t groups = (nq + MaxGroup - 1) / MaxGroup;
    for (std::size_t g = 0, first = 0; g < groups; ++g) {
        const std::size_t count = (nq - first) / (groups - g);
        run(first, count);
        first += count;
    }
}

}  // namespace korvane::simd::detail
