#include "index/kept.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "simd/float_dots.h"

namespace korvane {

const char* kept_type_text(KeptType t) {
    switch (t) {
        case KeptType::Float32: return "float32";
        case KeptType::Float16: return "float16";
        case KeptType::Int8: return "int8";
        case KeptType::Input: return "input";
    }
    return "float16";
}

std::optional<KeptType> parse_kept_type(std::string_view text) {
    if (text == "float32") return KeptType::Float32;
    if (text == "float16") return KeptType::Float16;
    if (text == "int8") return KeptType::Int8;
    if (text == "input") return KeptType::Input;
    return std::nullopt;
}

const char* input_type_text(InputType t) {
    switch (t) {
        case InputType::UInt8: return "uint8";
        case InputType::Int8: return "int8";
        case InputType::Float16: return "float16";
        case InputType::Float32: return "float32";
    }
    return "float32";
}

namespace {

// The first of n values outside [lo, hi] or not an integer; NaN fails both comparisons.
std::size_t first_non_integer(const float* v, std::size_t n, float lo, float hi) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!(v[i] >= lo && v[i] <= hi) || std::nearbyint(v[i]) != v[i]) return i;
    }
    return n;
}

}  // namespace

std::size_t first_unheld(InputType to, const float* v, std::size_t n) {
    switch (to) {
        case InputType::UInt8: return first_non_integer(v, n, 0.0f, 255.0f);
        case InputType::Int8: return first_non_integer(v, n, -128.0f, 127.0f);
        case InputType::Float16:
            // 65,520 and beyond round to infinity.
            for (std::size_t i = 0; i < n; ++i) {
                if (std::fabs(v[i]) >= 65520.0f && std::isfinite(v[i])) return i;
            }
            return n;
        case InputType::Float32: break;
    }
    return n;
}

std::string unheld_message(InputType to, std::size_t row, float value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    std::string what = "vector " + std::to_string(row) + " holds " + std::string(text, end) + ", which " +
                       input_type_text(to) + " kept vectors cannot hold (";
    switch (to) {
        case InputType::UInt8: return what + "integers from 0 to 255 only)";
        case InputType::Int8: return what + "integers from -128 to 127 only)";
        default: return what + "it would round to infinity)";
    }
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

namespace {

template <class T>
void encode_integers(const float* v, std::uint64_t n, float lo, float hi, std::uint8_t* out) {
    for (std::uint64_t i = 0; i < n; ++i) {
        const float c = std::isnan(v[i]) ? 0.0f : std::fmin(hi, std::fmax(lo, std::nearbyint(v[i])));
        const auto x = static_cast<T>(c);
        std::memcpy(out + i, &x, 1);
    }
}

void encode_input(InputType t, const float* v, std::uint64_t n, std::uint8_t* out) {
    switch (t) {
        case InputType::UInt8: return encode_integers<std::uint8_t>(v, n, 0.0f, 255.0f, out);
        case InputType::Int8: return encode_integers<std::int8_t>(v, n, -128.0f, 127.0f, out);
        case InputType::Float16:
            for (std::uint64_t i = 0; i < n; ++i) {
                const std::uint16_t h = float_to_half(v[i]);
                std::memcpy(out + 2 * i, &h, 2);
            }
            return;
        case InputType::Float32:
            if (n != 0) std::memcpy(out, v, n * sizeof(float));
            return;
    }
}

void decode_input(InputType t, const std::uint8_t* row, std::uint64_t n, float* out) {
    switch (t) {
        case InputType::UInt8:
            for (std::uint64_t i = 0; i < n; ++i) out[i] = static_cast<float>(row[i]);
            return;
        case InputType::Int8:
            for (std::uint64_t i = 0; i < n; ++i) out[i] = static_cast<float>(static_cast<std::int8_t>(row[i]));
            return;
        case InputType::Float16: {
            static const simd::HalvesFn vector = simd::best_halves_to_floats();
            if (vector != nullptr) {
                vector(reinterpret_cast<const std::uint16_t*>(row), out, n);
                return;
            }
            for (std::uint64_t i = 0; i < n; ++i) {
                std::uint16_t h;
                std::memcpy(&h, row + 2 * i, 2);
                out[i] = half_to_float(h);
            }
            return;
        }
        case InputType::Float32:
            if (n != 0) std::memcpy(out, row, n * sizeof(float));
            return;
    }
}

}  // namespace

void KeptFormat::encode(const float* v, std::uint8_t* out) const {
    if (type == KeptType::Input) return encode_input(input, v, dim, out);
    std::uint8_t* data = out + header_bytes();
    float s = -0.0f;  // the squares of the stored values, in index order
    switch (type) {
        case KeptType::Float32:
            std::memcpy(data, v, dim * sizeof(float));
            for (std::uint64_t i = 0; i < dim; ++i) s += v[i] * v[i];
            break;
        case KeptType::Float16: {
            // The scale is the smallest power of two (at least 1) that brings the largest
            // finite magnitude to 32,768 or less: no half then rounds up to infinity, and
            // dividing by it is exact. Unit-scale rows keep a scale of 1 and plain halves.
            float top = 0.0f;
            for (std::uint64_t i = 0; i < dim; ++i) {
                if (std::isfinite(v[i])) top = std::fmax(top, std::fabs(v[i]));
            }
            int e = 0;
            if (top > 32768.0f) {
                int x;
                std::frexp(top, &x);  // top in [2^(x-1), 2^x)
                e = top == std::ldexp(0.5f, x) ? x - 16 : x - 15;
            }
            const float scale = std::ldexp(1.0f, e);
            const float inverse = std::ldexp(1.0f, -e);
            std::memcpy(out + 4, &scale, 4);
            for (std::uint64_t i = 0; i < dim; ++i) {
                std::uint16_t h = float_to_half(v[i] * inverse);
                float stored = half_to_float(h) * scale;
                // Only 32,768 · 2^113 = 2^128, for a value near the float maximum: one half
                // step down keeps it finite.
                if (std::isinf(stored) && std::isfinite(v[i])) stored = half_to_float(--h) * scale;
                std::memcpy(data + 2 * i, &h, 2);
                s += stored * stored;
            }
            break;
        }
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
                const float stored = static_cast<float>(c) * scale;
                s += stored * stored;
            }
            break;
        }
        case KeptType::Input: return;
    }
    const float n = std::sqrt(s);
    std::memcpy(out, &n, 4);
}

