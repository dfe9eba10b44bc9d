#include "methods.h"

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstdint>
#include <exception>
#include <limits>
#include <thread>
#include <optional>
#include <span>
#include <vector>

#include "arrays.h"
#include "convert.h"
#include "errors.h"
#include "instance.h"
#include "long_work.h"
#include "results.h"

#include "quantize/profile.h"
#include "base/tables.h"

namespace korvane::py {

namespace {

void raise_ids_length(std::size_t ids, std::uint64_t vectors) {
    PyErr_Format(PyExc_ValueError, "ids length (%zu) != vectors length (%llu)", ids,
                 static_cast<unsigned long long>(vectors));
}

// Whether an add of n rows is worth a worker thread: any graph insertion beyond a handful
// of rows, or more than a moment of encoding.
bool add_is_long(const Engine& engine, std::uint64_t n) {
    if (engine.config().index_type == IndexType::Hnsw) return n > 4;
    return n * engine.quantizer().padded_dim() > (std::uint64_t{1} << 15);
}

// Whether a removal of n rows may repair a graph (the rest is a moment's work).
bool remove_is_long(const Engine& engine, std::uint64_t n) {
    if (engine.config().index_type != IndexType::Hnsw) return false;
    const std::uint64_t nodes = engine.total_rows(), live = engine.n_vectors();
    return hnsw_wants_purge(nodes, nodes - live + std::min(n, live));
}

bool require_brute_force(const Engine& engine, const char* method) {
    if (engine.config().index_type == IndexType::BruteForce) return true;
    PyErr_Format(PyExc_RuntimeError, "%s() is only available for BruteForce indexes", method);
    return false;
}

}  // namespace

namespace {

// A warning the user's add() call raises: the warnings filters may silence it or make
// it an error.
bool warn_far_from_unit(Metric metric) {
    const char* fix = metric == Metric::L2 ? "call fit() with a sample before add()"
                                           : "normalise the vectors or use metric='cosine'";
    return PyErr_WarnFormat(PyExc_UserWarning, 1,
                            "the added vectors are far from unit scale: most of their rotated coordinates fall "
                            "into the outermost codes, so recall will be low; %s",
                            fix) == 0;
}

// add() and update(): the same arguments, converted the same way; `update` says which.
PyObject* add_or_update(PyObject* self, PyObject* args, PyObject* kwds, bool update) {
    // Warned once the instance is free again: a warning may run any Python code.
    std::optional<Metric> far;
    PyObject* done = with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"ids", "vectors", "threads", "progress", nullptr};
        PyObject* ids_arg = nullptr;
        PyObject* vectors_arg = nullptr;
        PyObject* threads_arg = nullptr;
        PyObject* progress_arg = nullptr;
        if (!parse(args, kwds, update ? "OO|$OO:update" : "OO|$OO:add", kwlist, &ids_arg, &vectors_arg, &threads_arg,
                   &progress_arg)) {
            return nullptr;
        }
        unsigned threads = 1;
        if (threads_arg != nullptr && !to_threads(threads_arg, threads)) return nullptr;
        ProgressArg progress;
        if (!to_progress(progress_arg, progress)) return nullptr;
        std::vector<VectorId> ids;
        if (!to_id_list(ids_arg, "ids", ids)) return nullptr;

