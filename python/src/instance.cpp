#include "instance.h"

#include <cstdint>
#include <new>
#include <string>

#include "convert.h"

namespace korvane::py {

namespace {

// Owned here for the life of the process, like the module that holds the class.
PyTypeObject* g_type = nullptr;

// Construction moves the engine in after allocation; nothing may fail in between.
static_assert(std::is_nothrow_move_constructible_v<Engine>);

// Messages that carry text from the caller, passed through as UTF-8 (lone surrogates
// included).
void raise_value_error(const std::string& text) {
    Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

// Reads an optional unsigned argument; absent keeps `out`.
bool optional_u64(PyObject* obj, const char* arg, std::uint64_t& out) {
    return obj == nullptr || to_u64(obj, arg, out);
}

}  // namespace

void remember_korvane_type(PyTypeObject* type) {
    if (g_type != nullptr) return;
    Py_INCREF(type);
    g_type = type;
}

KorvaneObject* as_korvane(PyObject* self) {
    if (self == nullptr || g_type == nullptr || !PyObject_TypeCheck(self, g_type)) {
        raise_cannot_convert(self != nullptr ? self : Py_None, "Korvane");
        return nullptr;
    }
    return reinterpret_cast<KorvaneObject*>(self);
}

namespace {

PyObject* alloc_with(PyTypeObject* type, Engine&& engine) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* k = reinterpret_cast<KorvaneObject*>(self);
    new (&k->usage) Usage();
    new (&k->engine) Engine(std::move(engine));
    return self;
}

}  // namespace

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
        if (!ok_or_raise(engine)) return nullptr;

        return alloc_with(type, std::move(engine).value());
    });
}

PyObject* wrap_engine(Engine&& engine) { return alloc_with(g_type, std::move(engine)); }

void korvane_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* k = reinterpret_cast<KorvaneObject*>(self);
    k->engine.~Engine();
    k->usage.~Usage();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace korvane::py
