// The parts of a .krvn file, in the order they stand: the header (and standardization),
// the body of the index type, the tagged sections after it, and the checksum footer of a
// sealed file. Each part is read and written in its own file; krvn.cpp puts them in order.
// Reading parts take a Cursor or a BufferedReader, writing parts any writer of writer.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/config.h"
#include "base/error.h"
#include "index/flat_store.h"
#include "index/hnsw.h"
#include "index/ivf.h"
#include "io/cursor.h"
#include "io/krvn.h"
#include "quantize/quantizer.h"

namespace korvane::io::detail {

// ---- the header (header.cpp) ----------------------------------------------------------

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

template <class Source>
Expected<Header> read_header(Source& src);
EngineConfig config_of(const Header& h);
// A header whose fields a save could not write back is refused: else the index would take
// adds and builds that no save or copy could ever keep.
Status savable_header(const EngineConfig& c);
template <class Source>
Status read_standardization(Source& src, const Header& h, std::optional<Standardization>& out);

Status check_fits(const IndexParts& p);
template <class Writer>
Status write_header(Writer& w, const IndexParts& p, std::uint64_t count);

// ---- the bodies (body_flat.cpp, body_ivf.cpp, body_hnsw.cpp) ------------------------------

// A sealed BruteForce file is checksummed while its codes are copied out.
struct Checksum {
    const std::uint8_t* file;
    std::uint64_t covered;
    std::uint32_t expected;
    bool done = false;
};

Expected<LoadedIndex> load_brute_force(Cursor& cur, Checksum* sum = nullptr);
template <class Writer>
Status write_brute_force(Writer& w, const BlockStore& store);

template <class Source>
Expected<IvfIndex> read_ivf(Source& in, const EngineConfig& c, std::uint64_t r, std::uint64_t padded);
template <class Writer>
Status write_ivf(Writer& w, const IvfIndex* built);

template <class Source>
Expected<HnswIndex> read_hnsw(Source& in, const EngineConfig& c, std::uint64_t r, std::uint64_t padded);
template <class Writer>
Status write_hnsw(Writer& w, const HnswIndex& g);

// ---- the sections after the body (sections.cpp) ----------------------------------------

template <class Source>
Status read_trailers(Source& in, LoadedIndex& out, std::uint64_t padded, std::uint64_t r);
template <class Writer>
Status write_kept(Writer& w, const IndexParts& p, std::uint64_t count);
template <class Writer>
Status write_deleted(Writer& w, const IndexParts& p);
template <class Writer>
Status write_pending(Writer& w, const IndexParts& p);
template <class Writer>
Status write_run_settings(Writer& w, const IndexParts& p);

// ---- the checksum footer (seal.cpp) ------------------------------------------------------

// A sealed file (or pickle) carries the tag in its reserved header bytes 36-39 and ends
// with a footer: the tag, the CRC-32C of every byte before the footer, and that byte
// count. Either mark alone makes the loader check the footer, so damage to one of them
// cannot pass the file off as unsealed. Plain files keep zeros there and no footer.
inline constexpr std::uint8_t kSealTag[4] = {'K', 'C', 'R', 'C'};
inline constexpr std::size_t kSealOffset = 36;
inline constexpr std::size_t kFooterBytes = 16;
// The checksum runs over pieces this large while they are in cache, right after they are
// copied (load) or written (save).
inline constexpr std::size_t kChecksumPiece = std::size_t{1} << 20;

inline EngineError checksum_mismatch() { return EngineError::invalid_file("checksum mismatch"); }

struct Seal {
    bool present = false;       // any mark is there
    bool footer = false;        // the footer is whole
    std::uint32_t crc = 0;      // what the footer holds
    std::uint64_t covered = 0;  // the bytes before the footer
};

Seal find_seal(const std::uint8_t* head, std::uint64_t size, const std::uint8_t* tail);

}  // namespace korvane::io::detail