        Engine& engine = k.engine;
        const std::uint64_t dim = engine.config().dim;
        // No Python code runs between taking the view (or the array's rows) and the engine
        // reading it, on this thread. Other threads run while it reads: the reference held
        // here keeps the array, and so its data, alive, and NumPy refuses to resize an
        // array that more than its owner refers to (the buffer an array was made over is
        // held by the array).
        const Ref keep = Ref::borrow(vectors_arg);
        const std::optional<FlatView> view = flat_view(vectors_arg);
        ArrayRows array_rows;
        const Streaming streaming = view ? Streaming::Other : stream_rows(vectors_arg, dim, array_rows);
        if (streaming == Streaming::Failed) return nullptr;
        const bool streamed = streaming == Streaming::Streamed;
        // The rows as the engine reads them: a float32 array where it lies, another array
        // converted a row at a time as it is encoded, anything else converted whole first.
        RowSet rows;
        std::optional<FlatRows> in_place;
        std::optional<ReadRows> converted;
        const RowSource* source = &rows;
        // A float32 array read in place arrived as float32.
        const InputType given = view ? InputType::Float32 : input_type_of(vectors_arg);
        if (view) {
            if (view->cols != dim) {
                PyErr_Format(PyExc_ValueError, "vector dimension mismatch: expected %llu, got %llu",
                             static_cast<unsigned long long>(dim), static_cast<unsigned long long>(view->cols));
                return nullptr;
            }
            if (ids.size() != view->rows) {
                raise_ids_length(ids.size(), view->rows);
                return nullptr;
            }
            source = &in_place.emplace(view->data, static_cast<std::size_t>(view->rows * view->cols),
                                       static_cast<std::size_t>(view->cols));
        } else if (streamed) {
            if (ids.size() != array_rows.rows) {
                raise_ids_length(ids.size(), array_rows.rows);
                return nullptr;
            }
            source = &converted.emplace(array_rows.source());
        } else {
            if (!to_row_set(vectors_arg, dim, rows)) return nullptr;
            if (ids.size() != rows.size()) {
                raise_ids_length(ids.size(), rows.size());
                return nullptr;
            }
        }
        const bool background = add_is_long(engine, ids.size()) || (update && remove_is_long(engine, ids.size()));
        Ref result(run_long_work(update ? "updating" : "adding", threads, background, progress, [&](Work& work) {
            return update ? engine.update(ids, *source, work, given) : engine.add(ids, *source, work, given);
        }, &k.usage));
        // A failed add keeps what it found for the next one to report.
        if (result && engine.take_far_from_unit()) far = engine.config().metric;
        return result.release();
    });
    if (done != nullptr && far && !warn_far_from_unit(*far)) {
        Py_DECREF(done);
        return nullptr;
    }
    return done;
}

}  // namespace

PyObject* method_add(PyObject* self, PyObject* args, PyObject* kwds) { return add_or_update(self, args, kwds, false); }

PyObject* method_update(PyObject* self, PyObject* args, PyObject* kwds) {
    return add_or_update(self, args, kwds, true);
}

PyObject* method_remove(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"ids", "threads", "progress", nullptr};
        PyObject* ids_arg = nullptr;
        PyObject* threads_arg = nullptr;
        PyObject* progress_arg = nullptr;
        if (!parse(args, kwds, "O|$OO:remove", kwlist, &ids_arg, &threads_arg, &progress_arg)) return nullptr;
        unsigned threads = 1;
        if (threads_arg != nullptr && !to_threads(threads_arg, threads)) return nullptr;
        ProgressArg progress;
        if (!to_progress(progress_arg, progress)) return nullptr;
        std::vector<VectorId> ids;
        if (!to_id_list(ids_arg, "ids", ids)) return nullptr;
        Engine& engine = k.engine;
        std::uint64_t removed = 0;
        Ref done(run_long_work("removing", threads, remove_is_long(engine, ids.size()), progress,
                               [&](Work& work) -> Status {
                                   const auto r = engine.remove(ids, work);
                                   if (!r) return r.error();
                                   removed = r.value();
                                   return success();
                               }, &k.usage));
        if (!done) return nullptr;
        return PyLong_FromUnsignedLongLong(removed);
    });
}

PyObject* method_get(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"ids", nullptr};
        PyObject* ids_arg = nullptr;
        std::vector<VectorId> ids;
        if (!parse(args, kwds, "O:get", kwlist, &ids_arg) || !to_id_list(ids_arg, "ids", ids)) return nullptr;
        const std::uint64_t dim = k.engine.config().dim;
        std::vector<float> out(ids.size() * dim);
        if (!ok_or_raise(k.engine.get(ids, out.data()))) return nullptr;
        return float32_matrix(std::move(out), ids.size(), dim);
    });
}

int korvane_contains(PyObject* self, PyObject* key) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> int {
        // Any integer may be asked about; only those an id can be are ever held. A key that
        // is not an integer (a str, a float) is never held.
        if (!PyIndex_Check(key)) return 0;
        Ref index(PyNumber_Index(key));
        if (!index) return -1;
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (small == -1 && PyErr_Occurred()) return -1;
        if (overflow < 0 || (overflow == 0 && small < 0)) return 0;
        const unsigned long long id = PyLong_AsUnsignedLongLong(index.get());
        if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
            PyErr_Clear();
            return 0;
        }
        return k.engine.contains(id) ? 1 : 0;
    });
}


