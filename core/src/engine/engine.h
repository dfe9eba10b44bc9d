// The whole index: configuration, quantizer and the structure of its index type (engine/structure.h).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/error.h"
#include "base/rows.h"
#include "base/work.h"
#include "quantize/quantizer.h"
#include "index/hnsw.h"
#include "index/ivf.h"
#include "index/kept.h"
#include "index/flat_store.h"
#include "index/topk.h"
#include "io/krvn.h"
#include "engine/structure.h"

namespace korvane {

class Engine {
public:
    // Fails with InvalidBitWidth only. config.dim must have a representable padded size.
    static Expected<Engine> create(const EngineConfig& config);

    // Adds a row for each id, read from `rows` in whatever form they arrived (base/rows.h).
    // A count mismatch stores nothing; a row of the wrong length keeps the rows before it.
    //
    // Every add encodes on work.threads() threads, storing the same bytes for any count
    // (an Hnsw graph is the one hnsw_insert_rows makes with that count); work's total is
    // the rows to add, and it advances as they are stored. Once work.stop_requested() the
    // add stops at a clean point and fails with Interrupted, keeping the rows stored
    // before it.
    //
    // `given` is the type the rows arrived in before they became floats (every value is
    // then exact in it). With kept input vectors the first add that stores rows fixes the
    // type they are kept in; an add of another type whose values that type cannot hold
    // (first_unheld) stores nothing and fails with InvalidArgument.
    Status add(std::span<const VectorId> ids, const RowSource& rows, Work& work,
               InputType given = InputType::Float32);
    // The same on one thread, for float32 rows: from a source, or dim floats a row back to back.
    Status add(std::span<const VectorId> ids, const RowSource& rows);
    Status add(std::span<const VectorId> ids, std::span<const float> values);

    // Whether an add since the last call met rows far from unit scale: most rotated
    // coordinates of its first chunk in the outermost codes, where recall is low (cosine
    // rows never are). True at most once in an engine's life, which checks no more after.
    bool take_far_from_unit();

    Expected<std::vector<SearchHit>> search(std::span<const float> query, std::uint64_t k,
                                            std::optional<std::span<const VectorId>> allowlist) const;
    // search() for each query, in order; a BruteForce index reads its rows, an IvfFlat index
    // its centroids, once for all.
    std::vector<Expected<std::vector<SearchHit>>> search_many(std::span<const std::span<const float>> queries,
                                                             std::uint64_t k,
                                                             std::optional<std::span<const VectorId>> allowlist) const;
    // An IvfFlat build runs k-means on work.threads() threads (the same lists for any
    // count), its total counted in vectors assigned; stopped, it fails with Interrupted
    // and leaves the index as it was. An Hnsw build finishes the repair around removed
    // rows as remove() does, its total the lists relinked; stopped, it fails with
    // Interrupted, the graph whole.
    Status build(Work& work);
    Status build();
    Status fit_standardization(const RowSet& sample);
    void set_nprobe(std::uint64_t nprobe);

    // Kept vectors and re-scoring: keep_vectors only on an index holding nothing; it turns
    // re-scoring on with oversampling 4. set_rescore(0) turns it off, >= 1 sets it.
    Status keep_vectors(KeptType type);
    Status set_rescore(double oversampling);
    const std::optional<KeptType>& kept_type() const { return kept_type_; }
    // The type kept input vectors are in; none until an add stores rows.
    const std::optional<InputType>& input_type() const { return input_type_; }
    // The layout of one kept row (kept input rows of a type not yet fixed: as `input`).
    KeptFormat kept_format(InputType input = InputType::Float32) const;
    double oversampling() const { return oversampling_; }
    bool rescoring() const { return kept_type_ && oversampling_ >= 1.0; }

    // The .krvn file: save never changes the engine; load makes a new, independent one.
    // With `checksum` the file ends with a CRC-32C of its bytes, which load checks.
    Status save(const std::string& path, bool checksum = false) const;
    // A `mapped` load keeps a read-only mapping of the file and reads the kept vectors in
    // place from it (everything else is copied, as a plain load does); what the engine
    // changes later lives in memory, and the file is never written.
    static Expected<Engine> load(const std::string& path, bool mapped = false);
    // The same bytes in memory (pickles carry the checksum), with the run-time settings in
    // a section of their own, under the checksum too. Every row of an IvfFlat engine
    // travels, pending or built; one never built reads back unbuilt. `held`, when given,
    // receives the settings the bytes held (none: bytes of an earlier version), which the
    // engine has taken.
    Expected<std::vector<std::uint8_t>> to_bytes(bool checksum = true) const;
    static Expected<Engine> from_bytes(const std::uint8_t* data, std::size_t size,
                                       std::optional<io::RunSettings>* held = nullptr);
    // nprobe (an IvfFlat index once built) and ef_search (a graph), as searches use them.
    io::RunSettings run_settings() const;
    void set_ef_search(std::uint64_t ef);

