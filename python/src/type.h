// The Korvane class: its member table, properties and special methods.
#pragma once

#include "pyref.h"

namespace korvane::py {

// Creates the type; a new reference, or nullptr with an exception set.
PyObject* create_korvane_type();

}  // namespace korvane::py