PyObject* method_search(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"query", "k", "allowlist", nullptr};
        PyObject* query_arg = nullptr;
        PyObject* k_arg = nullptr;
        PyObject* allowlist_arg = Py_None;
        if (!parse(args, kwds, "OO|O:search", kwlist, &query_arg, &k_arg, &allowlist_arg)) return nullptr;
        std::uint64_t count;
        if (!to_u64(k_arg, "k", count)) return nullptr;
        std::optional<std::vector<VectorId>> allowlist;
        if (allowlist_arg != Py_None) {
            allowlist.emplace();
            if (!to_id_list(allowlist_arg, "allowlist", *allowlist)) return nullptr;
        }
        std::vector<float> query;
        if (!to_query_row(query_arg, k.engine.config().dim, query)) return nullptr;

        std::optional<std::span<const VectorId>> allowed;
        if (allowlist) allowed = std::span<const VectorId>(*allowlist);
        const auto hits = k.engine.search(query, count, allowed);
        if (!ok_or_raise(hits)) return nullptr;
        return hits_to_list(hits.value());
    });
}

PyObject* method_search_batch(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"queries", "k", "allowlist", "threads", nullptr};
        PyObject* queries_arg = nullptr;
        PyObject* k_arg = nullptr;
        PyObject* allowlist_arg = Py_None;
        PyObject* threads_arg = nullptr;
        if (!parse(args, kwds, "OO|OO:search_batch", kwlist, &queries_arg, &k_arg, &allowlist_arg, &threads_arg)) {
            return nullptr;
        }
        // Every argument is converted before any search: a matrix of the wrong width fails
        // before the first query runs.
        std::uint64_t count;
        if (!to_u64(k_arg, "k", count)) return nullptr;
        std::optional<std::vector<VectorId>> allowlist;
        if (allowlist_arg != Py_None) {
            allowlist.emplace();
            if (!to_id_list(allowlist_arg, "allowlist", *allowlist)) return nullptr;
        }
        std::uint64_t threads = 0;
        if (threads_arg != nullptr && !to_u64(threads_arg, "threads", threads)) return nullptr;
        RowSet queries;
        if (!check_query_rows_shape(queries_arg, k.engine.config().dim) ||
            !to_row_set(queries_arg, k.engine.config().dim, queries, RowKind::Queries)) {
            return nullptr;
        }

        const Engine& engine = k.engine;
        const std::size_t nq = queries.size();
        const auto width = static_cast<std::size_t>(std::min<std::uint64_t>(count, engine.n_vectors()));
        std::vector<std::uint64_t> ids(nq * width, std::numeric_limits<std::uint64_t>::max());
        std::vector<float> scores(nq * width, -std::numeric_limits<float>::infinity());
        std::optional<std::span<const VectorId>> allowed;
        if (allowlist) allowed = std::span<const VectorId>(*allowlist);

        const std::size_t want = threads == 0 ? available_threads() : static_cast<std::size_t>(std::min<std::uint64_t>(threads, 1024));
        const std::size_t workers = std::max<std::size_t>(1, std::min(want, nq));
        // Each worker takes the next group of queries, which share one pass over the rows;
        // the first failing query (by position) wins.
        const std::size_t group = std::clamp<std::size_t>(nq / workers, 1, 8);
        std::atomic<std::size_t> next{0};
        std::atomic<std::size_t> failed_at{nq};
        std::vector<std::optional<EngineError>> errors(nq);
        std::exception_ptr thrown;
        std::atomic<bool> has_thrown{false};
        auto work = [&] {
            try {
                std::vector<std::span<const float>> rows;
                for (std::size_t first = next.fetch_add(group); first < nq && first < failed_at.load();
                     first = next.fetch_add(group)) {
                    rows.clear();
                    for (std::size_t i = first; i < std::min(nq, first + group); ++i) rows.push_back(queries.row(i));
                    auto results = engine.search_many(rows, count, allowed);
                    for (std::size_t j = 0; j < results.size(); ++j) {
                        const std::size_t i = first + j;
                        if (!results[j]) {
                            errors[i] = results[j].error();
                            std::size_t seen = failed_at.load();
                            while (i < seen && !failed_at.compare_exchange_weak(seen, i)) {}
                            continue;
                        }
                        const auto& h = results[j].value();
                        for (std::size_t c = 0; c < h.size() && c < width; ++c) {
                            ids[i * width + c] = h[c].id;
                            scores[i * width + c] = h[c].score;
                        }
                    }
                }
            } catch (...) {
                if (!has_thrown.exchange(true)) thrown = std::current_exception();
                failed_at = 0;
            }
        };
        // The engine is only read: the interpreter lock is released while this instance
        // stays in shared use, so an add from another thread waits for the batch.
        Py_BEGIN_ALLOW_THREADS
        std::vector<std::thread> pool;
        try {
            for (std::size_t t = 1; t < workers; ++t) pool.emplace_back(work);
        } catch (...) {
            // Fewer threads than asked: the calling thread still does all that is left.
        }
        work();
        for (auto& t : pool) t.join();
        Py_END_ALLOW_THREADS
        if (has_thrown) std::rethrow_exception(thrown);
        for (std::size_t i = 0; i < nq; ++i) {
            if (errors[i]) {
                raise_engine_error(*errors[i]);
                return nullptr;
            }
        }
        Ref id_array(uint64_matrix(std::move(ids), nq, width));
        if (!id_array) return nullptr;
        Ref score_array(float32_matrix(std::move(scores), nq, width));
        if (!score_array) return nullptr;
        return PyTuple_Pack(2, id_array.get(), score_array.get());
    });
}

