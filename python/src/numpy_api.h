// NumPy's C array API. Every file of the module shares one table pointer, defined in
// module.cpp (which defines KORVANE_DEFINE_ARRAY_API) and filled by _import_array when
// the module is first initialised.
#pragma once

#include "pyref.h"

#define PY_ARRAY_UNIQUE_SYMBOL korvane_ARRAY_API
#ifndef KORVANE_DEFINE_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
