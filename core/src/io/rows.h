// Rows as the bodies and sections store them one after another: a list member (id, code,
// norm) of an IvfFlat list, an Hnsw node or a pending row, and the walk over a store's
// rows in order that writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/error.h"
#include "index/flat_store.h"

namespace korvane::io::detail {

// `count` rows as list members are written (id, code, norm), appended to `store`; the
// caller checked that the bytes are there.
template <class Source>
Status read_members(Source& in, std::uint64_t count, BlockStore& store) {
    store.reserve_more(count);
    std::vector<std::uint8_t> code(store.row_bytes());
    for (std::uint64_t i = 0; i < count; ++i) {
        VectorId id = 0;
        float norm = 0.0f;
        if (auto s = in.get(id); !s) return s;
        if (auto s = in.read(code.data(), code.size()); !s) return s;
        if (auto s = in.get(norm); !s) return s;
        store.push(id, code.data(), norm);
    }
    return success();
}

// Calls write(i, code) for every row in order until one fails.
template <class Store, class Write>
Status each_row(const Store& store, Write&& write) {
    Status st = success();
    store.for_each_row([&](std::size_t i, const std::uint8_t* code) {
        if (st) st = write(i, code);
    });
    return st;
}

template <class Writer, class Store>
Status write_member(Writer& w, const Store& s, std::size_t i, const std::uint8_t* code) {
    if (auto st = w.put(s.id(i)); !st) return st;
    if (auto st = w.write(code, s.row_bytes()); !st) return st;
    return w.put(s.norms().empty() ? 0.0f : s.norm(i));
}

template <class Writer>
Status write_members(Writer& w, const BlockStore& s) {
    return each_row(s, [&](std::size_t i, const std::uint8_t* code) { return write_member(w, s, i, code); });
}

}  // namespace korvane::io::detail