PyObject* method_keep_vectors(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"dtype", nullptr};
        PyObject* dtype_arg = nullptr;
        if (!parse(args, kwds, "|O:keep_vectors", kwlist, &dtype_arg)) return nullptr;
        std::string dtype = "float16";
        if (dtype_arg != nullptr) {
            if (!PyUnicode_Check(dtype_arg)) {
                PyErr_Format(PyExc_TypeError, "argument 'dtype': '%s' object cannot be converted to 'str'",
                             type_name(dtype_arg).c_str());
                return nullptr;
            }
            Py_ssize_t n = 0;
            const char* text = PyUnicode_AsUTF8AndSize(dtype_arg, &n);
            if (text == nullptr) return nullptr;
            dtype.assign(text, static_cast<std::size_t>(n));
        }
        const auto type = parse_kept_type(dtype);
        if (!type) {
            PyErr_Format(PyExc_ValueError, "unknown dtype %R: use 'float32', 'float16', 'int8', or 'input'", dtype_arg);
            return nullptr;
        }
        return none_or_raise(k.engine.keep_vectors(*type));
    });
}

PyObject* method_set_rescore(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"oversampling", nullptr};
        PyObject* value_arg = nullptr;
        if (!parse(args, kwds, "O:set_rescore", kwlist, &value_arg)) return nullptr;
        double value;
        if (!to_double(value_arg, "oversampling", value)) return nullptr;
        if (!k.engine.kept_type()) return none_or_raise(k.engine.set_rescore(value));
        if (!valid_oversampling(value)) {
            // The value as Python writes it.
            Ref shown(PyFloat_FromDouble(value));
            if (!shown) return nullptr;
            PyErr_Format(PyExc_ValueError, "oversampling must be 0 or at least 1 (got %R)", shown.get());
            return nullptr;
        }
        return none_or_raise(k.engine.set_rescore(value));
    });
}

PyObject* method_fit(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"vectors", nullptr};
        PyObject* vectors_arg = nullptr;
        if (!parse(args, kwds, "O:fit", kwlist, &vectors_arg)) return nullptr;
        RowSet sample;
        if (!to_row_set(vectors_arg, k.engine.config().dim, sample)) return nullptr;
        return none_or_raise(k.engine.fit_standardization(sample));
    });
}

PyObject* method_build(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"threads", "progress", nullptr};
        PyObject* threads_arg = nullptr;
        PyObject* progress_arg = nullptr;
        if (!parse(args, kwds, "|$OO:build", kwlist, &threads_arg, &progress_arg)) return nullptr;
        unsigned threads = available_threads();
        if (threads_arg != nullptr && !to_threads(threads_arg, threads)) return nullptr;
        ProgressArg progress;
        if (!to_progress(progress_arg, progress)) return nullptr;
        Engine& engine = k.engine;
        // Only k-means and a graph's repair around removed rows take more than a moment.
        const bool background = (engine.config().index_type == IndexType::IvfFlat &&
                                 engine.total_rows() * engine.quantizer().padded_dim() > (std::uint64_t{1} << 14)) ||
                                (engine.config().index_type == IndexType::Hnsw && engine.total_rows() > engine.n_vectors());
        return run_long_work("building", threads, background, progress,
                             [&](Work& work) { return engine.build(work); }, &k.usage);
    });
}

