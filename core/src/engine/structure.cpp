#include "engine/structure.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "base/grow.h"
#include "engine/inspect.h"
#include "index/brute.h"
#include "index/kmeans.h"
#include "index/scorer.h"

namespace korvane {

std::optional<EngineError> unusable_parameter(const EngineConfig& c) {
    if (c.index_type == IndexType::IvfFlat && c.ivf_nlist == 0) {
        return EngineError::invalid_argument("ivf_nlist must be at least 1 for ivf_flat indexes (got 0)");
    }
    // With m = 1 the level multiplier divides by ln 1 = 0, and m = 0 keeps no links.
    if (c.index_type == IndexType::Hnsw && c.hnsw_m < 2) {
        return EngineError::invalid_argument("hnsw_m must be at least 2 for hnsw indexes (got " +
                                             std::to_string(c.hnsw_m) + ")");
    }
    return std::nullopt;
}

Status mapping_intact(const io::Mapping* mapping) {
    // One fstat a call: a file cut short behind the mapping is refused instead of
    // stopping the process (a cut in the moment between the check and the read is not).
    if (mapping == nullptr || mapping->intact()) return success();
    return EngineError::io("the mapped file has been cut short since it was loaded");
}

std::optional<EngineError> IndexStructure::cannot_insert(std::uint64_t, const EngineConfig&) const {
    return std::nullopt;
}

bool IndexStructure::keeps_vectors() const { return false; }

float* IndexStructure::vectors_for(std::size_t, std::size_t) { return nullptr; }

bool IndexStructure::scans_batches() const { return false; }

std::vector<std::vector<SearchHit>> IndexStructure::candidates_many(std::span<const std::vector<float>>,
                                                                    const Quantizer&, Metric, std::uint64_t,
                                                                    std::optional<std::span<const VectorId>>) const {
    return {};
}

std::optional<std::uint64_t> IndexStructure::nprobe() const { return std::nullopt; }

std::optional<std::uint64_t> IndexStructure::ef_search() const { return std::nullopt; }

void IndexStructure::set_nprobe(std::uint64_t) {}

void IndexStructure::set_ef_search(std::uint64_t) {}

namespace {

// A build with nothing to wait for: done at once.
Status built_at_once(Work& work, std::uint64_t n) {
    work.set_total(n);
    work.advance(n);
    return success();
}

// Pushes encoded rows onto a flat store, within the room reserved before.
void push_rows(BlockStore& store, const EncodedRows& rows, Work& work) {
    const std::size_t row_bytes = store.row_bytes();
    for (std::size_t i = 0; i < rows.count; ++i) {
        store.push(rows.ids[i], rows.codes + i * row_bytes, rows.norms[i],
                   rows.kept != nullptr ? rows.kept + i * rows.kept_bytes : nullptr);
    }
    work.advance(rows.count);
}

// Room for n more rows in `store`, with the norms a scan needs made first. Growth is
// geometric, so adding one row per call costs amortised constant time.
// `more` reserves anything else the rows need; every allocation comes before the first
// change, so a MemoryError leaves the store as it was.
template <class More>
void reserve_rows(BlockStore& store, std::size_t n, const Quantizer& quantizer, More&& more) {
    std::vector<float> derived =
        store.missing_norms([&](const std::uint8_t* row) { return quantizer.quantized_norm(row); }, n);
    store.reserve_more(n);
    more();
    if (!derived.empty()) store.adopt_norms(std::move(derived));
}

std::vector<QueryScorer> scorers_for(std::span<const std::vector<float>> queries, const Quantizer& quantizer,
                                     Metric metric) {
    std::vector<QueryScorer> scorers;
    scorers.reserve(queries.size());
    for (const auto& q : queries) scorers.emplace_back(q.data(), quantizer.row_layout(), metric);
    return scorers;
}

// Norms come from the file: scans lean on them only where they bound their codes'.
void check_loaded_norms(BlockStore& s, const Quantizer& quantizer) {
    bool fits = s.norms().size() == s.size();
    s.for_each_row([&](std::size_t i, const std::uint8_t* code) { fits = fits && quantizer.norm_covers(code, s.norm(i)); });
    s.set_norms_of_codes(fits);
}

// Drops from `store` the rows whose ids `map` no longer knows, from `first` on, and tells
// the map where the survivors went; place_of(position) is a row's place in the map.
// `dropped`, when given, is told which positions went (one flag per row from `first`).
template <class PlaceOf>
std::size_t erase_forgotten(BlockStore& store, std::size_t first, IdMap& map, PlaceOf&& place_of,
                            std::vector<bool>* dropped = nullptr) {
    std::size_t out = first;
    if (dropped != nullptr) dropped->assign(store.size() - std::min(first, store.size()), false);
    return store.erase_rows(first, [&](std::size_t i) {
        if (!map.follow(store.id(i), place_of(i), place_of(out))) {
            if (dropped != nullptr) (*dropped)[i - first] = true;
            return true;
        }
        ++out;
        return false;
    });
}

// Forgets the ids in `map`; returns how many rows they had and, through `first`, the
// lowest place of one of them (0 for an id several rows hold: only its last is known).
template <class PlaceIndex>
std::uint64_t forget(IdMap& map, std::span<const VectorId> ids, PlaceIndex&& lowest) {
    std::uint64_t removed = 0;
    for (VectorId id : ids) {
        const auto place = map.last(id);
        if (!place) continue;
        lowest(*place, map.rows_of(id) > 1);
        removed += map.erase(id);
    }
    return removed;
}

// A removal only marks a BruteForce row dead: the scans never offer it, so the survivors
// are offered in their order and a search answers as the store without them would. The
// store drops its dead rows in one pass once they pass a sixteenth of it (and at build,
// fit and keep_vectors), so that removing one id per call costs no pass over the store.
class BruteForceStructure final : public IndexStructure {
public:
    explicit BruteForceStructure(BlockStore store) : store_(std::move(store)) {}
    std::unique_ptr<IndexStructure> clone() const override { return std::make_unique<BruteForceStructure>(*this); }