void KeptFormat::decode(const std::uint8_t* row, float* out) const {
    if (type == KeptType::Input) return decode_input(input, row, dim, out);
    const std::uint8_t* data = row + header_bytes();
    float scale = 1.0f;
    if (type != KeptType::Float32) std::memcpy(&scale, row + 4, 4);
    switch (type) {
        case KeptType::Float32:
            std::memcpy(out, data, dim * sizeof(float));
            return;
        case KeptType::Float16: {
            static const simd::HalvesFn vector = simd::best_halves_to_floats();
            if (vector != nullptr) {
                // Read with unaligned loads: rows in a mapped file may start at any byte.
                vector(reinterpret_cast<const std::uint16_t*>(data), out, dim);
            } else {
                for (std::uint64_t i = 0; i < dim; ++i) {
                    std::uint16_t h;
                    std::memcpy(&h, data + 2 * i, 2);
                    out[i] = half_to_float(h);
                }
            }
            // Each value, not the dot product, is scaled: q·(s·h) is the score of the stored
            // values, which s·(q·h) need not be. Scaling up by 2^e is exact.
            if (scale != 1.0f) {
                for (std::uint64_t i = 0; i < dim; ++i) out[i] *= scale;
            }
            return;
        }
        case KeptType::Int8:
            for (std::uint64_t i = 0; i < dim; ++i) out[i] = static_cast<float>(static_cast<std::int8_t>(data[i])) * scale;
            return;
        case KeptType::Input: return;
    }
}

void KeptFormat::add_unit_scales(std::uint8_t* rows, std::size_t n) const {
    // Row i lies at 4n + i · (row_bytes() - 4) and moves to i · row_bytes(), never later:
    // front to back, a row overwrites only rows already moved.
    const std::uint64_t rb = row_bytes();
    const float one = 1.0f;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t* to = rows + i * rb;
        const std::uint8_t* from = rows + 4 * n + i * (rb - 4);
        float norm;
        std::memcpy(&norm, from, 4);
        std::memmove(to + 8, from + 4, 2 * dim);
        std::memcpy(to, &norm, 4);
        std::memcpy(to + 4, &one, 4);
    }
}

float KeptFormat::norm(const std::uint8_t* row) {
    float n;
    std::memcpy(&n, row, 4);
    return n;
}

}  // namespace korvane
