// Python lists returned by methods, built from the core's results.
#pragma once

#include "pyref.h"

#include <vector>

#include "index/topk.h"

namespace korvane::py {

// A new list with one new dict per hit, in the given order: "id" (int) then "score"
// (float).
PyObject* hits_to_list(const std::vector<SearchHit>& hits);
// A new list of floats, each value widened to double.
PyObject* floats_to_list(const std::vector<float>& values);

}  // namespace korvane::py
