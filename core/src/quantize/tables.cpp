#include "quantize/tables.h"

namespace korvane {

namespace {

// Codes of a run of values, computed threshold by threshold so the compiler can
// vectorise across values; the result equals code_4bit / code_2bit element-wise.
template <std::size_t T>
inline void codes_of(const float* v, std::size_t n, const std::array<float, T>& thresholds,
                     std::uint8_t* __restrict codes) {
    for (std::size_t i = 0; i < n; ++i) codes[i] = 0;
    for (float t : thresholds) {
        for (std::size_t i = 0; i < n; ++i) codes[i] += static_cast<std::uint8_t>(!(v[i] < t));
    }
}

constexpr std::size_t kChunk = 256;  // values per pass; a multiple of 4

}  // namespace

void encode_4bit(const float* v, std::size_t n, std::uint8_t* out) {
    std::uint8_t codes[kChunk];
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t m = n - start < kChunk ? n - start : kChunk;
        codes_of(v + start, m, BOUNDARIES_4BIT, codes);
        std::uint8_t* o = out + start / 2;
        const std::size_t pairs = m / 2;
        for (std::size_t b = 0; b < pairs; ++b) {
            o[b] = static_cast<std::uint8_t>(codes[2 * b] | (codes[2 * b + 1] << 4));
        }
        if (m & 1) o[pairs] = codes[m - 1];
    }
}

void encode_2bit(const float* v, std::size_t n, std::uint8_t* out) {
    std::uint8_t codes[kChunk];
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t m = n - start < kChunk ? n - start : kChunk;
        codes_of(v + start, m, BOUNDARIES_2BIT, codes);
        std::uint8_t* o = out + start / 4;
        const std::size_t quads = m / 4;
        for (std::size_t b = 0; b < quads; ++b) {
            const std::uint8_t* c = codes + 4 * b;
            o[b] = static_cast<std::uint8_t>(c[0] | (c[1] << 2) | (c[2] << 4) | (c[3] << 6));
        }
        if (const std::size_t rest = m % 4) {
            std::uint8_t byte = 0;
            for (std::size_t k = 0; k < rest; ++k) byte |= static_cast<std::uint8_t>(codes[4 * quads + k] << (2 * k));
            o[quads] = byte;
        }
    }
}

}  // namespace korvane
