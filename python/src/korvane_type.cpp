#include "korvane_type.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "arrays.h"
#include "convert.h"
#include "docs.h"
#include "errors.h"
#include "usage.h"

#include "engine/construct.h"
#include "engine/engine.h"
#include "quantize/profile.h"
#include "base/tables.h"

namespace korvane::py {

namespace {

struct KorvaneObject {
    PyObject_HEAD
    UsageCounter usage;
    Engine engine;
};

// Construction moves the engine in after allocation; nothing may fail in between.
static_assert(std::is_nothrow_move_constructible_v<Engine>);

// Owned by this file for the life of the process, like the module that holds it.
PyTypeObject* g_type = nullptr;

KorvaneObject* as_korvane(PyObject* self) {
    if (self == nullptr || g_type == nullptr || !PyObject_TypeCheck(self, g_type)) {
        raise_cannot_convert(self != nullptr ? self : Py_None, "Korvane");
        return nullptr;
    }
    return reinterpret_cast<KorvaneObject*>(self);
}

// Runs body(instance) under the given use of the instance, every C++ exception mapped.
template <class F>
auto with_instance(PyObject* self, Access access, F&& body) noexcept {
    return guarded([&]() -> decltype(body(std::declval<KorvaneObject&>())) {
        using R = decltype(body(std::declval<KorvaneObject&>()));
        constexpr R failure = [] {
            if constexpr (std::is_pointer_v<R>) return static_cast<R>(nullptr);
            else return R{-1};
        }();
        KorvaneObject* k = as_korvane(self);
        if (k == nullptr) return failure;
        UsageGuard use(k->usage, access);
        if (!use.held()) return failure;
        return body(*k);
    });
}

template <class... Out>
bool parse(PyObject* args, PyObject* kwds, const char* format, const char* const* kwlist, Out... out) {
    return PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(kwlist), out...) != 0;
}

PyObject* none_or_raise(const Status& status) {
    if (!status) {
        raise_engine_error(status.error());
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Messages that carry text from the caller, passed through as UTF-8 (lone surrogates
// included).
void raise_value_error(const std::string& text) {
    Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

void raise_ids_length(std::size_t ids, std::uint64_t vectors) {
    PyErr_Format(PyExc_ValueError, "ids length (%zu) != vectors length (%llu)", ids,
                 static_cast<unsigned long long>(vectors));
}

Status add_flat_view(Engine& engine, std::span<const VectorId> ids, const FlatView& view) {
    // A float32 array may start at any byte (a view into a byte buffer, say): the engine
    // then copies one row at a time, never the whole matrix.
    return engine.add_flat_unaligned(ids, view.data, static_cast<std::size_t>(view.rows * view.cols));
}

PyObject* hits_to_list(const std::vector<SearchHit>& hits) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    Ref id_key(PyUnicode_InternFromString("id"));
    Ref score_key(PyUnicode_InternFromString("score"));
    if (!list || !id_key || !score_key) return nullptr;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        Ref hit(PyDict_New());
        Ref id(PyLong_FromUnsignedLongLong(hits[i].id));
        Ref score(PyFloat_FromDouble(hits[i].score));
        if (!hit || !id || !score) return nullptr;
        if (PyDict_SetItem(hit.get(), id_key.get(), id.get()) < 0) return nullptr;
        if (PyDict_SetItem(hit.get(), score_key.get(), score.get()) < 0) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), hit.release());
    }
    return list.release();
}

PyObject* floats_to_list(const std::vector<float>& values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* v = PyFloat_FromDouble(values[i]);
        if (v == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

bool require_brute_force(const Engine& engine, const char* method) {
    if (engine.config().index_type == IndexType::BruteForce) return true;
    PyErr_Format(PyExc_RuntimeError, "%s() is only available for BruteForce indexes", method);
    return false;
}

// ---- construction and destruction -------------------------------------------------

// Reads an optional unsigned argument; absent keeps `out`.
bool optional_u64(PyObject* obj, const char* arg, std::uint64_t& out) {
    return obj == nullptr || to_u64(obj, arg, out);
}

PyObject* korvane_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return guarded([&]() -> PyObject* {
        static const char* const kwlist[] = {"dim",       "metric",     "bit_width", "index_type",
                                             "mixed_ratio", "n4_dims",  "ivf_nlist", "ivf_nprobe",
                                             "hnsw_m",    "hnsw_ef_construction", "hnsw_ef_search", nullptr};
        PyObject* dim = nullptr;
        PyObject* metric = nullptr;
        PyObject* bit_width = nullptr;
        PyObject* index_type = nullptr;
        PyObject* mixed_ratio = Py_None;
        PyObject* n4_dims = Py_None;
        PyObject* ivf_nlist = nullptr;
        PyObject* ivf_nprobe = nullptr;
        PyObject* hnsw_m = nullptr;
        PyObject* hnsw_ef_construction = nullptr;
        PyObject* hnsw_ef_search = nullptr;
        if (!parse(args, kwds, "O|OOOOOOOOOO:Korvane", kwlist, &dim, &metric, &bit_width, &index_type,
                   &mixed_ratio, &n4_dims, &ivf_nlist, &ivf_nprobe, &hnsw_m, &hnsw_ef_construction,
                   &hnsw_ef_search)) {
            return nullptr;
        }

        // Every argument is converted before any is interpreted.
        ConstructorArgs a;
        std::string metric_text = "cosine";
        std::string index_type_text = "brute_force";
        if (!to_u64(dim, "dim", a.dim)) return nullptr;
        if (metric != nullptr && !to_lowered_utf8(metric, "metric", metric_text)) return nullptr;
        if (bit_width != nullptr && !to_bit_width(bit_width, "bit_width", a.bit_width)) return nullptr;
        if (index_type != nullptr && !to_lowered_utf8(index_type, "index_type", index_type_text)) return nullptr;
        if (mixed_ratio != Py_None) {
            double r;
            if (!to_double(mixed_ratio, "mixed_ratio", r)) return nullptr;
            a.mixed_ratio = r;
        }
        if (n4_dims != Py_None) {
            std::uint64_t n;
            if (!to_u64(n4_dims, "n4_dims", n)) return nullptr;
            a.n4_dims = n;
        }
        if (!optional_u64(ivf_nlist, "ivf_nlist", a.ivf_nlist) || !optional_u64(ivf_nprobe, "ivf_nprobe", a.ivf_nprobe) ||
            !optional_u64(hnsw_m, "hnsw_m", a.hnsw_m) ||
            !optional_u64(hnsw_ef_construction, "hnsw_ef_construction", a.hnsw_ef_construction) ||
            !optional_u64(hnsw_ef_search, "hnsw_ef_search", a.hnsw_ef_search)) {
            return nullptr;
        }

        const auto parsed_metric = parse_metric(metric_text);
        if (!parsed_metric) {
            raise_value_error(unknown_metric_message(metric_text));
            return nullptr;
        }
        std::string normalised;
        const auto parsed_index_type = parse_index_type(index_type_text, &normalised);
        if (!parsed_index_type) {
            raise_value_error(unknown_index_type_message(normalised));
            return nullptr;
        }
        a.metric = *parsed_metric;
        a.index_type = *parsed_index_type;

        const auto padded = padded_dim_for(a.dim);
        if (!padded) {
            PyErr_Format(PyExc_ValueError, "dim %llu is too large: its padded size cannot be represented",
                         static_cast<unsigned long long>(a.dim));
            return nullptr;
        }
        auto engine = Engine::create(make_config(a, *padded));
        if (!engine) {
            raise_engine_error(engine.error());
            return nullptr;
        }

        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* k = reinterpret_cast<KorvaneObject*>(self);
        new (&k->usage) UsageCounter(0);
        new (&k->engine) Engine(std::move(engine).value());
        return self;
    });
}

void korvane_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* k = reinterpret_cast<KorvaneObject*>(self);
    k->engine.~Engine();
    k->usage.~UsageCounter();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- methods ------------------------------------------------------------------------

PyObject* method_add(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"ids", "vectors", nullptr};
        PyObject* ids_arg = nullptr;
        PyObject* vectors_arg = nullptr;
        if (!parse(args, kwds, "OO:add", kwlist, &ids_arg, &vectors_arg)) return nullptr;
        std::vector<VectorId> ids;
        if (!to_id_list(ids_arg, "ids", ids)) return nullptr;

        Engine& engine = k.engine;
        const std::uint64_t dim = engine.config().dim;
        // No Python code runs between taking the view and the engine reading it.
        if (const auto view = flat_view(vectors_arg)) {
            if (view->cols != dim) {
                PyErr_Format(PyExc_ValueError, "vector dimension mismatch: expected %llu, got %llu",
                             static_cast<unsigned long long>(dim), static_cast<unsigned long long>(view->cols));
                return nullptr;
            }
            if (ids.size() != view->rows) {
                raise_ids_length(ids.size(), view->rows);
                return nullptr;
            }
            return none_or_raise(add_flat_view(engine, ids, *view));
        }
        RowSet rows;
        if (!to_row_set(vectors_arg, dim, rows)) return nullptr;
        if (ids.size() != rows.size()) {
            raise_ids_length(ids.size(), rows.size());
            return nullptr;
        }
        return none_or_raise(engine.add_rows(ids, rows));
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
        if (!hits) {
            raise_engine_error(hits.error());
            return nullptr;
        }
        return hits_to_list(hits.value());
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

PyObject* method_build(PyObject* self, PyObject*) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        return none_or_raise(k.engine.build());
    });
}

