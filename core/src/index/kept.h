// Kept vectors: beside its codes, a row may keep the rotated and scaled vector the codes
// approximate, as float32, float16 or int8 (one scale per row), or the vector as it was
// given, in the type it arrived in, to re-score candidates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

enum class KeptType : std::uint8_t { Float32 = 0, Float16 = 1, Int8 = 2, Input = 3 };

const char* kept_type_text(KeptType t);  // "float32", "float16", "int8", "input"
std::optional<KeptType> parse_kept_type(std::string_view text);

// The type input rows are kept in (KeptType::Input), fixed by the first add that stores
// rows: what those rows arrived as.
enum class InputType : std::uint8_t { UInt8 = 0, Int8 = 1, Float16 = 2, Float32 = 3 };
inline constexpr std::uint8_t kInputTypes = 4;

const char* input_type_text(InputType t);  // "uint8", "int8", "float16", "float32"
inline std::uint64_t input_type_bytes(InputType t) {
    return t == InputType::Float32 ? 4 : t == InputType::Float16 ? 2 : 1;
}

// Where among n floats the first value lies that rows kept as `to` cannot hold: one that
// is not an integer in range for uint8 and int8 (NaN and infinities included), a finite
// one that would round to an infinite half for float16; n when they all fit.
std::size_t first_unheld(InputType to, const float* v, std::size_t n);
// Why `value` cannot be kept as `to`, for vector `row` of an add.
std::string unheld_message(InputType to, std::size_t row, float value);

// Re-scoring takes ceil(k · oversampling) candidates: 0 turns it off, otherwise at least 1
// and finite (NaN is neither).
inline bool valid_oversampling(double v) { return v == 0.0 || (v >= 1.0 && v <= std::numeric_limits<double>::max()); }

// One kept row: the norm of the stored values (f32), for float16 and int8 the scale (f32),
// then dim values; a stored value is the value times the scale. The norm is sqrt of the
// sum of the squared stored values, in index order. An input row is only its dim values
// (dim being the vector's, not the padded one) in its input type: no norm, no scale.
struct KeptFormat {
    KeptType type = KeptType::Float16;
    std::uint64_t dim = 0;
    InputType input = InputType::Float32;  // the values' type of an input row

    std::uint64_t header_bytes() const {
        return type == KeptType::Input ? 0 : type == KeptType::Float32 ? 4 : 8;
    }
    std::uint64_t row_bytes() const {
        const std::uint64_t per = type == KeptType::Input     ? input_type_bytes(input)
                                  : type == KeptType::Float32 ? 4
                                  : type == KeptType::Float16 ? 2
                                                              : 1;
        return header_bytes() + per * dim;
    }
    // v has dim floats; out has row_bytes() bytes. An input row holds v converted to its
    // type: rounded to the nearest half, or for the integer types rounded and clamped (NaN
    // to 0), which changes nothing for values first_unheld lets through.
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
