#include "engine/engine.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>

#include "index/brute.h"
#include "index/scorer.h"
#include "simd/float_dots.h"

namespace korvane {

namespace {

// Values the index types cannot work with. Checked after the bit width and the layout,
// so that those errors win when several apply; also checked where a loaded index would
// first use the value.
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

}  // namespace

Expected<Engine> Engine::create(const EngineConfig& config) {
    // The bit width first, then the layout, then values the index or its file cannot
    // hold, all before the rotation (as large as the dimension) is built.
    if (auto layout = Quantizer::check_layout(config); !layout) return layout.error();
    if (auto bad = unusable_parameter(config)) return *bad;
    if (auto s = io::check_shape_fits(config); !s) return s.error();
    auto q = Quantizer::create(config);
    if (!q) return q.error();
    Engine e;
    e.quantizer_ = std::move(q).value();
    e.store_ = BlockStore(e.quantizer_.packed_bytes_per_vec());
    if (config.index_type == IndexType::Hnsw) {
        e.hnsw_ = HnswIndex::empty(config, e.store_.row_bytes(), e.quantizer_.padded_dim());
    }
    e.config_ = config;
    return e;
}

std::uint64_t Engine::n_vectors() const {
    if (ivf_) return ivf_->n_vectors();
    if (hnsw_) return hnsw_->size();
    return store_.size();
}

namespace {

// Rows encoded between two looks at a stop request: about a million floats of work,
// a few milliseconds.
std::size_t rows_per_chunk(std::size_t padded) { return std::max<std::size_t>(64, (std::size_t{1} << 20) / padded); }

}  // namespace

KeptFormat Engine::kept_format(InputType input) const {
    if (kept_type_ == KeptType::Input) return KeptFormat{KeptType::Input, config_.dim, input_type_.value_or(input)};
    return KeptFormat{kept_type_.value_or(KeptType::Float16), quantizer_.padded_dim()};
}

template <class RowAt>
Status Engine::add_given(std::span<const VectorId> ids, RowAt&& row_at, Work& work, InputType given) {
    const bool input = kept_type_ == KeptType::Input;
    // Every value of the other types is exact in float32, and uint8 and int8 ones in float16.
    const bool integers = given == InputType::UInt8 || given == InputType::Int8;
    if (input && input_type_ && given != *input_type_ && *input_type_ != InputType::Float32 &&
        !(*input_type_ == InputType::Float16 && integers)) {
        std::vector<float> slot(quantizer_.padded_dim());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const float* x = row_at(i, slot.data());
            const std::size_t at = first_unheld(*input_type_, x, config_.dim);
            if (at < config_.dim) return EngineError::invalid_argument(unheld_message(*input_type_, i, x[at]));
        }
    }
    const bool fixing = input && !input_type_;
    if (fixing) {
        // Nothing is stored yet: the stores take the row length of the type these rows came in.
        const std::uint64_t bytes = kept_format(given).row_bytes();
        store_.set_kept_bytes(bytes);
        if (hnsw_) hnsw_->nodes.set_kept_bytes(bytes);
    }
    const Status added = add_checked(ids, row_at, work, input_type_.value_or(given));
    if (fixing && (n_vectors() > 0 || !store_.empty())) input_type_ = given;
    return added;
}

