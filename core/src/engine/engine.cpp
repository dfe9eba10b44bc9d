#include "engine/engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "index/brute.h"
#include "index/scorer.h"

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
    auto q = Quantizer::create(config);  // checks the bit width first, then the layout
    if (!q) return q.error();
    if (auto bad = unusable_parameter(config)) return *bad;
    Engine e;
    e.quantizer_ = std::move(q).value();
    e.store_ = FlatStore(e.quantizer_.packed_bytes_per_vec());
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

template <class RowAt>
void Engine::add_checked(std::span<const VectorId> ids, RowAt&& row_at) {
    const std::size_t n = ids.size();
    const std::size_t padded = quantizer_.padded_dim();
    const bool ivf = config_.index_type == IndexType::IvfFlat;
    std::vector<float> scratch(padded);
    std::vector<std::uint8_t> code(store_.row_bytes());
    if (hnsw_) {
        // Each vector joins the graph at once; the scratch holds its transformed floats.
        prepare_for_insert(*hnsw_, quantizer_);
        for (std::size_t i = 0; i < n; ++i) {
            quantizer_.encode_into(row_at(i), scratch.data(), code.data());
            hnsw_insert(*hnsw_, code.data(), quantizer_.quantized_norm(code.data()), ids[i], scratch.data());
        }
        return;
    }

    // Reserve everything first: past this point nothing allocates, so a MemoryError
    // leaves the engine as it was. Growth is geometric, so adding one row per call
    // costs amortised constant time.
    store_.reserve_more(n);
    if (ivf) reserve_more(training_vectors_, n * padded);

    for (std::size_t i = 0; i < n; ++i) {
        quantizer_.encode_into(row_at(i), scratch.data(), code.data());
        store_.push(ids[i], code.data(), quantizer_.quantized_norm(code.data()));
        // The scratch holds transform_query of the vector: the k-means training data.
        if (ivf) training_vectors_.insert(training_vectors_.end(), scratch.begin(), scratch.end());
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
    if (ids.size() != rows.size()) return EngineError::count_mismatch(ids.size(), rows.size());
    if (ids.empty()) return success();
    if (auto bad = cannot_insert(ids.size())) return *bad;
    // Rows before the first one of the wrong length are added and stay added.
    std::size_t good = 0;
    while (good < rows.size() && rows.row(good).size() == config_.dim) ++good;
    add_checked(ids.first(good), [&](std::size_t i) { return rows.row(i).data(); });
    if (good < rows.size()) return EngineError::dimension_mismatch(config_.dim, rows.row(good).size());
    return success();
}

Status Engine::add_flat(std::span<const VectorId> ids, std::span<const float> values) {
    return add_flat_unaligned(ids, values.data(), values.size());
}

Status Engine::add_flat_unaligned(std::span<const VectorId> ids, const void* data, std::size_t count) {
    const std::uint64_t n = ids.size();
    const std::uint64_t dim = config_.dim;
    // n * dim may overflow: compare by division instead.
    const bool fits = dim != 0 && count % dim == 0 && count / dim == n;
    if (!fits) return EngineError::count_mismatch(n, dim == 0 ? 0 : count / dim);
    if (n == 0) return success();
    if (auto bad = cannot_insert(n)) return *bad;
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0) {
        const float* values = static_cast<const float*>(data);
        add_checked(ids, [&](std::size_t i) { return values + i * dim; });
    } else {
        const auto* bytes = static_cast<const unsigned char*>(data);
        std::vector<float> row(dim);
        add_checked(ids, [&](std::size_t i) {
            std::memcpy(row.data(), bytes + i * dim * sizeof(float), dim * sizeof(float));
            return static_cast<const float*>(row.data());
        });
    }
    return success();
}

Expected<std::vector<SearchHit>> Engine::search(std::span<const float> query, std::uint64_t k,
                                                std::optional<std::span<const VectorId>> allowlist) const {
    if (query.size() != config_.dim) return EngineError::dimension_mismatch(config_.dim, query.size());
    if (n_vectors() == 0) return EngineError::empty_index();
    const std::vector<float> q = quantizer_.transform_query(query);
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
    return brute_force_search(scorer, store_.view(), k, allowlist);
}

Status Engine::build() {
    switch (config_.index_type) {
        case IndexType::BruteForce:
            return success();
        case IndexType::Hnsw:
            if (hnsw_) release_construction_vectors(*hnsw_);
            return success();
        case IndexType::IvfFlat:
            return build_ivf_lists();
    }
    return success();
}

