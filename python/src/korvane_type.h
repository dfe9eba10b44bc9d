// The Korvane class: one Engine per instance, guarded by a usage counter.
#pragma once

#include "pyref.h"

namespace korvane::py {

// Creates the type; a new reference, or nullptr with an exception set.
PyObject* create_korvane_type();

}  // namespace korvane::py
