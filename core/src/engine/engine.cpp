#include "engine/engine.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "index/scorer.h"
#include "simd/float_dots.h"

namespace korvane {

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
    e.structure_ = IndexStructure::create(config, e.quantizer_.packed_bytes_per_vec(), e.quantizer_.padded_dim());
    e.config_ = config;
    return e;
}

Engine::Engine(const Engine& other)
    : quantizer_(other.quantizer_),
      structure_(other.structure_ ? other.structure_->clone() : nullptr),
      config_(other.config_),
      kept_type_(other.kept_type_),
      input_type_(other.input_type_),
      oversampling_(other.oversampling_),
      far_pending_(other.far_pending_),
      far_found_(other.far_found_),
      mapping_(other.mapping_) {}

Engine& Engine::operator=(const Engine& other) {
    if (this != &other) *this = Engine(other);
    return *this;
}

std::uint64_t Engine::n_vectors() const { return structure_->size(); }

namespace {

// Rows encoded between two looks at a stop request: about a million floats of work,
// a few milliseconds.
std::size_t rows_per_chunk(std::size_t padded) { return std::max<std::size_t>(64, (std::size_t{1} << 20) / padded); }

}  // namespace

KeptFormat Engine::kept_format(InputType input) const {
    if (kept_type_ == KeptType::Input) return KeptFormat{KeptType::Input, config_.dim, input_type_.value_or(input)};
    return KeptFormat{kept_type_.value_or(KeptType::Float16), quantizer_.padded_dim()};
}

Status Engine::check_held(std::span<const VectorId> ids, const RowSource& rows, InputType given) const {
    // Every value of the other types is exact in float32, and uint8 and int8 ones in float16.
    const bool integers = given == InputType::UInt8 || given == InputType::Int8;
    if (kept_type_ == KeptType::Input && input_type_ && given != *input_type_ && *input_type_ != InputType::Float32 &&
        !(*input_type_ == InputType::Float16 && integers)) {
        std::vector<float> slot(quantizer_.padded_dim());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const float* x = rows.read(i, slot.data());
            const std::size_t at = first_unheld(*input_type_, x, config_.dim);
            if (at < config_.dim) return EngineError::invalid_argument(unheld_message(*input_type_, i, x[at]));
        }
    }
    return success();
}

Status Engine::add_given(std::span<const VectorId> ids, const RowSource& rows, Work& work, InputType given) {
    if (auto held = check_held(ids, rows, given); !held) return held;
    const bool fixing = kept_type_ == KeptType::Input && !input_type_;
    if (fixing) {
        // Nothing is stored yet: the stores take the row length of the type these rows came in.
        structure_->set_kept_bytes(kept_format(given).row_bytes());
    }
    structure_->before_add(quantizer_);
    {
        std::lock_guard<std::mutex> hold(ids_->lock);
        ids_->through = structure_->rows_stored();
    }
    // What readers let in between units look rows up by follows the rows stored so far.
    const auto settle = [&] {
        map_stored();
        if (fixing && (n_vectors() > 0 || !store().empty())) input_type_ = given;
    };
    work.set_settle(settle);
    struct Unset {
        Work& work;
        ~Unset() { work.set_settle({}); }
    } unset{work};
    Status added = success();
    try {
        added = add_checked(ids, rows, work, input_type_.value_or(given));
    } catch (...) {
        map_stored();
        throw;
    }
    settle();
    return added;
}

IdMap& Engine::id_map() const {
    std::lock_guard<std::mutex> hold(ids_->lock);
    if (!ids_->map) {
        auto map = std::make_unique<IdMap>();
        structure_->map_all(*map);
        ids_->map = std::move(map);
        ids_->through = structure_->rows_stored();
    }
    return *ids_->map;
}

void Engine::map_stored() {
    std::lock_guard<std::mutex> hold(ids_->lock);
    if (ids_->map) {
        try {
            structure_->map_rows(*ids_->map, ids_->through);
        } catch (...) {
            ids_->map.reset();
            throw;
        }
    }
    ids_->through = structure_->rows_stored();
}

bool Engine::contains(VectorId id) const { return id_map().contains(id); }

