// A channel block in memory after conversion: the sub-header of layout L
// followed by its host-order payload, `ldata` bytes in all. Every payload
// access is bounded by that length; a block whose `ldata` does not cover its
// sub-header has no payload. Shared by the payload conversion and the
// high-level decoder. Internal; not installed.
#ifndef ZORV_BLOCK_VIEW_H
#define ZORV_BLOCK_VIEW_H

#include <cstddef>
#include <cstdint>

#include "be_reader.h"
#include "event_util.h"
#include "zorv_layout.h"

namespace zorv {

template <class L>
class block_view {
public:
    using subhead = typename L::subhead;
    static constexpr size_t head_size = sizeof(subhead);

    block_view() = default;
    explicit block_view(const void* h) : hdr_(static_cast<const subhead*>(h)) {}

    explicit operator bool() const { return hdr_ != nullptr; }
    subhead* head() const { return const_cast<subhead*>(hdr_); }
    int dtype() const { return hdr_ ? hdr_->dtype : -1; }
    // The block type: the low 16 bits of dtype; -1 without a block.
    int type() const { return hdr_ ? hdr_->dtype & 0xFFFF : -1; }
    // True when the block's length covers at least its own sub-header.
    bool whole() const { return hdr_ && hdr_->ldata >= int32_t(head_size); }
    // The sub-header's bytes and the payload's, for the copies made of a block.
    unsigned char* bytes() const { return reinterpret_cast<unsigned char*>(head()); }
    size_t size() const { return whole() ? size_t(hdr_->ldata) : 0; }
    size_t payload_len() const { return whole() ? size() - head_size : 0; }
    // The payload; null when there is none.
    unsigned char* payload() const { return payload_len() ? bytes() + head_size : nullptr; }
    // True when [off, off + len) of the payload lies inside it.
    bool holds(size_t off, size_t len) const { return in_range(off, len, payload_len()); }
    // True when the `len` bytes at `p` lie inside the payload.
    bool contains(const void* p, size_t len) const {
        const auto* q = static_cast<const unsigned char*>(p);
        const unsigned char* start = payload();
        return start && q >= start && holds(size_t(q - start), len);
    }
    // The payload as characters (texts and the decoder's data pointer).
    char* chars() const { return reinterpret_cast<char*>(payload()); }
    // The payload as a record of type T when it holds at least `size` bytes.
    template <class T>
    T* record(size_t size = sizeof(T)) const {
        return payload_len() >= size ? reinterpret_cast<T*>(payload()) : nullptr;
    }
    // The update record of an update block of this layout, or null.
    typename L::upd_block* update() const {
        return type() == L::upd_type ? record<typename L::upd_block>() : nullptr;
    }

private:
    const subhead* hdr_ = nullptr;
};

}  // namespace zorv

#endif
