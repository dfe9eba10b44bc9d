#include "quantize/quantizer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

#include "simd/encode_loops.h"
#include "base/tables.h"

namespace korvane {

Expected<RowLayout> Quantizer::check_layout(const EngineConfig& config, BitWidthCheck check) {
    const bool known = config.bit_width == 2 || config.bit_width == 4;
    if (check == BitWidthCheck::Required && !known) return EngineError::invalid_bit_width(config.bit_width);
    const auto padded = padded_dim_for(config.dim);
    if (!padded) throw std::bad_alloc();  // a size no memory can hold
    const std::uint64_t n4 = config.n4_dims;
    if (n4 > *padded || (n4 % 4 != 0 && n4 != *padded)) return EngineError::invalid_bit_width(config.bit_width);
    return RowLayout::of(*padded, n4);
}

Expected<Quantizer> Quantizer::create(const EngineConfig& config, BitWidthCheck check) {
    const auto layout = check_layout(config, check);
    if (!layout) return layout.error();
    const auto padded = std::optional<std::uint64_t>(layout.value().padded_dim);
    const std::uint64_t n4 = config.n4_dims;

    Quantizer q;
    q.rotation = RhdhRotation(config.dim, config.seed);
    q.dim = config.dim;
    q.n4_dims = n4;
    q.n2_dims = *padded - n4;
    q.pb4_per_vec = (n4 + 1) / 2;
    q.scale = std::sqrt(static_cast<float>(*padded));
    q.metric = config.metric;
    q.bit_width = config.bit_width;
    return q;
}

namespace {

// An empty input may come with a null pointer, which memmove must never see.
void copy_floats(float* out, const float* x, std::size_t n) {
    if (n != 0 && out != x) std::memmove(out, x, n * sizeof(float));
}

}  // namespace

void Quantizer::prepare_into(const float* x, std::size_t n, float* out) const {
    switch (metric) {
        case Metric::Cosine: {
            float s = -0.0f;
            for (std::size_t i = 0; i < n; ++i) s += x[i] * x[i];  // in index order
            const float norm = std::sqrt(s);
            if (norm > 1.1920929e-7f) {
                for (std::size_t i = 0; i < n; ++i) out[i] = x[i] / norm;  // a true division
            } else {
                copy_floats(out, x, n);
            }
            return;
        }
        case Metric::L2:
            if (standardization) {
                const auto& st = *standardization;
                const std::size_t m = std::min({n, st.mean.size(), st.inv_std.size()});
                for (std::size_t i = 0; i < m; ++i) out[i] = (x[i] - st.mean[i]) * st.inv_std[i];
                // Coordinates past the record's length (never in practice) pass unchanged.
                if (m < n) copy_floats(out + m, x + m, n - m);
                return;
            }
            [[fallthrough]];
        case Metric::Dot:
            copy_floats(out, x, n);
            return;
    }
}

std::vector<float> Quantizer::prepare(std::span<const float> x) const {
    std::vector<float> out(x.size());
    prepare_into(x.data(), x.size(), out.data());
    return out;
}

void Quantizer::transform_query_into(const float* x, float* out) const {
    const std::size_t padded = padded_dim();
    prepare_into(x, dim, out);
    std::fill(out + dim, out + padded, 0.0f);
    rotation.apply_in_place(out, dim);
    // A second rounding after the rotation's 1/√padded: the two are not merged into one.
    encode_loops().scale_in_place(out, padded, scale);
}

std::vector<float> Quantizer::transform_query(std::span<const float> x) const {
    if (x.size() != dim) throw std::logic_error("query length differs from dim");
    std::vector<float> out(padded_dim());
    transform_query_into(x.data(), out.data());
    return out;
}

void Quantizer::untransform(float* t, float* out) const {
    const std::size_t padded = padded_dim();
    for (std::size_t i = 0; i < padded; ++i) t[i] /= scale;
    rotation.invert_in_place(t);
    switch (metric) {
        case Metric::Cosine: {
            double s = 0.0;
            for (std::size_t i = 0; i < dim; ++i) s += static_cast<double>(t[i]) * t[i];
            const double norm = std::sqrt(s);
            for (std::size_t i = 0; i < dim; ++i) out[i] = norm > 0.0 ? static_cast<float>(t[i] / norm) : t[i];
            return;
        }
        case Metric::L2:
            if (standardization) {
                const auto& st = *standardization;
                for (std::size_t i = 0; i < dim; ++i) {
                    const bool known = i < st.mean.size() && i < st.inv_std.size();
                    out[i] = known ? t[i] / st.inv_std[i] + st.mean[i] : t[i];
                }
                return;
            }
            [[fallthrough]];
        case Metric::Dot:
            std::copy(t, t + dim, out);
            return;
    }
}

void Quantizer::encode_transformed(const float* v, std::uint8_t* row) const {
    switch (layout()) {
        case Layout::Pure2:
            encode_2bit(v, n2_dims, row);
            return;
        case Layout::Pure4:
            encode_4bit(v, n4_dims, row);
            return;
        case Layout::Mixed:
            encode_4bit(v, n4_dims, row);
            encode_2bit(v + n4_dims, n2_dims, row + pb4_per_vec);
            return;
    }
}

void Quantizer::encode_into(const float* x, float* scratch, std::uint8_t* row) const {
    transform_query_into(x, scratch);
    encode_transformed(scratch, row);
}

std::vector<std::uint8_t> Quantizer::encode(std::span<const float> x) const {
    if (x.size() != dim) throw std::logic_error("vector length differs from dim");
    std::vector<float> scratch(padded_dim());
    std::vector<std::uint8_t> row(packed_bytes_per_vec());
    encode_into(x.data(), scratch.data(), row.data());
    return row;
}

float Quantizer::quantized_norm(const std::uint8_t* row) const {
    // One addition at a time, in slot order; every slot counts, empty ones included.
    float s = 0.0f;
    for (std::uint64_t b = 0; b < pb4_per_vec; ++b) {
        const float lo = CENTROIDS_4BIT[row[b] & 15];
        const float hi = CENTROIDS_4BIT[row[b] >> 4];
        s += lo * lo;
        s += hi * hi;
    }
    const std::uint64_t end = packed_bytes_per_vec();
    for (std::uint64_t b = pb4_per_vec; b < end; ++b) {
        for (int k = 0; k < 4; ++k) {
            const float c = CENTROIDS_2BIT[(row[b] >> (2 * k)) & 3];
            s += c * c;
        }
    }
    return std::sqrt(s);
}

bool Quantizer::norm_covers(const std::uint8_t* row, float norm) const {
    // The squares of a byte's codes, summed in double byte by byte.
    struct Squares {
        std::array<double, 256> four{}, two{};
        Squares() {
            for (std::size_t v = 0; v < 256; ++v) {
                four[v] = double{CENTROIDS_4BIT[v & 15]} * CENTROIDS_4BIT[v & 15] +
                          double{CENTROIDS_4BIT[v >> 4]} * CENTROIDS_4BIT[v >> 4];
                for (int k = 0; k < 4; ++k) {
                    const double c = CENTROIDS_2BIT[(v >> (2 * k)) & 3];
                    two[v] += c * c;
                }
            }
        }
    };
    static const Squares squares;
    const std::uint64_t end = packed_bytes_per_vec();
    // Four running sums, not one: a load checks every row. Any order of so few doubles is
    // far inside the float margin below.
    double part[4] = {0.0, 0.0, 0.0, 0.0};
    std::uint64_t b = 0;
    for (; b + 4 <= pb4_per_vec; b += 4) {
        for (int j = 0; j < 4; ++j) part[j] += squares.four[row[b + j]];
    }
    for (; b < pb4_per_vec; ++b) part[0] += squares.four[row[b]];
    for (; b + 4 <= end; b += 4) {
        for (int j = 0; j < 4; ++j) part[j] += squares.two[row[b + j]];
    }
    for (; b < end; ++b) part[0] += squares.two[row[b]];
    const double sum = (part[0] + part[1]) + (part[2] + part[3]);
    const double slots = 2.0 * static_cast<double>(pb4_per_vec) + 4.0 * static_cast<double>(end - pb4_per_vec);
    return std::isfinite(norm) && double{norm} >= std::sqrt(sum) * (1.0 - (slots + 2.0) * 0x1p-24);
}

void Quantizer::decode(const std::uint8_t* row, float* out) const {
    for (std::uint64_t i = 0; i < n4_dims; ++i) out[i] = CENTROIDS_4BIT[(row[i / 2] >> (4 * (i % 2))) & 15];
    const std::uint8_t* two = row + pb4_per_vec;
    for (std::uint64_t i = 0; i < n2_dims; ++i) out[n4_dims + i] = CENTROIDS_2BIT[(two[i / 4] >> (2 * (i % 4))) & 3];
}

}  // namespace korvane
