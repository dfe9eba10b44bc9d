// The tagged sections that may follow the body, each a tag and a section version first:
// kept vectors ("KVEC"), an Hnsw graph's deleted nodes ("KDEL"), an IvfFlat index's
// pending rows ("KPND") and a pickle's run-time settings ("KRUN"), read and written in
// that order. Readers of the plain format stop at the end of the body and never see them.
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "index/kept.h"
#include "io/parts.h"
#include "io/rows.h"
#include "io/writer.h"

namespace korvane::io::detail {

namespace {

// ---- the kept-vector trailer ----------------------------------------------------------

constexpr std::uint8_t kKeptTag[4] = {'K', 'V', 'E', 'C'};
// Version 2 gave float16 rows their scale; float32 and int8 rows are written as version 1,
// whose rows are the same, so that earlier readers still take them. Version 3 is written
// for input rows only, which earlier readers cannot use.
constexpr std::uint32_t kKeptSection = 2;
constexpr std::uint32_t kKeptInputSection = 3;
constexpr std::uint8_t kNoInputType = 0xFF;  // kept input rows whose type no add has fixed
std::uint32_t kept_section_for(KeptType t) {
    return t == KeptType::Input ? kKeptInputSection : t == KeptType::Float16 ? kKeptSection : 1;
}

// After the body: the tag, the section version, the type, (version 3: the input type,)
// the row count, the row length, the oversampling, then one kept row per stored row in
// body order. Section version 1 differs only in its float16 rows, which have no scale:
// they are read as rows of scale 1. Version 3 holds input rows, of dim values each.
template <class Source>
Status read_kept(Source& in, LoadedIndex& out, std::uint64_t padded) {
    std::uint32_t section = 0;
    std::uint8_t type = 0, input = kNoInputType;
    std::uint64_t count = 0, length = 0;
    double oversampling = 0.0;
    if (auto s = in.get(section); !s) return s;
    if (auto s = in.get(type); !s) return s;
    if (section == kKeptInputSection) {
        if (auto s = in.get(input); !s) return s;
    }
    if (auto s = in.get(count); !s) return s;
    if (auto s = in.get(length); !s) return s;
    if (auto s = in.get(oversampling); !s) return s;
    if (section < 1 || section > kKeptInputSection) {
        return EngineError::invalid_file("unsupported kept vector section version " + std::to_string(section));
    }
    const bool inputs = section == kKeptInputSection;
    if (type > 3 || (type == static_cast<std::uint8_t>(KeptType::Input)) != inputs) {
        return EngineError::invalid_file("kept vectors of an unknown type " + std::to_string(type));
    }
    if (inputs && input != kNoInputType && input >= kInputTypes) {
        return EngineError::invalid_file("kept input vectors of an unknown type " + std::to_string(input));
    }
    std::uint64_t rows = out.store.size();
    if (out.ivf) rows = out.ivf->n_vectors();
    if (out.hnsw) rows = out.hnsw->size();
    // Rows are there only once an add fixed their type.
    const bool unfixed = inputs && input == kNoInputType;
    if (count != rows || length != (inputs ? out.config.dim : padded) || (unfixed && count != 0)) {
        return EngineError::invalid_file("kept vectors do not match the index");
    }
    if (!valid_oversampling(oversampling)) {
        return EngineError::invalid_file("kept vectors with an invalid oversampling");
    }
    KeptFormat format{static_cast<KeptType>(type), length};
    if (inputs && !unfixed) {
        format.input = static_cast<InputType>(input);
        out.input_type = format.input;
    }
    const std::uint64_t rb = unfixed ? 0 : format.row_bytes();
    const bool unscaled = section == 1 && format.type == KeptType::Float16;
    const std::uint64_t stored_rb = unscaled ? rb - 4 : rb;
    if (!in.holds(count, stored_rb)) return truncated();
    const std::shared_ptr<const Mapping>* lender = unscaled ? nullptr : lender_of(in);
    if constexpr (std::is_same_v<Source, Cursor>) {
        // Candidates are read a few rows at a time, wherever they lie: no read-ahead.
        if (lender != nullptr) (*lender)->advise(in.offset(), count * rb, MADV_RANDOM);
    }
    if (lender != nullptr) out.mapping = *lender;
    auto take = [&](std::size_t n, auto& store) -> Status {
        if (lender != nullptr) {
            if constexpr (std::is_same_v<Source, Cursor>) store.borrow_kept(rb, in.take(n * rb), *lender);
            return success();
        }
        std::vector<std::uint8_t> kept(n * rb);
        if (auto s = in.read(kept.data() + n * (rb - stored_rb), n * stored_rb); !s) return s;
        if (unscaled) format.add_unit_scales(kept.data(), n);
        store.adopt_kept(rb, std::move(kept));
        return success();
    };
    if (out.ivf) {
        for (IvfList& l : out.ivf->lists) {
            if (auto s = take(l.members.size(), l.members); !s) return s;
        }
    } else if (out.hnsw) {
        if (auto s = take(out.hnsw->size(), out.hnsw->nodes); !s) return s;
    } else {
        if (auto s = take(out.store.size(), out.store); !s) return s;
    }
    // Rows added after the load (the pending rows of an IvfFlat index) keep theirs too.
    if (out.store.empty()) out.store.set_kept_bytes(rb);
    out.kept_type = static_cast<KeptType>(type);
    out.oversampling = oversampling;
    return success();
}

// ---- the deleted nodes of an Hnsw graph -------------------------------------------------

constexpr std::uint8_t kDeletedTag[4] = {'K', 'D', 'E', 'L'};
constexpr std::uint32_t kDeletedSection = 1;

// Nodes marked deleted, which the body still holds (searched through, never returned):
// the tag, the section version, the count (u64), then the node numbers (u32), ascending.
template <class Source>
Status read_deleted(Source& in, LoadedIndex& out) {
    if (!out.hnsw) return EngineError::invalid_file("deleted nodes in a file that is not an Hnsw graph");
    std::uint32_t section = 0;
    std::uint64_t count = 0;
    if (auto s = in.get(section); !s) return s;
    if (auto s = in.get(count); !s) return s;
    if (section != kDeletedSection) {
        return EngineError::invalid_file("unsupported deleted nodes section version " + std::to_string(section));
    }
    if (!in.holds(count, 4)) return truncated();
    HnswIndex& g = *out.hnsw;
    if (count > g.size()) return EngineError::invalid_file("more deleted nodes than the graph holds");
    std::vector<std::uint8_t> marks(g.size(), 0);
    std::int64_t last = -1;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint32_t node = 0;
        if (auto s = in.get(node); !s) return s;
        if (node >= g.size()) return EngineError::invalid_file("deleted node out of range");
        if (static_cast<std::int64_t>(node) <= last) {
            return EngineError::invalid_file("deleted nodes not ascending or repeated");
        }
        last = node;
        marks[node] = 1;
    }
    if (count > 0) {
        g.deleted = std::move(marks);
        g.n_deleted = static_cast<std::size_t>(count);
    }
    return success();
}

// ---- the pending rows of an IvfFlat index ----------------------------------------------

constexpr std::uint8_t kPendingTag[4] = {'K', 'P', 'N', 'D'};
constexpr std::uint32_t kPendingSection = 1;

// Rows added since the last build (all rows of an index never built): the tag, the
// section version, whether lists were built (u8), the row count, then each row as a list
// member is written (id, code, norm), then their kept rows when the index keeps vectors.
template <class Source>
Status read_pending(Source& in, LoadedIndex& out, std::uint64_t r) {
    std::uint32_t section = 0;
    std::uint8_t built = 0;
    std::uint64_t count = 0;
    if (auto s = in.get(section); !s) return s;
    if (auto s = in.get(built); !s) return s;
    if (auto s = in.get(count); !s) return s;
    if (section != kPendingSection) {
        return EngineError::invalid_file("unsupported pending rows section version " + std::to_string(section));
    }
    if (built > 1 || (built == 0 && !out.ivf->lists.empty())) {
        return EngineError::invalid_file("pending rows do not match the index");
    }
    if (!in.holds(count, 12 + r)) return truncated();
    // Kept input rows of no fixed type: no add stored any row.
    if (out.kept_type == KeptType::Input && !out.input_type && count != 0) {
        return EngineError::invalid_file("pending rows do not match the index");
    }
    const std::uint64_t kept_bytes = out.store.kept_bytes();
    BlockStore rows(r);
    if (auto s = read_members(in, count, rows); !s) return s;
    if (kept_bytes != 0) {
        if (!in.holds(count, kept_bytes)) return truncated();
        std::vector<std::uint8_t> kept(count * kept_bytes);
        if (auto s = in.read(kept.data(), kept.size()); !s) return s;
        rows.adopt_kept(kept_bytes, std::move(kept));
    }
    out.store = std::move(rows);
    out.unbuilt = built == 0;
    return success();
}

// ---- a pickle's run-time settings ---------------------------------------------------------

constexpr std::uint8_t kRunTag[4] = {'K', 'R', 'U', 'N'};
constexpr std::uint32_t kRunSection = 1;

// The tag, the section version, which settings are held (bit 0 nprobe, bit 1 ef_search),
// then both values (u64, 0 where not held).
template <class Source>
Status read_run_settings(Source& in, LoadedIndex& out) {
    std::uint32_t section = 0;
    std::uint8_t held = 0;
    std::uint64_t nprobe = 0, ef = 0;
    if (auto s = in.get(section); !s) return s;
    if (auto s = in.get(held); !s) return s;
    if (auto s = in.get(nprobe); !s) return s;
    if (auto s = in.get(ef); !s) return s;
    if (section != kRunSection) {
        return EngineError::invalid_file("unsupported run-time settings section version " + std::to_string(section));
    }
    const bool ivf = out.config.index_type == IndexType::IvfFlat, graph = out.config.index_type == IndexType::Hnsw;
    // Only the settings the index type has (an IvfFlat index never built has no nprobe yet).
    if (held > 3 || ((held & 1) != 0 && !ivf) || ((held & 2) != 0) != graph ||
        ((held & 1) == 0 && nprobe != 0) || ((held & 2) == 0 && ef != 0)) {
        return EngineError::invalid_file("run-time settings do not match the index");
    }
    RunSettings r;
    if (held & 1) r.nprobe = nprobe;
    if (held & 2) r.ef_search = ef;
    out.run_settings = r;
    return success();
}

template <class Writer>
Status write_kept_rows(Writer& w, const KeptRows& kept) {
    Status st = success();
    kept.for_each_run([&](const std::uint8_t* data, std::size_t n) {
        if (st) st = w.write(data, n);
    });
    return st;
}

}  // namespace

