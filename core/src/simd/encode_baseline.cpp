#include "simd/encode_loops.h"

#define KORVANE_ISA baseline
#include "simd/encode_loops.inc"
