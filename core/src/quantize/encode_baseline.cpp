#include "quantize/encode_loops.h"

#define KORVANE_ISA baseline
#include "quantize/encode_loops.inc"
