// The encode path's vector loops (butterflies, threshold codes, scaling), compiled once
// for the baseline instruction set and once for AVX2, chosen once per process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

struct EncodeLoops {
    void (*walsh_hadamard)(float* y, std::size_t n);
    void (*encode_4bit)(const float* v, std::size_t n, std::uint8_t* out);
    void (*encode_2bit)(const float* v, std::size_t n, std::uint8_t* out);
    void (*scale_in_place)(float* y, std::size_t n, float s);
};

const EncodeLoops& encode_loops();

// The packers, through the loops chosen for this CPU.
// ⌈n/2⌉ bytes: v[2b] in the low nibble, v[2b+1] in the high nibble; an odd tail leaves
// the last high nibble 0.
void encode_4bit(const float* v, std::size_t n, std::uint8_t* out);
// ⌈n/4⌉ bytes: v[4b+k] in bits 2k..2k+1; empty slots of a final byte are 0.
void encode_2bit(const float* v, std::size_t n, std::uint8_t* out);
// For tests: the baseline loops, and the AVX2 ones (only when the CPU has AVX2).
EncodeLoops encode_loops_baseline();
EncodeLoops encode_loops_avx2();

#define KORVANE_DECLARE_ENCODE_LOOPS(ns)                                        \
    namespace ns {                                                              \
    void walsh_hadamard(float* y, std::size_t n);                               \
    void encode_4bit(const float* v, std::size_t n, std::uint8_t* out);         \
    void encode_2bit(const float* v, std::size_t n, std::uint8_t* out);         \
    void scale_in_place(float* y, std::size_t n, float s);                      \
    }
KORVANE_DECLARE_ENCODE_LOOPS(baseline)
KORVANE_DECLARE_ENCODE_LOOPS(avx2)
#undef KORVANE_DECLARE_ENCODE_LOOPS

}  // namespace korvane