namespace {

// A run-time setter: one unsigned argument under exclusive use, no check.
PyObject* set_u64(PyObject* self, PyObject* args, PyObject* kwds, const char* arg, const char* format,
                  void (Engine::*set)(std::uint64_t)) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        const char* const kwlist[] = {arg, nullptr};
        PyObject* value_arg = nullptr;
        if (!parse(args, kwds, format, kwlist, &value_arg)) return nullptr;
        std::uint64_t value;
        if (!to_u64(value_arg, arg, value)) return nullptr;
        (k.engine.*set)(value);
        Py_RETURN_NONE;
    });
}

}  // namespace

PyObject* method_set_ef_search(PyObject* self, PyObject* args, PyObject* kwds) {
    return set_u64(self, args, kwds, "ef", "O:set_ef_search", &Engine::set_ef_search);
}

PyObject* method_set_nprobe(PyObject* self, PyObject* args, PyObject* kwds) {
    return set_u64(self, args, kwds, "nprobe", "O:set_nprobe", &Engine::set_nprobe);
}

PyObject* method_save(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"path", "checksum", nullptr};
        PyObject* path_arg = nullptr;
        int checksum = 0;
        if (!parse(args, kwds, "O|p:save", kwlist, &path_arg, &checksum)) return nullptr;
        std::string path;
        if (!to_path(path_arg, "path", path)) return nullptr;
        return none_or_raise(k.engine.save(path, checksum != 0));
    });
}

PyObject* method_recommended_m(PyObject*, PyObject* args, PyObject* kwds) {
    return guarded([&]() -> PyObject* {
        static const char* const kwlist[] = {"n", nullptr};
        PyObject* n_arg = nullptr;
        if (!parse(args, kwds, "O:recommended_m", kwlist, &n_arg)) return nullptr;
        std::uint64_t n;
        if (!to_u64(n_arg, "n", n)) return nullptr;
        return PyLong_FromUnsignedLongLong(recommended_m(n));
    });
}

PyObject* method_load(PyObject*, PyObject* args, PyObject* kwds) {
    return guarded([&]() -> PyObject* {
        static const char* const kwlist[] = {"path", "mmap", nullptr};
        PyObject* path_arg = nullptr;
        int mapped = 0;
        if (!parse(args, kwds, "O|p:load", kwlist, &path_arg, &mapped)) return nullptr;
        std::string path;
        if (!to_path(path_arg, "path", path)) return nullptr;
        auto engine = Engine::load(path, mapped != 0);
        if (!ok_or_raise(engine)) return nullptr;
        // Always a Korvane, whichever class the method was called through.
        return wrap_engine(std::move(engine).value());
    });
}

PyObject* method_is_empty(PyObject* self, PyObject*) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        return PyBool_FromLong(k.engine.is_empty());
    });
}

PyObject* method_is_mixed(PyObject* self, PyObject*) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        const std::uint64_t n4 = k.engine.config().n4_dims;
        return PyBool_FromLong(n4 != 0 && n4 < k.engine.quantizer().padded_dim());
    });
}

PyObject* method_transform_query_np(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"query", nullptr};
        PyObject* query_arg = nullptr;
        if (!parse(args, kwds, "O:transform_query_np", kwlist, &query_arg)) return nullptr;
        std::vector<float> query;
        if (!to_query_row(query_arg, k.engine.config().dim, query)) return nullptr;
        return float32_vector(k.engine.quantizer().transform_query(query));
    });
}

PyObject* method_packed_data(PyObject* self, PyObject*) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        if (!require_brute_force(k.engine, "packed_data")) return nullptr;
        return uint8_matrix(k.engine.packed_rows(), k.engine.n_vectors(),
                            k.engine.quantizer().packed_bytes_per_vec());
    });
}

PyObject* method_vector_norms(PyObject* self, PyObject*) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        if (!require_brute_force(k.engine, "vector_norms")) return nullptr;
        return float32_vector(k.engine.row_norms());
    });
}

PyObject* method_vector_ids(PyObject* self, PyObject*) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        if (!require_brute_force(k.engine, "vector_ids")) return nullptr;
        return uint64_vector(k.engine.row_ids());
    });
}

PyObject* method_centroids_4bit(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        return float32_vector(std::vector<float>(CENTROIDS_4BIT.begin(), CENTROIDS_4BIT.end()));
    });
}