// What may follow the body, in this order: kept vectors, an Hnsw graph's deleted nodes,
// an IvfFlat index's pending rows, then a pickle's run-time settings. Anything else there
// is ignored, as is whatever follows an unknown tag.
template <class Source>
Status read_trailers(Source& in, LoadedIndex& out, std::uint64_t padded, std::uint64_t r) {
    std::uint8_t tag[4];
    auto next = [&]() -> Expected<bool> {
        if (in.remaining() < sizeof tag) return false;
        if (auto s = in.read(tag, sizeof tag); !s) return s.error();
        return true;
    };
    auto have = next();
    if (!have) return have.error();
    if (have.value() && std::memcmp(tag, kKeptTag, 4) == 0) {
        if (auto s = read_kept(in, out, padded); !s) return s;
        have = next();
        if (!have) return have.error();
    }
    if (have.value() && std::memcmp(tag, kDeletedTag, 4) == 0) {
        if (auto s = read_deleted(in, out); !s) return s;
        have = next();
        if (!have) return have.error();
    }
    if (have.value() && out.ivf && std::memcmp(tag, kPendingTag, 4) == 0) {
        if (auto s = read_pending(in, out, r); !s) return s;
        have = next();
        if (!have) return have.error();
    }
    if (have.value() && std::memcmp(tag, kRunTag, 4) == 0) return read_run_settings(in, out);
    return success();
}