    std::uint64_t size() const override { return store_.size() - n_dead_; }
    const BlockStore& store() const override { return store_; }
    std::uint64_t total_rows() const override { return store_.size(); }
    void set_kept_bytes(std::uint64_t bytes) override { store_.set_kept_bytes(bytes); }

    void prepare_add(std::size_t n, const Quantizer& quantizer) override {
        reserve_rows(store_, n, quantizer, [&] {
            if (!dead_.empty()) reserve_more(dead_, n);
        });
    }
    bool stores_beside_encoding() const override { return true; }
    std::size_t store_rows(const EncodedRows& rows, Work& work) override {
        push_rows(store_, rows, work);
        if (!dead_.empty()) dead_.resize(store_.size(), 0);  // within the room reserved
        return rows.count;
    }

    Expected<std::vector<SearchHit>> candidates(const float* q, const Quantizer& quantizer, Metric metric,
                                                std::uint64_t k,
                                                std::optional<std::span<const VectorId>> allowlist) const override {
        return brute_force_search(QueryScorer(q, quantizer.row_layout(), metric), store_.blocks(), k, allowlist,
                                  dead_rows());
    }
    bool scans_batches() const override { return true; }
    std::vector<std::vector<SearchHit>> candidates_many(std::span<const std::vector<float>> queries,
                                                        const Quantizer& quantizer, Metric metric, std::uint64_t k,
                                                        std::optional<std::span<const VectorId>> allowlist) const override {
        const std::vector<QueryScorer> scorers = scorers_for(queries, quantizer, metric);
        return brute_force_search_batch(scorers, store_.blocks(), k, allowlist, dead_rows());
    }
    void kept_rows(std::span<const SearchHit> hits, const std::uint8_t** rows) const override {
        for (std::size_t j = 0; j < hits.size(); ++j) rows[j] = store_.kept_row(static_cast<std::size_t>(hits[j].row));
    }

    Status build(Work& work, const EngineConfig&, const Quantizer&, std::shared_ptr<const io::Mapping>& mapping,
                 IdMap* map) override {
        // Dropping dead rows moves the kept rows after them into memory.
        if (n_dead_ > 0) {
            if (auto s = mapping_intact(mapping.get()); !s) return s;
        }
        settle(map);
        return built_at_once(work, size());
    }
    void fill_parts(io::IndexParts& p) const override { p.store = &store_; }