Status Engine::fit_standardization(const RowSet& sample) {
    if (config_.metric != Metric::L2) return success();
    if (n_vectors() > 0) return EngineError::fit_after_add();
    if (sample.empty()) return EngineError::empty_sample();
    for (std::size_t i = 0; i < sample.size(); ++i) {
        if (sample.row(i).size() != config_.dim) return EngineError::dimension_mismatch(config_.dim, sample.row(i).size());
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

Status Engine::build_ivf_lists() {
    if (store_.empty()) return EngineError::empty_index();
    if (auto bad = unusable_parameter(config_)) return *bad;
    const std::uint64_t padded = quantizer_.padded_dim();
    // Everything new is built aside and swapped in at the end, so a failure (memory)
    // leaves the index as it was.
    if (!ivf_) {
        ivf_ = build_ivf(store_.view(), training_vectors_.data(), padded, config_.ivf_nlist, config_.ivf_nprobe,
                         config_.seed, config_.metric);
    } else if (ivf_->lists.size() < std::min<std::uint64_t>(config_.ivf_nlist, ivf_->n_vectors() + store_.size())) {
        // A later build must not lose the vectors already in the lists. With room for more
        // lists, everything is clustered again: the members enter k-means as their decoded
        // codes (the same space as the training vectors), in list order, then the pending
        // rows.
        const std::uint64_t total = ivf_->n_vectors() + store_.size();
        FlatStore all(store_.row_bytes());
        all.reserve_more(total);
        std::vector<float> training(total * padded);
        std::size_t at = 0;
        for (const IvfList& list : ivf_->lists) {
            for (std::size_t i = 0; i < list.members.size(); ++i, ++at) {
                all.push(list.members.id(i), list.members.row(i), list.members.norm(i));
                quantizer_.decode(list.members.row(i), training.data() + at * padded);
            }
        }
        for (std::size_t i = 0; i < store_.size(); ++i) all.push(store_.id(i), store_.row(i), store_.norm(i));
        std::copy(training_vectors_.begin(), training_vectors_.end(), training.begin() + at * padded);
        ivf_ = build_ivf(all.view(), training.data(), padded, config_.ivf_nlist, config_.ivf_nprobe, config_.seed,
                         config_.metric);
    } else {
        // Every list is already in use: the pending rows join their best lists. Like any
        // build, this one takes the probe count from the configuration.
        append_to_lists(*ivf_, store_.view(), training_vectors_.data());
        ivf_->nprobe = config_.ivf_nprobe;
    }
    store_.release();
    std::vector<float>().swap(training_vectors_);
    return success();
}

io::IndexParts Engine::parts() const {
    io::IndexParts p;
    p.config = &config_;
    p.quantizer = &quantizer_;
    p.store = &store_;
    p.ivf = ivf_ ? &*ivf_ : nullptr;
    p.hnsw = hnsw_ ? &*hnsw_ : nullptr;
    return p;
}

Engine Engine::from_loaded(io::LoadedIndex&& l) {
    Engine e;
    e.quantizer_ = std::move(l.quantizer);
    e.store_ = std::move(l.store);
    e.ivf_ = std::move(l.ivf);
    e.hnsw_ = std::move(l.hnsw);
    e.config_ = l.config;
    return e;
}

Status Engine::save(const std::string& path) const { return io::save_krvn(path, parts()); }

Expected<Engine> Engine::load(const std::string& path) {
    auto loaded = io::load_krvn(path);
    if (!loaded) return loaded.error();
    return from_loaded(std::move(loaded).value());
}

Expected<std::vector<std::uint8_t>> Engine::to_bytes() const {
    io::IndexParts p = parts();
    IvfIndex unbuilt;
    if (config_.index_type == IndexType::IvfFlat && !ivf_ && store_.empty()) {
        unbuilt.bytes_per_vec = store_.row_bytes();
        p.ivf = &unbuilt;
    }
    return io::save_krvn_bytes(p);
}

Expected<Engine> Engine::from_bytes(const std::uint8_t* data, std::size_t size) {
    auto loaded = io::load_krvn_bytes(data, size);
    if (!loaded) return loaded.error();
    Engine e = from_loaded(std::move(loaded).value());
    if (e.ivf_ && e.ivf_->lists.empty()) e.ivf_.reset();  // written unbuilt
    return e;
}

void Engine::set_nprobe(std::uint64_t nprobe) {
    if (ivf_) ivf_->nprobe = nprobe;
}

void Engine::set_ef_search(std::uint64_t ef) {
    if (hnsw_) hnsw_->ef_search = ef;
}

}  // namespace korvane
