// The .krvn index file: a little-endian header, the optional standardization, then the
// body of the index type. Version 6 is written; versions 1 to 6 are read.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/error.h"
#include "index/flat_store.h"
#include "index/hnsw.h"
#include "index/ivf.h"
#include "index/kept.h"
#include "io/file_io.h"
#include "quantize/quantizer.h"

namespace korvane::io {

inline constexpr std::uint32_t kWrittenVersion = 6;

// The settings a search reads that a saved file does not keep: IvfFlat's nprobe once
// built, a graph's ef_search.
struct RunSettings {
    std::optional<std::uint64_t> nprobe;
    std::optional<std::uint64_t> ef_search;
    bool operator==(const RunSettings&) const = default;
};

// What an index is made of, as the file stores it.
struct IndexParts {
    const EngineConfig* config = nullptr;
    const Quantizer* quantizer = nullptr;
    const BlockStore* store = nullptr;    // BruteForce rows
    const IvfIndex* ivf = nullptr;       // IvfFlat lists; none before the first build
    const HnswIndex* hnsw = nullptr;     // Hnsw graph
    const BlockStore* pending = nullptr;  // IvfFlat rows added since the last build
    // Kept vectors and pending rows travel in sections after the body, which readers of
    // the plain format ignore.
    std::optional<KeptType> kept_type;
    std::optional<InputType> input_type;  // kept input rows: their type once an add fixed it
    double oversampling = 0.0;
    // A sealed file ends with a CRC-32C of everything before it, checked by every load.
    bool checksum = false;
    // An IvfFlat index never built is written with no lists (pickles); a file refuses it.
    bool allow_unbuilt = false;
    // Pickles carry the run-time settings in a last section, so that the checksum seals
    // them with the rest (None where the index has no such setting).
    std::optional<RunSettings> run_settings;
};

// Whether the values that shape an index (dim, n4_dims, ivf_nlist, hnsw_m,
// hnsw_ef_construction) fit their header fields; the index refuses them when it is made.
Status check_shape_fits(const EngineConfig& config);

// Checks that every value fits its field, then writes a temporary file beside `path`,
// flushes it to disk and renames it over `path`: a save that fails leaves any earlier
// file at `path` as it was, and a refused save creates no file.
Status save_krvn(const std::string& path, const IndexParts& parts);

struct LoadedIndex {
    EngineConfig config;
    Quantizer quantizer;
    BlockStore store;
    std::optional<IvfIndex> ivf;
    std::optional<HnswIndex> hnsw;
    std::optional<KeptType> kept_type;
    std::optional<InputType> input_type;
    double oversampling = 0.0;
    bool unbuilt = false;  // an IvfFlat index whose rows all wait for a first build
    std::optional<RunSettings> run_settings;  // where the file holds them
    // The mapping kept rows are read from in place (a mapped load), if any.
    std::shared_ptr<const Mapping> mapping;
};

Expected<LoadedIndex> load_krvn(const std::string& path);
// The same through a read-only mapping that the index keeps: kept rows are read in place
// from it (the rest is copied into the layout searches use) and it lives as long as any
// store borrowing from it. Nothing ever writes to the file through it.
Expected<LoadedIndex> load_krvn_mapped(const std::string& path);

// The same file held in memory (pickles): the bytes a save would write, and a load of them
// with every check of a file load.
Expected<std::vector<std::uint8_t>> save_krvn_bytes(const IndexParts& parts);
Expected<LoadedIndex> load_krvn_bytes(const std::uint8_t* data, std::size_t size);

// The name of the temporary file a save of `path` writes first (tests use it).
std::string temporary_name(const std::string& path, unsigned long serial);

}  // namespace korvane::io