PyObject* method_set_ef_search(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"ef", nullptr};
        PyObject* ef_arg = nullptr;
        if (!parse(args, kwds, "O:set_ef_search", kwlist, &ef_arg)) return nullptr;
        std::uint64_t ef;
        if (!to_u64(ef_arg, "ef", ef)) return nullptr;
        k.engine.set_ef_search(ef);
        Py_RETURN_NONE;
    });
}

PyObject* method_set_nprobe(PyObject* self, PyObject* args, PyObject* kwds) {
    return with_instance(self, Access::Exclusive, [&](KorvaneObject& k) -> PyObject* {
        static const char* const kwlist[] = {"nprobe", nullptr};
        PyObject* nprobe_arg = nullptr;
        if (!parse(args, kwds, "O:set_nprobe", kwlist, &nprobe_arg)) return nullptr;
        std::uint64_t nprobe;
        if (!to_u64(nprobe_arg, "nprobe", nprobe)) return nullptr;
        k.engine.set_nprobe(nprobe);
        Py_RETURN_NONE;
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
        return uint8_matrix(copy_of(k.engine.store().codes()), k.engine.n_vectors(),
                            k.engine.quantizer().packed_bytes_per_vec());
    });
}

PyObject* method_vector_norms(PyObject* self, PyObject*) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        if (!require_brute_force(k.engine, "vector_norms")) return nullptr;
        return float32_vector(copy_of(k.engine.store().norms()));
    });
}