    std::uint64_t rows_stored() const override { return store_.size(); }
    void map_rows(IdMap& map, std::uint64_t from) const override {
        map.reserve_more(store_.size() - std::min<std::uint64_t>(from, store_.size()));
        for (std::size_t i = from; i < store_.size(); ++i) {
            if (!is_dead(i)) map.add(store_.id(i), i);
        }
    }
    Expected<std::uint64_t> remove(IdMap& map, std::span<const VectorId> ids, const Quantizer&, Work&) override {
        std::vector<VectorId> several;  // ids of more than one row: only the last is known
        std::vector<std::size_t> marked;
        const std::uint64_t removed = forget(map, ids, [&](std::uint64_t place, bool more) {
            if (more) several.push_back(store_.id(place));
            else marked.push_back(place);
        });
        if (removed == 0) return removed;
        if (!several.empty()) {
            std::sort(several.begin(), several.end());
            for (std::size_t i = 0; i < store_.size(); ++i) {
                if (!is_dead(i) && std::binary_search(several.begin(), several.end(), store_.id(i))) marked.push_back(i);
            }
        }
        if (dead_.empty()) dead_.assign(store_.size(), 0);
        for (std::size_t i : marked) dead_[i] = 1;
        n_dead_ += marked.size();
        if (n_dead_ * 16 > store_.size()) settle(&map);
        return removed;
    }
    const std::uint8_t* row_at(std::uint64_t place, std::uint8_t* code) const override {
        store_.copy_row(place, code);
        return store_.kept_row(place);
    }

    const std::uint8_t* dead_rows() const override { return n_dead_ > 0 ? dead_.data() : nullptr; }
    void settle(IdMap* map) override {
        if (n_dead_ == 0) return;
        const std::size_t first =
            static_cast<std::size_t>(std::find(dead_.begin(), dead_.end(), std::uint8_t{1}) - dead_.begin());
        std::size_t out = first;
        store_.erase_rows(first, [&](std::size_t i) {
            if (dead_[i]) return true;
            if (map != nullptr) map->follow(store_.id(i), i, out);
            ++out;
            return false;
        });
        std::vector<std::uint8_t>().swap(dead_);
        n_dead_ = 0;
    }
    void start_over(const Quantizer&) override { settle(nullptr); }

private:
    bool is_dead(std::size_t i) const { return !dead_.empty() && dead_[i] != 0; }

    BlockStore store_;
    std::vector<std::uint8_t> dead_;  // per stored row, empty while none is dead
    std::size_t n_dead_ = 0;
};

class IvfFlatStructure final : public IndexStructure {
public:
    explicit IvfFlatStructure(BlockStore pending) : pending_(std::move(pending)) {}
    IvfFlatStructure(BlockStore pending, std::optional<IvfIndex>&& ivf) : pending_(std::move(pending)), ivf_(std::move(ivf)) {}
    std::unique_ptr<IndexStructure> clone() const override { return std::make_unique<IvfFlatStructure>(*this); }

    // Pending rows come back from a file without their exact vectors: the next build
    // trains on their decoded codes, as it does for rows already in lists.
    void decode_training_vectors(const Quantizer& quantizer) {
        const std::size_t padded = quantizer.padded_dim();
        training_vectors_.resize(pending_.size() * padded);
        pending_.for_each_row([&](std::size_t i, const std::uint8_t* code) {
            quantizer.decode(code, training_vectors_.data() + i * padded);
        });
    }
    std::optional<IvfIndex>& lists() { return ivf_; }
    const std::optional<IvfIndex>& lists() const { return ivf_; }
    BlockStore& pending() { return pending_; }

    // Never built, the pending rows are what a count sees.
    std::uint64_t size() const override { return ivf_ ? ivf_->n_vectors() : pending_.size(); }
    const BlockStore& store() const override { return pending_; }
    std::uint64_t total_rows() const override { return pending_.size() + (ivf_ ? ivf_->n_vectors() : 0); }
    // Lists emptied by removals take the new length too, as the pending rows joining
    // them at the next build will have it.
    void set_kept_bytes(std::uint64_t bytes) override {
        pending_.set_kept_bytes(bytes);
        if (ivf_) {
            for (IvfList& list : ivf_->lists) list.members.set_kept_bytes(bytes);
        }
    }