template <class RowAt>
Status Engine::add_checked(std::span<const VectorId> ids, RowAt&& row_at, Work& work, InputType keep_as) {
    const std::size_t n = ids.size();
    work.set_total(n);
    // An add stopped at its first row changes nothing, not even a graph's working memory.
    if (n == 0) return success();
    const std::size_t padded = quantizer_.padded_dim();
    const std::size_t row_bytes = store_.row_bytes();
    const bool ivf = config_.index_type == IndexType::IvfFlat;
    // The kept vector of a row is the transformed vector its codes approximate, or the
    // row itself.
    const std::optional<KeptFormat> keep = kept_type_ ? std::optional<KeptFormat>(kept_format(keep_as)) : std::nullopt;
    const std::size_t kept_bytes = keep ? keep->row_bytes() : 0;
    const bool keep_input = kept_type_ == KeptType::Input;

    // Rows go a chunk at a time: encoded side by side on the threads, then stored (or
    // inserted) in their order. While one chunk is stored the next is encoded, so a
    // store needs two sets of buffers. An IvfFlat row's transformed vector, its k-means
    // training data, is made in place at the end of training_vectors_.
    struct Chunk {
        std::vector<std::uint8_t> codes, kept;
        std::vector<float> norms;
        std::unique_ptr<float[]> vectors;  // not zeroed: every row is written before it is read
        std::size_t first = 0, count = 0;
        float* v = nullptr;
    };
    const std::size_t chunk = std::min(n, rows_per_chunk(padded));
    Chunk chunks[2];
    for (std::size_t c = 0; c < (hnsw_ || n <= chunk ? 1 : 2); ++c) {
        chunks[c].codes.resize(chunk * row_bytes);
        chunks[c].norms.resize(chunk);
        chunks[c].kept.resize(chunk * kept_bytes);
        if (!ivf) chunks[c].vectors.reset(new float[chunk * padded]);
    }
    const std::size_t grain = std::max<std::size_t>(1, 8192 / padded);
    Chunk* ready = nullptr;  // encoded, to be stored
    Chunk* next = nullptr;   // to be encoded
    // Task 0 stores `ready` when there is one; the others encode `next`, `grain` rows
    // each. Made once, before anything changes: running the tasks allocates nothing that
    // can fail.
    const std::function<void(std::size_t, std::size_t)> step = [&](std::size_t begin, std::size_t end) {
        for (std::size_t task = begin; task < end; ++task) {
            if (ready != nullptr && task == 0) {
                const Chunk& c = *ready;
                for (std::size_t i = 0; i < c.count; ++i) {
                    store_.push(ids[c.first + i], c.codes.data() + i * row_bytes, c.norms[i],
                                keep ? c.kept.data() + i * kept_bytes : nullptr);
                }
                work.advance(c.count);
                continue;
            }
            Chunk& c = *next;
            const std::size_t from = (task - (ready != nullptr ? 1 : 0)) * grain;
            for (std::size_t i = from; i < std::min(c.count, from + grain); ++i) {
                float* v = c.v + i * padded;
                const float* x = row_at(c.first + i, v);
                // Before the transform, which may overwrite x in place.
                if (keep_input) keep->encode(x, c.kept.data() + i * kept_bytes);
                quantizer_.transform_query_into(x, v);
                std::uint8_t* code = c.codes.data() + i * row_bytes;
                quantizer_.encode_transformed(v, code);
                c.norms[i] = quantizer_.quantized_norm(code);
                if (keep && !keep_input) keep->encode(v, c.kept.data() + i * kept_bytes);
            }
        }
    };

    if (hnsw_) {
        prepare_for_insert(*hnsw_, quantizer_);
    } else {
        // Reserve everything first: past this point nothing allocates, so a MemoryError
        // leaves the engine as it was. Growth is geometric, so adding one row per call
        // costs amortised constant time.
        std::vector<float> derived =
            store_.missing_norms([&](const std::uint8_t* row) { return quantizer_.quantized_norm(row); }, n);
        store_.reserve_more(n);
        if (ivf) reserve_more(training_vectors_, n * padded);
        if (!derived.empty()) store_.adopt_norms(std::move(derived));
    }

    for (std::size_t first = 0, round = 0;; first += chunk, ++round) {
        // A stop lets the rows already encoded be stored, and encodes no more.
        const bool stop = work.stop_requested();
        next = &chunks[hnsw_ ? 0 : round % 2];
        next->first = first;
        next->count = stop || first >= n ? 0 : std::min(chunk, n - first);
        if (ready == nullptr && next->count == 0) return stop ? Status(EngineError::interrupted()) : success();
        if (ivf && next->count > 0) {
            // Within the room reserved above.
            const std::size_t at = training_vectors_.size();
            training_vectors_.resize(at + next->count * padded);
            next->v = training_vectors_.data() + at;
        } else {
            next->v = next->vectors.get();
        }
        parallel_for((ready != nullptr ? 1 : 0) + (next->count + grain - 1) / grain, work.threads(), 1, step);
        ready = next->count > 0 ? next : nullptr;
        if (hnsw_) {
            const InsertRows rows{next->codes.data(), next->norms.data(), ids.data() + first, next->v,
                                  keep ? next->kept.data() : nullptr, kept_bytes, next->count};
            if (hnsw_insert_rows(*hnsw_, rows, work) < next->count) return EngineError::interrupted();
            ready = nullptr;
        }
    }
}

