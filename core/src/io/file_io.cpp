#include "io/file_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvane::io {

EngineError os_error(int err) { return EngineError::io(std::strerror(err)); }

EngineError truncated() { return EngineError::io("failed to fill whole buffer"); }

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) {
        (void)close();
        fd_ = o.release();
    }
    return *this;
}

Fd::~Fd() { (void)close(); }

Status Fd::close() {
    if (fd_ < 0) return success();
    const int fd = release();
    if (::close(fd) != 0 && errno != EINTR) return os_error(errno);
    return success();
}

Status BufferedWriter::write_through(const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd_, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return os_error(errno);
        }
        if (w == 0) return os_error(EIO);
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return success();
}

Status BufferedWriter::write(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (n > kBufferSize - used_) {
        if (auto s = flush(); !s) return s;
        // A write of a whole buffer or more goes straight to the file.
        if (n >= kBufferSize) return write_through(p, n);
    }
    if (n != 0) std::memcpy(buf_ + used_, p, n);
    used_ += n;
    return success();
}

Status BufferedWriter::flush() {
    const std::size_t n = used_;
    used_ = 0;
    return write_through(buf_, n);
}

Expected<BufferedReader> BufferedReader::open(const std::string& path) {
    BufferedReader r;
    r.fd_ = Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (r.fd_.get() < 0) return os_error(errno);
    struct stat st;
    if (::fstat(r.fd_.get(), &st) != 0) return os_error(errno);
    if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
    r.size_ = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    r.buf_.reset(new std::uint8_t[kBufferSize]);
    return r;
}

Status BufferedReader::read(void* out, std::size_t n) {
    auto* o = static_cast<std::uint8_t*>(out);
    while (n > 0) {
        if (at_ < end_) {
            const std::size_t take = std::min(n, end_ - at_);
            std::memcpy(o, buf_.get() + at_, take);
            at_ += take;
            o += take;
            n -= take;
            consumed_ += take;
            continue;
        }
        // Large reads bypass the buffer; small ones refill it.
        std::uint8_t* dst = n >= kBufferSize ? o : buf_.get();
        const std::size_t want = n >= kBufferSize ? n : kBufferSize;
        const ssize_t got = ::read(fd_.get(), dst, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            return os_error(errno);
        }
        if (got == 0) return truncated();
        if (dst == o) {
            o += got;
            n -= static_cast<std::size_t>(got);
            consumed_ += static_cast<std::uint64_t>(got);
        } else {
            at_ = 0;
            end_ = static_cast<std::size_t>(got);
        }
    }
    return success();
}

Status BufferedReader::read_at(std::uint64_t offset, void* out, std::size_t n) const {
    auto* o = static_cast<std::uint8_t*>(out);
    while (n > 0) {
        const ssize_t got = ::pread(fd_.get(), o, n, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return os_error(errno);
        }
        if (got == 0) return truncated();
        o += got;
        n -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return success();
}

Expected<Mapping> Mapping::map(const std::string& path, bool populate) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return os_error(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return os_error(errno);
    if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
    Mapping m;
    m.size_ = static_cast<std::size_t>(st.st_size);
    if (m.size_ == 0) return m;  // nothing to map; every read of it is a truncation
    void* p = ::mmap(nullptr, m.size_, PROT_READ, MAP_PRIVATE | (populate ? MAP_POPULATE : 0), fd.get(), 0);
    if (p == MAP_FAILED) return os_error(errno);
    m.data_ = static_cast<const std::uint8_t*>(p);
    if (!populate) m.fd_ = std::move(fd);
    return m;
}

bool Mapping::intact() const {
    struct stat st;
    if (fd_.get() < 0 || ::fstat(fd_.get(), &st) != 0) return true;  // nothing to tell
    return static_cast<std::uint64_t>(st.st_size) >= size_;
}

void Mapping::advise(std::uint64_t offset, std::uint64_t n, int advice) const {
    if (data_ == nullptr || offset >= size_) return;
    n = std::min<std::uint64_t>(n, size_ - offset);
    // Whole pages only: the pages that hold any of the range, from the one holding its
    // first byte (the mapping itself starts on a page).
    static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t first = offset / page * page;
    (void)::madvise(const_cast<std::uint8_t*>(data_) + first, offset + n - first, advice);
}

Mapping::~Mapping() {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

}  // namespace korvane::io
