// The encoding state of an engine: rotation, optional standardization and layout
// numbers; turns float vectors into packed rows and queries into transformed floats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/config.h"
#include "base/layout.h"
#include "base/error.h"
#include "quantize/rotation.h"

namespace korvane {

struct Standardization {
    std::vector<float> mean;
    std::vector<float> inv_std;
};

class Quantizer {
public:
    // Fails with InvalidBitWidth for a bit width other than 2 or 4, and for an n4_dims
    // that the layout cannot hold (above padded_dim, or not a multiple of 4 unless equal
    // to padded_dim). The configuration's dim must have a representable padded size.
    // A loaded file's bit width is only reported, never checked: the layout decides.
    enum class BitWidthCheck { Required, Skipped };
    static Expected<Quantizer> create(const EngineConfig& config, BitWidthCheck check = BitWidthCheck::Required);
    // The same checks without building anything: the row layout, or the error create
    // would give.
    static Expected<RowLayout> check_layout(const EngineConfig& config,
                                            BitWidthCheck check = BitWidthCheck::Required);

    RhdhRotation rotation;
    std::optional<Standardization> standardization;
    std::uint64_t dim = 0;
    std::uint64_t n4_dims = 0;
    std::uint64_t n2_dims = 0;
    std::uint64_t pb4_per_vec = 0;
    float scale = 1.0f;
    Metric metric = Metric::Cosine;
    std::uint8_t bit_width = 4;

    std::uint64_t padded_dim() const { return rotation.padded_dim(); }
    std::uint64_t packed_bytes_per_vec() const { return pb4_per_vec + (n2_dims + 3) / 4; }
    RowLayout row_layout() const { return RowLayout::of(padded_dim(), n4_dims); }
    Layout layout() const { return row_layout().layout(); }
    bool is_mixed() const { return layout() == Layout::Mixed; }

    // Metric preparation of x (length n) written to out[0..n).
    void prepare_into(const float* x, std::size_t n, float* out) const;
    std::vector<float> prepare(std::span<const float> x) const;

    // prepare, rotate, scale: x has dim floats, out receives padded_dim floats.
    void transform_query_into(const float* x, float* out) const;
    std::vector<float> transform_query(std::span<const float> x) const;

    // Packs the transformed floats v (padded_dim of them) into one row.
    void encode_transformed(const float* v, std::uint8_t* row) const;
    // x has dim floats; scratch has padded_dim floats; row has packed_bytes_per_vec bytes.
    void encode_into(const float* x, float* scratch, std::uint8_t* row) const;
    std::vector<std::uint8_t> encode(std::span<const float> x) const;

    float quantized_norm(const std::uint8_t* row) const;
    // Whether `norm` is finite and no smaller than the norm of the row's codes, less the
    // float rounding quantized_norm may have ((slots + 2)·2^-24 of it): a norm a scan may
    // bound any part of the row's score with.
    bool norm_covers(const std::uint8_t* row, float norm) const;

    // A vector in the space it was given in, from t (padded_dim floats in the transformed
    // space, overwritten): scale, rotation and standardization undone as far as float
    // rounding allows. A cosine vector comes back with unit length, its own length being
    // gone. out receives dim floats.
    void untransform(float* t, float* out) const;

    // The row with each code replaced by its centroid: padded_dim floats in the rotated and
    // scaled space that transform_query produces.
    void decode(const std::uint8_t* row, float* out) const;
};

}  // namespace korvane
