// zorv::read_chan: where the decoded entries live (one region sized from
// the sub-headers, the heap for what does not fit), and giving it back.
#include <sys/mman.h>

#include <new>

#include "core/read_chan_parts.h"

namespace zorv {


namespace read_chan_detail {

// The most a compressed block may claim to expand and still get a slot.
constexpr uint64_t reserved_expansion = 64;

// Bytes the decoded block of entry i will take, read from its sub-header
// (and zip header); 0 when they cannot be read. An estimate only: the
// decoding checks everything again.
template <class L>
uint64_t decoded_block_bytes(read_chan<L>& rc, int i, const be_reader& chn) {
    constexpr int sh = L::subhead_size;
    const zorv_event_chan_ptr_entry* p = rc.get_data_table_pointer(i);
    const unsigned char* h = p ? chn.at(p->chhd, sh) : nullptr;
    if (!h) return 0;
    using subhead = typename L::subhead;
    const uint32_t error = load_be32(h + offsetof(subhead, error));
    const int type = int(load_be32(h + offsetof(subhead, dtype)) & 0xFFFF);
    if (error & ZORV_CHAN_ZIP_FLAG) {
        const uint64_t zpos = uint64_t(p->chhd) + sh;
        const unsigned char* z = chn.at(zpos, sizeof(zorv_zip_header));
        if (!z) return 0;
        const uint32_t orig = load_be32(z + offsetof(zorv_zip_header, orig_length));
        const uint32_t zipped = load_be32(z + offsetof(zorv_zip_header, zipp_length));
        // Data that claims to expand far more than these blocks do is given
        // no slot (the heap serves it if it is real): a damaged or forged
        // header must not reserve memory in proportion to what it claims.
        if (!chn.at(zpos + sizeof(zorv_zip_header), zipped) || !plausible_expansion(orig, zipped, sh) ||
            orig > uint64_t(zipped) * reserved_expansion + (uint64_t(64) << 10))
            return 0;
        return uint64_t(orig) + sh;
    }
    if (L::is_update_type(type) || type == ZORV_ENV_BLOCK) return uint64_t(sh) + L::upd_size;
    const uint32_t ldata = load_be32(h + offsetof(subhead, ldata));
    return ldata >= uint32_t(sh) && chn.at(p->chhd, ldata) ? ldata : 0;
}

// A reader's region is not made larger than this; past it every entry comes
// from the heap, as each is checked on its own.
constexpr uint64_t max_region = uint64_t(1) << 36;

// How many times its basket a channel's decoded blocks are taken to need at
// most when the region is faulted in ahead of the workers; what the blocks
// claim beyond that is faulted in as it is written. A forged claim of
// expansion then costs address space, not memory.
constexpr uint64_t populated_expansion = 4;

}  // namespace read_chan_detail

template <class L>
void read_chan<L>::reserve_entry_memory() {
    using read_chan_detail::round16;
    entry_store* store = store_;
    const auto chn = read_chan_detail::basket_window(chnb, chn_base, chn_offset, uint32_t(len));
    std::vector<uint64_t>& block_at = store->block_at;
    try {
        block_at.resize(size_t(out_total) + 1);
    } catch (const std::bad_alloc&) {
        block_at.clear();
        return;
    }
    uint64_t at = entry_store::result_bytes(out_total) + entry_store::header_bytes(out_total);
    for (int i = 0; i < out_total; ++i) {
        block_at[size_t(i)] = at;
        at += round16(read_chan_detail::decoded_block_bytes(*this, i, chn));
        if (at > read_chan_detail::max_region) {  // no region: all from the heap
            block_at.clear();
            return;
        }
    }
    block_at[size_t(out_total)] = at;
    store->count = out_total;
    const uint64_t heads = block_at[0];
    const uint64_t sure = heads + read_chan_detail::populated_expansion * uint64_t(chn_base_size);
    store->region = take_region(size_t(at), size_t(std::min(at, sure)));
}

template <class L>
block_region read_chan<L>::take_region(size_t n, size_t populate) {
    return pool_ ? pool_->take(n, populate) : map_block_region(n, populate);
}

template <class L>
void read_chan<L>::give_back(block_region& r) {
    if (!r) return;
    if (pool_) pool_->give_back(r);
    else unmap_block_region(r);
    r = {};
}

// Once every entry is decoded nothing reads the channel basket again, and
// holding on to it would keep the channel's data twice in memory. A mapping
// drops its pages (they come back from the file if read); a copy goes back
// to the pool for the next channel's basket, and chnb is null from then on.
// Called under mx.
template <class L>
void read_chan<L>::release_basket() {
    if (chn_base) {
        madvise(chn_base, chn_base_size, MADV_DONTNEED);
    } else if (store_ && store_->basket) {
        give_back(store_->basket);
        chnb = nullptr;
    }
}

template <class L>
size_t read_chan<L>::entry_memory() const {
    return store_ ? store_->region.size : 0;
}

// After the workers have ended: frees what came from the heap and hands the
// regions back.
template <class L>
void read_chan<L>::release_entry_memory() {
    const block_region* region = store_ ? &store_->region : nullptr;
    if (out) {
        for (int i = 0; i < out_total; ++i) {
            const auto& e = out[i].sbchdata[0];
            read_chan_detail::free_entry_part(e.chhd, region);
            read_chan_detail::free_entry_part(e.evhd, region);
            read_chan_detail::free_entry_part(e.sbhd, region);
        }
    }
    if (out && !(store_ && store_->region.contains(out))) std::free(out);
    out = nullptr;
    if (!store_) return;
    give_back(store_->region);
    give_back(store_->basket);
    delete store_;
    store_ = nullptr;
}

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_READ_CHAN_STORE(L) \
    template void read_chan<L>::reserve_entry_memory(); \
    template block_region read_chan<L>::take_region(size_t, size_t); \
    template void read_chan<L>::give_back(block_region&); \
    template void read_chan<L>::release_basket(); \
    template size_t read_chan<L>::entry_memory() const; \
    template void read_chan<L>::release_entry_memory();
ZORV_READ_CHAN_STORE(layout_current)
ZORV_READ_CHAN_STORE(layout_legacy)
#undef ZORV_READ_CHAN_STORE

}  // namespace zorv