template <class T, class Rows>
std::vector<T> Engine::live(const Rows& all, std::size_t width) const {
    const std::uint8_t* dead = structure_->dead_rows();
    // (A store read from a legacy file may hold no norms at all.)
    if (dead == nullptr || all.size() != store().size() * width) return std::vector<T>(all.begin(), all.end());
    std::vector<T> out;
    out.reserve(static_cast<std::size_t>(n_vectors()) * width);
    for (std::size_t i = 0; i < store().size(); ++i) {
        if (!dead[i]) out.insert(out.end(), all.begin() + i * width, all.begin() + (i + 1) * width);
    }
    return out;
}

std::vector<std::uint8_t> Engine::packed_rows() const {
    return live<std::uint8_t>(store().row_major(), static_cast<std::size_t>(row_bytes()));
}
std::vector<float> Engine::row_norms() const { return live<float>(store().norms(), 1); }
std::vector<VectorId> Engine::row_ids() const { return live<VectorId>(store().ids(), 1); }

Expected<std::uint64_t> Engine::remove(std::span<const VectorId> ids) {
    Work work;
    return remove(ids, work);
}

Expected<std::uint64_t> Engine::remove(std::span<const VectorId> ids, Work& work) {
    IdMap& map = id_map();
    // Checked before anything is forgotten: the rows of a cut mapped file move into
    // memory when rows before them go.
    if (auto s = mapping_intact(); !s) return s.error();
    try {
        return structure_->remove(map, ids, quantizer_, work);
    } catch (...) {
        // A failure part way (memory) may leave the map behind the rows: it is made again.
        ids_->map.reset();
        throw;
    }
}

Status Engine::update(std::span<const VectorId> ids, const RowSource& rows, Work& work, InputType given) {
    if (auto s = check_count(ids, rows); !s) return s;
    if (const std::size_t good = rows.leading(config_.dim); good < rows.size()) {
        return EngineError::dimension_mismatch(config_.dim, rows.length(good));
    }
    if (auto held = check_held(ids, rows, given); !held) return held;
    if (ids.empty()) return success();
    if (auto bad = structure_->cannot_insert(ids.size(), config_)) return *bad;
    // Known before the removal, whose repair adds its lists.
    work.set_total(ids.size());
    if (auto removed = remove(ids, work); !removed) return removed.error();
    if (work.stop_requested()) return EngineError::interrupted();
    return add(ids, rows, work, given);
}

Status Engine::get(std::span<const VectorId> ids, float* out) const {
    const IdMap& map = id_map();
    if (auto s = mapping_intact(kept_type_.has_value()); !s) return s;
    const std::size_t dim = config_.dim;
    const std::size_t padded = quantizer_.padded_dim();
    std::vector<std::uint8_t> code(row_bytes());
    std::vector<float> t(std::max(padded, dim));
    const std::optional<KeptFormat> format = kept_type_ ? std::optional<KeptFormat>(kept_format()) : std::nullopt;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto place = map.last(ids[i]);
        if (!place) return EngineError::unknown_id(ids[i]);
        const std::uint8_t* kept = structure_->row_at(*place, code.data());
        float* x = out + i * dim;
        if (kept != nullptr && format && format->type == KeptType::Input) {
            format->decode(kept, x);  // the row as it was given
            continue;
        }
        if (kept != nullptr && format) {
            format->decode(kept, t.data());
        } else {
            quantizer_.decode(code.data(), t.data());
        }
        quantizer_.untransform(t.data(), x);
    }
    return success();
}

