// CRC-32C (Castagnoli), the checksum a sealed .krvn file or pickle ends with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::io {

// The running checksum of a byte stream: update it with consecutive pieces; value() is the
// CRC-32C of everything given so far (0xE3069283 for the nine bytes "123456789").
class Crc32c {
public:
    void update(const void* data, std::size_t n);
    std::uint32_t value() const { return ~state_; }

private:
    std::uint32_t state_ = 0xFFFFFFFFu;
};

std::uint32_t crc32c(const void* data, std::size_t n);

}  // namespace korvane::io