PyObject* method_centroids_2bit(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        return float32_vector(std::vector<float>(CENTROIDS_2BIT.begin(), CENTROIDS_2BIT.end()));
    });
}

PyObject* method_profile_variance(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"sample_vecs", nullptr};
        PyObject* sample_arg = nullptr;
        if (!parse(args, kwds, "O:profile_variance", kwlist, &sample_arg)) return nullptr;
        RowSet sample;
        if (!to_row_set(sample_arg, k.engine.config().dim, sample)) return nullptr;
        const auto variances = profile_variance(k.engine.config(), sample);
        if (!ok_or_raise(variances)) return nullptr;
        return floats_to_list(variances.value());
    });
}

PyObject* method_optimal_n4_dims(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"sample_vecs", "avg_bits", nullptr};
        PyObject* sample_arg = nullptr;
        PyObject* avg_bits_arg = nullptr;
        if (!parse(args, kwds, "OO:optimal_n4_dims", kwlist, &sample_arg, &avg_bits_arg)) return nullptr;
        double avg_bits;
        if (!to_double(avg_bits_arg, "avg_bits", avg_bits)) return nullptr;
        RowSet sample;
        if (!to_row_set(sample_arg, k.engine.config().dim, sample)) return nullptr;
        const auto n4 = optimal_n4_dims(k.engine.config(), sample, avg_bits);
        if (!ok_or_raise(n4)) return nullptr;
        return PyLong_FromUnsignedLongLong(n4.value());
    });
}

PyObject* method_reduce(PyObject* self, PyObject*) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        const Engine& e = k.engine;
        auto bytes = e.to_bytes();
        if (!ok_or_raise(bytes)) return nullptr;
        const std::vector<std::uint8_t>& b = bytes.value();
        Ref file(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size())));
        if (!file) return nullptr;
        // A copy answers like the original: the run-time tuning travels beside the file too,
        // as earlier versions' pickles carried it.
        Ref nprobe = e.nprobe() ? Ref(PyLong_FromUnsignedLongLong(*e.nprobe())) : Ref::borrow(Py_None);
        Ref ef = e.ef_search() ? Ref(PyLong_FromUnsignedLongLong(*e.ef_search())) : Ref::borrow(Py_None);
        if (!nprobe || !ef) return nullptr;
        // Korvane(0), then __setstate__ with the file's bytes and the tuning.
        return Py_BuildValue("(O(i)(OOO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), 0, file.get(), nprobe.get(),
                             ef.get());
    });
}

namespace {

// An optional run-time value of a pickled state: None, or an unsigned 64-bit int.
bool optional_tuning(PyObject* obj, const char* arg, std::optional<std::uint64_t>& out) {
    if (obj == Py_None) return true;
    std::uint64_t v;
    if (!to_u64(obj, arg, v)) return false;
    out = v;
    return true;
}

}  // namespace

PyObject* method_setstate(PyObject* self, PyObject* state) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        PyObject* file = state;
        std::optional<std::uint64_t> nprobe, ef;
        if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 3) {
            file = PyTuple_GET_ITEM(state, 0);
            if (!optional_tuning(PyTuple_GET_ITEM(state, 1), "nprobe", nprobe) ||
                !optional_tuning(PyTuple_GET_ITEM(state, 2), "ef_search", ef)) {
                return nullptr;
            }
        }
        if (!PyBytes_Check(file)) {
            PyErr_Format(PyExc_TypeError, "argument 'state': '%s' object cannot be converted to 'bytes'",
                         type_name(file).c_str());
            return nullptr;
        }
        std::optional<io::RunSettings> sealed;
        auto engine = Engine::from_bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(file)),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(file)), &sealed);
        if (!ok_or_raise(engine)) return nullptr;
        // The settings beside the bytes are outside their checksum: where the bytes hold
        // them too, the two must agree.
        if (sealed && file != state && !(io::RunSettings{nprobe, ef} == *sealed)) {
            raise_engine_error(EngineError::invalid_file("run-time settings do not match the file"));
            return nullptr;
        }
        k.engine = std::move(engine).value();
        if (!sealed) {
            if (nprobe) k.engine.set_nprobe(*nprobe);
            if (ef) k.engine.set_ef_search(*ef);
        }
        Py_RETURN_NONE;
    });
}

}  // namespace korvane::py