std::optional<EngineError> Engine::cannot_insert(std::uint64_t n) const {
    if (!hnsw_) return std::nullopt;
    // A loaded graph may carry an m the constructor refuses.
    if (auto bad = unusable_parameter(config_)) return *bad;
    if (n > std::uint64_t{kNoNode} - hnsw_->size()) {
        return EngineError::invalid_argument("an hnsw index holds at most 4294967295 vectors");
    }
    return std::nullopt;
}

Status Engine::add_rows(std::span<const VectorId> ids, const RowSet& rows) {
    Work work;
    return add_rows(ids, rows, work);
}

Status Engine::add_rows(std::span<const VectorId> ids, const RowSet& rows, Work& work, InputType given) {
    if (ids.size() != rows.size()) return EngineError::count_mismatch(ids.size(), rows.size());
    if (ids.empty()) return success();
    if (auto bad = cannot_insert(ids.size())) return *bad;
    // Rows before the first one of the wrong length are added and stay added.
    std::size_t good = 0;
    while (good < rows.size() && rows.row(good).size() == config_.dim) ++good;
    const Status added =
        add_given(ids.first(good), [&](std::size_t i, float*) { return rows.row(i).data(); }, work, given);
    if (!added) return added;
    if (good < rows.size()) return EngineError::dimension_mismatch(config_.dim, rows.row(good).size());
    return success();
}

Status Engine::add_flat(std::span<const VectorId> ids, std::span<const float> values) {
    Work work;
    return add_flat(ids, values, work);
}

Status Engine::add_flat(std::span<const VectorId> ids, std::span<const float> values, Work& work,
                        InputType given) {
    return add_flat_unaligned(ids, values.data(), values.size(), work, given);
}

Status Engine::add_flat_unaligned(std::span<const VectorId> ids, const void* data, std::size_t count) {
    Work work;
    return add_flat_unaligned(ids, data, count, work);
}

Status Engine::add_flat_unaligned(std::span<const VectorId> ids, const void* data, std::size_t count, Work& work,
                                  InputType given) {
    const std::uint64_t n = ids.size();
    const std::uint64_t dim = config_.dim;
    // n * dim may overflow: compare by division instead.
    const bool fits = dim != 0 && count % dim == 0 && count / dim == n;
    if (!fits) return EngineError::count_mismatch(n, dim == 0 ? 0 : count / dim);
    if (n == 0) return success();
    if (auto bad = cannot_insert(n)) return *bad;
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0) {
        const float* values = static_cast<const float*>(data);
        return add_given(ids, [&](std::size_t i, float*) { return values + i * dim; }, work, given);
    }
    // Each row is copied where its transformed vector will be, and transformed in place.
    const auto* bytes = static_cast<const unsigned char*>(data);
    return add_given(ids, [&](std::size_t i, float* slot) {
        std::memcpy(slot, bytes + i * dim * sizeof(float), dim * sizeof(float));
        return static_cast<const float*>(slot);
    }, work, given);
}

Expected<std::vector<SearchHit>> Engine::search(std::span<const float> query, std::uint64_t k,
                                                std::optional<std::span<const VectorId>> allowlist) const {
    if (query.size() != config_.dim) return EngineError::dimension_mismatch(config_.dim, query.size());
    if (n_vectors() == 0) return EngineError::empty_index();
    if (auto s = mapping_intact(rescoring()); !s) return s.error();
    const std::vector<float> q = quantizer_.transform_query(query);
    auto candidates = search_index(q, candidates_for(k), allowlist);
    if (!candidates) return candidates;
    return finish(q.data(), query, std::move(candidates).value(), k);
}

