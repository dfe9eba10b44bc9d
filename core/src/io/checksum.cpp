#include "io/checksum.h"

#include <nmmintrin.h>

#include <array>
#include <cstring>

namespace korvane::io {

namespace {

constexpr std::uint32_t kPoly = 0x82F63B78u;  // reflected Castagnoli polynomial

// One byte at a time: the reference, and the path of CPUs without SSE4.2.
struct ByteTable {
    std::array<std::uint32_t, 256> t{};
    constexpr ByteTable() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ kPoly : c >> 1;
            t[i] = c;
        }
    }
};
constexpr ByteTable kBytes;

std::uint32_t update_bytes(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) crc = kBytes.t[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    return crc;
}

// Three streams of kStream bytes run side by side, so the instruction's latency is
// hidden; their states are then joined by "shift over kStream zero bytes", a linear map
// of the state kept as four byte tables.
constexpr std::size_t kStream = 4096;

__attribute__((target("sse4.2"))) std::uint32_t crc_words(std::uint32_t crc, const std::uint8_t* p,
                                                          std::size_t n) {
    std::uint64_t c = crc;
    for (; n >= 8; n -= 8, p += 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        c = _mm_crc32_u64(c, w);
    }
    auto c32 = static_cast<std::uint32_t>(c);
    for (; n > 0; --n, ++p) c32 = _mm_crc32_u8(c32, *p);
    return c32;
}

struct ShiftTables {
    std::uint32_t t[4][256];
    ShiftTables() {
        // The image of each single-bit state, then every byte value by linearity.
        static const std::uint8_t zeros[kStream] = {};
        std::uint32_t basis[32];
        for (int b = 0; b < 32; ++b) basis[b] = crc_words(1u << b, zeros, kStream);
        for (int k = 0; k < 4; ++k) {
            for (std::uint32_t v = 0; v < 256; ++v) {
                std::uint32_t x = 0;
                for (int b = 0; b < 8; ++b) {
                    if (v & (1u << b)) x ^= basis[8 * k + b];
                }
                t[k][v] = x;
            }
        }
    }
    std::uint32_t shift(std::uint32_t c) const {
        return t[0][c & 0xFFu] ^ t[1][(c >> 8) & 0xFFu] ^ t[2][(c >> 16) & 0xFFu] ^ t[3][c >> 24];
    }
};

__attribute__((target("sse4.2"))) std::uint32_t update_hw(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    if (n >= 3 * kStream) {
        static const ShiftTables shift;
        for (; n >= 3 * kStream; n -= 3 * kStream, p += 3 * kStream) {
            std::uint64_t a = crc, b = 0, c = 0;
            for (std::size_t i = 0; i < kStream; i += 8) {
                std::uint64_t wa, wb, wc;
                std::memcpy(&wa, p + i, 8);
                std::memcpy(&wb, p + kStream + i, 8);
                std::memcpy(&wc, p + 2 * kStream + i, 8);
                a = _mm_crc32_u64(a, wa);
                b = _mm_crc32_u64(b, wb);
                c = _mm_crc32_u64(c, wc);
            }
            crc = shift.shift(shift.shift(static_cast<std::uint32_t>(a)) ^ static_cast<std::uint32_t>(b)) ^
                  static_cast<std::uint32_t>(c);
        }
    }
    return crc_words(crc, p, n);
}

}  // namespace

void Crc32c::update(const void* data, std::size_t n) {
    static const bool hardware = __builtin_cpu_supports("sse4.2");
    const auto* p = static_cast<const std::uint8_t*>(data);
    state_ = hardware ? update_hw(state_, p, n) : update_bytes(state_, p, n);
}

std::uint32_t crc32c(const void* data, std::size_t n) {
    Crc32c c;
    c.update(data, n);
    return c.value();
}

}  // namespace korvane::io
