// The encode loops compiled with AVX2; called only when the CPU and OS support it.
#include "quantize/encode_loops.h"

#define KORVANE_ISA avx2
#include "quantize/encode_loops.inc"
