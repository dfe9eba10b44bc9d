// The Hnsw body: the node count, the entry point and the top level, then each node as a
// list member (id, code, norm), its layer count and, per layer, its links (a u16 count
// and u32 node numbers). Lists are read whole before any is checked or laid out.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "io/parts.h"
#include "io/rows.h"
#include "io/writer.h"

namespace korvane::io::detail {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

}  // namespace

template <class Source>
Expected<HnswIndex> read_hnsw(Source& in, const EngineConfig& c, std::uint64_t r, std::uint64_t padded) {
    std::uint32_t count = 0, entry = 0, top = 0;
    if (auto s = in.get(count); !s) return s.error();
    if (auto s = in.get(entry); !s) return s.error();
    if (auto s = in.get(top); !s) return s.error();
    // Every node holds at least its id, code, norm and level count.
    if (!in.holds(count, 8 + r + 4 + 1)) return truncated();
    HnswIndex h = HnswIndex::empty(c, r, padded);
    // Lists are gathered first: the strides follow the longest list in the file.
    std::vector<std::uint32_t> links;
    std::vector<std::uint64_t> list_at;  // per list, where its links begin; one more at the end
    std::vector<std::uint8_t> level_count(count);
    std::vector<std::uint8_t> code(r);
    list_at.push_back(0);
    h.nodes.reserve_more(count);
    std::uint64_t longest0 = 0, longest_up = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        VectorId id;
        float norm;
        std::uint8_t layers;
        if (auto s = in.get(id); !s) return s.error();
        if (auto s = in.read(code.data(), r); !s) return s.error();
        if (auto s = in.get(norm); !s) return s.error();
        if (auto s = in.get(layers); !s) return s.error();
        h.nodes.push(id, code.data(), norm);
        level_count[i] = layers;
        for (std::uint8_t l = 0; l < layers; ++l) {
            std::uint16_t n = 0;
            if (auto s = in.get(n); !s) return s.error();
            if (!in.holds(n, 4)) return truncated();
            const std::size_t at = links.size();
            links.resize(at + n);
            if (auto s = in.read(links.data() + at, std::size_t{n} * 4); !s) return s.error();
            list_at.push_back(links.size());
            std::uint64_t& longest = l == 0 ? longest0 : longest_up;
            longest = std::max<std::uint64_t>(longest, n);
        }
    }
    // Indices are checked once everything is read, so a truncated file reports that.
    const auto out_of_range = [] { return EngineError::invalid_file("node index out of range"); };
    if (count > 0 && (entry >= count || level_count[entry] == 0 || top != level_count[entry] - 1u)) {
        return out_of_range();
    }
    if (count == 0 && entry != kNone) return out_of_range();
    for (std::uint32_t x : links) {
        if (x >= count) return out_of_range();
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (level_count[i] == 0) return EngineError::invalid_file("node without layers");
    }
    // A link on layer l to a node without that layer would make a later insertion write
    // its back-link into another node's list.
    {
        std::size_t list = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            for (std::uint8_t l = 0; l < level_count[i]; ++l, ++list) {
                for (std::uint64_t at = list_at[list]; at < list_at[list + 1]; ++at) {
                    if (level_count[links[at]] <= l) {
                        return EngineError::invalid_file("node linked on a layer it does not have");
                    }
                }
            }
        }
    }

    // As wide as the longest list in the file: memory follows what the file holds, not
    // the m it claims. A later insertion widens the lists to their caps.
    h.stride0 = longest0;
    h.stride_up = longest_up;
    std::uint64_t upper_lists = 0;
    for (std::uint8_t l : level_count) upper_lists += l - 1u;
    h.levels.resize(count);
    h.count0.assign(count, 0);
    h.upper_at.resize(count);
    h.links0.assign(std::size_t{count} * h.stride0, 0);
    h.count_up.assign(upper_lists, 0);
    h.links_up.assign(upper_lists * h.stride_up, 0);
    std::size_t list = 0;
    std::uint64_t next_up = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        h.levels[i] = static_cast<std::uint8_t>(level_count[i] - 1);
        h.upper_at[i] = next_up;
        for (std::uint8_t l = 0; l < level_count[i]; ++l, ++list) {
            const std::uint64_t from = list_at[list], n = list_at[list + 1] - from;
            std::uint32_t* dst;
            if (l == 0) {
                dst = h.links0.data() + std::size_t{i} * h.stride0;
                h.count0[i] = static_cast<std::uint32_t>(n);
            } else {
                dst = h.links_up.data() + (next_up + l - 1) * h.stride_up;
                h.count_up[next_up + l - 1] = static_cast<std::uint32_t>(n);
            }
            std::copy(links.begin() + from, links.begin() + from + n, dst);
        }
        next_up += level_count[i] - 1u;
    }
    if (count > 0) h.entry_point = entry;
    h.max_level = top;
    h.link_scores_valid = false;  // the file keeps node indices only
    return h;
}

template <class Writer>
Status write_hnsw(Writer& w, const HnswIndex& g) {
    if (auto s = w.put(static_cast<std::uint32_t>(g.size())); !s) return s;
    if (auto s = w.put(g.entry_point ? *g.entry_point : kNone); !s) return s;
    if (auto s = w.put(static_cast<std::uint32_t>(g.max_level)); !s) return s;
    for (std::uint32_t i = 0; i < g.size(); ++i) {
        if (auto s = write_member(w, g.nodes, i, g.nodes.row(i)); !s) return s;
        const std::uint8_t layers = static_cast<std::uint8_t>(g.levels[i] + 1);
        if (auto s = w.put(layers); !s) return s;
        for (std::uint64_t l = 0; l < layers; ++l) {
            const auto list = g.neighbours(i, l);
            if (auto s = w.put(static_cast<std::uint16_t>(list.size())); !s) return s;
            if (auto s = w.write(list.data(), list.size() * sizeof(std::uint32_t)); !s) return s;
        }
    }
    return success();
}

#define READ_HNSW(Source) \
    template Expected<HnswIndex> read_hnsw(Source&, const EngineConfig&, std::uint64_t, std::uint64_t);
KORVANE_IO_SOURCES(READ_HNSW)
#define WRITE_HNSW(Writer) template Status write_hnsw(Writer&, const HnswIndex&);
KORVANE_IO_WRITERS(WRITE_HNSW)

}  // namespace korvane::io::detail
