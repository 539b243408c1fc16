// A read-only shared mapping of part of a file, removed when it goes unless
// taken over with release(). Internal to the project; not installed.
#ifndef ZORV_SYS_MAPPING_H
#define ZORV_SYS_MAPPING_H

#include <sys/mman.h>
#include <sys/types.h>

#include <cstddef>
#include <utility>

namespace zorv {
namespace sys {

class mapping {
public:
    mapping() = default;
    // Maps at once; data() is null when that failed.
    mapping(int fd, off_t offset, size_t size, bool populate = false) { map(fd, offset, size, populate); }
    ~mapping() { reset(); }
    mapping(mapping&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(o.size_) {}
    mapping& operator=(mapping&& o) noexcept {
        if (this != &o) {
            reset();
            data_ = std::exchange(o.data_, nullptr);
            size_ = o.size_;
        }
        return *this;
    }
    mapping(const mapping&) = delete;
    mapping& operator=(const mapping&) = delete;

    // Maps `size` bytes of the file from `offset` (a multiple of the page
    // size). `populate` maps every page at once: a region read from end to
    // end would otherwise take one fault per page.
    bool map(int fd, off_t offset, size_t size, bool populate = false) {
        reset();
        if (size == 0) return false;
        void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | (populate ? MAP_POPULATE : 0), fd, offset);
        if (p == MAP_FAILED) return false;
        data_ = static_cast<unsigned char*>(p);
        size_ = size;
        return true;
    }
    void reset() {
        if (data_) ::munmap(data_, size_);
        data_ = nullptr;
    }
    unsigned char* data() const { return data_; }
    size_t size() const { return data_ ? size_ : 0; }
    // Hands the pages to the caller, who unmaps them (size() bytes).
    unsigned char* release() { return std::exchange(data_, nullptr); }

private:
    unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace sys
}  // namespace zorv

#endif
