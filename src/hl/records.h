// Internal helpers of the high-level data interface: typed access to the
// records a result entry points to, the name/value records of a block, and
// bounded text handling for names stored in fixed-size fields.
#ifndef ZORV_HL_RECORDS_H
#define ZORV_HL_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "block_view.h"
#include "core/layout_text.h"
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

// The name/value block behind a sub-header, with its records checked to lie
// inside the payload; null when the block is not a name/value block or its
// count does not fit.
template <class L>
zorv_name_value_block* name_value_of(const block_view<L>& b) {
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