    void prepare_add(std::size_t n, const Quantizer& quantizer) override {
        reserve_rows(pending_, n, quantizer, [&] { reserve_more(training_vectors_, n * quantizer.padded_dim()); });
    }
    bool stores_beside_encoding() const override { return true; }
    // A row's transformed vector, its k-means training data, is made in place.
    bool keeps_vectors() const override { return true; }
    float* vectors_for(std::size_t count, std::size_t padded_dim) override {
        const std::size_t at = training_vectors_.size();
        training_vectors_.resize(at + count * padded_dim);
        return training_vectors_.data() + at;
    }
    std::size_t store_rows(const EncodedRows& rows, Work& work) override {
        push_rows(pending_, rows, work);
        return rows.count;
    }

    Expected<std::vector<SearchHit>> candidates(const float* q, const Quantizer& quantizer, Metric,
                                                std::uint64_t k,
                                                std::optional<std::span<const VectorId>> allowlist) const override {
        if (!ivf_) return EngineError::not_built();
        if (k == 0) return std::vector<SearchHit>{};
        return ivf_search(*ivf_, QueryScorer(q, quantizer.row_layout(), ivf_->metric), k, allowlist);
    }
    bool scans_batches() const override { return ivf_.has_value(); }
    std::vector<std::vector<SearchHit>> candidates_many(std::span<const std::vector<float>> queries,
                                                        const Quantizer& quantizer, Metric, std::uint64_t k,
                                                        std::optional<std::span<const VectorId>> allowlist) const override {
        const std::vector<QueryScorer> scorers = scorers_for(queries, quantizer, ivf_->metric);
        return ivf_search_many(*ivf_, scorers, k, allowlist);
    }
    // Only a built index returns candidates: a row is its list in the high half, its place
    // in the list in the low one.
    void kept_rows(std::span<const SearchHit> hits, const std::uint8_t** rows) const override {
        for (std::size_t j = 0; j < hits.size(); ++j) {
            const std::uint64_t row = hits[j].row;
            rows[j] = ivf_->lists[row >> 32].members.kept_row(static_cast<std::size_t>(row & 0xFFFFFFFFu));
        }
    }

    Status build(Work& work, const EngineConfig& config, const Quantizer& quantizer,
                 std::shared_ptr<const io::Mapping>& mapping, IdMap* map) override;

    void fill_parts(io::IndexParts& p) const override {
        p.store = &pending_;
        p.ivf = ivf_ ? &*ivf_ : nullptr;
        p.pending = &pending_;
    }
    std::optional<std::uint64_t> nprobe() const override {
        if (!ivf_) return std::nullopt;
        return ivf_->nprobe;
    }
    void set_nprobe(std::uint64_t nprobe) override {
        if (ivf_) ivf_->nprobe = nprobe;
    }

    void start_over(const Quantizer&) override {
        ivf_.reset();
        std::vector<float>().swap(training_vectors_);
    }

