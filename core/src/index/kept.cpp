#include "index/kept.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "simd/float_dots.h"

namespace korvane {

const char* kept_type_text(KeptType t) {
    switch (t) {
        case KeptType::Float32: return "float32";
        case KeptType::Float16: return "float16";
        case KeptType::Int8: return "int8";
    }
    return "float16";
}

std::optional<KeptType> parse_kept_type(std::string_view text) {
    if (text == "float32") return KeptType::Float32;
    if (text == "float16") return KeptType::Float16;
    if (text == "int8") return KeptType::Int8;
    return std::nullopt;
}

std::uint16_t float_to_half(float f) {
    const std::uint32_t x = std::bit_cast<std::uint32_t>(f);
    const std::uint32_t sign = (x >> 16) & 0x8000u;
    const std::uint32_t exp = (x >> 23) & 0xFFu;
    std::uint32_t mant = x & 0x7FFFFFu;
    if (exp == 0xFF) return static_cast<std::uint16_t>(sign | 0x7C00u | (mant ? 0x200u : 0u));  // inf, NaN
    const int e = static_cast<int>(exp) - 127 + 15;
    if (e >= 31) return static_cast<std::uint16_t>(sign | 0x7C00u);  // overflow to infinity
    if (e <= 0) {
        if (e < -10) return static_cast<std::uint16_t>(sign);  // below half of the smallest subnormal
        mant |= 0x800000u;
        const int shift = 14 - e;
        std::uint32_t h = mant >> shift;
        const std::uint32_t rest = mant & ((1u << shift) - 1);
        const std::uint32_t half = 1u << (shift - 1);
        if (rest > half || (rest == half && (h & 1u))) ++h;
        return static_cast<std::uint16_t>(sign | h);
    }
    std::uint32_t h = (static_cast<std::uint32_t>(e) << 10) | (mant >> 13);
    const std::uint32_t rest = mant & 0x1FFFu;
    if (rest > 0x1000u || (rest == 0x1000u && (h & 1u))) ++h;  // may carry into the exponent, as it should
    return static_cast<std::uint16_t>(sign | h);
}

float half_to_float(std::uint16_t h) {
    const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
    const std::uint32_t exp = (h >> 10) & 0x1Fu;
    const std::uint32_t mant = h & 0x3FFu;
    if (exp == 0) {
        // Zero or subnormal: mant · 2^-24, exact in single precision.
        const float v = static_cast<float>(mant) * 0x1.0p-24f;
        return sign ? -v : v;
    }
    if (exp == 31) return std::bit_cast<float>(sign | 0x7F800000u | (mant << 13));
    return std::bit_cast<float>(sign | ((exp - 15 + 127) << 23) | (mant << 13));
}

void KeptFormat::encode(const float* v, std::uint8_t* out) const {
    std::vector<float> stored(dim);
    std::uint8_t* data = out + header_bytes();
    switch (type) {
        case KeptType::Float32:
            std::memcpy(stored.data(), v, dim * sizeof(float));
            std::memcpy(data, v, dim * sizeof(float));
            break;
        case KeptType::Float16:
            for (std::uint64_t i = 0; i < dim; ++i) {
                const std::uint16_t h = float_to_half(v[i]);
                std::memcpy(data + 2 * i, &h, 2);
                stored[i] = half_to_float(h);
            }
            break;
        case KeptType::Int8: {
            // Each row its own scale: its largest magnitude maps to 127.
            float top = 0.0f;
            for (std::uint64_t i = 0; i < dim; ++i) top = std::fmax(top, std::fabs(v[i]));
            const float scale = top / 127.0f;
            std::memcpy(out + 4, &scale, 4);
            for (std::uint64_t i = 0; i < dim; ++i) {
                float q = scale > 0.0f ? std::nearbyint(v[i] / scale) : 0.0f;
                q = std::fmin(127.0f, std::fmax(-127.0f, q));
                const auto c = static_cast<std::int8_t>(q);
                std::memcpy(data + i, &c, 1);
                stored[i] = static_cast<float>(c) * scale;
            }
            break;
        }
    }
    float s = -0.0f;
    for (float x : stored) s += x * x;  // in index order
    const float n = std::sqrt(s);
    std::memcpy(out, &n, 4);
}

void KeptFormat::decode(const std::uint8_t* row, float* out) const {
    const std::uint8_t* data = row + header_bytes();
    switch (type) {
        case KeptType::Float32:
            std::memcpy(out, data, dim * sizeof(float));
            return;
        case KeptType::Float16: {
            static const simd::HalvesFn vector = simd::best_halves_to_floats();
            if (vector != nullptr) {
                // Rows start at multiples of 2 bytes, so the halves are aligned for u16.
                vector(reinterpret_cast<const std::uint16_t*>(data), out, dim);
                return;
            }
            for (std::uint64_t i = 0; i < dim; ++i) {
                std::uint16_t h;
                std::memcpy(&h, data + 2 * i, 2);
                out[i] = half_to_float(h);
            }
            return;
        }
        case KeptType::Int8: {
            float scale;
            std::memcpy(&scale, row + 4, 4);
            for (std::uint64_t i = 0; i < dim; ++i) out[i] = static_cast<float>(static_cast<std::int8_t>(data[i])) * scale;
            return;
        }
    }
}

float KeptFormat::norm(const std::uint8_t* row) {
    float n;
    std::memcpy(&n, row, 4);
    return n;
}

}  // namespace korvane
