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