Status Engine::mapping_intact(bool reads) const {
    // One fstat a call: a file cut short behind the mapping is refused instead of
    // stopping the process (a cut in the moment between the check and the read is not).
    if (!mapping_ || !reads || mapping_->intact()) return success();
    return EngineError::io("the mapped file has been cut short since it was loaded");
}

std::uint64_t Engine::candidates_for(std::uint64_t k) const {
    if (!rescoring() || k == 0) return k;
    // R = max(k, ⌈k·oversampling⌉) candidates, exactly as a search for R would find them.
    const double want = std::ceil(static_cast<double>(k) * oversampling_);
    return want >= 18446744073709551616.0 ? ~std::uint64_t{0}
                                          : std::max<std::uint64_t>(k, static_cast<std::uint64_t>(want));
}

std::vector<SearchHit> Engine::finish(const float* q, std::span<const float> query, std::vector<SearchHit> hits,
                                      std::uint64_t k) const {
    if (rescoring() && k > 0) {
        if (*kept_type_ == KeptType::Input) {
            rescore_input(quantizer_.prepare(query).data(), hits);
        } else {
            rescore(q, hits);
        }
        sort_hits_descending(hits);
        if (hits.size() > k) hits.resize(static_cast<std::size_t>(k));
    }
    // Which NaN a sum of NaNs keeps depends on the order the compiler gave its operands,
    // which may differ between a lone search and a batch: every NaN score is returned as
    // the one quiet NaN.
    for (SearchHit& h : hits) {
        if (std::isnan(h.score)) h.score = std::numeric_limits<float>::quiet_NaN();
    }
    return hits;
}

std::vector<Expected<std::vector<SearchHit>>> Engine::search_many(std::span<const std::span<const float>> queries,
                                                                  std::uint64_t k,
                                                                  std::optional<std::span<const VectorId>> allowlist) const {
    std::vector<Expected<std::vector<SearchHit>>> out;
    out.reserve(queries.size());
    const bool scans = config_.index_type == IndexType::BruteForce || (config_.index_type == IndexType::IvfFlat && ivf_);
    const bool shared = scans && k > 0 && n_vectors() > 0 && queries.size() > 1 &&
                        std::all_of(queries.begin(), queries.end(), [&](auto q) { return q.size() == config_.dim; });
    if (!shared) {
        for (const auto& q : queries) out.push_back(search(q, k, allowlist));
        return out;
    }
    if (auto s = mapping_intact(rescoring()); !s) {
        out.assign(queries.size(), s.error());
        return out;
    }
    std::vector<std::vector<float>> qs;
    std::vector<QueryScorer> scorers;
    qs.reserve(queries.size());
    scorers.reserve(queries.size());
    const Metric metric = ivf_ ? ivf_->metric : config_.metric;
    for (const auto& q : queries) {
        qs.push_back(quantizer_.transform_query(q));
        scorers.emplace_back(qs.back().data(), quantizer_.row_layout(), metric);
    }
    auto hits = ivf_ ? ivf_search_many(*ivf_, scorers, candidates_for(k), allowlist)
                     : brute_force_search_batch(scorers, store_.blocks(), candidates_for(k), allowlist);
    for (std::size_t i = 0; i < queries.size(); ++i) {
        out.push_back(finish(qs[i].data(), queries[i], std::move(hits[i]), k));
    }
    return out;
}

