// The IvfFlat body: the number of lists and the centroid length, then each list as its
// centroid, its member count and its members (id, code, norm). An index never built has
// no lists (a pickle; a file refuses it).
#include <cstdint>
#include <string>
#include <vector>

#include "io/parts.h"
#include "io/rows.h"
#include "io/writer.h"

namespace korvane::io::detail {

template <class Source>
Expected<IvfIndex> read_ivf(Source& in, const EngineConfig& c, std::uint64_t r, std::uint64_t padded) {
    std::uint32_t lists = 0, width = 0;
    if (auto s = in.get(lists); !s) return s.error();
    if (auto s = in.get(width); !s) return s.error();
    // Every list holds at least its centroid and member count.
    if (!in.holds(lists, std::uint64_t{width} * 4 + 4)) return truncated();
    IvfIndex index;
    index.lists.reserve(lists);
    // Without lists the stored length is never used, and nothing is sized by it.
    std::vector<float> rows(lists > 0 ? std::size_t{lists} * width : 0);
    for (std::uint32_t j = 0; j < lists; ++j) {
        if (auto s = in.read(rows.data() + std::size_t{j} * width, std::size_t{width} * sizeof(float)); !s) {
            return s.error();
        }
        std::uint32_t members = 0;
        if (auto s = in.get(members); !s) return s.error();
        if (!in.holds(members, 12 + r)) return truncated();
        IvfList list{BlockStore(r)};
        if (auto s = read_members(in, members, list.members); !s) return s.error();
        index.lists.push_back(std::move(list));
    }
    // Centroids of another length than the queries' would be scored past either end.
    if (lists > 0 && width != padded) {
        return EngineError::invalid_file("centroid length " + std::to_string(width) + " differs from padded_dim " +
                                         std::to_string(padded));
    }
    index.centroids = CentroidSet(std::move(rows), lists, lists > 0 ? width : 0);
    index.bytes_per_vec = r;
    index.nprobe = c.ivf_nprobe;
    index.padded_dim = lists > 0 ? width : 0;
    index.metric = c.metric;
    return index;
}

template <class Writer>
Status write_ivf(Writer& w, const IvfIndex* built) {
    static const IvfIndex unbuilt;
    const IvfIndex& ivf = built ? *built : unbuilt;
    const auto lists = static_cast<std::uint32_t>(ivf.lists.size());
    const auto width = static_cast<std::uint32_t>(lists > 0 ? ivf.centroids.dim() : 0);
    if (auto s = w.put(lists); !s) return s;
    if (auto s = w.put(width); !s) return s;
    for (std::uint32_t j = 0; j < lists; ++j) {
        if (auto s = w.write(ivf.centroids.row(j), std::size_t{width} * sizeof(float)); !s) return s;
        const BlockStore& m = ivf.lists[j].members;
        if (auto s = w.put(static_cast<std::uint32_t>(m.size())); !s) return s;
        if (auto s = write_members(w, m); !s) return s;
    }
    return success();
}

#define READ_IVF(Source) \
    template Expected<IvfIndex> read_ivf(Source&, const EngineConfig&, std::uint64_t, std::uint64_t);
KORVANE_IO_SOURCES(READ_IVF)
#define WRITE_IVF(Writer) template Status write_ivf(Writer&, const IvfIndex*);
KORVANE_IO_WRITERS(WRITE_IVF)

}  // namespace korvane::io::detail
