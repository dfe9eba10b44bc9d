// Where a .krvn file goes as it is written: the buffered writer of file_io.h (a file), a
// vector of bytes (a pickle), a count of the bytes (a pickle sized before it is written),
// and a writer that checksums what passes through it on the way to one of those.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/error.h"
#include "io/checksum.h"
#include "io/file_io.h"
#include "io/parts.h"

namespace korvane::io::detail {

// Appends to memory; never fails except by memory exhaustion.
class ByteSink {
public:
    explicit ByteSink(std::vector<std::uint8_t>& out) : out_(out) {}
    Status write(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
        return success();
    }
    template <class T>
    Status put(T value) {
        return write(&value, sizeof value);
    }

private:
    std::vector<std::uint8_t>& out_;
};

// Counts what a save would write.
class SizeSink {
public:
    Status write(const void*, std::size_t n) {
        size_ += n;
        return success();
    }
    template <class T>
    Status put(T value) {
        return write(&value, sizeof value);
    }
    std::size_t size() const { return size_; }

private:
    std::size_t size_ = 0;
};

// Passes every byte on and keeps their checksum, then appends the footer.
template <class Writer>
class Sealing {
public:
    explicit Sealing(Writer& w) : w_(w) {}
    Status write(const void* data, std::size_t n) {
        // Large writes in pieces, each checksummed right after it is written, while the
        // copy into the file has it in cache.
        const auto* p = static_cast<const std::uint8_t*>(data);
        covered_ += n;
        do {
            const std::size_t m = std::min(n, kChecksumPiece);
            if (auto s = w_.write(p, m); !s) return s;
            crc_.update(p, m);
            p += m;
            n -= m;
        } while (n > 0);
        return success();
    }
    template <class T>
    Status put(T value) {
        return write(&value, sizeof value);
    }
    Status seal() {
        if (auto s = w_.write(kSealTag, 4); !s) return s;
        if (auto s = w_.put(crc_.value()); !s) return s;
        return w_.put(covered_);
    }

private:
    Writer& w_;
    Crc32c crc_;
    std::uint64_t covered_ = 0;
};

// Every writer a file or pickle is written through; a writing part's templates are
// compiled for each (KORVANE_IO_WRITERS(F) names F(W) for every writer W).
#define KORVANE_IO_WRITERS(F) \
    F(BufferedWriter) F(ByteSink) F(SizeSink) F(Sealing<BufferedWriter>) F(Sealing<ByteSink>)

}  // namespace korvane::io::detail
