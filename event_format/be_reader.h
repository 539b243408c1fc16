// Bounds-checked big-endian access to file bytes. Every on-file read of the
// library goes through these helpers, so that no position, length or count
// taken from a file can lead outside a buffer. Range checks are written so
// that they cannot overflow: off <= size && len <= size - off.
#ifndef ZORV_BE_READER_H
#define ZORV_BE_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zorv {

// True when [off, off + len) lies inside a region of `size` bytes.
constexpr bool in_range(uint64_t off, uint64_t len, uint64_t size) {
    return off <= size && len <= size - off;
}

inline uint32_t load_be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void store_be32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// A read-only view of bytes with checked big-endian reads. A failed read
// leaves the view's `ok()` false and returns 0, so a sequence of reads can be
// checked once at the end. A view of bytes read or mapped from a file also
// knows the file position of its first byte, so that positions a file's
// tables give can be looked up in it directly (at()).
class be_reader {
public:
    be_reader() = default;
    be_reader(const void* data, size_t size, uint64_t file_pos = 0)
        : data_(static_cast<const unsigned char*>(data)), size_(size), file_pos_(file_pos) {}

    size_t size() const { return size_; }
    const unsigned char* data() const { return data_; }
    bool ok() const { return ok_; }
    // File position of the view's first byte.
    uint64_t file_pos() const { return file_pos_; }

    bool has(uint64_t off, uint64_t len) const { return in_range(off, len, size_); }

    uint32_t u32(uint64_t off) {
        if (!has(off, 4)) {
            ok_ = false;
            return 0;
        }
        return load_be32(data_ + off);
    }
    int32_t i32(uint64_t off) { return static_cast<int32_t>(u32(off)); }
    float f32(uint64_t off) {
        uint32_t w = u32(off);
        float f;
        std::memcpy(&f, &w, sizeof f);
        return f;
    }
    // Copies a character array of `len` bytes into dst (no byte swapping).
    bool chars(uint64_t off, char* dst, size_t len) {
        if (!has(off, len)) {
            ok_ = false;
            return false;
        }
        std::memcpy(dst, data_ + off, len);
        return true;
    }
    // A sub-view of [off, off + len), empty and failed when out of range.
    be_reader sub(uint64_t off, uint64_t len) {
        if (!has(off, len)) {
            ok_ = false;
            return be_reader();
        }
        return be_reader(data_ + off, static_cast<size_t>(len), file_pos_ + off);
    }
    // Pointer to [off, off + len) or null when out of range.
    const unsigned char* span(uint64_t off, uint64_t len) const {
        return data_ && has(off, len) ? data_ + off : nullptr;
    }
    // Pointer to the bytes of file positions [pos, pos + len), or null when
    // they are not all inside the view.
    const unsigned char* at(uint64_t pos, uint64_t len) const {
        return pos >= file_pos_ ? span(pos - file_pos_, len) : nullptr;
    }

private:
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
    uint64_t file_pos_ = 0;
    bool ok_ = true;
};

}  // namespace zorv

#endif