template <class Writer>
Status write_kept(Writer& w, const IndexParts& p, std::uint64_t count) {
    if (!p.kept_type) return success();
    if (auto s = w.write(kKeptTag, 4); !s) return s;
    if (auto s = w.put(kept_section_for(*p.kept_type)); !s) return s;
    if (auto s = w.put(static_cast<std::uint8_t>(*p.kept_type)); !s) return s;
    const bool inputs = *p.kept_type == KeptType::Input;
    if (inputs) {
        const std::uint8_t input = p.input_type ? static_cast<std::uint8_t>(*p.input_type) : kNoInputType;
        if (auto s = w.put(input); !s) return s;
    }
    if (auto s = w.put(count); !s) return s;
    if (auto s = w.put(inputs ? std::uint64_t{p.config->dim} : p.quantizer->padded_dim()); !s) return s;
    if (auto s = w.put(p.oversampling); !s) return s;
    auto rows = [&](const auto& store) { return write_kept_rows(w, store.kept()); };
    switch (p.config->index_type) {
        case IndexType::IvfFlat:
            if (!p.ivf) return success();
            for (const IvfList& l : p.ivf->lists) {
                if (auto s = rows(l.members); !s) return s;
            }
            return success();
        case IndexType::Hnsw: return rows(p.hnsw->nodes);
        case IndexType::BruteForce: break;
    }
    return rows(*p.store);
}

