// Reading a .krvn file from bytes in memory: a bounded cursor over them (a pickle, or a
// file mapped whole) and the fixed-width little-endian fields it reads. The buffered
// reader of file_io.h is the other source every reading part takes.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "base/error.h"
#include "io/file_io.h"

namespace korvane::io::detail {

template <class T>
T field(const std::uint8_t* p, std::size_t at) {
    T v;
    std::memcpy(&v, p + at, sizeof v);
    return v;
}

// The bytes of a whole file or pickle, read in order: a read past their end fails as a
// file that ends there would.
class Cursor {
public:
    Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    // Over a mapped file whose kept rows are read in place.
    Cursor(const std::shared_ptr<const Mapping>& lender, std::size_t size)
        : data_(lender->data()), size_(size), lender_(lender) {}
    // The mapping kept rows may be borrowed from, if any.
    const std::shared_ptr<const Mapping>& lender() const { return lender_; }
    std::uint64_t offset() const { return at_; }
    Status read(void* out, std::size_t n) {
        if (n > size_ - at_) return truncated();
        ahead(n);
        if (n != 0) std::memcpy(out, data_ + at_, n);
        at_ += n;
        return success();
    }
    template <class T>
    Status get(T& value) {
        return read(&value, sizeof value);
    }
    // The next n bytes where they lie (the caller checked they are there).
    const std::uint8_t* take(std::size_t n) {
        const std::uint8_t* p = data_ + at_;
        at_ += n;
        return p;
    }
    std::uint64_t remaining() const { return size_ - at_; }
    bool holds(std::uint64_t count, std::uint64_t unit) const { return unit == 0 || count <= remaining() / unit; }
    // About to copy the next n bytes (which are there): a mapped file, whose pages are
    // not read ahead (the kept rows must not be), reads them and a little more now.
    void ahead(std::size_t n) {
        if (!lender_ || at_ + n <= fetched_) return;
        // Small: what lies past the body (the kept rows) is read ahead by at most this.
        constexpr std::uint64_t kAhead = std::uint64_t{1} << 18;
        std::uint64_t from = std::max<std::uint64_t>(fetched_, at_);
        fetched_ = std::min<std::uint64_t>(size_, at_ + n + kAhead);
        // The system reads at most its read-ahead size per request: ask in steps no larger.
        for (; from < fetched_; from += kAhead) {
            lender_->advise(from, std::min<std::uint64_t>(kAhead, fetched_ - from), MADV_WILLNEED);
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    std::shared_ptr<const Mapping> lender_;
    std::uint64_t fetched_ = 0;  // bytes before this were asked for
};

// Kept rows borrowed from a mapping, if this source lends them.
template <class Source>
const std::shared_ptr<const Mapping>* lender_of(const Source& in) {
    if constexpr (std::is_same_v<Source, Cursor>) {
        return in.lender() ? &in.lender() : nullptr;
    } else {
        return nullptr;
    }
}

// Every source a file is read from; a reading part's templates are compiled for each
// (KORVANE_IO_SOURCES(F) names F(S) for every source S).
#define KORVANE_IO_SOURCES(F) F(Cursor) F(BufferedReader)

}  // namespace korvane::io::detail
