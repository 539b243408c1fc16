// What the parts of zorv::read_chan share: the memory of decoded entries,
// the view of a basket held in memory, time arithmetic, and the entry store.
// Internal to the library.
#ifndef ZORV_CORE_READ_CHAN_PARTS_H
#define ZORV_CORE_READ_CHAN_PARTS_H

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "be_reader.h"
#include "core/layout_text.h"
#include "sys/block_pool.h"
#include "sys/clock.h"
#include "sys/lock.h"
#include "zorv_read_chan_core.h"
#include "zorv_table_set.h"

namespace zorv {
namespace read_chan_detail {

using sys::mutex_lock;
using sys::stopwatch;


// An entry's memory lies either in its reader's region, which goes back
// whole in clean(), or on the heap.
struct entry_deleter {
    const block_region* region = nullptr;
    void operator()(unsigned char* p) const {
        if (!region || !region->contains(p)) std::free(p);
    }
};
using buffer = std::unique_ptr<unsigned char, entry_deleter>;

inline buffer alloc_zeroed(size_t n) {
    return buffer(static_cast<unsigned char*>(std::calloc(1, n ? n : 1)));
}

inline void free_entry_part(uint64_t addr, const block_region* region) {
    entry_deleter{region}(reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(addr)));
}

constexpr size_t round16(size_t n) { return (n + 15) & ~size_t(15); }

// Neither compressor expands data by more than about 1032 times.
inline bool plausible_expansion(uint64_t orig, uint64_t zipped, int sh_size) {
    return orig <= zipped * 1032u + 4096u && orig <= uint64_t(std::numeric_limits<int>::max() - sh_size);
}

// Workers need little stack (the decoders keep their state on the heap).
// With the default of several megabytes, the C library keeps only a few
// exited workers' stacks for reuse, and every file's workers would map and
// fault in new ones.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZORV_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define ZORV_SANITIZED_BUILD 1
#endif
#endif

inline void set_worker_stack(pthread_attr_t& attr) {
#ifndef ZORV_SANITIZED_BUILD
    pthread_attr_setstacksize(&attr, size_t(1) << 20);
#else
    (void)attr;  // instrumented code needs more
#endif
}

inline unsigned long thread_id() { return static_cast<unsigned long>(pthread_self()); }

inline pthread_t free_slot() { return static_cast<pthread_t>(-1); }

// The view of a basket that sits at `basket`, where `base` (the start of
// its mapping, or the basket itself when copied; null means the same) holds
// file position `offset`. The basket's own length word bounds it, and the
// file bounds that.
inline be_reader basket_window(const void* basket, const unsigned char* base, u_long offset,
                               uint64_t file_len) {
    if (!basket) return {};
    auto* b = static_cast<const unsigned char*>(basket);
    uint64_t pos = offset + static_cast<uint64_t>(base ? b - base : 0);
    uint64_t size = load_be32(b + 4);
    size = pos > file_len ? 0 : std::min(size, file_len - pos);
    return be_reader(b, size_t(size), pos);
}

using sys::from_micros;
using sys::micros;
using sys::to_micros;

// t - step, carrying at one second; a step past the epoch gives time 0.
inline time_stamp step_back(const time_stamp& t, const time_stamp& step) {
    const uint64_t a = to_micros(t), s = to_micros(step);
    return from_micros(a > s ? a - s : 0);
}

inline time_stamp step_forward(const time_stamp& t, const time_stamp& step) {
    return from_micros(to_micros(t) + to_micros(step));
}

// Payload layout for the block types both layouts use (24 .. 28); the
// others tell their layout by their code.
template <class L>
constexpr int payload_layout(int type) {
    if (type < ZORV_BLOCK_IMG_ROI1 || type > ZORV_BLOCK_GENERIC_SPECT) return ZORV_LAYOUT_AUTO;
    return L::payload_selector;
}

}  // namespace read_chan_detail

// Where a reader's decoded entries live: one slot per entry in one region,
// each with room for the two header copies and the block its sub-header
// announces. A block that turns out larger than its slot (a damaged or
// changing file) is taken from the heap instead.
template <class L>
struct read_chan<L>::entry_store {
    static constexpr size_t evh_room = read_chan_detail::round16(sizeof(zorv_eventheader));
    static constexpr size_t sbh_room = read_chan_detail::round16(L::sbhead_size);
    enum class part { evh, sbh, block };

    // The region holds the result array, then the header copies of every
    // entry (together, so that entries whose blocks are never written touch
    // no page of the block area), then the blocks.
    block_region region;
    int count = 0;
    std::vector<uint64_t> block_at;  // where each entry's block starts, then the end
    block_region basket;             // the channel basket's copy, until every entry is decoded

    static size_t result_bytes(int n) { return read_chan_detail::round16(size_t(n) * sizeof(zorv_channel_entry_long)); }
    static uint64_t header_bytes(int n) { return uint64_t(n) * (evh_room + sbh_room); }
    bool ready() const { return region && count > 0 && block_at.size() == size_t(count) + 1; }

    // The zeroed result array at the head of the region, or null.
    void* result_array() const {
        if (!ready()) return nullptr;
        std::memset(region.data, 0, result_bytes(count));
        return region.data;
    }

    // Room for `n` bytes of a part of entry i, or null.
    unsigned char* slot(int i, part p, size_t n) const {
        if (!ready() || i < 0 || i >= count) return nullptr;
        const uint64_t heads = result_bytes(count);
        if (p == part::evh) return n <= evh_room ? region.data + heads + uint64_t(i) * evh_room : nullptr;
        if (p == part::sbh)
            return n <= sbh_room ? region.data + heads + uint64_t(count) * evh_room + uint64_t(i) * sbh_room
                                 : nullptr;
        return n <= block_at[size_t(i) + 1] - block_at[size_t(i)] ? region.data + block_at[size_t(i)] : nullptr;
    }
};

}  // namespace zorv

#endif