Status Engine::add_checked(std::span<const VectorId> ids, const RowSource& rows, Work& work, InputType keep_as) {
    const std::size_t n = ids.size();
    // After whatever the work did before (an update's removal).
    work.set_total(work.done() + n);
    // An add stopped at its first row changes nothing, not even a graph's working memory.
    if (n == 0) return success();
    const std::size_t padded = quantizer_.padded_dim();
    const std::size_t row_bytes = this->row_bytes();
    IndexStructure& structure = *structure_;
    // A graph inserts a chunk while it still has the chunk's vectors; a flat store takes
    // one chunk while the next is encoded, unless readers may come in: then each chunk is
    // encoded beside them and stored on its own, the same bytes.
    const bool beside = structure.stores_beside_encoding() && !work.has_gate();
    const bool in_place = structure.keeps_vectors();
    // The kept vector of a row is the transformed vector its codes approximate, or the
    // row itself.
    const std::optional<KeptFormat> keep = kept_type_ ? std::optional<KeptFormat>(kept_format(keep_as)) : std::nullopt;
    const std::size_t kept_bytes = keep ? keep->row_bytes() : 0;
    const bool keep_input = kept_type_ == KeptType::Input;

    // Rows go a chunk at a time: encoded side by side on the threads, then stored (or
    // inserted) in their order. While one chunk is stored the next is encoded, so a
    // store needs two sets of buffers. Transformed vectors the structure keeps (IvfFlat's
    // training data) are made in place.
    struct Chunk {
        std::vector<std::uint8_t> codes, kept;
        std::vector<float> norms;
        std::unique_ptr<float[]> vectors;  // not zeroed: every row is written before it is read
        std::size_t first = 0, count = 0;
        float* v = nullptr;
    };
    const std::size_t chunk = std::min(n, rows_per_chunk(padded));
    Chunk chunks[2];
    for (std::size_t c = 0; c < (!beside || n <= chunk ? 1 : 2); ++c) {
        chunks[c].codes.resize(chunk * row_bytes);
        chunks[c].norms.resize(chunk);
        chunks[c].kept.resize(chunk * kept_bytes);
        if (!in_place) chunks[c].vectors.reset(new float[chunk * padded]);
    }
    // Cosine rows are unit vectors: their codes never pile up at the ends.
    const bool check_scale = !far_found_ && quantizer_.metric != Metric::Cosine;
    const std::size_t grain = std::max<std::size_t>(1, 8192 / padded);
    Chunk* ready = nullptr;  // encoded, to be stored
    Chunk* next = nullptr;   // to be encoded
    const auto encoded = [&](const Chunk& c) {
        return EncodedRows{c.codes.data(), c.norms.data(), ids.data() + c.first, c.v,
                           keep ? c.kept.data() : nullptr, kept_bytes, c.count};
    };
    // Task 0 stores `ready` when there is one; the others encode `next`, `grain` rows
    // each. Made once, before anything changes: running the tasks allocates nothing that
    // can fail.
    const std::function<void(std::size_t, std::size_t)> step = [&](std::size_t begin, std::size_t end) {
        for (std::size_t task = begin; task < end; ++task) {
            if (ready != nullptr && task == 0) {
                structure.store_rows(encoded(*ready), work);
                continue;
            }
            Chunk& c = *next;
            const std::size_t from = (task - (ready != nullptr ? 1 : 0)) * grain;
            for (std::size_t i = from; i < std::min(c.count, from + grain); ++i) {
                float* v = c.v + i * padded;
                // A row the source copies goes where its transformed vector will be made.
                const float* x = rows.read(c.first + i, v);
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

    // A flat store reserves everything here: past this point nothing allocates, so a
    // MemoryError leaves the engine as it was.
    structure.prepare_add(n, quantizer_);

    for (std::size_t first = 0, round = 0;; first += chunk, ++round) {
        // A stop lets the rows already encoded be stored, and encodes no more.
        const bool stop = work.stop_requested();
        next = &chunks[beside ? round % 2 : 0];
        next->first = first;
        next->count = stop || first >= n ? 0 : std::min(chunk, n - first);
        if (ready == nullptr && next->count == 0) return stop ? Status(EngineError::interrupted()) : success();
        next->v = in_place && next->count > 0 ? structure.vectors_for(next->count, padded) : next->vectors.get();
        {
            // Encoding alone changes nothing a reader could see (with readers to let in,
            // nothing is stored beside it).
            const Work::Alongside readers(work);
            parallel_for((ready != nullptr ? 1 : 0) + (next->count + grain - 1) / grain, work.threads(), 1, step);
        }
        if (check_scale && round == 0 && next->count > 0 && mostly_outermost(next->codes.data(), next->count)) {
            far_pending_ = far_found_ = true;
        }
        ready = next->count > 0 ? next : nullptr;
        if (!beside) {
            if (structure.store_rows(encoded(*next), work) < next->count) return EngineError::interrupted();
            ready = nullptr;
            work.between_units();
        }
    }
}

Status Engine::check_count(std::span<const VectorId> ids, const RowSource& rows) {
    if (ids.size() != rows.size() || rows.ragged()) return EngineError::count_mismatch(ids.size(), rows.size());
    return success();
}

Status Engine::add(std::span<const VectorId> ids, const RowSource& rows, Work& work, InputType given) {
    if (auto s = check_count(ids, rows); !s) return s;
    if (ids.empty()) return success();
    if (auto bad = structure_->cannot_insert(ids.size(), config_)) return *bad;
    // Rows before the first one of the wrong length are added and stay added.
    const std::size_t good = rows.leading(config_.dim);
    if (auto added = add_given(ids.first(good), rows, work, given); !added) return added;
    if (good < rows.size()) return EngineError::dimension_mismatch(config_.dim, rows.length(good));
    return success();
}

Status Engine::add(std::span<const VectorId> ids, const RowSource& rows) {
    Work work;
    return add(ids, rows, work);
}

Status Engine::add(std::span<const VectorId> ids, std::span<const float> values) {
    return add(ids, FlatRows(values, config_.dim));
}

namespace {

// How many of the codes in a byte are outermost (0 or the largest), by byte value.
template <int Bits>
constexpr std::array<std::uint8_t, 256> outermost_per_byte() {
    constexpr unsigned mask = (1u << Bits) - 1;
    std::array<std::uint8_t, 256> counts{};
    for (unsigned b = 0; b < 256; ++b) {
        for (unsigned shift = 0; shift < 8; shift += Bits) {
            const unsigned c = (b >> shift) & mask;
            counts[b] = static_cast<std::uint8_t>(counts[b] + (c == 0 || c == mask ? 1 : 0));
        }
    }
    return counts;
}

constexpr auto kOutermost4 = outermost_per_byte<4>();
constexpr auto kOutermost2 = outermost_per_byte<2>();

}  // namespace

bool Engine::mostly_outermost(const std::uint8_t* codes, std::size_t count) const {
    const std::size_t n4 = quantizer_.n4_dims;
    const std::size_t n2 = quantizer_.n2_dims;
    const std::size_t pb4 = quantizer_.pb4_per_vec;
    const std::size_t stride = row_bytes();
    // A byte's unused high codes are 0: only whole bytes go through the tables.
    const auto outer4 = [](unsigned c) { return c == 0 || c == 15 ? 1u : 0u; };
    const auto outer2 = [](unsigned c) { return c == 0 || c == 3 ? 1u : 0u; };
    std::uint64_t outer = 0;
    for (std::size_t r = 0; r < count; ++r) {
        const std::uint8_t* row = codes + r * stride;
        for (std::size_t b = 0; b < n4 / 2; ++b) outer += kOutermost4[row[b]];
        if (n4 % 2 != 0) outer += outer4(row[n4 / 2] & 15u);
        const std::uint8_t* two = row + pb4;
        for (std::size_t b = 0; b < n2 / 4; ++b) outer += kOutermost2[two[b]];
        for (std::size_t k = 0; k < n2 % 4; ++k) outer += outer2((two[n2 / 4] >> (2 * k)) & 3u);
    }
    return 2 * outer > static_cast<std::uint64_t>(count) * (n4 + n2);
}

bool Engine::take_far_from_unit() { return std::exchange(far_pending_, false); }

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
    return reads ? korvane::mapping_intact(mapping_.get()) : success();
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
        sort_rescored(hits);
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
    const bool shared = structure_->scans_batches() && k > 0 && n_vectors() > 0 && queries.size() > 1 &&
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
    qs.reserve(queries.size());
    for (const auto& q : queries) qs.push_back(quantizer_.transform_query(q));
    auto hits = structure_->candidates_many(qs, quantizer_, config_.metric, candidates_for(k), allowlist);
    for (std::size_t i = 0; i < queries.size(); ++i) {
        out.push_back(finish(qs[i].data(), queries[i], std::move(hits[i]), k));
    }
    return out;
}

Expected<std::vector<SearchHit>> Engine::search_index(const std::vector<float>& q, std::uint64_t k,
                                                      std::optional<std::span<const VectorId>> allowlist) const {
    return structure_->candidates(q.data(), quantizer_, config_.metric, k, allowlist);
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
        structure_->kept_rows(std::span(hits).subspan(start, n), kept);
        for (std::size_t j = 0; j < n; ++j) {
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
    const std::uint8_t* kept[kChunk];
    const float* rows[kChunk];
    float raw[kChunk], squares[kChunk];
    for (std::size_t start = 0; start < hits.size(); start += kChunk) {
        const std::size_t n = std::min(kChunk, hits.size() - start);
        structure_->kept_rows(std::span(hits).subspan(start, n), kept);
        for (std::size_t j = 0; j < n; ++j) {
            float* x = values.data() + j * dim;
            format.decode(kept[j], x);
            rows[j] = x;
            squares[j] = 0.0f;
            if (metric == Metric::Cosine) {
                // A cosine score does not change with the row's length, so the row needs
                // no unit length (whose in-order norm would cost more than the rest):
                // unless its squares, times P, overflow, as a unit row's cannot.
                squares[j] = sum_of_squares(x, dim);
                if (std::isfinite(p * squares[j])) continue;
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
    // (Drops removed rows a store still holds, whatever the outcome: nothing seen changes.)
    structure_->settle(ids_->map.get());
    if (n_vectors() > 0 || !store().empty()) {
        return EngineError::invalid_argument("keep_vectors() must be called before add() \u2014 index already contains vectors");
    }
    // An index whose rows were all removed starts over, as a new one would.
    structure_->start_over(quantizer_);
    ids_->map.reset();
    kept_type_ = type;
    input_type_.reset();
    // Input rows get their length when the first add fixes their type.
    structure_->set_kept_bytes(type == KeptType::Input ? 0 : kept_format().row_bytes());
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
    IdMap* map = ids_->map.get();
    Status built = success();
    try {
        built = structure_->build(work, config_, quantizer_, mapping_, map);
    } catch (...) {
        ids_->map.reset();
        throw;
    }
    // A map a reader made alongside the build knows the rows where they were: it is made
    // again when next needed.
    if (map == nullptr) ids_->map.reset();
    return built;
}

Status Engine::fit_standardization(const RowSet& sample) {
    if (config_.metric != Metric::L2) return success();
    // (IvfFlat rows waiting for a build count.)
    structure_->settle(ids_->map.get());
    if (n_vectors() > 0 || !store().empty()) return EngineError::fit_after_add();
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
    // An index whose rows were all removed starts over: nothing encoded before stays.
    structure_->start_over(quantizer_);
    ids_->map.reset();
    Standardization st;
    st.mean.assign(config_.dim, static_cast<float>(m));
    st.inv_std.assign(config_.dim, inv);
    quantizer_.standardization = std::move(st);
    return success();
}

std::unique_ptr<IndexStructure> Engine::settled_copy() const {
    if (structure_->dead_rows() == nullptr) return nullptr;
    auto copy = structure_->clone();
    copy->settle(nullptr);
    return copy;
}

io::IndexParts Engine::parts(const IndexStructure& structure) const {
    io::IndexParts p;
    p.config = &config_;
    p.quantizer = &quantizer_;
    structure.fill_parts(p);
    p.kept_type = kept_type_;
    p.input_type = input_type_;
    p.oversampling = oversampling_;
    return p;
}

Engine Engine::from_loaded(io::LoadedIndex&& l, bool pickle) {
    Engine e;
    e.quantizer_ = std::move(l.quantizer);
    e.structure_ = IndexStructure::from_loaded(l, e.quantizer_, pickle);
    e.config_ = l.config;
    e.kept_type_ = l.kept_type;
    e.input_type_ = l.input_type;
    e.oversampling_ = l.oversampling;
    e.mapping_ = std::move(l.mapping);
    if (l.run_settings) {
        if (l.run_settings->nprobe) e.set_nprobe(*l.run_settings->nprobe);
        if (l.run_settings->ef_search) e.set_ef_search(*l.run_settings->ef_search);
    }
    return e;
}

io::RunSettings Engine::run_settings() const { return {nprobe(), ef_search()}; }

Status Engine::save(const std::string& path, bool checksum) const {
    if (auto s = mapping_intact(); !s) return s;
    // Removed rows a store still holds never reach a file.
    const auto settled = settled_copy();
    io::IndexParts p = parts(settled ? *settled : *structure_);
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
    const auto settled = settled_copy();
    io::IndexParts p = parts(settled ? *settled : *structure_);
    p.checksum = checksum;
    p.allow_unbuilt = true;
    // (A BruteForce index has no such setting: its pickle is its sealed file.)
    if (config_.index_type != IndexType::BruteForce) p.run_settings = run_settings();
    return io::save_krvn_bytes(p);
}

Expected<Engine> Engine::from_bytes(const std::uint8_t* data, std::size_t size, std::optional<io::RunSettings>* held) {
    auto loaded = io::load_krvn_bytes(data, size);
    if (!loaded) return loaded.error();
    if (held != nullptr) *held = loaded.value().run_settings;
    return from_loaded(std::move(loaded).value(), true);
}

void Engine::set_nprobe(std::uint64_t nprobe) { structure_->set_nprobe(nprobe); }

void Engine::set_ef_search(std::uint64_t ef) { structure_->set_ef_search(ef); }

}  // namespace korvane
