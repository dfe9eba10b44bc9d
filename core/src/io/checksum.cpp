#include "io/checksum.h"

#include <immintrin.h>

#include <array>
#include <cstring>

#include "simd/kernels.h"

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

// Carry-less multiplication folds 64-byte blocks of the message forward: a 16-byte block
// a stands for a followed by D/8 zero bytes when replaced by lo(a)·k_lo ^ hi(a)·k_hi, with
// k_lo = x^(D+31) mod P and k_hi = x^(D-33) mod P, bit-reflected. What is left is 16
// bytes whose CRC, taken by the CRC-32C instruction from a zero state, is the message's.
std::uint64_t fold_constant(unsigned e) {
    std::uint64_t r = 1;  // x^e mod P, P = x^32 + 0x1EDC6F41
    for (unsigned i = 0; i < e; ++i) {
        r <<= 1;
        if (r & 0x100000000ull) r ^= 0x11EDC6F41ull;
    }
    std::uint32_t reflected = 0;
    for (int b = 0; b < 32; ++b) reflected |= static_cast<std::uint32_t>((r >> b) & 1u) << (31 - b);
    return reflected;
}

struct Fold {
    std::uint64_t lo, hi;
    explicit Fold(unsigned bits) : lo(fold_constant(bits + 31)), hi(fold_constant(bits - 33)) {}
};

constexpr std::size_t kWide = 256;  // four 64-byte accumulators

#define KORVANE_VPCLMUL __attribute__((target("avx512f,avx512bw,vpclmulqdq,pclmul,sse4.2")))

KORVANE_VPCLMUL inline __m512i fold512(__m512i x, __m512i k, __m512i next) {
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), next,
                                     0x96);
}

KORVANE_VPCLMUL inline __m128i pair(const Fold& f) {
    return _mm_set_epi64x(static_cast<long long>(f.hi), static_cast<long long>(f.lo));
}

KORVANE_VPCLMUL inline __m512i broadcast(const Fold& f) {
    const auto lo = static_cast<long long>(f.lo), hi = static_cast<long long>(f.hi);
    return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}

KORVANE_VPCLMUL inline __m128i fold128(__m128i x, const Fold& f) {
    const __m128i k = pair(f);
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

template <bool Copy>
KORVANE_VPCLMUL inline __m512i load_block(const std::uint8_t* p, std::uint8_t* copy) {
    const __m512i v = _mm512_loadu_si512(p);
    if constexpr (Copy) _mm512_storeu_si512(copy, v);
    return v;
}

// Whole 256-byte blocks of p (n >= 256); returns the state after them. With a `copy`
// destination each block is stored there as it is loaded, so a copy reads its source once.
template <bool Copy>
KORVANE_VPCLMUL std::uint32_t update_vpclmul(std::uint32_t crc, const std::uint8_t* p, std::size_t n,
                                             std::uint8_t* copy) {
    static const Fold by2048(2048), by512(512), by384(384), by256(256), by128(128);
    const __m512i k2048 = broadcast(by2048), k512 = broadcast(by512);
    __m512i x0 = load_block<Copy>(p, copy);
    __m512i x1 = load_block<Copy>(p + 64, Copy ? copy + 64 : nullptr);
    __m512i x2 = load_block<Copy>(p + 128, Copy ? copy + 128 : nullptr);
    __m512i x3 = load_block<Copy>(p + 192, Copy ? copy + 192 : nullptr);
    x0 = _mm512_xor_si512(x0, _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
    for (p += kWide, n -= kWide; n >= kWide; p += kWide, n -= kWide) {
        if constexpr (Copy) copy += kWide;  // never offset from null
        x0 = fold512(x0, k2048, load_block<Copy>(p, copy));
        x1 = fold512(x1, k2048, load_block<Copy>(p + 64, Copy ? copy + 64 : nullptr));
        x2 = fold512(x2, k2048, load_block<Copy>(p + 128, Copy ? copy + 128 : nullptr));
        x3 = fold512(x3, k2048, load_block<Copy>(p + 192, Copy ? copy + 192 : nullptr));
    }
    x3 = fold512(fold512(fold512(x0, k512, x1), k512, x2), k512, x3);
    // The four lanes, first in the message first, folded onto the last.
    alignas(64) std::uint8_t lanes[64];
    _mm512_store_si512(lanes, x3);
    const auto lane = [&](int i) { return _mm_load_si128(reinterpret_cast<const __m128i*>(lanes + 16 * i)); };
    __m128i r = lane(3);
    r = _mm_xor_si128(r, fold128(lane(0), by384));
    r = _mm_xor_si128(r, fold128(lane(1), by256));
    r = _mm_xor_si128(r, fold128(lane(2), by128));
    const std::uint64_t lo = static_cast<std::uint64_t>(_mm_cvtsi128_si64(r));
    const std::uint64_t hi = static_cast<std::uint64_t>(_mm_extract_epi64(r, 1));
    return static_cast<std::uint32_t>(_mm_crc32_u64(_mm_crc32_u64(0, lo), hi));
}

KORVANE_VPCLMUL std::uint32_t update_folding(std::uint32_t crc, const std::uint8_t* p, std::size_t n,
                                             std::uint8_t* copy = nullptr) {
    if (n >= kWide) {
        const std::size_t whole = n - n % kWide;
        crc = copy ? update_vpclmul<true>(crc, p, whole, copy) : update_vpclmul<false>(crc, p, whole, nullptr);
        p += whole;
        n -= whole;
        if (copy) copy += whole;
    }
    if (copy && n != 0) std::memcpy(copy, p, n);
    return crc_words(crc, p, n);
}

bool has_vpclmul() {
    return simd::cpu_features().has_avx512() && __builtin_cpu_supports("vpclmulqdq") &&
           __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.2");
}

}  // namespace

std::uint32_t crc32c_update(std::uint32_t state, const void* data, std::size_t n, CrcPath path) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    switch (path) {
        case CrcPath::Folding: return update_folding(state, p, n);
        case CrcPath::Streams: return update_hw(state, p, n);
        case CrcPath::Bytes: break;
    }
    return update_bytes(state, p, n);
}

bool crc_path_supported(CrcPath path) {
    switch (path) {
        case CrcPath::Folding: return has_vpclmul();
        case CrcPath::Streams: return __builtin_cpu_supports("sse4.2");
        case CrcPath::Bytes: break;
    }
    return true;
}

namespace {

CrcPath best_path() {
    static const CrcPath best = crc_path_supported(CrcPath::Folding)   ? CrcPath::Folding
                                : crc_path_supported(CrcPath::Streams) ? CrcPath::Streams
                                                                       : CrcPath::Bytes;
    return best;
}

}  // namespace

void Crc32c::update(const void* data, std::size_t n) { state_ = crc32c_update(state_, data, n, best_path()); }

void Crc32c::update_copy(void* to, const void* data, std::size_t n) {
    if (best_path() == CrcPath::Folding) {
        state_ = update_folding(state_, static_cast<const std::uint8_t*>(data), n, static_cast<std::uint8_t*>(to));
        return;
    }
    if (n != 0) std::memcpy(to, data, n);
    update(to, n);
}

std::uint32_t crc32c(const void* data, std::size_t n) {
    Crc32c c;
    c.update(data, n);
    return c.value();
}

}  // namespace korvane::io
