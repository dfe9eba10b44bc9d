// The header: magic, version and the values that shape the index, then the optional
// standardization. Read with the same checks in the same order from either source, and
// written with every value first checked to fit its field.
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "io/file_io.h"
#include "io/parts.h"
#include "io/writer.h"

namespace korvane::io {

namespace detail {

namespace {

constexpr std::uint8_t kMagic[4] = {'K', 'R', 'V', 'N'};

std::size_t header_size(std::uint32_t version) { return version <= 2 ? 32 : version == 3 ? 40 : 56; }

}  // namespace

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

Status savable_header(const EngineConfig& c) {
    if (auto s = check_shape_fits(c); !s) return EngineError::invalid_file(s.error().text);
    return success();
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

namespace {

template <class Source>
Status read_floats(Source& src, std::size_t n, std::vector<float>& out) {
    if (!src.holds(n, sizeof(float))) return truncated();
    out.resize(n);
    return src.read(out.data(), n * sizeof(float));
}

}  // namespace

template <class Source>
Status read_standardization(Source& src, const Header& h, std::optional<Standardization>& out) {
    if (!h.standardized) return success();
    Standardization st;
    if (auto s = read_floats(src, h.dim, st.mean); !s) return s;
    if (auto s = read_floats(src, h.dim, st.inv_std); !s) return s;
    out = std::move(st);
    return success();
}

}  // namespace detail

namespace {

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

namespace detail {

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

#define READ_HEADER(Source) \
    template Expected<Header> read_header(Source&); \
    template Status read_standardization(Source&, const Header&, std::optional<Standardization>&);
KORVANE_IO_SOURCES(READ_HEADER)
#define WRITE_HEADER(Writer) template Status write_header(Writer&, const IndexParts&, std::uint64_t);
KORVANE_IO_WRITERS(WRITE_HEADER)

}  // namespace detail

}  // namespace korvane::io
