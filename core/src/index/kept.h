// Kept vectors: beside its codes, a row may keep the rotated and scaled vector the codes
// approximate, as float32, float16 or int8 (one scale per row), to re-score candidates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace korvane {

enum class KeptType : std::uint8_t { Float32 = 0, Float16 = 1, Int8 = 2 };

const char* kept_type_text(KeptType t);  // "float32", "float16", "int8"
std::optional<KeptType> parse_kept_type(std::string_view text);

// Re-scoring takes ceil(k · oversampling) candidates: 0 turns it off, otherwise at least 1
// and finite (NaN is neither).
inline bool valid_oversampling(double v) { return v == 0.0 || (v >= 1.0 && v <= std::numeric_limits<double>::max()); }

// One kept row: the norm of the stored values (f32), for float16 and int8 the scale (f32),
// then dim values; a stored value is the value times the scale. The norm is sqrt of the
// sum of the squared stored values, in index order.
struct KeptFormat {
    KeptType type = KeptType::Float16;
    std::uint64_t dim = 0;

    std::uint64_t header_bytes() const { return type == KeptType::Float32 ? 4 : 8; }
    std::uint64_t row_bytes() const {
        const std::uint64_t per = type == KeptType::Float32 ? 4 : type == KeptType::Float16 ? 2 : 1;
        return header_bytes() + per * dim;
    }
    // v has dim floats; out has row_bytes() bytes.
    void encode(const float* v, std::uint8_t* out) const;
    // The stored values as floats (dim of them).
    void decode(const std::uint8_t* row, float* out) const;
    static float norm(const std::uint8_t* row);

    // Float16 rows of the older layout without a scale (the norm, then the halves: 4 bytes
    // shorter), read into the last n · (row_bytes() - 4) bytes of `rows`, which has
    // n · row_bytes(): moves them into place with a scale of 1, the same values.
    void add_unit_scales(std::uint8_t* rows, std::size_t n) const;
};

// IEEE half precision, rounding to nearest with ties to even.
std::uint16_t float_to_half(float f);
float half_to_float(std::uint16_t h);

}  // namespace korvane
