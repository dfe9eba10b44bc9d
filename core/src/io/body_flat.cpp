// The BruteForce body: the codes of every row, then their ids, then their norms, in store
// order. It is read from bytes in memory only (a pickle, or the file mapped whole): the
// codes are copied straight out of them, and a sealed file's checksummed on the way.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "io/checksum.h"
#include "io/parts.h"
#include "io/rows.h"
#include "io/writer.h"

namespace korvane::io::detail {

// The BruteForce body from bytes already in memory (the whole file): the header again,
// then the quantizer, the standardization and the three arrays. With `sum`, nothing after
// the codes is read before the checksum of the whole file holds.
Expected<LoadedIndex> load_brute_force(Cursor& cur, Checksum* sum) {
    auto header = read_header(cur);
    if (!header) return header.error();
    const Header& h = header.value();
    LoadedIndex out;
    out.config = config_of(h);
    // The layout is checked where the quantizer would be built, but the rotation (as large
    // as the dimension says) is built only once the file has shown it holds its arrays.
    const auto layout = Quantizer::check_layout(out.config, Quantizer::BitWidthCheck::Skipped);
    if (!layout) return layout.error();
    if (auto s = savable_header(out.config); !s) return s.error();
    std::optional<Standardization> st;
    if (auto s = read_standardization(cur, h, st); !s) return s.error();

    const std::uint64_t n = h.count;
    const std::uint64_t r = layout.value().row_bytes;
    if (!cur.holds(n, r)) return truncated();
    // Copied straight from the mapping, without filling the array with zeros first.
    cur.ahead(n * r);
    const std::uint8_t* code_bytes = cur.take(n * r);
    std::vector<std::uint8_t> codes;
    if (sum == nullptr) {
        codes.assign(code_bytes, code_bytes + n * r);
    } else {
        // The codes are most of the file: they are checksummed as they are copied, so the
        // file is read from memory once. Each piece is sized (zero-filled) in cache first.
        Crc32c crc;
        crc.update(sum->file, static_cast<std::size_t>(code_bytes - sum->file));
        codes.reserve(n * r);
        for (std::uint64_t at = 0; at < n * r; at += kChecksumPiece) {
            const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(kChecksumPiece, n * r - at));
            codes.resize(codes.size() + m);
            crc.update_copy(codes.data() + at, code_bytes + at, m);
        }
        const std::uint8_t* rest = code_bytes + n * r;
        crc.update(rest, static_cast<std::size_t>(sum->file + sum->covered - rest));
        sum->done = true;
        if (crc.value() != sum->expected) return checksum_mismatch();
    }
    if (!cur.holds(n, sizeof(VectorId))) return truncated();
    std::vector<VectorId> ids(n);
    if (auto s = cur.read(ids.data(), n * sizeof(VectorId)); !s) return s.error();
    std::vector<float> norms;
    // A file cut inside its norms (and every version-1 file) loads without norms.
    if (h.version >= 2 && cur.holds(n, sizeof(float))) {
        norms.resize(n);
        if (auto s = cur.read(norms.data(), n * sizeof(float)); !s) return s.error();
    }
    const bool whole = !norms.empty() || n == 0;
    out.store = BlockStore::adopt(r, std::move(codes), std::move(ids), std::move(norms));
    if (whole && h.version >= 2) {
        if (auto s = read_trailers(cur, out, layout.value().padded_dim, r); !s) return s.error();
    }
    auto q = Quantizer::create(out.config, Quantizer::BitWidthCheck::Skipped);
    if (!q) return q.error();
    out.quantizer = std::move(q).value();
    out.quantizer.standardization = std::move(st);
    return out;
}

template <class Writer>
Status write_brute_force(Writer& w, const BlockStore& store) {
    const std::size_t rb = store.row_bytes();
    if (auto s = each_row(store, [&](std::size_t, const std::uint8_t* code) { return w.write(code, rb); }); !s) {
        return s;
    }
    if (auto s = w.write(store.ids().data(), store.ids().size() * sizeof(VectorId)); !s) return s;
    if (store.norms().size() == store.size()) return w.write(store.norms().data(), store.size() * sizeof(float));
    // Rows loaded without norms are scored raw; a norm of 0 scores them the same way.
    for (std::size_t i = 0; i < store.size(); ++i) {
        if (auto s = w.put(0.0f); !s) return s;
    }
    return success();
}

#define WRITE_BRUTE_FORCE(Writer) template Status write_brute_force(Writer&, const BlockStore&);
KORVANE_IO_WRITERS(WRITE_BRUTE_FORCE)

}  // namespace korvane::io::detail