template <class Writer>
Status write_deleted(Writer& w, const IndexParts& p) {
    if (p.config->index_type != IndexType::Hnsw || !p.hnsw || p.hnsw->n_deleted == 0) return success();
    const HnswIndex& g = *p.hnsw;
    if (auto s = w.write(kDeletedTag, 4); !s) return s;
    if (auto s = w.put(kDeletedSection); !s) return s;
    if (auto s = w.put(static_cast<std::uint64_t>(g.n_deleted)); !s) return s;
    for (std::uint32_t i = 0; i < g.size(); ++i) {
        if (!g.deleted[i]) continue;
        if (auto s = w.put(i); !s) return s;
    }
    return success();
}

template <class Writer>
Status write_pending(Writer& w, const IndexParts& p) {
    const bool unbuilt = p.ivf == nullptr;
    if (p.config->index_type != IndexType::IvfFlat || (!unbuilt && (!p.pending || p.pending->empty()))) {
        return success();
    }
    static const BlockStore none;
    const BlockStore& rows = p.pending ? *p.pending : none;
    if (auto s = w.write(kPendingTag, 4); !s) return s;
    if (auto s = w.put(kPendingSection); !s) return s;
    if (auto s = w.put(static_cast<std::uint8_t>(unbuilt ? 0 : 1)); !s) return s;
    if (auto s = w.put(static_cast<std::uint64_t>(rows.size())); !s) return s;
    if (auto s = write_members(w, rows); !s) return s;
    if (!p.kept_type) return success();
    return write_kept_rows(w, rows.kept());
}

template <class Writer>
Status write_run_settings(Writer& w, const IndexParts& p) {
    if (!p.run_settings) return success();
    const RunSettings& r = *p.run_settings;
    if (auto s = w.write(kRunTag, 4); !s) return s;
    if (auto s = w.put(kRunSection); !s) return s;
    if (auto s = w.put(static_cast<std::uint8_t>((r.nprobe ? 1 : 0) | (r.ef_search ? 2 : 0))); !s) return s;
    if (auto s = w.put(r.nprobe.value_or(0)); !s) return s;
    return w.put(r.ef_search.value_or(0));
}

#define READ_SECTIONS(Source) \
    template Status read_trailers(Source&, LoadedIndex&, std::uint64_t, std::uint64_t);
KORVANE_IO_SOURCES(READ_SECTIONS)
#define WRITE_SECTIONS(Writer) \
    template Status write_kept(Writer&, const IndexParts&, std::uint64_t); \
    template Status write_deleted(Writer&, const IndexParts&); \
    template Status write_pending(Writer&, const IndexParts&); \
    template Status write_run_settings(Writer&, const IndexParts&);
KORVANE_IO_WRITERS(WRITE_SECTIONS)

}  // namespace korvane::io::detail
