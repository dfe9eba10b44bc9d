// Where the 4-bit and 2-bit blocks of a packed row lie.
#pragma once

#include <cstdint>

namespace korvane {

// Which blocks a packed row has; decided by n4_dims and n2_dims alone.
enum class Layout : std::uint8_t { Pure2, Pure4, Mixed };

struct RowLayout {
    std::uint64_t padded_dim = 1;
    std::uint64_t n4_dims = 0;   // leading padded coordinates at 4 bits
    std::uint64_t n2_dims = 0;   // the rest, at 2 bits
    std::uint64_t pb4 = 0;       // bytes of the 4-bit block
    std::uint64_t row_bytes = 0; // the 4-bit block followed by the 2-bit block

    static constexpr RowLayout of(std::uint64_t padded_dim, std::uint64_t n4_dims) {
        RowLayout r;
        r.padded_dim = padded_dim;
        r.n4_dims = n4_dims;
        r.n2_dims = padded_dim - n4_dims;
        r.pb4 = (n4_dims + 1) / 2;
        r.row_bytes = r.pb4 + (r.n2_dims + 3) / 4;
        return r;
    }

    constexpr Layout layout() const {
        if (n4_dims == 0) return Layout::Pure2;
        if (n2_dims == 0) return Layout::Pure4;
        return Layout::Mixed;
    }
};

}  // namespace korvane
