#include "io/krvn.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

#include "io/checksum.h"
#include "io/file_io.h"

namespace korvane::io {

namespace {

constexpr std::uint8_t kMagic[4] = {'K', 'R', 'V', 'N'};
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

template <class T>
T field(const std::uint8_t* p, std::size_t at) {
    T v;
    std::memcpy(&v, p + at, sizeof v);
    return v;
}

// A sealed file (or pickle) carries the tag in its reserved header bytes 36-39 and ends
// with a footer: the tag, the CRC-32C of every byte before the footer, and that byte
// count. Either mark alone makes the loader check the footer, so damage to one of them
// cannot pass the file off as unsealed. Plain files keep zeros there and no footer.
constexpr std::uint8_t kSealTag[4] = {'K', 'C', 'R', 'C'};
constexpr std::size_t kSealOffset = 36;
constexpr std::size_t kFooterBytes = 16;
// The checksum runs over pieces this large while they are in cache, right after they are
// copied (load) or written (save).
constexpr std::size_t kChecksumPiece = std::size_t{1} << 20;

EngineError checksum_mismatch() { return EngineError::invalid_file("checksum mismatch"); }

struct Seal {
    bool present = false;       // any mark is there
    bool footer = false;        // the footer is whole
    std::uint32_t crc = 0;      // what the footer holds
    std::uint64_t covered = 0;  // the bytes before the footer
};

// The marks of a sealed file, read from its raw bytes before anything is checked, so that
// damage anywhere (the magic and version included) is reported as a checksum mismatch.
// The header's tag marks it. A plain file has zeros there (its tail is data and may look
// like anything), so where those bytes are neither (the tag was damaged) the footer's tag
// or its byte count marks it too: no damage of fewer than three places passes a changed
// file off as a plain one. `head` holds the first min(size, 40) bytes, `tail` the last 16
// (when size >= 16).
Seal find_seal(const std::uint8_t* head, std::uint64_t size, const std::uint8_t* tail) {
    Seal seal;
    const bool has_reserved = size >= kSealOffset + 4;
    const bool claimed = has_reserved && std::memcmp(head + kSealOffset, kSealTag, 4) == 0;
    // Versions 1 and 2 have no reserved bytes there: bytes 36-39 are part of their body.
    const bool damaged = has_reserved && !claimed && field<std::uint32_t>(head, 4) >= 3 &&
                         field<std::uint32_t>(head, kSealOffset) != 0;
    const bool tagged = size >= kFooterBytes && std::memcmp(tail, kSealTag, 4) == 0;
    const bool counted = size >= kFooterBytes && field<std::uint64_t>(tail, 8) == size - kFooterBytes;
    seal.footer = tagged && counted;
    seal.present = claimed || (damaged && (tagged || counted));
    if (seal.footer) {
        seal.crc = field<std::uint32_t>(tail, 4);
        seal.covered = size - kFooterBytes;
    }
    return seal;
}

// A sealed BruteForce file is checksummed while its codes are copied out.
struct Checksum {
    const std::uint8_t* file;
    std::uint64_t covered;
    std::uint32_t expected;
    bool done = false;
};

std::size_t header_size(std::uint32_t version) { return version <= 2 ? 32 : version == 3 ? 40 : 56; }

// ---- header -------------------------------------------------------------------------

struct Header {
    std::uint32_t version = 0;
    std::uint32_t dim = 0;
    std::uint8_t metric = 0;
    std::uint8_t bit_width = 0;
    std::uint8_t index_type = 0;
    std::uint64_t count = 0;
    std::uint64_t seed = 0;
    std::uint32_t n4_dims = 0;
    std::uint32_t ivf_nlist = 0;
    std::uint32_t ivf_nprobe = 0;
    std::uint16_t hnsw_m = 0;
    std::uint16_t hnsw_ef_construction = 0;
    std::uint16_t hnsw_ef_search = 0;
    bool standardized = false;
};

// Magic, version, the rest of the header of that version, then the metric and index
// type bytes (metric first): the same checks in the same order on either read path.
template <class Source>
Expected<Header> read_header(Source& src) {
    std::uint8_t raw[56];
    if (auto s = src.read(raw, 4); !s) return s.error();
    if (std::memcmp(raw, kMagic, 4) != 0) return EngineError::invalid_file("bad magic bytes");
    if (auto s = src.read(raw + 4, 4); !s) return s.error();
    Header h;
    h.version = field<std::uint32_t>(raw, 4);
    if (h.version < 1 || h.version > 6) return EngineError::unsupported_version(h.version);
    if (auto s = src.read(raw + 8, header_size(h.version) - 8); !s) return s.error();
    h.dim = field<std::uint32_t>(raw, 8);
    h.metric = raw[12];
    h.bit_width = raw[13];
    h.index_type = raw[14];
    h.count = field<std::uint64_t>(raw, 16);
    h.seed = field<std::uint64_t>(raw, 24);
    if (h.version >= 3) h.n4_dims = field<std::uint32_t>(raw, 32);
    if (h.version >= 4) {
        h.ivf_nlist = field<std::uint32_t>(raw, 40);
        h.ivf_nprobe = field<std::uint32_t>(raw, 44);
        h.hnsw_m = field<std::uint16_t>(raw, 48);
        h.hnsw_ef_construction = field<std::uint16_t>(raw, 50);
        h.hnsw_ef_search = field<std::uint16_t>(raw, 52);
    }
    h.standardized = h.version == 6 && raw[54] != 0;  // versions 4 and 5 ignore the flag
    if (h.metric > 2) return EngineError::invalid_metric_byte(h.metric);
    if (h.index_type > 2) return EngineError::unsupported_index_type_byte(h.index_type);
    return h;
}

EngineConfig config_of(const Header& h) {
    EngineConfig c;
    c.dim = h.dim;
    c.seed = h.seed;
    c.bit_width = h.bit_width;
    c.metric = static_cast<Metric>(h.metric);
    c.index_type = static_cast<IndexType>(h.index_type);
    const std::uint64_t padded = *padded_dim_for(h.dim);
    c.n4_dims = h.version >= 3 ? h.n4_dims : (h.bit_width == 4 ? padded : 0);
    if (h.version >= 4) {
        c.ivf_nlist = h.ivf_nlist;
        c.ivf_nprobe = h.ivf_nprobe;
        c.hnsw_m = h.hnsw_m;
        c.hnsw_ef_construction = h.hnsw_ef_construction;
        c.hnsw_ef_search = h.hnsw_ef_search;
    } else if (c.index_type == IndexType::IvfFlat) {
        // Files from before these fields existed take the constructor's defaults: zeros
        // would make every search return nothing.
        c.ivf_nlist = 256;
        c.ivf_nprobe = 8;
    } else if (c.index_type == IndexType::Hnsw) {
        c.hnsw_m = 32;
        c.hnsw_ef_construction = 200;
        c.hnsw_ef_search = 0;
    }
    return c;
}

// ---- the mapped BruteForce body ----------------------------------------------------

class Cursor {
public:
    Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    // Over a mapped file whose kept rows are read in place.
    Cursor(const std::shared_ptr<const Mapping>& lender, std::size_t size)
        : data_(lender->data()), size_(size), lender_(lender) {}
    // The mapping kept rows may be borrowed from, if any.
    const std::shared_ptr<const Mapping>& lender() const { return lender_; }
    std::uint64_t offset() const { return at_; }
    Status read(void* out, std::size_t n) {
        if (n > size_ - at_) return truncated();
        ahead(n);
        if (n != 0) std::memcpy(out, data_ + at_, n);
        at_ += n;
        return success();
    }
    template <class T>
    Status get(T& value) {
        return read(&value, sizeof value);
    }
    // The next n bytes where they lie (the caller checked they are there).
    const std::uint8_t* take(std::size_t n) {
        const std::uint8_t* p = data_ + at_;
        at_ += n;
        return p;
    }
    std::uint64_t remaining() const { return size_ - at_; }
    bool holds(std::uint64_t count, std::uint64_t unit) const { return unit == 0 || count <= remaining() / unit; }
    // About to copy the next n bytes (which are there): a mapped file, whose pages are
    // not read ahead (the kept rows must not be), reads them and a little more now.
    void ahead(std::size_t n) {
        if (!lender_ || at_ + n <= fetched_) return;
        // Small: what lies past the body (the kept rows) is read ahead by at most this.
        constexpr std::uint64_t kAhead = std::uint64_t{1} << 18;
        std::uint64_t from = std::max<std::uint64_t>(fetched_, at_);
        fetched_ = std::min<std::uint64_t>(size_, at_ + n + kAhead);
        // The system reads at most its read-ahead size per request: ask in steps no larger.
        for (; from < fetched_; from += kAhead) {
            lender_->advise(from, std::min<std::uint64_t>(kAhead, fetched_ - from), MADV_WILLNEED);
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    std::shared_ptr<const Mapping> lender_;
    std::uint64_t fetched_ = 0;  // bytes before this were asked for
};

// Kept rows borrowed from a mapping, if this source lends them.
template <class Source>
const std::shared_ptr<const Mapping>* lender_of(const Source& in) {
    if constexpr (std::is_same_v<Source, Cursor>) {
        return in.lender() ? &in.lender() : nullptr;
    } else {
        return nullptr;
    }
}

template <class Source>
Status read_floats(Source& src, std::size_t n, std::vector<float>& out) {
    if (!src.holds(n, sizeof(float))) return truncated();
    out.resize(n);
    return src.read(out.data(), n * sizeof(float));
}

template <class Source>
Status read_standardization(Source& src, const Header& h, std::optional<Standardization>& out) {
    if (!h.standardized) return success();
    Standardization st;
    if (auto s = read_floats(src, h.dim, st.mean); !s) return s;
    if (auto s = read_floats(src, h.dim, st.inv_std); !s) return s;
    out = std::move(st);
    return success();
}

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

// What may follow the body, in this order: kept vectors, an Hnsw graph's deleted nodes,
// then an IvfFlat index's pending rows. Anything else there is ignored, as is whatever
// follows an unknown tag.
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
    if (have.value() && out.ivf && std::memcmp(tag, kPendingTag, 4) == 0) return read_pending(in, out, r);
    return success();
}

// The BruteForce body from bytes already in memory (the whole file): the header again,
// then the quantizer, the standardization and the three arrays. With `sum`, nothing after
// the codes is read before the checksum of the whole file holds.
Expected<LoadedIndex> load_brute_force(Cursor& cur, Checksum* sum = nullptr) {
    auto header = read_header(cur);
    if (!header) return header.error();
    const Header& h = header.value();
    LoadedIndex out;
    out.config = config_of(h);
    // The layout is checked where the quantizer would be built, but the rotation (as large
    // as the dimension says) is built only once the file has shown it holds its arrays.
    const auto layout = Quantizer::check_layout(out.config, Quantizer::BitWidthCheck::Skipped);
    if (!layout) return layout.error();
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

// ---- the buffered IvfFlat and Hnsw bodies -------------------------------------------

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

// The IvfFlat and Hnsw bodies, after the header: standardization, quantizer, structure.
template <class Source>
Expected<LoadedIndex> load_structure(Source& in, const Header& h) {
    LoadedIndex out;
    out.config = config_of(h);
    std::optional<Standardization> st;
    if (auto s = read_standardization(in, h, st); !s) return s.error();
    const auto layout = Quantizer::check_layout(out.config, Quantizer::BitWidthCheck::Skipped);
    if (!layout) return layout.error();
    const std::uint64_t r = layout.value().row_bytes;
    const std::uint64_t padded = layout.value().padded_dim;
    if (out.config.index_type == IndexType::Hnsw) {
        if (h.version == 4) {
            return EngineError::invalid_file(
                "HNSW index version 4 is incompatible with v5 format (neighbor count type changed u8\u2192u16). "
                "Rebuild the index with the current version.");
        }
        auto graph = read_hnsw(in, out.config, r, padded);
        if (!graph) return graph.error();
        out.hnsw = std::move(graph).value();
    } else {
        auto ivf = read_ivf(in, out.config, r, padded);
        if (!ivf) return ivf.error();
        out.ivf = std::move(ivf).value();
    }
    out.store = BlockStore(r);
    if (auto s = read_trailers(in, out, padded, r); !s) return s.error();
    // Built last: only a file that held its whole body pays for a large rotation.
    auto q = Quantizer::create(out.config, Quantizer::BitWidthCheck::Skipped);
    if (!q) return q.error();
    out.quantizer = std::move(q).value();
    out.quantizer.standardization = std::move(st);
    return out;
}

// ---- writing --------------------------------------------------------------------------

Status does_not_fit(const char* field, std::uint64_t value, std::uint64_t limit) {
    return EngineError::invalid_argument(std::string(field) + " " + std::to_string(value) +
                                         " does not fit the .krvn header (at most " + std::to_string(limit) + ")");
}

struct HeaderField {
    const char* name;
    std::uint64_t value;
    std::uint64_t limit;
};

// The fields that shape an index, which its header must be able to hold. A layer-0 list
// of 2·m entries must be countable in two bytes.
Status check_fields(std::initializer_list<HeaderField> fields) {
    for (const HeaderField& f : fields) {
        if (f.value > f.limit) return does_not_fit(f.name, f.value, f.limit);
    }
    return success();
}

constexpr std::uint64_t kU32 = 0xFFFFFFFFu, kU16 = 0xFFFFu, kMaxM = 32767;

}  // namespace

Status check_shape_fits(const EngineConfig& c) {
    // Fields of the other index types are 0; the search-time ones are checked at save.
    return check_fields({{"dim", c.dim, kU32},
                         {"n4_dims", c.n4_dims, kU32},
                         {"ivf_nlist", c.ivf_nlist, kU32},
                         {"hnsw_m", c.hnsw_m, kMaxM},
                         {"hnsw_ef_construction", c.hnsw_ef_construction, kU16}});
}

namespace {

Status check_fits(const IndexParts& p) {
    const EngineConfig& c = *p.config;
    if (auto s = check_shape_fits(c); !s) return s;
    if (auto s = check_fields({{"ivf_nprobe", c.ivf_nprobe, kU32}, {"hnsw_ef_search", c.hnsw_ef_search, kU16}}); !s) {
        return s;
    }
    if (p.ivf) {
        for (const IvfList& l : p.ivf->lists) {
            if (l.members.size() > kU32) return does_not_fit("ivf list size", l.members.size(), kU32);
        }
    }
    if (p.hnsw && p.hnsw->size() > kU32 - 1) return does_not_fit("hnsw node count", p.hnsw->size(), kU32 - 1);
    return success();
}

}  // namespace

namespace {

template <class Writer>
Status write_header(Writer& w, const IndexParts& p, std::uint64_t count) {
    const EngineConfig& c = *p.config;
    std::uint8_t raw[56] = {};
    std::memcpy(raw, kMagic, 4);
    auto put = [&](std::size_t at, auto v) { std::memcpy(raw + at, &v, sizeof v); };
    put(4, kWrittenVersion);
    put(8, static_cast<std::uint32_t>(c.dim));
    raw[12] = static_cast<std::uint8_t>(c.metric);
    raw[13] = c.bit_width;
    raw[14] = static_cast<std::uint8_t>(c.index_type);
    put(16, count);
    put(24, c.seed);
    put(32, static_cast<std::uint32_t>(c.n4_dims));
    put(40, static_cast<std::uint32_t>(c.ivf_nlist));
    put(44, static_cast<std::uint32_t>(c.ivf_nprobe));
    put(48, static_cast<std::uint16_t>(c.hnsw_m));
    put(50, static_cast<std::uint16_t>(c.hnsw_ef_construction));
    put(52, static_cast<std::uint16_t>(c.hnsw_ef_search));
    raw[54] = p.quantizer->standardization ? 1 : 0;
    if (p.checksum) std::memcpy(raw + kSealOffset, kSealTag, 4);
    if (auto s = w.write(raw, sizeof raw); !s) return s;
    if (const auto& st = p.quantizer->standardization) {
        if (auto s = w.write(st->mean.data(), st->mean.size() * sizeof(float)); !s) return s;
        if (auto s = w.write(st->inv_std.data(), st->inv_std.size() * sizeof(float)); !s) return s;
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

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::atomic<unsigned long> g_serial{0};

}  // namespace

std::string temporary_name(const std::string& path, unsigned long serial) {
    // The target's name, shortened when the suffix would make it longer than a file name
    // may be, so that any name that can be saved to has a temporary beside it.
    std::string suffix(1, '.');
    suffix += std::to_string(::getpid());
    suffix += '.';
    suffix += std::to_string(serial);
    suffix += ".tmp";
    const std::size_t slash = path.rfind('/');
    const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    constexpr std::size_t kNameMax = 255;
    const std::size_t keep = std::min(path.size() - name_at, kNameMax - suffix.size());
    std::string out;
    out.reserve(name_at + keep + suffix.size());
    out.append(path.data(), name_at + keep);
    out.append(suffix);
    return out;
}

namespace {

// The vector count for the header, or why this index cannot be written.
Expected<std::uint64_t> writable_count(const IndexParts& p) {
    std::uint64_t count = 0;
    switch (p.config->index_type) {
        case IndexType::IvfFlat:
            if (!p.ivf && !p.allow_unbuilt) return EngineError::not_built();
            count = p.ivf ? p.ivf->n_vectors() : 0;
            break;
        case IndexType::Hnsw:
            if (!p.hnsw) return EngineError::index_type_not_implemented("Hnsw");
            count = p.hnsw->size();
            break;
        case IndexType::BruteForce:
            count = p.store->size();
            break;
    }
    if (auto s = check_fits(p); !s) return s.error();
    return count;
}

template <class Writer>
Status write_kept_rows(Writer& w, const KeptRows& kept) {
    Status st = success();
    kept.for_each_run([&](const std::uint8_t* data, std::size_t n) {
        if (st) st = w.write(data, n);
    });
    return st;
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
Status write_sections(Writer& w, const IndexParts& p, std::uint64_t count) {
    if (auto s = write_header(w, p, count); !s) return s;
    Status body = success();
    switch (p.config->index_type) {
        case IndexType::IvfFlat: body = write_ivf(w, p.ivf); break;
        case IndexType::Hnsw: body = write_hnsw(w, *p.hnsw); break;
        case IndexType::BruteForce: body = write_brute_force(w, *p.store); break;
    }
    if (!body) return body;
    if (auto s = write_kept(w, p, count); !s) return s;
    if (auto s = write_deleted(w, p); !s) return s;
    return write_pending(w, p);
}

// Passes every byte on and keeps their checksum, then appends the footer.
template <class Writer>
class Sealing {
public:
    explicit Sealing(Writer& w) : w_(w) {}
    Status write(const void* data, std::size_t n) {
        // Large writes in pieces, each checksummed right after it is written, while the
        // copy into the file has it in cache.
        const auto* p = static_cast<const std::uint8_t*>(data);
        covered_ += n;
        do {
            const std::size_t m = std::min(n, kChecksumPiece);
            if (auto s = w_.write(p, m); !s) return s;
            crc_.update(p, m);
            p += m;
            n -= m;
        } while (n > 0);
        return success();
    }
    template <class T>
    Status put(T value) {
        return write(&value, sizeof value);
    }
    Status seal() {
        if (auto s = w_.write(kSealTag, 4); !s) return s;
        if (auto s = w_.put(crc_.value()); !s) return s;
        return w_.put(covered_);
    }

private:
    Writer& w_;
    Crc32c crc_;
    std::uint64_t covered_ = 0;
};

template <class Writer>
Status write_index(Writer& w, const IndexParts& p, std::uint64_t count) {
    if (!p.checksum) return write_sections(w, p, count);
    Sealing<Writer> sealing(w);
    if (auto s = write_sections(sealing, p, count); !s) return s;
    return sealing.seal();
}

// Appends to memory; never fails except by memory exhaustion.
class ByteSink {
public:
    explicit ByteSink(std::vector<std::uint8_t>& out) : out_(out) {}
    Status write(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
        return success();
    }
    template <class T>
    Status put(T value) {
        return write(&value, sizeof value);
    }

private:
    std::vector<std::uint8_t>& out_;
};

}  // namespace

Status save_krvn(const std::string& path, const IndexParts& p) {
    const auto count = writable_count(p);
    if (!count) return count.error();

    // Written beside the target and renamed over it only once complete and on disk.
    std::string tmp;
    Fd fd;
    for (;;) {
        tmp = temporary_name(path, g_serial.fetch_add(1));
        fd = Fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (fd.get() >= 0) break;
        if (errno != EEXIST) return os_error(errno);
    }
    auto write_all = [&]() -> Status {
        auto w = std::make_unique<BufferedWriter>(fd.get());
        if (auto s = write_index(*w, p, count.value()); !s) return s;
        if (auto s = w->flush(); !s) return s;
        if (::fsync(fd.get()) != 0) return os_error(errno);
        if (auto s = fd.close(); !s) return s;
        if (::rename(tmp.c_str(), path.c_str()) != 0) return os_error(errno);
        return success();
    };
    Status written = success();
    try {
        written = write_all();
    } catch (...) {
        (void)fd.close();
        ::unlink(tmp.c_str());
        throw;
    }
    if (!written) {
        (void)fd.close();
        ::unlink(tmp.c_str());
        return written;
    }
    // Make the rename itself durable.
    Fd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) (void)::fsync(dir.get());
    return success();
}

namespace {

// Counts what a save would write.
class SizeSink {
public:
    Status write(const void*, std::size_t n) {
        size_ += n;
        return success();
    }
    template <class T>
    Status put(T value) {
        return write(&value, sizeof value);
    }
    std::size_t size() const { return size_; }

private:
    std::size_t size_ = 0;
};

}  // namespace

Expected<std::vector<std::uint8_t>> save_krvn_bytes(const IndexParts& p) {
    const auto count = writable_count(p);
    if (!count) return count.error();
    // Sized first: growing by doubling would need room for two copies of a large index.
    SizeSink size;
    if (auto s = write_sections(size, p, count.value()); !s) return s.error();
    std::vector<std::uint8_t> out;
    out.reserve(size.size() + (p.checksum ? kFooterBytes : 0));
    ByteSink sink(out);
    if (auto s = write_index(sink, p, count.value()); !s) return s.error();
    return out;
}

namespace {

// A cursor over the first `size` bytes at `data`, lending kept rows when `lender` maps them.
Cursor cursor(const std::uint8_t* data, std::size_t size, const std::shared_ptr<const Mapping>* lender) {
    return lender != nullptr ? Cursor(*lender, size) : Cursor(data, size);
}

// A file with either mark of a seal: its checksum must hold before anything is built.
Expected<LoadedIndex> load_sealed(const std::uint8_t* data, const Seal& seal,
                                  const std::shared_ptr<const Mapping>* lender) {
    if (!seal.footer) return checksum_mismatch();
    Checksum sum{data, seal.covered, seal.crc};
    Cursor cur = cursor(data, seal.covered, lender);
    cur.ahead(seal.covered);  // every byte is read for the checksum
    Expected<LoadedIndex> out = checksum_mismatch();
    if (seal.covered > 14 && data[14] == static_cast<std::uint8_t>(IndexType::BruteForce)) {
        out = load_brute_force(cur, &sum);
    } else {
        sum.done = true;
        if (crc32c(data, seal.covered) != seal.crc) return checksum_mismatch();
        auto header = read_header(cur);
        if (!header) return header.error();
        out = load_structure(cur, header.value());
    }
    // Stopped before the checksum was taken: a damaged file says so.
    if (!out && !sum.done && crc32c(data, seal.covered) != seal.crc) return checksum_mismatch();
    return out;
}

Expected<LoadedIndex> load_from(const std::uint8_t* data, std::size_t size,
                                const std::shared_ptr<const Mapping>* lender) {
    const Seal seal = find_seal(data, size, size >= kFooterBytes ? data + size - kFooterBytes : nullptr);
    if (seal.present) return load_sealed(data, seal, lender);
    Cursor cur = cursor(data, size, lender);
    auto header = read_header(cur);
    if (!header) return header.error();
    if (header.value().index_type != static_cast<std::uint8_t>(IndexType::BruteForce)) {
        return load_structure(cur, header.value());
    }
    Cursor again = cursor(data, size, lender);
    return load_brute_force(again);
}

}  // namespace

Expected<LoadedIndex> load_krvn(const std::string& path) {
    auto opened = BufferedReader::open(path);
    if (!opened) return opened.error();
    BufferedReader& in = opened.value();
    std::uint8_t head[kSealOffset + 4] = {};
    std::uint8_t tail[kFooterBytes] = {};
    const std::uint64_t size = in.size();
    if (auto s = in.read_at(0, head, static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof head))); !s) {
        return s.error();
    }
    if (size >= kFooterBytes) {
        if (auto s = in.read_at(size - kFooterBytes, tail, kFooterBytes); !s) return s.error();
    }
    const Seal seal = find_seal(head, size, tail);
    if (!seal.present) {
        auto header = read_header(in);
        if (!header) return header.error();
        if (header.value().index_type != static_cast<std::uint8_t>(IndexType::BruteForce)) {
            return load_structure(in, header.value());
        }
    }
    // A BruteForce body, and any sealed file, is read through a mapping of the whole file,
    // checked again from its first byte.
    auto mapped = Mapping::map(path);
    if (!mapped) return mapped.error();
    return load_krvn_bytes(mapped.value().data(), mapped.value().size());
}

Expected<LoadedIndex> load_krvn_bytes(const std::uint8_t* data, std::size_t size) {
    return load_from(data, size, nullptr);
}

Expected<LoadedIndex> load_krvn_mapped(const std::string& path) {
    auto mapped = Mapping::map(path, /*populate=*/false);
    if (!mapped) return mapped.error();
    const auto mapping = std::make_shared<const Mapping>(std::move(mapped).value());
    const std::size_t size = mapping->size();
    // Nothing is read ahead of use: what a load copies it asks for as it goes (Cursor::ahead),
    // and kept rows are read a page at a time as searches need them.
    mapping->advise(0, size, MADV_RANDOM);
    auto out = load_from(mapping->data(), size, &mapping);
    // What was copied out is no longer needed in this process; kept rows come back one
    // page at a time as searches read them.
    mapping->advise(0, size, MADV_DONTNEED);
    return out;
}

}  // namespace korvane::io