Expected<std::vector<SearchHit>> Engine::search_index(const std::vector<float>& q, std::uint64_t k,
                                                      std::optional<std::span<const VectorId>> allowlist) const {
    switch (config_.index_type) {
        case IndexType::IvfFlat:
            if (!ivf_) return EngineError::not_built();
            if (k == 0) return std::vector<SearchHit>{};
            return ivf_search(*ivf_, QueryScorer(q.data(), quantizer_.row_layout(), ivf_->metric), k, allowlist);
        case IndexType::Hnsw:
            if (!hnsw_) return EngineError::index_type_not_implemented("Hnsw");
            if (k == 0) return std::vector<SearchHit>{};
            return hnsw_search(*hnsw_, QueryScorer(q.data(), quantizer_.row_layout(), config_.metric), k, allowlist);
        case IndexType::BruteForce:
            break;
    }
    const QueryScorer scorer(q.data(), quantizer_.row_layout(), config_.metric);
    return brute_force_search(scorer, store_.blocks(), k, allowlist);
}

const std::uint8_t* Engine::kept_row(std::uint64_t row) const {
    if (hnsw_) return hnsw_->nodes.kept_row(static_cast<std::size_t>(row));
    if (ivf_) return ivf_->lists[row >> 32].members.kept_row(static_cast<std::size_t>(row & 0xFFFFFFFFu));
    return store_.kept_row(static_cast<std::size_t>(row));
}

void Engine::rescore(const float* q, std::vector<SearchHit>& hits) const {
    // raw = q·v summed in index order (one lane per candidate), then the metric's
    // adjustment with the kept vector's norm in place of the codes'.
    static const simd::ManyDotsFn dots = simd::best_many_dots();
    const KeptFormat format = kept_format();
    const std::size_t dim = format.dim;
    constexpr std::size_t kChunk = 32;
    const bool in_place = *kept_type_ == KeptType::Float32;
    // Float32 rows are read in place, but for those of a mapped file that lie off a float.
    std::vector<float> values(in_place ? 0 : kChunk * dim);
    const std::uint8_t* kept[kChunk];
    const float* rows[kChunk];
    float raw[kChunk];
    for (std::size_t start = 0; start < hits.size(); start += kChunk) {
        const std::size_t n = std::min(kChunk, hits.size() - start);
        for (std::size_t j = 0; j < n; ++j) {
            kept[j] = kept_row(hits[start + j].row);
            // Rows read in place from a mapped file may lie at any byte.
            if (in_place && reinterpret_cast<std::uintptr_t>(kept[j]) % alignof(float) == 0) {
                rows[j] = reinterpret_cast<const float*>(kept[j] + format.header_bytes());
            } else {
                if (values.empty()) values.resize(kChunk * dim);
                format.decode(kept[j], values.data() + j * dim);
                rows[j] = values.data() + j * dim;
            }
        }
        dots(q, rows, n, dim, raw);
        for (std::size_t j = 0; j < n; ++j) {
            hits[start + j].score = adjust_score(raw[j], KeptFormat::norm(kept[j]), config_.metric);
        }
    }
}

