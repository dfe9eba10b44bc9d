#include "simd/encode_loops.h"

namespace korvane {

void encode_4bit(const float* v, std::size_t n, std::uint8_t* out) { encode_loops().encode_4bit(v, n, out); }

void encode_2bit(const float* v, std::size_t n, std::uint8_t* out) { encode_loops().encode_2bit(v, n, out); }

}  // namespace korvane
