#include "results.h"

namespace korvane::py {

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

}  // namespace korvane::py