    std::uint64_t rows_stored() const override { return pending_.size(); }
    void map_all(IdMap& map) const override {
        if (ivf_) {
            map.reserve_more(ivf_->n_vectors());
            for (std::size_t j = 0; j < ivf_->lists.size(); ++j) {
                const BlockStore& m = ivf_->lists[j].members;
                for (std::size_t i = 0; i < m.size(); ++i) map.add(m.id(i), place(j, i));
            }
        }
        map_rows(map, 0);
    }
    void map_rows(IdMap& map, std::uint64_t from) const override {
        map.reserve_more(pending_.size() - std::min<std::uint64_t>(from, pending_.size()));
        for (std::size_t i = from; i < pending_.size(); ++i) map.add(pending_.id(i), place(kPendingList, i));
    }
    Expected<std::uint64_t> remove(IdMap& map, std::span<const VectorId> ids, const Quantizer& quantizer,
                                   Work&) override {
        const std::size_t lists = ivf_ ? ivf_->lists.size() : 0;
        // The first place to look at in each list, the pending rows last.
        std::vector<std::size_t> first(lists + 1, ~std::size_t{0});
        const std::uint64_t removed = forget(map, ids, [&](std::uint64_t at, bool several) {
            if (several) {
                std::fill(first.begin(), first.end(), 0);
                return;
            }
            const std::uint64_t list = at >> 32;
            std::size_t& f = first[list == kPendingList ? lists : list];
            f = std::min<std::size_t>(f, at & 0xFFFFFFFFu);
        });
        if (removed == 0) return removed;
        for (std::size_t j = 0; j < lists; ++j) {
            if (first[j] == ~std::size_t{0}) continue;
            erase_forgotten(ivf_->lists[j].members, first[j], map, [&](std::size_t i) { return place(j, i); });
        }
        if (first[lists] != ~std::size_t{0}) {
            std::vector<bool> dropped;
            erase_forgotten(pending_, first[lists], map, [&](std::size_t i) { return place(kPendingList, i); },
                            &dropped);
            // The training vectors of the pending rows follow them.
            const std::size_t padded = quantizer.padded_dim();
            if (training_vectors_.size() == (pending_.size() + std::count(dropped.begin(), dropped.end(), true)) * padded) {
                std::size_t out = first[lists];
                for (std::size_t i = 0; i < dropped.size(); ++i) {
                    if (dropped[i]) continue;
                    const std::size_t from = first[lists] + i;
                    if (from != out) {
                        std::copy_n(training_vectors_.begin() + from * padded, padded,
                                    training_vectors_.begin() + out * padded);
                    }
                    ++out;
                }
                training_vectors_.resize(out * padded);
            }
        }
        return removed;
    }
    const std::uint8_t* row_at(std::uint64_t at, std::uint8_t* code) const override {
        const std::uint64_t list = at >> 32;
        const BlockStore& s = list == kPendingList ? pending_ : ivf_->lists[list].members;
        const std::size_t i = at & 0xFFFFFFFFu;
        s.copy_row(i, code);
        return s.kept_row(i);
    }

private:
    static std::uint64_t place(std::uint64_t list, std::uint64_t i) { return list << 32 | i; }

    // Tells the map where a build put the rows. The build was given the rows in the order
    // [the members of each list (from starts), then] the pending ones, and appended row r
    // to list labels[r] (after the sizes its lists had, when they stayed).
    void follow_build(IdMap& map, const std::vector<std::uint32_t>& labels, const std::vector<std::size_t>& starts,
                      std::vector<std::size_t> sizes) const {
        sizes.resize(ivf_->lists.size(), 0);
        std::vector<std::uint64_t> to(labels.size());
        for (std::size_t r = 0; r < labels.size(); ++r) to[r] = place(labels[r], sizes[labels[r]]++);
        const std::size_t in_lists = starts.empty() ? 0 : labels.size() - pending_.size();
        map.renumber([&](std::uint64_t at) {
            const std::uint64_t list = at >> 32, i = at & 0xFFFFFFFFu;
            if (list == kPendingList) return to[in_lists + i];
            return starts.empty() ? at : to[starts[list] + i];
        });
    }

