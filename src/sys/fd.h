// File descriptors and positioned reads: a descriptor owned by a scope, a
// read of exactly n bytes at a position, and a stdio stream closed on every
// path out. Internal to the project; not installed.
#ifndef ZORV_SYS_FD_H
#define ZORV_SYS_FD_H

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>

namespace zorv {
namespace sys {

// Owns a file descriptor and closes it when it goes; -1 holds none.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& o) noexcept : fd_(o.release()) {}
    unique_fd& operator=(unique_fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Reads `len` bytes of the file at `pos` into `buf`, resuming after
// interruptions and partial reads. False on an error, or when the file ends
// first (errno is then EIO).
inline bool pread_full(int fd, void* buf, size_t len, uint64_t pos) {
    auto* p = static_cast<unsigned char*>(buf);
    while (len > 0) {
        const ssize_t n = ::pread(fd, p, len, static_cast<off_t>(pos));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        pos += static_cast<uint64_t>(n);
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The file's length now, or `fallback` when it cannot be had. A file can be
// cut short after its tables were read, and a mapped page that lies wholly
// past the end faults when it is touched.
inline uint64_t file_size_now(int fd, uint64_t fallback) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_size >= 0 ? static_cast<uint64_t>(st.st_size) : fallback;
}

// A stdio stream closed when it goes.
struct file_closer {
    void operator()(std::FILE* f) const noexcept {
        if (f) std::fclose(f);
    }
};
using unique_file = std::unique_ptr<std::FILE, file_closer>;

}  // namespace sys
}  // namespace zorv

#endif