namespace {

// In eight chains, added pairwise at the end: a sum the compiler can keep in one vector
// register, and the same on every machine.
float sum_of_squares(const float* x, std::size_t n) {
    float acc[8] = {};
    std::size_t d = 0;
    for (; d + 8 <= n; d += 8) {
        for (std::size_t l = 0; l < 8; ++l) acc[l] += x[d + l] * x[d + l];
    }
    for (std::size_t l = 0; d + l < n; ++l) acc[l] += x[d + l] * x[d + l];
    return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

}  // namespace

void Engine::rescore_input(const float* q, std::vector<SearchHit>& hits) const {
    // A row's transformed vector is t = √P·R·x' for its prepared form x', with R
    // orthonormal (the rotation divides by √P, the transform then multiplies by √P): so
    // q_t·t = P·(q'·x') and |t| = √P·|x'|, and the metric's adjustment gives the score the
    // kept transformed vector would, up to rounding. P is a power of two: P·raw is exact.
    static const simd::ManyDotsFn dots = simd::best_many_dots();
    const KeptFormat format = kept_format();
    const std::size_t dim = format.dim;
    const float p = static_cast<float>(quantizer_.padded_dim());
    const Metric metric = config_.metric;
    constexpr std::size_t kChunk = 32;
    std::vector<float> values(kChunk * dim);
    const float* rows[kChunk];
    float raw[kChunk], squares[kChunk];
    for (std::size_t start = 0; start < hits.size(); start += kChunk) {
        const std::size_t n = std::min(kChunk, hits.size() - start);
        for (std::size_t j = 0; j < n; ++j) {
            float* x = values.data() + j * dim;
            format.decode(kept_row(hits[start + j].row), x);
            rows[j] = x;
            squares[j] = 0.0f;
            if (metric == Metric::Cosine) {
                // A cosine score does not change with the row's length, so the row needs
                // no unit length (whose in-order norm would cost more than the rest):
                // unless its squares overflow, as a unit row's cannot.
                squares[j] = sum_of_squares(x, dim);
                if (std::isfinite(squares[j])) continue;
            }
            quantizer_.prepare_into(x, dim, x);
            if (metric != Metric::Dot) squares[j] = sum_of_squares(x, dim);
        }
        dots(q, rows, n, dim, raw);
        for (std::size_t j = 0; j < n; ++j) {
            hits[start + j].score = adjust_score(p * raw[j], std::sqrt(p * squares[j]), metric);
        }
    }
}

Status Engine::keep_vectors(KeptType type) {
    if (n_vectors() > 0 || !store_.empty()) {
        return EngineError::invalid_argument("keep_vectors() must be called before add() \u2014 index already contains vectors");
    }
    kept_type_ = type;
    input_type_.reset();
    // Input rows get their length when the first add fixes their type.
    const std::uint64_t bytes = type == KeptType::Input ? 0 : kept_format().row_bytes();
    store_.set_kept_bytes(bytes);
    if (hnsw_) hnsw_->nodes.set_kept_bytes(bytes);
    oversampling_ = 4.0;
    return success();
}

Status Engine::set_rescore(double oversampling) {
    if (!kept_type_) {
        return EngineError::invalid_argument("set_rescore() needs kept vectors: call keep_vectors() before add()");
    }
    if (!valid_oversampling(oversampling)) {
        char text[64];
        const auto end = std::to_chars(text, text + sizeof text, oversampling).ptr;
        return EngineError::invalid_argument("oversampling must be 0 or at least 1 (got " + std::string(text, end) + ")");
    }
    oversampling_ = oversampling;
    return success();
}

Status Engine::build() {
    Work work;
    return build(work);
}

Status Engine::build(Work& work) {
    switch (config_.index_type) {
        case IndexType::BruteForce:
            break;
        case IndexType::Hnsw:
            if (hnsw_) release_construction_vectors(*hnsw_);
            break;
        case IndexType::IvfFlat:
            return build_ivf_lists(work);
    }
    // Nothing to wait for: done at once.
    work.set_total(n_vectors());
    work.advance(n_vectors());
    return success();
}

Status Engine::fit_standardization(const RowSet& sample) {
    if (config_.metric != Metric::L2) return success();
    if (n_vectors() > 0) return EngineError::fit_after_add();
    if (sample.empty()) return EngineError::empty_sample();
    for (std::size_t i = 0; i < sample.size(); ++i) {
        if (sample.row(i).size() != config_.dim) return EngineError::dimension_mismatch(config_.dim, sample.row(i).size());
    }
    // One NaN or infinity would make the mean and the spread non-finite, and with them
    // every vector encoded afterwards.
    for (std::size_t i = 0; i < sample.size(); ++i) {
        for (float v : sample.row(i)) {
            if (!std::isfinite(v)) {
                return EngineError::invalid_argument("fit() sample row " + std::to_string(i) + " holds a non-finite value");
            }
        }
    }
    // Pooled over every coordinate of every sample vector, in double precision.
    double s1 = 0.0, s2 = 0.0;
    for (std::size_t i = 0; i < sample.size(); ++i) {
        for (float v : sample.row(i)) {
            const double d = v;
            s1 += d;
            s2 += d * d;
        }
    }
    const double dim = static_cast<double>(config_.dim);
    const double count = static_cast<double>(sample.size()) * dim;
    const double m = s1 / count;
    double var = s2 / count - m * m;
    var = std::max(var, 0.0);
    // Dividing by the pooled standard deviation alone leaves a standardized vector with a
    // squared norm of about dim, so its rotated and scaled coordinates would have variance
    // about dim and nearly every code would saturate. The extra 1/√dim gives it about unit
    // norm, the scale the Lloyd-Max tables are built for (as for cosine vectors).
    const float inv = var > 1e-10 ? static_cast<float>(1.0 / std::sqrt(var * dim)) : 1.0f;
    Standardization st;
    st.mean.assign(config_.dim, static_cast<float>(m));
    st.inv_std.assign(config_.dim, inv);
    quantizer_.standardization = std::move(st);
    return success();
}

Status Engine::build_ivf_lists(Work& work) {
    if (store_.empty()) return EngineError::empty_index();
    if (auto s = mapping_intact(); !s) return s;  // clustering again reads every kept row
    if (auto bad = unusable_parameter(config_)) return *bad;
    const std::uint64_t padded = quantizer_.padded_dim();
    // Everything new is built aside and swapped in at the end, so a failure (memory) or a
    // stop leaves the index as it was.
    const std::uint64_t in_lists = ivf_ ? ivf_->n_vectors() : 0;
    const bool cluster = !ivf_ || ivf_->lists.size() < std::min<std::uint64_t>(config_.ivf_nlist, in_lists + store_.size());
    // Progress counts vectors assigned to a centroid: k-means assigns each at most once
    // per iteration and once more at the end.
    work.set_total(cluster ? (in_lists + store_.size()) * (KMEANS_MAX_ITERATIONS + 1) : store_.size());
    if (!ivf_) {
        auto built = build_ivf(store_, training_vectors_.data(), padded, config_.ivf_nlist, config_.ivf_nprobe,
                               config_.seed, config_.metric, work);
        if (!built) return EngineError::interrupted();
        ivf_ = std::move(*built);
    } else if (cluster) {
        // A later build must not lose the vectors already in the lists. With room for more
        // lists, everything is clustered again: the members enter k-means as their decoded
        // codes (the same space as the training vectors), in list order, then the pending
        // rows.
        const std::uint64_t total = in_lists + store_.size();
        BlockStore all(store_.row_bytes(), store_.kept_bytes());
        all.reserve_more(total);
        bool norms_of_codes = store_.norms_of_codes();
        std::vector<float> training(total * padded);
        std::vector<std::size_t> starts;  // where each list's members begin in `all`
        starts.reserve(ivf_->lists.size());
        for (const IvfList& list : ivf_->lists) {
            const BlockStore& m = list.members;
            starts.push_back(all.size());
            norms_of_codes &= m.norms_of_codes();
            m.for_each_row([&](std::size_t i, const std::uint8_t* code) { all.push(m.id(i), code, m.norm(i), m.kept_row(i)); });
        }
        parallel_for(ivf_->lists.size(), work.threads(), 1, [&](std::size_t begin, std::size_t end) {
            std::vector<std::uint8_t> code(store_.row_bytes());
            for (std::size_t j = begin; j < end; ++j) {
                const BlockStore& m = ivf_->lists[j].members;
                for (std::size_t i = 0; i < m.size(); ++i) {
                    m.copy_row(i, code.data());
                    quantizer_.decode(code.data(), training.data() + (starts[j] + i) * padded);
                }
            }
        });
        store_.for_each_row([&](std::size_t i, const std::uint8_t* code) {
            all.push(store_.id(i), code, store_.norm(i), store_.kept_row(i));
        });
        std::copy(training_vectors_.begin(), training_vectors_.end(), training.begin() + in_lists * padded);
        all.set_norms_of_codes(norms_of_codes);
        auto built = build_ivf(all, training.data(), padded, config_.ivf_nlist, config_.ivf_nprobe, config_.seed,
                               config_.metric, work);
        if (!built) return EngineError::interrupted();
        ivf_ = std::move(*built);
        mapping_.reset();  // every kept row now lives in memory
    } else {
        // Every list is already in use: the pending rows join their best lists. Like any
        // build, this one takes the probe count from the configuration.
        if (!append_to_lists(*ivf_, store_, training_vectors_.data(), work)) return EngineError::interrupted();
        ivf_->nprobe = config_.ivf_nprobe;
    }
    store_.release();
    std::vector<float>().swap(training_vectors_);
    work.advance(work.total() - std::min(work.done(), work.total()));
    return success();
}

io::IndexParts Engine::parts() const {
    io::IndexParts p;
    p.config = &config_;
    p.quantizer = &quantizer_;
    p.store = &store_;
    p.ivf = ivf_ ? &*ivf_ : nullptr;
    p.hnsw = hnsw_ ? &*hnsw_ : nullptr;
    if (config_.index_type == IndexType::IvfFlat) p.pending = &store_;
    p.kept_type = kept_type_;
    p.input_type = input_type_;
    p.oversampling = oversampling_;
    return p;
}

Engine Engine::from_loaded(io::LoadedIndex&& l) {
    Engine e;
    e.quantizer_ = std::move(l.quantizer);
    e.store_ = std::move(l.store);
    e.ivf_ = std::move(l.ivf);
    e.hnsw_ = std::move(l.hnsw);
    e.config_ = l.config;
    e.kept_type_ = l.kept_type;
    e.input_type_ = l.input_type;
    e.oversampling_ = l.oversampling;
    e.mapping_ = std::move(l.mapping);
    if (l.unbuilt) e.ivf_.reset();
    // Norms come from the file: scans lean on them only where they bound their codes'.
    auto check = [&](BlockStore& s) {
        bool fits = s.norms().size() == s.size();
        s.for_each_row([&](std::size_t i, const std::uint8_t* code) {
            fits = fits && e.quantizer_.norm_covers(code, s.norm(i));
        });
        s.set_norms_of_codes(fits);
    };
    check(e.store_);
    if (e.ivf_) {
        for (IvfList& list : e.ivf_->lists) check(list.members);
    }
    if (e.ivf_ || l.unbuilt) {
        // Pending rows come back without their exact vectors: the next build trains on
        // their decoded codes, as it does for rows already in lists.
        const std::size_t padded = e.quantizer_.padded_dim();
        e.training_vectors_.resize(e.store_.size() * padded);
        e.store_.for_each_row([&](std::size_t i, const std::uint8_t* code) {
            e.quantizer_.decode(code, e.training_vectors_.data() + i * padded);
        });
    }
    return e;
}

Status Engine::save(const std::string& path, bool checksum) const {
    if (auto s = mapping_intact(); !s) return s;
    io::IndexParts p = parts();
    p.checksum = checksum;
    return io::save_krvn(path, p);
}

Expected<Engine> Engine::load(const std::string& path, bool mapped) {
    auto loaded = mapped ? io::load_krvn_mapped(path) : io::load_krvn(path);
    if (!loaded) return loaded.error();
    return from_loaded(std::move(loaded).value());
}

Expected<std::vector<std::uint8_t>> Engine::to_bytes(bool checksum) const {
    if (auto s = mapping_intact(); !s) return s.error();
    io::IndexParts p = parts();
    p.checksum = checksum;
    p.allow_unbuilt = true;
    return io::save_krvn_bytes(p);
}

Expected<Engine> Engine::from_bytes(const std::uint8_t* data, std::size_t size) {
    auto loaded = io::load_krvn_bytes(data, size);
    if (!loaded) return loaded.error();
    Engine e = from_loaded(std::move(loaded).value());
    // Written unbuilt by an earlier version, which had no pending rows section.
    if (e.ivf_ && e.ivf_->lists.empty() && e.store_.empty()) e.ivf_.reset();
    return e;
}

void Engine::set_nprobe(std::uint64_t nprobe) {
    if (ivf_) ivf_->nprobe = nprobe;
}

void Engine::set_ef_search(std::uint64_t ef) {
    if (hnsw_) hnsw_->ef_search = ef;
}

}  // namespace korvane
