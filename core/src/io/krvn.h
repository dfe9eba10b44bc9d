// The .krvn index file: a little-endian header, the optional standardization, then the
// body of the index type. Version 6 is written; versions 1 to 6 are read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/error.h"
#include "index/flat_store.h"
#include "index/hnsw.h"
#include "index/ivf.h"
#include "index/kept.h"
#include "quantize/quantizer.h"

namespace korvane::io {

inline constexpr std::uint32_t kWrittenVersion = 6;

// What an index is made of, as the file stores it.
struct IndexParts {
    const EngineConfig* config = nullptr;
    const Quantizer* quantizer = nullptr;
    const FlatStore* store = nullptr;    // BruteForce rows
    const IvfIndex* ivf = nullptr;       // IvfFlat lists
    const HnswIndex* hnsw = nullptr;     // Hnsw graph
    // Kept vectors travel in a trailer after the body, which readers of the plain format
    // ignore.
    std::optional<KeptType> kept_type;
    double oversampling = 0.0;
};

// Checks that every value fits its field, then writes a temporary file beside `path`,
// flushes it to disk and renames it over `path`: a save that fails leaves any earlier
// file at `path` as it was, and a refused save creates no file.
Status save_krvn(const std::string& path, const IndexParts& parts);

struct LoadedIndex {
    EngineConfig config;
    Quantizer quantizer;
    FlatStore store;
    std::optional<IvfIndex> ivf;
    std::optional<HnswIndex> hnsw;
    std::optional<KeptType> kept_type;
    double oversampling = 0.0;
};

Expected<LoadedIndex> load_krvn(const std::string& path);

// The same file held in memory (pickles): the bytes a save would write, and a load of them
// with every check of a file load.
Expected<std::vector<std::uint8_t>> save_krvn_bytes(const IndexParts& parts);
Expected<LoadedIndex> load_krvn_bytes(const std::uint8_t* data, std::size_t size);

// The name of the temporary file a save of `path` writes first (tests use it).
std::string temporary_name(const std::string& path, unsigned long serial);

}  // namespace korvane::io