PyObject* method_vector_ids(PyObject* self, PyObject*) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        if (!require_brute_force(k.engine, "vector_ids")) return nullptr;
        return uint64_vector(copy_of(k.engine.store().ids()));
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
        if (!variances) {
            raise_engine_error(variances.error());
            return nullptr;
        }
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
        if (!n4) {
            raise_engine_error(n4.error());
            return nullptr;
        }
        return PyLong_FromUnsignedLongLong(n4.value());
    });
}

// ---- special methods and properties -------------------------------------------------

Py_ssize_t korvane_len(PyObject* self) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> Py_ssize_t {
        const std::uint64_t n = k.engine.n_vectors();
        if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "vector count does not fit in a Py_ssize_t");
            return -1;
        }
        return static_cast<Py_ssize_t>(n);
    });
}

PyObject* korvane_repr(PyObject* self) {
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        const EngineConfig& c = k.engine.config();
        return PyUnicode_FromFormat("Korvane(dim=%llu, n=%llu, bit_width=%u, index_type=%s)",
                                    static_cast<unsigned long long>(c.dim),
                                    static_cast<unsigned long long>(k.engine.n_vectors()),
                                    static_cast<unsigned>(c.bit_width), index_type_text(c.index_type));
    });
}

enum class Property : std::intptr_t {
    NVectors,
    Dim,
    BitWidth,
    IndexType,
    N4Dims,
    Metric,
    PaddedDim,
    PackedBytesPerVec,
    Pb4PerVec,
};

void* closure_of(Property p) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(p)); }

PyObject* get_property(PyObject* self, void* closure) {
    const auto property = static_cast<Property>(reinterpret_cast<std::intptr_t>(closure));
    return with_instance(self, Access::Shared, [&](KorvaneObject& k) -> PyObject* {
        const Engine& e = k.engine;
        const EngineConfig& c = e.config();
        switch (property) {
            case Property::NVectors: return PyLong_FromUnsignedLongLong(e.n_vectors());
            case Property::Dim: return PyLong_FromUnsignedLongLong(c.dim);
            case Property::BitWidth: return PyLong_FromUnsignedLong(c.bit_width);
            case Property::IndexType: return PyUnicode_FromString(index_type_text(c.index_type));
            case Property::N4Dims: return PyLong_FromUnsignedLongLong(c.n4_dims);
            case Property::Metric: return PyUnicode_FromString(metric_text(c.metric));
            case Property::PaddedDim: return PyLong_FromUnsignedLongLong(e.quantizer().padded_dim());
            case Property::PackedBytesPerVec:
                return PyLong_FromUnsignedLongLong(e.quantizer().packed_bytes_per_vec());
            case Property::Pb4PerVec: return PyLong_FromUnsignedLongLong(e.quantizer().pb4_per_vec);
        }
        PyErr_SetString(PyExc_RuntimeError, "internal error: unknown property");
        return nullptr;
    });
}

