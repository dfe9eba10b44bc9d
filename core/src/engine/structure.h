// What each index type holds (its rows and the structure it searches them with) behind
// the few operations the Engine needs. Every call covers a chunk of rows, a query or a
// batch of queries: the scans, kernels and graph search below stay free of dispatch.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/config.h"
#include "base/error.h"
#include "base/work.h"
#include "index/flat_store.h"
#include "index/hnsw.h"
#include "index/id_map.h"
#include "index/ivf.h"
#include "index/topk.h"
#include "io/krvn.h"
#include "quantize/quantizer.h"

namespace korvane {

// Values the index types cannot work with. Checked after the bit width and the layout,
// so that those errors win when several apply; also checked where a loaded index would
// first use the value.
std::optional<EngineError> unusable_parameter(const EngineConfig& c);

// Fails where the file that kept rows are read from in place (none: null) has been cut
// short since the load, as a read would stop the process.
Status mapping_intact(const io::Mapping* mapping);

// Rows encoded by an add, in order: codes, quantized norms, ids, transformed vectors and
// kept rows (kept_bytes each, or none).
using EncodedRows = InsertRows;

class IndexStructure {
public:
    virtual ~IndexStructure() = default;

    // An empty structure of config.index_type, for rows of row_bytes.
    static std::unique_ptr<IndexStructure> create(const EngineConfig& config, std::uint64_t row_bytes,
                                                  std::uint64_t padded_dim);
    // Takes the rows and structure of a loaded file. `quantizer` is the loaded one, `pickle`
    // says the bytes may come from a version that wrote an unbuilt IvfFlat index as an
    // empty built one.
    static std::unique_ptr<IndexStructure> from_loaded(io::LoadedIndex& loaded, const Quantizer& quantizer,
                                                       bool pickle);
    virtual std::unique_ptr<IndexStructure> clone() const = 0;

    // The rows a search can return (an IvfFlat index never built: its pending rows).
    virtual std::uint64_t size() const = 0;
    // The flat store: every row of a BruteForce index, the pending rows of an IvfFlat one,
    // none of an Hnsw one (whose rows are its graph's nodes).
    virtual const BlockStore& store() const = 0;
    // Every row held: an IvfFlat index's pending rows and those in its lists alike, removed
    // rows still stored included.
    virtual std::uint64_t total_rows() const = 0;

    // On a structure whose rows were all removed, drops what they leave behind (IvfFlat's
    // lists and centroids, a graph's deleted nodes), so that it is as if new.
    virtual void start_over(const Quantizer&) {}
    // The length of a kept row, on a structure holding nothing.
    virtual void set_kept_bytes(std::uint64_t bytes) = 0;
    // Why n more rows cannot join, if they cannot.
    virtual std::optional<EngineError> cannot_insert(std::uint64_t n, const EngineConfig& config) const;

    // Rows removed but still stored, one flag per stored row (null: none). A BruteForce
    // store drops them in batches; its scans skip them meanwhile.
    virtual const std::uint8_t* dead_rows() const { return nullptr; }
    // Drops the rows removed but still stored, telling `map` (when given) where the others
    // went.
    virtual void settle(IdMap*) {}
    // Before an add takes rows_stored(): whatever must change first.
    virtual void before_add(const Quantizer&) {}
    // An add of n rows: prepare_add first (it allocates what the stores need, so a
    // MemoryError there changes no row), then each chunk's vectors are made where
    // vectors_for says and its rows stored by store_rows, in order.
    virtual void prepare_add(std::size_t n, const Quantizer& quantizer) = 0;
    // Whether store_rows may run beside the encoding of the next chunk (a flat store), or
    // needs the chunk's transformed vectors while it stores it (a graph's insertion).
    virtual bool stores_beside_encoding() const = 0;
    // Whether the structure keeps the rows' transformed vectors (IvfFlat's k-means training
    // data): vectors_for then says where the next `count` rows' are made, within the room
    // prepare_add reserved.
    virtual bool keeps_vectors() const;
    virtual float* vectors_for(std::size_t count, std::size_t padded_dim);
    // Stores the rows, advancing work; returns how many, fewer only once a stop was asked.
    virtual std::size_t store_rows(const EncodedRows& rows, Work& work) = 0;

    // The k best candidates for the transformed query q (padded_dim floats).
    virtual Expected<std::vector<SearchHit>> candidates(const float* q, const Quantizer& quantizer, Metric metric,
                                                        std::uint64_t k,
                                                        std::optional<std::span<const VectorId>> allowlist) const = 0;
    // Whether candidates_many reads the rows once for the whole batch.
    virtual bool scans_batches() const;
    // candidates() for each query of a batch (k > 0, every query of the right length, the
    // index not empty); only where scans_batches().
    virtual std::vector<std::vector<SearchHit>> candidates_many(std::span<const std::vector<float>> queries,
                                                                const Quantizer& quantizer, Metric metric,
                                                                std::uint64_t k,
                                                                std::optional<std::span<const VectorId>> allowlist) const;
    // The kept rows of a chunk of candidates, one pointer each into `rows`.
    virtual void kept_rows(std::span<const SearchHit> hits, const std::uint8_t** rows) const = 0;

    // `mapping`: the file kept rows are read from in place, dropped by a build that moves
    // them all into memory. `map`, when there is one, follows the rows a build moves.
    virtual Status build(Work& work, const EngineConfig& config, const Quantizer& quantizer,
                         std::shared_ptr<const io::Mapping>& mapping, IdMap* map) = 0;

    // Points the parts of a save at what this structure holds.
    virtual void fill_parts(io::IndexParts& parts) const = 0;

    // Rows by id. A row's place in an IdMap: its position in a BruteForce store, list << 32
    // | position in an IvfFlat index (pending rows in list kPendingList), its node in a graph.
    static constexpr std::uint64_t kPendingList = 0xFFFFFFFFu;
    // How many rows an add has stored so far (removed ones included where they linger):
    // taken before an add, it tells map_rows where the add's rows begin.
    virtual std::uint64_t rows_stored() const = 0;
    // Tells `map` where the rows an add stored from `from` on are, in order.
    virtual void map_rows(IdMap& map, std::uint64_t from) const = 0;
    // Tells `map` where every row is.
    virtual void map_all(IdMap& map) const { map_rows(map, 0); }
    // Removes every row holding one of the ids and forgets them in `map`, which knows every
    // row; returns how many went. The rows left keep their order.
    virtual Expected<std::uint64_t> remove(IdMap& map, std::span<const VectorId> ids, const Quantizer& quantizer,
                                           Work& work) = 0;
    // The codes of the row at `place` into `code` (row_bytes); returns its kept row, or null.
    virtual const std::uint8_t* row_at(std::uint64_t place, std::uint8_t* code) const = 0;

    // The run-time settings a search takes: a built IvfFlat index's probe count, an Hnsw
    // graph's ef_search; none for another index type.
    virtual std::optional<std::uint64_t> nprobe() const;
    virtual std::optional<std::uint64_t> ef_search() const;
    virtual void set_nprobe(std::uint64_t nprobe);
    virtual void set_ef_search(std::uint64_t ef);
};

}  // namespace korvane
