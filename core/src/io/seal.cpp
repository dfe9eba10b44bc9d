// The checksum footer of a sealed file: how a file is recognised as sealed from its raw
// bytes. The footer is checked in krvn.cpp before the file is read, and written by the
// Sealing writer (writer.h).
#include <cstring>

#include "io/cursor.h"
#include "io/parts.h"

namespace korvane::io::detail {

// The marks of a sealed file, read from its raw bytes before anything is checked, so that
// damage anywhere (the magic and version included) is reported as a checksum mismatch.
// The header's tag marks it. A plain file has zeros there (its tail is data and may look
// like anything), so where those bytes are neither (the tag was damaged) the footer's tag
// or its byte count marks it too: no damage of fewer than three places passes a changed
// file off as a plain one. `head` holds the first min(size, 40) bytes, `tail` the last 16
// (when size >= 16).
Seal find_seal(const std::uint8_t* head, std::uint64_t size, const std::uint8_t* tail) {
    Seal seal;
    const bool has_reserved = size >= kSealOffset + 4;
    const bool claimed = has_reserved && std::memcmp(head + kSealOffset, kSealTag, 4) == 0;
    // Versions 1 and 2 have no reserved bytes there: bytes 36-39 are part of their body.
    const bool damaged = has_reserved && !claimed && field<std::uint32_t>(head, 4) >= 3 &&
                         field<std::uint32_t>(head, kSealOffset) != 0;
    const bool tagged = size >= kFooterBytes && std::memcmp(tail, kSealTag, 4) == 0;
    const bool counted = size >= kFooterBytes && field<std::uint64_t>(tail, 8) == size - kFooterBytes;
    seal.footer = tagged && counted;
    seal.present = claimed || (damaged && (tagged || counted));
    if (seal.footer) {
        seal.crc = field<std::uint32_t>(tail, 4);
        seal.covered = size - kFooterBytes;
    }
    return seal;
}

}  // namespace korvane::io::detail
