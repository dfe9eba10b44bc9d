// A whole .krvn file, saved or loaded: its parts in order (header, body, sections, the
// footer of a sealed file), written to a temporary file that replaces the target only once
// complete, or to memory; read from a file, a mapping or memory, a sealed file's checksum
// checked before anything is built.
#include "io/krvn.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "io/checksum.h"
#include "io/file_io.h"
#include "io/parts.h"
#include "io/writer.h"

namespace korvane::io {

using namespace detail;

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
    if (auto s = write_pending(w, p); !s) return s;
    return write_run_settings(w, p);
}

template <class Writer>
Status write_index(Writer& w, const IndexParts& p, std::uint64_t count) {
    if (!p.checksum) return write_sections(w, p, count);
    Sealing<Writer> sealing(w);
    if (auto s = write_sections(sealing, p, count); !s) return s;
    return sealing.seal();
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

// The IvfFlat and Hnsw bodies, after the header: standardization, quantizer, structure.
template <class Source>
Expected<LoadedIndex> load_structure(Source& in, const Header& h) {
    LoadedIndex out;
    out.config = config_of(h);
    std::optional<Standardization> st;
    if (auto s = read_standardization(in, h, st); !s) return s.error();
    const auto layout = Quantizer::check_layout(out.config, Quantizer::BitWidthCheck::Skipped);
    if (!layout) return layout.error();
    if (auto s = savable_header(out.config); !s) return s.error();
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