    BlockStore pending_;
    std::vector<float> training_vectors_;  // padded_dim floats per pending row
    std::optional<IvfIndex> ivf_;
};

Status IvfFlatStructure::build(Work& work, const EngineConfig& config, const Quantizer& quantizer,
                               std::shared_ptr<const io::Mapping>& mapping, IdMap* map) {
    if (pending_.empty()) return EngineError::empty_index();
    if (auto s = mapping_intact(mapping.get()); !s) return s;  // clustering again reads every kept row
    if (auto bad = unusable_parameter(config)) return *bad;
    const std::uint64_t padded = quantizer.padded_dim();
    // Everything new is built aside and swapped in at the end, so a failure (memory) or a
    // stop leaves the index as it was.
    const std::uint64_t in_lists = ivf_ ? ivf_->n_vectors() : 0;
    const bool cluster = !ivf_ || ivf_->lists.size() < std::min<std::uint64_t>(config.ivf_nlist, in_lists + pending_.size());
    // Progress counts vectors assigned to a centroid: k-means assigns each at most once
    // per iteration and once more at the end.
    work.set_total(cluster ? (in_lists + pending_.size()) * (KMEANS_MAX_ITERATIONS + 1) : pending_.size());
    // The list each row went to, in the order they were given (only with a map to follow).
    std::vector<std::uint32_t> labels;
    std::vector<std::uint32_t>* labels_out = map != nullptr ? &labels : nullptr;
    // Where each list's rows were before the build, and how many it had.
    std::vector<std::size_t> starts, sizes;
    if (!ivf_) {
        std::optional<IvfIndex> built;
        {
            // Clustering only reads the index: searches and look-ups go on beside it.
            Work::Alongside readers(work);
            built = build_ivf(pending_, training_vectors_.data(), padded, config.ivf_nlist, config.ivf_nprobe,
                              config.seed, config.metric, work, labels_out);
        }
        if (!built) return EngineError::interrupted();
        ivf_ = std::move(*built);
    } else if (cluster) {
        // A later build must not lose the vectors already in the lists. With room for more
        // lists, everything is clustered again: the members enter k-means as their decoded
        // codes (the same space as the training vectors), in list order, then the pending
        // rows.
        const std::uint64_t total = in_lists + pending_.size();
        std::optional<Work::Alongside> readers(std::in_place, work);
        BlockStore all(pending_.row_bytes(), pending_.kept_bytes());
        all.reserve_more(total);
        bool norms_of_codes = pending_.norms_of_codes();
        std::vector<float> training(total * padded);
        starts.reserve(ivf_->lists.size());  // where each list's members begin in `all`
        for (const IvfList& list : ivf_->lists) {
            const BlockStore& m = list.members;
            starts.push_back(all.size());
            norms_of_codes &= m.norms_of_codes();
            m.for_each_row([&](std::size_t i, const std::uint8_t* code) { all.push(m.id(i), code, m.norm(i), m.kept_row(i)); });
        }
        parallel_for(ivf_->lists.size(), work.threads(), 1, [&](std::size_t begin, std::size_t end) {
            std::vector<std::uint8_t> code(pending_.row_bytes());
            for (std::size_t j = begin; j < end; ++j) {
                const BlockStore& m = ivf_->lists[j].members;
                for (std::size_t i = 0; i < m.size(); ++i) {
                    m.copy_row(i, code.data());
                    quantizer.decode(code.data(), training.data() + (starts[j] + i) * padded);
                }
            }
        });
        pending_.for_each_row([&](std::size_t i, const std::uint8_t* code) {
            all.push(pending_.id(i), code, pending_.norm(i), pending_.kept_row(i));
        });
        std::copy(training_vectors_.begin(), training_vectors_.end(), training.begin() + in_lists * padded);
        all.set_norms_of_codes(norms_of_codes);
        auto built = build_ivf(all, training.data(), padded, config.ivf_nlist, config.ivf_nprobe, config.seed,
                               config.metric, work, labels_out);
        readers.reset();
        if (!built) return EngineError::interrupted();
        ivf_ = std::move(*built);
        mapping.reset();  // every kept row now lives in memory
    } else {
        // Every list is already in use: the pending rows join their best lists. Like any
        // build, this one takes the probe count from the configuration.
        for (const IvfList& list : ivf_->lists) sizes.push_back(list.members.size());
        if (!append_to_lists(*ivf_, pending_, training_vectors_.data(), work, labels_out)) {
            return EngineError::interrupted();
        }
        ivf_->nprobe = config.ivf_nprobe;
    }
    if (map != nullptr) follow_build(*map, labels, starts, sizes);
    pending_.release();
    std::vector<float>().swap(training_vectors_);
    work.advance(work.total() - std::min(work.done(), work.total()));
    return success();
}

class HnswStructure final : public IndexStructure {
public:
    // `store` stays empty: it only carries the row length for the accessors.
    HnswStructure(BlockStore store, std::optional<HnswIndex> graph) : store_(std::move(store)), hnsw_(std::move(graph)) {}
    std::unique_ptr<IndexStructure> clone() const override { return std::make_unique<HnswStructure>(*this); }

