// Internal helpers of the high-level data interface: typed access to the
// records a result entry points to, per-layout views of a channel block that
// never reach past the block's `ldata`, and bounded text handling for names
// stored in fixed-size fields.
#ifndef ZORV_DAQ_DATA_IMPL_H
#define ZORV_DAQ_DATA_IMPL_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "event_util.h"
#include "zorv_layout.h"

namespace zorv {
namespace hl {

// Record at an address held in a result entry's 64-bit pointer field.
template <class T>
T* at_address(uint64_t a) {
    return reinterpret_cast<T*>(static_cast<uintptr_t>(a));
}

inline zorv_eventheader* event_header_of(const zorv_channel_entry_long* e) {
    return e ? at_address<zorv_eventheader>(e->sbchdata[0].evhd) : nullptr;
}

// True when an event header marks the legacy layout of the blocks behind it.
inline bool is_legacy_event(const zorv_eventheader* h) {
    return h && h->pattern == layout_legacy::pattern_event;
}

// Layout selector of the event-format library for layout L.
template <class L>
constexpr int layout_sel() {
    return L::legacy ? ZORV_LAYOUT_LEGACY : ZORV_LAYOUT_CURRENT;
}

// Per-layout texts of the decoder's messages.
template <class L>
struct texts;
template <>
struct texts<layout_legacy> {
    static constexpr const char* no_srvb = "zorv_daq_getdata::SetHead: srvb pointer = NULL";
    static constexpr const char* no_chan_header = " ChanHeader == NULL";
};
template <>
struct texts<layout_current> {
    static constexpr const char* no_srvb = "zorv_daq_getdata::SetHead_2010: srvb pointer = NULL";
    static constexpr const char* no_chan_header = " ChanHeader_2010 == NULL";
};

// A channel block: sub-header of layout L followed by its payload, `ldata`
// bytes in all. Every payload access is bounded by that length; a block whose
// `ldata` does not exceed its sub-header has no payload.
template <class L>
struct block {
    using subhead = typename L::subhead;
    const subhead* hdr = nullptr;

    block() = default;
    explicit block(const void* h) : hdr(static_cast<const subhead*>(h)) {}

    explicit operator bool() const { return hdr != nullptr; }
    int type() const { return hdr ? hdr->dtype & 0xFFFF : -1; }
    size_t payload_len() const {
        if (!hdr) return 0;
        const uint32_t total = static_cast<uint32_t>(hdr->ldata);
        return total > uint32_t(L::subhead_size) ? size_t(total - uint32_t(L::subhead_size)) : 0;
    }
    char* payload() const {
        return payload_len() ? reinterpret_cast<char*>(const_cast<subhead*>(hdr)) + L::subhead_size
                             : nullptr;
    }
    // Payload as a record of type T when it holds at least `size` bytes.
    template <class T>
    T* record(size_t size = sizeof(T)) const {
        return payload_len() >= size ? reinterpret_cast<T*>(payload()) : nullptr;
    }
    // The update record of an update block of this layout, or null.
    typename L::upd_block* update() const {
        return type() == L::upd_type ? record<typename L::upd_block>() : nullptr;
    }
};

// The name/value block behind a sub-header, with its records checked to lie
// inside the payload; null when the block is not a name/value block or its
// count does not fit.
template <class L>
zorv_name_value_block* name_value_of(const block<L>& b) {
    constexpr size_t head = offsetof(zorv_name_value_block, data);
    if (b.type() != ZORV_BLOCK_NAME_VALUE) return nullptr;
    auto* nv = b.template record<zorv_name_value_block>(head);
    if (!nv || nv->ndata < 0) return nullptr;
    const uint64_t need = uint64_t(nv->ndata) * sizeof(zorv_name_value_channel);
    return need <= b.payload_len() - head ? nv : nullptr;
}

// Length of the text in a field of `field` bytes of which `avail` are
// readable.
inline size_t text_len(const char* p, size_t field, size_t avail) {
    return p ? strnlen(p, field < avail ? field : avail) : 0;
}

// True when the text in the field equals `s` exactly; a field filled to its
// end without a terminator holds a name of the field's full width.
inline bool text_equals(const char* p, size_t field, size_t avail, const char* s) {
    if (!p || !s) return false;
    const size_t n = text_len(p, field, avail);
    return n == std::strlen(s) && std::memcmp(p, s, n) == 0;
}

// The text of a field as a terminated string: the field itself when it is
// terminated within its readable bytes, otherwise a copy kept in `store`.
inline char* terminated_text(char* p, size_t field, size_t avail, std::string* store) {
    const size_t lim = field < avail ? field : avail;
    if (!p) return nullptr;
    if (strnlen(p, lim) < lim) return p;
    store->assign(p, lim);
    return &(*store)[0];
}

}  // namespace hl
}  // namespace zorv

#endif