// PyMethodDef stores every function as PyCFunction; the flags say how it is called.
template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"add", as_cfunction(method_add), kArgs, docs::ADD},
    {"search", as_cfunction(method_search), kArgs, docs::SEARCH},
    {"fit", as_cfunction(method_fit), kArgs, docs::FIT},
    {"build", as_cfunction(method_build), METH_NOARGS, docs::BUILD},
    {"set_ef_search", as_cfunction(method_set_ef_search), kArgs, docs::SET_EF_SEARCH},
    {"set_nprobe", as_cfunction(method_set_nprobe), kArgs, docs::SET_NPROBE},
    {"recommended_m", as_cfunction(method_recommended_m), kArgs | METH_STATIC, docs::RECOMMENDED_M},
    {"is_empty", as_cfunction(method_is_empty), METH_NOARGS, docs::IS_EMPTY},
    {"is_mixed", as_cfunction(method_is_mixed), METH_NOARGS, docs::IS_MIXED},
    {"transform_query_np", as_cfunction(method_transform_query_np), kArgs, docs::TRANSFORM_QUERY_NP},
    {"packed_data", as_cfunction(method_packed_data), METH_NOARGS, docs::PACKED_DATA},
    {"vector_norms", as_cfunction(method_vector_norms), METH_NOARGS, docs::VECTOR_NORMS},
    {"vector_ids", as_cfunction(method_vector_ids), METH_NOARGS, docs::VECTOR_IDS},
    {"centroids_4bit", as_cfunction(method_centroids_4bit), METH_NOARGS | METH_STATIC, docs::CENTROIDS_4BIT},
    {"centroids_2bit", as_cfunction(method_centroids_2bit), METH_NOARGS | METH_STATIC, docs::CENTROIDS_2BIT},
    {"profile_variance", as_cfunction(method_profile_variance), kArgs, docs::PROFILE_VARIANCE},
    {"optimal_n4_dims", as_cfunction(method_optimal_n4_dims), kArgs, docs::OPTIMAL_N4_DIMS},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_properties[] = {
    {"n_vectors", get_property, nullptr, "Number of indexed vectors.", closure_of(Property::NVectors)},
    {"dim", get_property, nullptr, "Vector dimension.", closure_of(Property::Dim)},
    {"bit_width", get_property, nullptr, "Quantization bit width (2 or 4).", closure_of(Property::BitWidth)},
    {"index_type", get_property, nullptr, "Index algorithm: 'BruteForce', 'IvfFlat', or 'Hnsw'.",
     closure_of(Property::IndexType)},
    {"n4_dims", get_property, nullptr,
     "Dims quantized at 4-bit in padded space (0 = pure 2-bit, padded_dim = pure 4-bit).",
     closure_of(Property::N4Dims)},
    {"metric", get_property, nullptr, "Distance metric: 'cosine', 'dot', or 'l2'.", closure_of(Property::Metric)},
    {"padded_dim", get_property, nullptr, "RHDH output dimension (`dim.next_power_of_two()`).",
     closure_of(Property::PaddedDim)},
    {"packed_bytes_per_vec", get_property, nullptr, "Bytes per packed vector.",
     closure_of(Property::PackedBytesPerVec)},
    {"pb4_per_vec", get_property, nullptr, "Bytes in the 4-bit block per packed vector (0 for pure 2-bit).",
     closure_of(Property::Pb4PerVec)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(korvane_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(korvane_dealloc)},
    {Py_tp_doc, const_cast<char*>(docs::CLASS)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_properties},
    {Py_tp_repr, reinterpret_cast<void*>(korvane_repr)},
    {Py_mp_length, reinterpret_cast<void*>(korvane_len)},
    {0, nullptr},
};

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT;
#endif

// The dotted name gives the type its __module__ (a dotless one draws a deprecation
// warning); the type name itself is then the bare "Korvane".
PyType_Spec g_spec = {"korvane.Korvane", static_cast<int>(sizeof(KorvaneObject)), 0, kTypeFlags, g_slots};

}  // namespace

PyObject* create_korvane_type() {
    Ref type(PyType_FromSpec(&g_spec));
    if (!type) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    // The interpreter keeps and frees its own copy of the dotted name; tp_name is only
    // read, in messages such as "'Korvane' object has no attribute ...".
    tp->tp_name = "Korvane";
    PyType_Modified(tp);
    if (g_type == nullptr) {
        Py_INCREF(tp);
        g_type = tp;
    }
    return type.release();
}

}  // namespace korvane::py