    // Deleted nodes are not counted.
    std::uint64_t size() const override { return hnsw_ ? hnsw_->live_size() : store_.size(); }
    const BlockStore& store() const override { return store_; }
    std::uint64_t total_rows() const override { return hnsw_ ? hnsw_->size() : store_.size(); }
    const std::optional<HnswIndex>& graph() const { return hnsw_; }
    // A graph whose nodes are all deleted drops them.
    void start_over(const Quantizer& quantizer) override {
        if (!hnsw_ || hnsw_->n_deleted == 0) return;
        Work work;
        std::vector<std::uint32_t> map;
        (void)hnsw_purge_deleted(*hnsw_, quantizer, work, map);
    }
    void set_kept_bytes(std::uint64_t bytes) override {
        store_.set_kept_bytes(bytes);
        if (hnsw_) hnsw_->nodes.set_kept_bytes(bytes);
    }
    std::optional<EngineError> cannot_insert(std::uint64_t n, const EngineConfig& config) const override {
        if (!hnsw_) return std::nullopt;
        // A loaded graph may carry an m the constructor refuses.
        if (auto bad = unusable_parameter(config)) return *bad;
        if (n > std::uint64_t{kNoNode} - hnsw_->size()) {
            return EngineError::invalid_argument("an hnsw index holds at most 4294967295 vectors");
        }
        return std::nullopt;
    }

    // New nodes never link to deleted ones: a graph of deleted nodes only (a file may hold
    // one) is emptied first, or they could never be reached. (No row has a place then.)
    void before_add(const Quantizer& quantizer) override {
        if (hnsw_ && hnsw_->live_size() == 0) start_over(quantizer);
    }
    void prepare_add(std::size_t, const Quantizer& quantizer) override { prepare_for_insert(*hnsw_, quantizer); }
    bool stores_beside_encoding() const override { return false; }
    std::size_t store_rows(const EncodedRows& rows, Work& work) override { return hnsw_insert_rows(*hnsw_, rows, work); }

    Expected<std::vector<SearchHit>> candidates(const float* q, const Quantizer& quantizer, Metric metric,
                                                std::uint64_t k,
                                                std::optional<std::span<const VectorId>> allowlist) const override {
        if (!hnsw_) return EngineError::index_type_not_implemented("Hnsw");
        if (k == 0) return std::vector<SearchHit>{};
        return hnsw_search(*hnsw_, QueryScorer(q, quantizer.row_layout(), metric), k, allowlist);
    }
    void kept_rows(std::span<const SearchHit> hits, const std::uint8_t** rows) const override {
        for (std::size_t j = 0; j < hits.size(); ++j) rows[j] = hnsw_->nodes.kept_row(static_cast<std::size_t>(hits[j].row));
    }

    // Deleted nodes are repaired around and dropped, work counting the lists relinked (a
    // stop leaves them marked and fails with Interrupted); then the construction state goes.
    Status build(Work& work, const EngineConfig&, const Quantizer& quantizer, std::shared_ptr<const io::Mapping>&,
                 IdMap* map) override {
        if (!hnsw_) return built_at_once(work, size());
        const bool repairs = hnsw_->n_deleted > 0;
        if (repairs && !purge(quantizer, work, map)) return EngineError::interrupted();
        release_construction_vectors(*hnsw_);
        return repairs ? success() : built_at_once(work, size());
    }
    void fill_parts(io::IndexParts& p) const override {
        p.store = &store_;
        p.hnsw = hnsw_ ? &*hnsw_ : nullptr;
    }
    std::optional<std::uint64_t> ef_search() const override {
        if (!hnsw_) return std::nullopt;
        return hnsw_->ef_search;
    }
    void set_ef_search(std::uint64_t ef) override {
        if (hnsw_) hnsw_->ef_search = ef;
    }

