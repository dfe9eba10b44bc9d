#include "type.h"

#include <cstdint>

#include "docs.h"
#include "instance.h"
#include "methods.h"

namespace korvane::py {

namespace {

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
    KeptVectors,
    EfSearch,
    Nprobe,
    Oversampling,
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
            case Property::KeptVectors:
                if (!e.kept_type()) Py_RETURN_NONE;
                return PyUnicode_FromString(kept_type_text(*e.kept_type()));
            case Property::EfSearch:
                if (!e.ef_search()) Py_RETURN_NONE;
                return PyLong_FromUnsignedLongLong(*e.ef_search());
            case Property::Nprobe:
                // Before the first build, the value that build will give the lists.
                if (c.index_type != IndexType::IvfFlat) Py_RETURN_NONE;
                return PyLong_FromUnsignedLongLong(e.nprobe().value_or(c.ivf_nprobe));
            case Property::Oversampling:
                if (!e.kept_type()) Py_RETURN_NONE;
                return PyFloat_FromDouble(e.oversampling());
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
    {"remove", as_cfunction(method_remove), kArgs, docs::REMOVE},
    {"update", as_cfunction(method_update), kArgs, docs::UPDATE},
    {"get", as_cfunction(method_get), kArgs, docs::GET},
    {"search", as_cfunction(method_search), kArgs, docs::SEARCH},
    {"fit", as_cfunction(method_fit), kArgs, docs::FIT},
    {"build", as_cfunction(method_build), kArgs, docs::BUILD},
    {"set_ef_search", as_cfunction(method_set_ef_search), kArgs, docs::SET_EF_SEARCH},
    {"set_nprobe", as_cfunction(method_set_nprobe), kArgs, docs::SET_NPROBE},
    {"save", as_cfunction(method_save), kArgs, docs::SAVE},
    {"recommended_m", as_cfunction(method_recommended_m), kArgs | METH_STATIC, docs::RECOMMENDED_M},
    {"load", as_cfunction(method_load), kArgs | METH_CLASS, docs::LOAD},
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
    {"search_batch", as_cfunction(method_search_batch), kArgs, docs::SEARCH_BATCH},
    {"keep_vectors", as_cfunction(method_keep_vectors), kArgs, docs::KEEP_VECTORS},
    {"set_rescore", as_cfunction(method_set_rescore), kArgs, docs::SET_RESCORE},
    {"__reduce__", as_cfunction(method_reduce), METH_NOARGS, docs::REDUCE},
    {"__setstate__", as_cfunction(method_setstate), METH_O, docs::SETSTATE},
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
    {"kept_vectors", get_property, nullptr,
     "Type of the kept vectors used for re-scoring: 'float32', 'float16', 'int8', 'input', or None.",
     closure_of(Property::KeptVectors)},
    {"ef_search", get_property, nullptr,
     "Candidate list size of an Hnsw search (set_ef_search; not saved), or None for other index types.",
     closure_of(Property::EfSearch)},
    {"nprobe", get_property, nullptr,
     "Lists an IvfFlat search scans (set_nprobe; not saved; before the first build, the value build() "
     "will use), or None for other index types.",
     closure_of(Property::Nprobe)},
    {"oversampling", get_property, nullptr,
     "Re-scoring oversampling (set_rescore; 0.0: off), or None without kept vectors.",
     closure_of(Property::Oversampling)},
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
    {Py_sq_contains, reinterpret_cast<void*>(korvane_contains)},
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
    remember_korvane_type(tp);
    return type.release();
}

}  // namespace korvane::py