    // Rows by id. The first of these calls makes the id map (index/id_map.h), which every
    // later change keeps up to date; an engine that never calls them never has one.
    //
    // Removes every row holding one of the ids (unknown ids are no error) and returns how
    // many went. The rows left keep their order; an Hnsw graph marks its rows deleted and
    // repairs itself around them once they are many, on work.threads() threads (the same
    // graph for any count), adding the lists it relinks to work's total. Once
    // work.stop_requested() that repair stops between units of lists, the graph whole and
    // the rows removed all the same (the count is returned); the next remove or build
    // repairs on.
    Expected<std::uint64_t> remove(std::span<const VectorId> ids, Work& work);
    Expected<std::uint64_t> remove(std::span<const VectorId> ids);
    // remove(ids), then add(ids, rows); every check an add makes of the rows comes first,
    // so such a failure changes nothing. work's total is the rows plus the lists a repair
    // relinks. Stopped, it fails with Interrupted, the rows of every id removed and the new
    // rows of a leading part of them added (none when the stop came during the removal).
    Status update(std::span<const VectorId> ids, const RowSource& rows, Work& work,
                  InputType given = InputType::Float32);
    // The vectors of the last row of each id, ids.size() · dim floats into out, in the
    // space they were given in: the kept input row, else the kept or decoded transformed
    // vector with the transform undone. Fails with UnknownId for an id no row holds.
    Status get(std::span<const VectorId> ids, float* out) const;
    bool contains(VectorId id) const;
    // The rows of a BruteForce engine in order, as the exports give them: codes
    // row-major, norms and ids (removed rows a store still holds left out).
    std::vector<std::uint8_t> packed_rows() const;
    std::vector<float> row_norms() const;
    std::vector<VectorId> row_ids() const;

    std::uint64_t n_vectors() const;
    bool is_empty() const { return n_vectors() == 0; }

    const EngineConfig& config() const { return config_; }
    const Quantizer& quantizer() const { return quantizer_; }
    std::uint64_t row_bytes() const { return structure_->store().row_bytes(); }
    // The flat store: every row of a BruteForce engine, the pending rows of an IvfFlat one.
    const BlockStore& store() const { return structure_->store(); }
    // Every row held, an IvfFlat index's pending rows and those in its lists alike.
    std::uint64_t total_rows() const { return structure_->total_rows(); }
    // The run-time settings of a built IvfFlat index and of an Hnsw graph; none elsewhere.
    std::optional<std::uint64_t> nprobe() const { return structure_->nprobe(); }
    std::optional<std::uint64_t> ef_search() const { return structure_->ef_search(); }
    // What engine/inspect.h looks inside.
    const IndexStructure& structure() const { return *structure_; }

    Engine(const Engine& other);
    Engine& operator=(const Engine& other);
    Engine(Engine&&) noexcept = default;
    Engine& operator=(Engine&&) noexcept = default;
    ~Engine() = default;

private:
    Engine() = default;
    Expected<std::vector<SearchHit>> search_index(const std::vector<float>& q, std::uint64_t k,
                                                  std::optional<std::span<const VectorId>> allowlist) const;
    // How many candidates the index gives for k hits: more when they are re-scored.
    std::uint64_t candidates_for(std::uint64_t k) const;
    // The k best of the index's candidates, re-scored when the engine keeps vectors; q is
    // the transformed query, `query` the one given.
    std::vector<SearchHit> finish(const float* q, std::span<const float> query, std::vector<SearchHit> hits,
                                  std::uint64_t k) const;
    // q: the transformed query (padded_dim floats).
    void rescore(const float* q, std::vector<SearchHit>& hits) const;
    // q: the prepared query (dim floats), for kept input rows.
    void rescore_input(const float* q, std::vector<SearchHit>& hits) const;
    io::IndexParts parts(const IndexStructure& structure) const;
    // A copy of the structure without the removed rows it still holds, where it holds any.
    std::unique_ptr<IndexStructure> settled_copy() const;
    template <class T, class Rows>
    std::vector<T> live(const Rows& all, std::size_t width) const;
    // `pickle`: bytes that an earlier version may have written unbuilt as built with no lists.
    static Engine from_loaded(io::LoadedIndex&& loaded, bool pickle = false);
    // A count mismatch: ids and rows differ in number, or values are left over.
    static Status check_count(std::span<const VectorId> ids, const RowSource& rows);
    // Encodes and stores rows that are already checked; storage is reserved first so
    // that running out of memory leaves the engine unchanged.
    Status add_checked(std::span<const VectorId> ids, const RowSource& rows, Work& work, InputType keep_as);
    // add_checked for rows that arrived as `given`: first checks that the kept input type
    // holds them, and fixes that type once rows are stored.
    Status add_given(std::span<const VectorId> ids, const RowSource& rows, Work& work, InputType given);

    Quantizer quantizer_;
    // The rows and whatever the index type searches them with.
    std::unique_ptr<IndexStructure> structure_;
    EngineConfig config_;
    std::optional<KeptType> kept_type_;
    std::optional<InputType> input_type_;
    double oversampling_ = 0.0;
    // The scale check: found and not yet taken; found once (no more checks).
    bool far_pending_ = false;
    bool far_found_ = false;
    // Whether most coordinates of `count` encoded rows sit in the outermost codes.
    bool mostly_outermost(const std::uint8_t* codes, std::size_t count) const;
    // The file kept rows are read from in place (a mapped load), while any are.
    std::shared_ptr<const io::Mapping> mapping_;
    // Fails where a call that `reads` the mapping would read past the end of a mapped
    // file cut short since the load.
    Status mapping_intact(bool reads = true) const;

    // The id map, made on first use under its own lock: searches and look-ups share the
    // engine, and two of them may be first. Changes to the engine are exclusive.
    IdMap& id_map() const;
    // During an add, after rows were stored: the map, if there is one, learns the rows
    // stored since it last did (on an exception it is dropped, made again when next needed).
    void map_stored();
    struct LazyIdMap {
        std::mutex lock;
        std::unique_ptr<IdMap> map;
        // During an add: the rows the map knows (structure places below this), whoever
        // made it.
        std::uint64_t through = 0;
    };
    std::unique_ptr<LazyIdMap> ids_ = std::make_unique<LazyIdMap>();
    // Fails as an add of the rows would before storing any: values the kept input type
    // cannot hold.
    Status check_held(std::span<const VectorId> ids, const RowSource& rows, InputType given) const;
};

}  // namespace korvane