    std::uint64_t rows_stored() const override { return hnsw_ ? hnsw_->size() : 0; }
    void map_rows(IdMap& map, std::uint64_t from) const override {
        if (!hnsw_) return;
        map.reserve_more(hnsw_->size() - std::min<std::uint64_t>(from, hnsw_->size()));
        for (std::size_t i = from; i < hnsw_->size(); ++i) {
            if (!hnsw_->is_deleted(static_cast<std::uint32_t>(i))) map.add(hnsw_->nodes.id(i), i);
        }
    }
    // Nodes are marked deleted; past a share of the graph they are repaired around and
    // dropped (hnsw_wants_purge). A repair stopped part way leaves them marked, the rows
    // gone all the same: the next removal or build repairs on.
    Expected<std::uint64_t> remove(IdMap& map, std::span<const VectorId> ids, const Quantizer& quantizer,
                                   Work& work) override {
        if (!hnsw_) return std::uint64_t{0};
        std::vector<VectorId> several;  // ids of more than one node: only the last is known
        std::uint64_t removed = 0;
        for (VectorId id : ids) {
            const auto node = map.last(id);
            if (!node) continue;
            if (map.rows_of(id) > 1) several.push_back(id);
            removed += map.erase(id);
            hnsw_mark_deleted(*hnsw_, static_cast<std::uint32_t>(*node));
        }
        if (!several.empty()) {
            std::sort(several.begin(), several.end());
            for (std::size_t i = 0; i < hnsw_->size(); ++i) {
                if (std::binary_search(several.begin(), several.end(), hnsw_->nodes.id(i))) {
                    hnsw_mark_deleted(*hnsw_, static_cast<std::uint32_t>(i));
                }
            }
        }
        if (hnsw_wants_purge(*hnsw_)) purge(quantizer, work, &map);
        return removed;
    }
    const std::uint8_t* row_at(std::uint64_t place, std::uint8_t* code) const override {
        std::memcpy(code, hnsw_->nodes.row(place), hnsw_->nodes.row_bytes());
        return hnsw_->nodes.kept_row(place);
    }

private:
    // Whether the purge finished (else it was stopped, the nodes keeping their numbers).
    bool purge(const Quantizer& quantizer, Work& work, IdMap* map) {
        std::vector<std::uint32_t> to;
        if (!hnsw_purge_deleted(*hnsw_, quantizer, work, to)) return false;
        if (map != nullptr) map->renumber([&](std::uint64_t node) { return std::uint64_t{to[node]}; });
        return true;
    }

    BlockStore store_;
    std::optional<HnswIndex> hnsw_;
};

}  // namespace

std::unique_ptr<IndexStructure> IndexStructure::create(const EngineConfig& config, std::uint64_t row_bytes,
                                                       std::uint64_t padded_dim) {
    switch (config.index_type) {
        case IndexType::IvfFlat:
            return std::make_unique<IvfFlatStructure>(BlockStore(row_bytes));
        case IndexType::Hnsw:
            return std::make_unique<HnswStructure>(BlockStore(row_bytes), HnswIndex::empty(config, row_bytes, padded_dim));
        case IndexType::BruteForce:
            break;
    }
    return std::make_unique<BruteForceStructure>(BlockStore(row_bytes));
}

std::unique_ptr<IndexStructure> IndexStructure::from_loaded(io::LoadedIndex& l, const Quantizer& quantizer,
                                                            bool pickle) {
    check_loaded_norms(l.store, quantizer);
    switch (l.config.index_type) {
        case IndexType::IvfFlat: {
            if (l.unbuilt) l.ivf.reset();
            if (l.ivf) {
                for (IvfList& list : l.ivf->lists) check_loaded_norms(list.members, quantizer);
            }
            auto s = std::make_unique<IvfFlatStructure>(std::move(l.store), std::move(l.ivf));
            if (s->lists() || l.unbuilt) s->decode_training_vectors(quantizer);
            // Written unbuilt by an earlier version, which had no pending rows section.
            if (pickle && s->lists() && s->lists()->lists.empty() && s->pending().empty()) s->lists().reset();
            return s;
        }
        case IndexType::Hnsw:
            return std::make_unique<HnswStructure>(std::move(l.store), std::move(l.hnsw));
        case IndexType::BruteForce:
            break;
    }
    return std::make_unique<BruteForceStructure>(std::move(l.store));
}

const std::optional<HnswIndex>& graph_of(const IndexStructure& structure) {
    static const std::optional<HnswIndex> none;
    const auto* s = dynamic_cast<const HnswStructure*>(&structure);
    return s != nullptr ? s->graph() : none;
}

const std::optional<IvfIndex>& lists_of(const IndexStructure& structure) {
    static const std::optional<IvfIndex> none;
    const auto* s = dynamic_cast<const IvfFlatStructure*>(&structure);
    return s != nullptr ? s->lists() : none;
}

}  // namespace korvane
