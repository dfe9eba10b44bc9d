// Files for the index format: an 8,192-byte buffered writer and reader over a file
// descriptor, and a read-only mapping of a whole file, each closing what it opened.
// Errors are values: the operating system's description, or the truncation text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/error.h"

namespace korvane::io {

inline constexpr std::size_t kBufferSize = 8192;

// Io carrying strerror(err).
EngineError os_error(int err);
// Io "failed to fill whole buffer": a file that ends inside something that must be read.
EngineError truncated();

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports a failure (a write the system had deferred can fail here).
    Status close();

private:
    int fd_ = -1;
};

class BufferedWriter {
public:
    explicit BufferedWriter(int fd) : fd_(fd) {}
    Status write(const void* data, std::size_t n);
    // Fixed-width little-endian values (this platform's own byte order).
    template <class T>
    Status put(T value) {
        return write(&value, sizeof value);
    }
    Status flush();

private:
    Status write_through(const std::uint8_t* p, std::size_t n);
    int fd_;
    std::size_t used_ = 0;
    std::uint8_t buf_[kBufferSize];
};

class BufferedReader {
public:
    static Expected<BufferedReader> open(const std::string& path);
    // Exactly n bytes, or the truncation error.
    Status read(void* out, std::size_t n);
    template <class T>
    Status get(T& value) {
        return read(&value, sizeof value);
    }
    // Bytes between the read position and the end of the file.
    std::uint64_t remaining() const { return size_ - consumed_; }
    std::uint64_t size() const { return size_; }
    // n bytes at `offset`, outside the buffer and without moving the read position.
    Status read_at(std::uint64_t offset, void* out, std::size_t n) const;
    // True when at least count · unit bytes remain (no overflow on huge counts).
    bool holds(std::uint64_t count, std::uint64_t unit) const {
        return unit == 0 || count <= remaining() / unit;
    }

private:
    Fd fd_;
    std::uint64_t size_ = 0;
    std::uint64_t consumed_ = 0;
    std::size_t at_ = 0;
    std::size_t end_ = 0;
    std::unique_ptr<std::uint8_t[]> buf_;
};

// A read-only mapping of a whole file; the descriptor is closed once the mapping exists.
class Mapping {
public:
    // `populate` reads the whole file in at once (for a file about to be read whole);
    // otherwise pages are read as they are first touched.
    static Expected<Mapping> map(const std::string& path, bool populate = true);
    // How the pages of [offset, offset + n) will be used (an madvise advice); a hint only,
    // so a failure is ignored. MADV_DONTNEED drops the pages from this process (the page
    // cache keeps them; they are read again from it when touched).
    void advise(std::uint64_t offset, std::uint64_t n, int advice) const;
    // Whether the file still holds every mapped byte. A mapping made without `populate`
    // keeps its file open for this: reading a mapped page past the file's end (the file
    // was cut short by someone else) would stop the process with SIGBUS.
    bool intact() const;
    Mapping(Mapping&& o) noexcept : data_(o.data_), size_(o.size_), fd_(std::move(o.fd_)) {
        o.data_ = nullptr;
        o.size_ = 0;
    }
    Mapping& operator=(Mapping&&) = delete;
    Mapping(const Mapping&) = delete;
    ~Mapping();
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    Mapping() = default;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    Fd fd_;  // open while the mapping may be checked (see intact)
};

}  // namespace korvane::io
