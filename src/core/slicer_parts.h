// What the parts of zorv::slicer share: start statuses, the loading of a
// table set, and the records of the walk forward. Internal to the library.
#ifndef ZORV_CORE_SLICER_PARTS_H
#define ZORV_CORE_SLICER_PARTS_H

#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "core/layout_text.h"
#include "sys/block_pool.h"
#include "sys/clock.h"
#include "sys/lock.h"
#include "zorv_daq_read_chan.h"
#include "zorv_daq_read_chan_2010.h"
#include "zorv_slicer_core.h"
#include "zorv_worker_limit.h"

namespace zorv {

using sys::mutex_lock;
using sys::timing_clock_us;

namespace slicer_detail {

// A channel reader's start status that means "this file holds nothing of
// the channel", so the channel moves on to the next file. A channel missing
// from one file's dictionary altogether (a device that was off for a while)
// counts too: dropping it would lose its data in every later file.
inline bool file_lacks_channel(int status) {
    return status == ZORV_DAQ_READ_CHAN_NO_DATA || status == ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW ||
           status == ZORV_DAQ_READ_CHAN_NOT_FOUND;
}

// The table thread keeps at most this many loaded, unclaimed table sets.
constexpr int max_ready_ahead = 3;

inline double exact_us(const zorv_time_id& id) {
    return id.time.timeup * 1e6 + id.time.timelow;
}

// Whether e is the last (for NEXT) or first (for PREV) entry of its
// reader's file.
template <class R>
bool at_file_edge(const R* r, const zorv_channel_entry_long* e, int request) {
    if (!r->out || r->out_total <= 0) return false;
    if (request == ZORV_DAQ_READ_CHAN_EVENT_NEXT) return e == r->out + r->out_total - 1;
    return request == ZORV_DAQ_READ_CHAN_EVENT_PREV && e == r->out;
}

inline bool valid_request(int r) {
    return r >= ZORV_DAQ_READ_CHAN_EVENT_FIRST && r <= ZORV_DAQ_READ_CHAN_EVENT_LAST;
}

inline unsigned identity(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

// Every channel has moved on from a file. What its channel readers took from
// the heap (result arrays, basket copies, blocks that did not fit their
// slots) was freed by many threads into as many allocator arenas, where the
// next file's threads often do not find it again: give the free memory back,
// so that a long run holds about one file's data instead of a high-water
// mark that creeps up from file to file.
inline void return_free_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// The most a channel's previous reader may hold for its next one to be
// started ahead of its turn.
constexpr size_t ahead_memory = size_t(16) << 20;

// Channels are decoded one after the other, each by its workers and this
// thread: more workers than processors only add thread starts (expensive on
// virtual machines) and switches, never speed.
inline int workers_per_channel() {
    const int n = std::min(usable_processors(), 10);
    const int cap = worker_limit.load(std::memory_order_relaxed);
    return cap > 0 && cap < n ? cap : n;
}

// Whether a file's dictionary lists the channel with entries.
template <class L>
bool has_entries(const typename L::cdt* cdt, const char* name) {
    typename L::cdt_entry* e = nullptr;
    return cdt && L::find_channel_by_name(cdt, name, &e) >= 0 && e && e->count > 0;
}

constexpr const char* no_selected_channel = "holds none of the selected channels";

// Whether a file's dictionary lists any of the channels at all.
template <class L>
bool holds_any(const typename L::cdt* cdt, const std::vector<char*>* chans) {
    if (!cdt || !chans) return false;
    for (const char* name : *chans) {
        typename L::cdt_entry* e = nullptr;
        if (name && L::find_channel_by_name(cdt, name, &e) >= 0) return true;
    }
    return false;
}

// Loads the table set of `file` for the channels; null with the reason when
// the file cannot be used.
template <class L, class T>
T* load_tables(const char* file, int mode, int debug, std::vector<char*>* chans, const char** why) {
    auto* ts = new (std::nothrow) T(mode);
    if (!ts) {
        *why = "out of memory";
        return nullptr;
    }
    ts->debug = debug;
    const int rc = ts->get_all_tables(const_cast<char*>(file), 0, chans);
    *why = rc != 0 ? table_set_failure(rc) : !holds_any<L>(ts->get_cdt_table(), chans) ? no_selected_channel : nullptr;
    if (!*why) return ts;
    ts->clean_up();
    delete ts;
    return nullptr;
}

// Called with tmx held: records that files[file] is passed over, once, and
// says so.
template <class L>
void note_skip(tables_task<L>* t, int file, const char* why) {
    for (const auto& k : t->skipped)
        if (k.first == file) return;
    try {
        t->skipped.emplace_back(file, why);
    } catch (const std::bad_alloc&) {
    }
    printf("Skipping file %s: %s\n", (*t->files)[size_t(file)], why);
}

template <class R>
int entries_of(const R* r) {
    return r->out_total;
}

template <class T>
const char* file_of(T* t) {
    const char* n = t ? t->get_file_name() : nullptr;
    return n ? n : "";
}

}  // namespace slicer_detail

// The event being chosen by get_data.
template <class L>
struct slicer<L>::candidate {
    zorv_time_id id{};
    bool set = false;
    const void* file = nullptr;  // table set of the channel the event came from
};

// Where a channel stood after an event of the walk forward: its file (index
// into files, -1 without a reader), the entry its reader stood at, the
// reader's current event, the entry handed out at the event and the one it
// last handed out in that file (indices into the reader's entries, -1 for
// none), and its state at the event. The walk's next step depends on nothing
// else, so putting every channel back there makes the walk go on as it did.
template <class L>
struct slicer<L>::chan_pos {
    int file = -1;
    int cur = -1;
    int given = -1;
    int last = -1;
    int state = ZORV_DAQ_CHAN_NO_ENTRY;
    zorv_time_id event_cur{};
};

// One event of the walk forward: its time, and where every channel stood
// after it.
template <class L>
struct slicer<L>::walk_event {
    zorv_time_id id{};
    std::vector<chan_pos> pos;
};

namespace slicer_detail {

inline bool same_id(const zorv_time_id& a, const zorv_time_id& b) {
    return a.event_number == b.event_number && a.time.timeup == b.time.timeup && a.time.timelow == b.time.timelow;
}

template <class R>
int index_in(const R* r, const zorv_channel_entry_long* e) {
    return r && r->out && e && e >= r->out && e < r->out + r->out_total ? int(e - r->out) : -1;
}

template <class R>
zorv_channel_entry_long* entry_at(R* r, int k) {
    return r && r->out && k >= 0 && k < r->out_total ? r->out + k : nullptr;
}

// Memory the walk forward's events may take for turning back (at least a
// few thousand events are always kept); beyond that a walk steps on its own,
// so that a long read by time stays within the reader's memory bound.
constexpr size_t history_bytes = size_t(64) << 20;
constexpr size_t history_min_events = size_t(1) << 12;

}  // namespace slicer_detail

}  // namespace zorv

#endif
