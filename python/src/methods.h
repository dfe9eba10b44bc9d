// The methods of the Korvane class, in the order of its member table. Instance methods
// take the use of the instance their kind needs; static ones take none.
#pragma once

#include "pyref.h"

namespace korvane::py {

PyObject* method_add(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_update(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_remove(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_get(PyObject* self, PyObject* args, PyObject* kwds);
int korvane_contains(PyObject* self, PyObject* key);
PyObject* method_search(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_search_batch(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_keep_vectors(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_set_rescore(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_fit(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_build(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_set_ef_search(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_set_nprobe(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_save(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_recommended_m(PyObject*, PyObject* args, PyObject* kwds);
PyObject* method_load(PyObject* cls, PyObject* args, PyObject* kwds);
PyObject* method_is_empty(PyObject* self, PyObject*);
PyObject* method_is_mixed(PyObject* self, PyObject*);
PyObject* method_transform_query_np(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_packed_data(PyObject* self, PyObject*);
PyObject* method_vector_norms(PyObject* self, PyObject*);
PyObject* method_vector_ids(PyObject* self, PyObject*);
PyObject* method_centroids_4bit(PyObject*, PyObject*);
PyObject* method_centroids_2bit(PyObject*, PyObject*);
PyObject* method_profile_variance(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* method_reduce(PyObject* self, PyObject*);
PyObject* method_setstate(PyObject* self, PyObject* state);
PyObject* method_optimal_n4_dims(PyObject* self, PyObject* args, PyObject* kwds);

}  // namespace korvane::py
