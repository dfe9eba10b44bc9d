// The encode loops compiled with AVX2; called only when the CPU and OS support it.
#include "simd/encode_loops.h"

#define KORVANE_ISA avx2
#include "simd/encode_loops.inc"
