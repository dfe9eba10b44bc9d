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
    // The same, copying the bytes to `to` on the way (n bytes there, not overlapping).
    void update_copy(void* to, const void* data, std::size_t n);
    std::uint32_t value() const { return ~state_; }

private:
    std::uint32_t state_ = 0xFFFFFFFFu;
};

std::uint32_t crc32c(const void* data, std::size_t n);

// The ways this CPU may take it, fastest first: carry-less multiplication (AVX-512 with
// VPCLMULQDQ), the CRC-32C instruction in three streams (SSE4.2), a byte table. The
// running state (not inverted) after n more bytes; exposed so that tests compare them.
enum class CrcPath { Folding, Streams, Bytes };
bool crc_path_supported(CrcPath path);
std::uint32_t crc32c_update(std::uint32_t state, const void* data, std::size_t n, CrcPath path);

}  // namespace korvane::io
