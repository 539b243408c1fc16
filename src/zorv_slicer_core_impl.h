// Member definitions of zorv::slicer<L>; included by the two slicer units,
// which instantiate it for their layout.
#ifndef ZORV_SLICER_CORE_IMPL_H
#define ZORV_SLICER_CORE_IMPL_H

#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <unistd.h>

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
#include "zorv_pthread_util.h"
#include "zorv_slicer_core.h"
#include "zorv_worker_limit.h"

namespace zorv {

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
    static const int n = [] {
        const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        return int(cpus < 1 ? 1 : cpus > 10 ? 10 : cpus);
    }();
    const int cap = worker_limit.load(std::memory_order_relaxed);
    return cap > 0 && cap < n ? cap : n;
}

// Whether a file's dictionary lists the channel with entries.
template <class L>
bool has_entries(const typename L::cdt* cdt, const char* name) {
    typename L::cdt_entry* e = nullptr;
    return cdt && L::find_channel_by_name(cdt, name, &e) >= 0 && e && e->count > 0;
}

// Why a file's table set could not be loaded, by the loader's status.
struct load_failure {
    int status;
    const char* reason;
};
constexpr load_failure load_failures[] = {
    {1, "no file name"},
    {-2, "cannot be opened"},
    {-3, "cannot be mapped"},
    {-4, "damaged event-header basket"},
    {-5, "damaged event-header basket"},
    {-6, "damaged server-block basket"},
    {-7, "damaged server-block basket"},
};
constexpr const char* damaged_tables = "damaged tables";
constexpr const char* no_selected_channel = "holds none of the selected channels";

inline const char* load_failure_reason(int status) {
    for (const auto& f : load_failures)
        if (f.status == status) return f.reason;
    return damaged_tables;
}

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
    *why = rc != 0 ? load_failure_reason(rc) : !holds_any<L>(ts->get_cdt_table(), chans) ? no_selected_channel : nullptr;
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

template <class L>
slicer<L>::slicer() {
    pthread_mutex_init(&tmx, nullptr);
    pthread_cond_init(&tcond, nullptr);
    event_time_diff = {0, L::text::slicer_tolerance_us};
    time_diff = L::text::slicer_tolerance_us;
    event_step = {1, {0, L::text::slicer_step_us}};
    pool_ = new (std::nothrow) block_pool;
}

template <class L>
slicer<L>::~slicer() {
    clean_up();
    delete pool_;
    pthread_cond_destroy(&tcond);
    pthread_mutex_destroy(&tmx);
}

// ---------------------------------------------------------------------------
// Configuration
// ---------------------------------------------------------------------------

template <class L>
int slicer<L>::init(std::vector<char*>* file_list, std::vector<chan_param_t*>* chan_list, int m) {
    if (!file_list || !chan_list) return ZORV_DAQ_SLICER_INV_PARAM;
    clean_up();
    for (const char* f : *file_list) {
        if (!f || !*f) continue;
        size_t n = strlen(f) + 1;
        char* copy = static_cast<char*>(malloc(n));
        if (!copy) {
            printf(L::text::slicer_init_file_alloc, static_cast<int>(n), f);
            clean_up();
            return ZORV_DAQ_SLICER_INTERN_ERROR;
        }
        memcpy(copy, f, n);
        files.push_back(copy);
    }
    for (const chan_param_t* p : *chan_list) {
        if (!p) continue;
        auto* copy = static_cast<chan_param_t*>(malloc(sizeof(chan_param_t)));
        if (!copy) {
            printf(L::text::slicer_init_chan_alloc, p->name);
            clean_up();
            return ZORV_DAQ_SLICER_INTERN_ERROR;
        }
        *copy = *p;
        chans.push_back(copy);
        chansp.push_back(copy->name);
    }
    mode = m;
    if (files.empty() || chans.empty()) {
        if constexpr (L::text::slicer_says_empty_request_in_one_line) {
            printf("SLICER: either no files (%d) or channels: (%d)\n", static_cast<int>(files.size()),
                   static_cast<int>(chans.size()));
        } else {
            if (files.empty()) printf("SLICER:  no files found\n");
            if (chans.empty()) printf("SLICER:  no channels in request, Pleas, add some\n");
        }
        return ZORV_DAQ_SLICER_NO_DATA;
    }
    get_tables_num = static_cast<int>(files.size());
    nchans = static_cast<int>(chans.size());
    return ZORV_DAQ_SLICER_OK;
}

// The slot array is sized when the slicer starts; its count cannot change
// afterwards.
template <class L>
int slicer<L>::set_num_of_get_tables(int n) {
    if (n < 1) return ZORV_DAQ_SLICER_INV_PARAM;
    if (started()) return ZORV_DAQ_SLICER_NOT_ALLOWED;
    get_tables_num = n;
    return ZORV_DAQ_SLICER_OK;
}

template <class L>
int slicer<L>::set_synch_mode(int m) {
    if (started()) return ZORV_DAQ_SLICER_NOT_ALLOWED;
    if (m == ZORV_DAQ_SLICER_SYNCH_MODE_EVID || m == ZORV_DAQ_SLICER_SYNCH_MODE_TIME) synch_mode = m;
    return ZORV_DAQ_SLICER_OK;
}

template <class L>
int slicer<L>::set_time_diff(time_stamp* tm) {
    if (started()) return ZORV_DAQ_SLICER_NOT_ALLOWED;
    if (!tm) return ZORV_DAQ_SLICER_INV_PARAM;
    event_time_diff = *tm;
    time_diff = tm->timeup * 1e6 + tm->timelow;
    return ZORV_DAQ_SLICER_OK;
}

template <class L>
int slicer<L>::set_event_step(zorv_time_id* step) {
    if (started()) return ZORV_DAQ_SLICER_NOT_ALLOWED;
    if (!step) return ZORV_DAQ_SLICER_INV_PARAM;
    event_step = *step;
    return ZORV_DAQ_SLICER_OK;
}

template <class L>
const char* slicer<L>::get_name_of_empty_channel() const {
    if (nchans == 0 || !read_chans) return "No channels created";
    for (int i = 0; i < nchans; ++i) {
        if (!read_chans[i] || slicer_detail::entries_of(read_chans[i]) == 0) return chan_name(i);
    }
    return "No channels known without events";
}

// ---------------------------------------------------------------------------
// Start
// ---------------------------------------------------------------------------

template <class L>
int slicer<L>::start() {
    if (files.empty() || chans.empty()) return ZORV_DAQ_SLICER_NO_DATA;
    if (started()) return ZORV_DAQ_SLICER_NOT_ALLOWED;
    get_tables = static_cast<tables_t**>(calloc(get_tables_num, sizeof(tables_t*)));
    if (!get_tables) {
        perror("malloc");
        printf("Failed to allocate get_tables pointers\n");
        return ZORV_DAQ_SLICER_INTERN_ERROR;
    }
    task.slicer = this;
    task.files = &files;
    task.chans = &chansp;
    task.get_tables = get_tables;
    task.get_tables_num = get_tables_num;
    task.tmx = &tmx;
    task.tcond = &tcond;
    task.ready = 0;
    task.go = get_tables_num;
    task.mode = mode;
    task.stop = 0;
    task.status = 0;
    task.next = 0;
    task.waiting = 0;
    task.done = 0;
    task.running = 1;
    task.loading_slot = -1;
    task.skipped.clear();
    track_.assign(size_t(nchans), chan_track{});
    chan_skips_.clear();

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
    pthread_attr_setdetachstate(&attr, L::text::slicer_detached_thread ? PTHREAD_CREATE_DETACHED
                                                                          : PTHREAD_CREATE_JOINABLE);
    int rc = pthread_create(&tid, &attr, &slicer::thread_entry, &task);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        tid = 0;
        task.running = 0;
        printf("failed to start table_thread thread\n");
        return ZORV_DAQ_SLICER_INTERN_ERROR;
    }

    // The first file that can be used; those before it are reported skipped.
    tables_t* first = nullptr;
    for (int k = 0; k < static_cast<int>(files.size()) && !first; ++k) first = usable_table(-1, k);
    if (!first) return ZORV_DAQ_SLICER_NO_DATA;
    start_tables_ = first;

    read_chans = static_cast<reader_t**>(calloc(nchans, sizeof(reader_t*)));
    if (!read_chans) {
        perror("malloc");
        printf("Failed to allocate read_chans pointers\n");
        return ZORV_DAQ_SLICER_INTERN_ERROR;
    }
    for (int i = 0; i < nchans; ++i) {
        int r = create_channel(i, first);
        if (r != 0) {
            start_tables_ = nullptr;
            if (L::text::talks_with_debug && debug != 0) printf("CREATE_CHANNEL[%d] failed\n", i);
            return r;
        }
        start_one_channel(i);
    }
    start_tables_ = nullptr;
    drop_ahead(nullptr);  // started for a channel that went elsewhere
    release_spare_memory();
    next_file_ahead_due_ = true;
    if (!L::text::slicer_drops_failed_channel && !not_found_channels.empty()) return ZORV_DAQ_SLICER_NO_DATA;
    // A slicer started again after clean_up begins with its first event too.
    first_event = 1;
    history_.clear();
    history_at_ = -1;
    history_complete_ = false;
    at_frontier_ = false;
    set_starting_point();
    return ZORV_DAQ_SLICER_OK;
}

// Starts channel i at its first entry, moving it through the files until one
// has entries; a channel that fails or has entries nowhere is dropped.
template <class L>
int slicer<L>::start_one_channel(int i) {
    for (int switches = 0;; ++switches) {
        int s = start_channel(i, ZORV_DAQ_READ_CHAN_EVENT_FIRST);
        if (s == 0) return 0;
        const bool lacks = slicer_detail::file_lacks_channel(s);
        if (!lacks && read_chans[i]) note_channel_skip(i, static_cast<tables_t*>(read_chans[i]->get_cfg()), s);
        if (change_config(i, ZORV_DAQ_READ_CHAN_EVENT_NEXT, switches == 0 ? 0 : 1) != 0) {
            drop_at_start(i, s, lacks);
            return s;
        }
    }
}

template <class L>
void slicer<L>::drop_at_start(int i, int status, bool no_file) {
    bool say = L::text::reports_without_debug || debug != 0;
    if (say && no_file) printf("ERROR with channel (no cfgs) %s:%d\n", chan_name(i), chan_sub(i));
    if (say && !no_file)
        printf("ERROR with channel (start) %s:%d error: %d\n", chan_name(i), chan_sub(i), status);
    if (!not_found_channels.empty()) not_found_channels += ";";
    not_found_channels += chan_name(i);
    if constexpr (L::text::slicer_drops_failed_channel) {
        if (no_file && debug != 0) printf("Calling clean_descr()\n");
        remove_channel(i);
    }
}

// current_event_id becomes the earliest current entry over all channels.
template <class L>
void slicer<L>::set_starting_point() {
    bool taken = false;
    for (int i = 0; i < nchans; ++i) {
        reader_t* r = read_chans[i];
        if (!r) continue;
        if (debug > 1) printf("Calling get_chan_data() start\n");
        zorv_channel_entry_long* e = nullptr;
        int s = r->get_chan_data(nullptr, &e, ZORV_DAQ_READ_CHAN_EVENT_CUR);
        if (s != 0 || !e) {
            if (debug == -1) printf("FIRST -> %d\n", s);
            continue;
        }
        if (debug == -1) {
            printf("FIRST OK\n");
            r->print_time_limits();
        }
        bool take = !taken;
        if (taken && current_event_id.event_number == 0) {
            int sign = 0;
            zorv_time_stamp_eq(&current_event_id.time, &e->event_id.time, time_diff, &sign, nullptr);
            take = sign > 0;
        } else if (taken) {
            take = current_event_id.event_number > e->event_id.event_number;
        }
        if (!take) continue;
        current_event_id = e->event_id;
        taken = true;
        if (synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME) current_event_id.event_number = 0;
    }
}

template <class L>
int slicer<L>::create_channel(int i, tables_t* tables) {
    double t0 = wall_clock_us();
    if (i < 0 || i >= nchans) return ZORV_DAQ_SLICER_INV_PARAM;
    if (!read_chans) return ZORV_DAQ_SLICER_NOT_INIT;
    if (debug >= 1)
        printf(L::text::slicer_creating, chan_name(i), chan_sub(i), slicer_detail::file_of(tables));
    int ahead_status = 0;
    reader_t* r = take_ahead(i, tables, &ahead_status);
    const bool started_ahead = r != nullptr;
    remove_channel(i);
    if (!r) {
        r = new (std::nothrow) reader_t(tables, chans[i]->name, chan_sub(i), nullptr);
        if (!r) {
            printf("Failed to create read_chans[%d] for %s:%d\n", i, chan_name(i), chan_sub(i));
            return ZORV_DAQ_SLICER_INTERN_ERROR;
        }
        configure_reader(r);
    }
    read_chans[i] = r;
    if (size_t(i) < track_.size()) {
        track_[size_t(i)].reader = r;
        track_[size_t(i)].last = -1;
        track_[size_t(i)].given = track_[size_t(i)].given_before = nullptr;
        track_[size_t(i)].file = tables ? file_index(tables->get_file_name()) : -1;
    }
    // Set again on a reader started ahead: they may have changed since.
    if constexpr (L::text::has_time_fix) r->set_by_time_fix(by_time_fix);
    if (r->set_time_diff(&event_time_diff) != 0) {
        printf("Failed to set time difference read_chans[%d] for %s:%d\n", i, chan_name(i),
               chan_sub(i));
        remove_channel(i);
        return ZORV_DAQ_SLICER_INTERN_ERROR;
    }
    if (r->set_step(&event_step) != 0) {
        printf("Failed to set event step read_chans[%d] for %s:%d\n", i, chan_name(i), chan_sub(i));
        remove_channel(i);
        return ZORV_DAQ_SLICER_INTERN_ERROR;
    }
    if (started_ahead) {
        try {
            adopted_.push_back({r, ahead_status});
        } catch (const std::bad_alloc&) {
            printf("Failed to create read_chans[%d] for %s:%d\n", i, chan_name(i), chan_sub(i));
            remove_channel(i);
            return ZORV_DAQ_SLICER_INTERN_ERROR;
        }
    }
    double dt = wall_clock_us() - t0;
    if (L::text::slicer_timing && debug < 0 && dt > 1000.0) printf("CREATE CHANNEl %f msec\n", dt / 1000.0);
    return ZORV_DAQ_SLICER_OK;
}

template <class L>
void slicer<L>::configure_reader(reader_t* r) {
    r->set_block_pool(pool_);
    r->set_max_number_of_threads(slicer_detail::workers_per_channel());
}

// The channel after i will most likely be started on the same table set
// next: at the slicer's start every channel starts on the first file, and
// when channels move on to the next file they do so one after the other.
// Its reader is made and started now, so that its basket is read and its
// workers begin while this thread helps decode channel i; create_channel
// adopts it. One channel ahead at most; and while the channel's reader of
// the last file still holds its data, only when that is small, so that the
// peak memory of a file switch hardly grows.
template <class L>
void slicer<L>::start_ahead(int i, int request) {
    const int j = i + 1;
    if (ahead_ || j >= nchans || !read_chans[i]) return;
    auto* t = static_cast<tables_t*>(read_chans[i]->get_cfg());
    if (!t || !slicer_detail::has_entries<L>(t->get_cdt_table(), chans[j]->name)) return;
    bool wanted = false;
    if (request == ZORV_DAQ_READ_CHAN_EVENT_FIRST) {
        wanted = !read_chans[j] && t == start_tables_;
    } else if (request == ZORV_DAQ_READ_CHAN_EVENT_NEXT && read_chans[j]) {
        auto* tj = static_cast<tables_t*>(read_chans[j]->get_cfg());
        const int p = tj ? file_index(tj->get_file_name()) : -1;
        wanted = p >= 0 && p + 1 == file_index(t->get_file_name()) &&
                 read_chans[j]->entry_memory() <= slicer_detail::ahead_memory;
    }
    if (!wanted) return;
    {
        // Only on the slicer's own table sets, whose release drops the reader.
        mutex_lock lk(&tmx);
        if (slot_of(t) < 0) return;
    }
    launch_ahead(j, t);
}

// While the caller goes through the events of a file, whose channels were
// all decoded when they came to it, the processors are mostly idle. Once
// every channel has moved on to a file, the first channel's reader of the
// file after it is started, so that its entries are decoded meanwhile;
// channel 0 adopts it at its switch, and the switch's own start-ahead goes
// on from there. Only when that channel's current reader is small (its next
// one takes about as much again), and only when the next file's table set
// is loaded already: until it is, each event looks again.
template <class L>
void slicer<L>::start_next_file_ahead() {
    if (!next_file_ahead_due_) return;
    reader_t* r0 = read_chans && nchans > 0 ? read_chans[0] : nullptr;
    auto* t0 = r0 ? static_cast<tables_t*>(r0->get_cfg()) : nullptr;
    const int p = t0 ? file_index(t0->get_file_name()) : -1;
    if (ahead_ || p < 0 || p + 1 >= static_cast<int>(files.size()) ||
        r0->entry_memory() > slicer_detail::ahead_memory) {
        next_file_ahead_due_ = false;
        return;
    }
    tables_t* next = nullptr;
    {
        mutex_lock lk(&tmx);
        next = loaded_table(files[p + 1]);
        if (!next && table_may_come(p + 1)) return;
    }
    next_file_ahead_due_ = false;
    if (next && slicer_detail::has_entries<L>(next->get_cdt_table(), chans[0]->name)) launch_ahead(0, next);
}

// Makes and starts channel j's reader on t, to be adopted by create_channel
// (which gives it the time difference, step and time fix of that moment).
template <class L>
void slicer<L>::launch_ahead(int j, tables_t* t) {
    reader_t* r = new (std::nothrow) reader_t(t, chans[j]->name, chan_sub(j), nullptr);
    if (!r) return;
    configure_reader(r);
    // A failed start is kept too, with its status: it has said why already,
    // and start_channel reports it when the channel comes to the file.
    ahead_status_ = r->start(nullptr, nullptr, nullptr);
    ahead_ = r;
    ahead_chan_ = j;
}

// The reader started ahead for channel i, with its start status, when it
// reads `tables`; one started for channel i on another table set is dropped.
template <class L>
typename slicer<L>::reader_t* slicer<L>::take_ahead(int i, tables_t* tables, int* status) {
    if (!ahead_ || ahead_chan_ != i) return nullptr;
    reader_t* r = std::exchange(ahead_, nullptr);
    ahead_chan_ = -1;
    *status = ahead_status_;
    if (static_cast<tables_t*>(r->get_cfg()) == tables) return r;
    discard(r);
    return nullptr;
}

// Whether r was adopted from a start ahead and not yet started here; its
// start status through `status`.
template <class L>
bool slicer<L>::take_adopted(const reader_t* r, int* status) {
    for (auto it = adopted_.begin(); it != adopted_.end(); ++it) {
        if (it->first != r) continue;
        *status = it->second;
        adopted_.erase(it);
        return true;
    }
    return false;
}

// Drops the reader started ahead when it reads `tables` (null: in any case).
template <class L>
void slicer<L>::drop_ahead(const tables_t* tables) {
    if (!ahead_ || (tables && static_cast<const tables_t*>(ahead_->get_cfg()) != tables)) return;
    discard(std::exchange(ahead_, nullptr));
    ahead_chan_ = -1;
}

template <class L>
void slicer<L>::discard(reader_t* r) {
    delete r;  // stops its workers and frees what it holds
}

template <class L>
int slicer<L>::start_channel(int i, int request) {
    if (i < 0 || i >= nchans || !slicer_detail::valid_request(request)) return ZORV_DAQ_SLICER_INV_PARAM;
    if (!read_chans) return ZORV_DAQ_SLICER_NOT_INIT;
    reader_t* r = read_chans[i];
    if (!r) return ZORV_DAQ_SLICER_NO_DATA;
    double t0 = wall_clock_us();
    // A reader adopted from start_ahead was started there.
    int s = 0;
    if (!take_adopted(r, &s)) s = r->start(nullptr, nullptr, nullptr);
    if (s != 0) {
        printf("Start failed for read_chans[%d] for %s:%d  erro: %d\n", i, chan_name(i), chan_sub(i), s);
        return s;
    }
    count_without_event(i, r);
    start_ahead(i, request);
    // This thread decodes entries alongside the workers instead of sleeping
    // until they are done: the channel does not wait for its workers to be
    // scheduled on a busy machine, nor this thread for a wake-up once they are.
    r->decode_here();
    r->wait_decoded();
    if (slicer_detail::entries_of(r) == 0) return ZORV_DAQ_SLICER_NO_DATA;

    zorv_channel_entry_long* e = nullptr;
    if (request == ZORV_DAQ_READ_CHAN_EVENT_PREV || request == ZORV_DAQ_READ_CHAN_EVENT_LAST) {
        if (debug > 1) printf("Calling get_chan_data() start channel (low)\n");
        s = r->get_chan_data(nullptr, &e, ZORV_DAQ_READ_CHAN_EVENT_LAST);
    } else {
        if (debug > 1) L::text::slicer_print_start_up();
        s = r->get_chan_data(nullptr, &e, ZORV_DAQ_READ_CHAN_EVENT_FIRST);
    }
    if (L::text::slicer_timing && debug < 0)
        printf("slicer_2010->start() for channel took: %f msec\n", (wall_clock_us() - t0) / 1000.0);
    return s;
}

// Once every channel has left a file, and the last of them has taken its
// next file's memory, what is still free is not wanted by this file.
template <class L>
void slicer<L>::release_spare_memory() {
    if (!spare_memory_due) return;
    spare_memory_due = false;
    if (pool_) pool_->trim_unused();
    slicer_detail::return_free_memory();
}

template <class L>
void slicer<L>::remove_channel(int i) {
    if (i < 0 || i >= nchans || !read_chans) return;
    if (ahead_chan_ == i) drop_ahead(nullptr);  // the channel is dropped or restarted
    close_reader(i);
}

// Cleans and deletes channel i's reader; a reader started ahead for the
// channel stays.
template <class L>
void slicer<L>::close_reader(int i) {
    if (i < 0 || i >= nchans || !read_chans || !read_chans[i]) return;
    reader_t* r = read_chans[i];
    count_passed(i, r->out_total);
    if (size_t(i) < track_.size()) track_[size_t(i)].reader = nullptr;
    int unused;
    take_adopted(r, &unused);
    if (debug > 0) printf("DELETING read_chans[%d] %u\n", i, slicer_detail::identity(r));
    delete r;
    read_chans[i] = nullptr;
}

// ---------------------------------------------------------------------------
// Table sets and the table thread
// ---------------------------------------------------------------------------

template <class L>
int slicer<L>::file_index(const char* name) const {
    if (!name) return -1;
    for (size_t k = 0; k < files.size(); ++k)
        if (strcmp(files[k], name) == 0) return static_cast<int>(k);
    return -1;
}

// Called with tmx held.
template <class L>
int slicer<L>::slot_of(const tables_t* t) const {
    if (!get_tables || !t) return -1;
    for (int k = 0; k < task.get_tables_num; ++k)
        if (get_tables[k] == t) return k;
    return -1;
}

// Called with tmx held. The loaded table set of `name` in a slot, left
// unclaimed.
template <class L>
typename slicer<L>::tables_t* slicer<L>::loaded_table(const char* name) const {
    for (int k = 0; k < task.get_tables_num; ++k) {
        tables_t* t = get_tables[k];
        const char* f = t ? t->get_file_name() : nullptr;
        if (f && strcmp(f, name) == 0) return t;
    }
    return nullptr;
}

// Called with tmx held.
template <class L>
typename slicer<L>::tables_t* slicer<L>::claim_from_slots(const char* name) {
    tables_t* t = loaded_table(name);
    if (t && task.ready >= 1) {
        --task.ready;
        pthread_cond_broadcast(&tcond);  // the table thread may load ahead again
    }
    return t;
}

// Called with tmx held. Whether the table set of files[file] may still be
// loaded: not when the thread loads no more files, waits for a permit that
// only the caller could give, or has already passed that file (a loaded
// table set that sits in no slot has been released for good).
template <class L>
bool slicer<L>::table_may_come(int file) const {
    bool stuck = task.waiting && task.go == 0;
    // The thread loads no further while this many wait to be claimed.
    bool held = L::text::slicer_limits_tables_ahead && task.ready >= slicer_detail::max_ready_ahead;
    return file >= task.next && task.running && !task.done && !stuck && !held && task.status != 1;
}

template <class L>
typename slicer<L>::tables_t* slicer<L>::find_ready_table(const char* name) {
    if (!name || !get_tables) return nullptr;
    int want = file_index(name);
    mutex_lock lk(&tmx);
    for (;;) {
        if (tables_t* t = claim_from_slots(name)) return t;
        if (!table_may_come(want)) return nullptr;
        pthread_cond_wait(&tcond, &tmx);
    }
}

// Called with tmx held.
template <class L>
bool slicer<L>::file_skipped(int file) const {
    for (const auto& k : task.skipped)
        if (k.first == file) return true;
    return false;
}

// Loads files[file] on this thread: the table thread has passed it (a
// channel goes back to a released file) or will not reach it soon. Null
// when the file cannot be used (it is then reported skipped) or no slot is
// free.
template <class L>
typename slicer<L>::tables_t* slicer<L>::load_table_now(int file) {
    const char* why = nullptr;
    tables_t* ts = slicer_detail::load_tables<L, tables_t>(files[size_t(file)], mode, debug, &chansp, &why);
    mutex_lock lk(&tmx);
    if (!ts) {
        slicer_detail::note_skip(&task, file, why);
        pthread_cond_broadcast(&tcond);
        return nullptr;
    }
    for (int k = 0; k < task.get_tables_num; ++k) {
        if (get_tables[k] || k == task.loading_slot) continue;
        get_tables[k] = ts;
        return ts;
    }
    ts->clean_up();
    delete ts;
    return nullptr;
}

// The table set of files[file] for channel i (-1: any channel): one another
// channel reads already, one from the slots or the table thread, or one
// loaded here. Null when the file cannot be used or not be had now.
template <class L>
typename slicer<L>::tables_t* slicer<L>::usable_table(int i, int file) {
    const char* name = files[size_t(file)];
    {
        mutex_lock lk(&tmx);
        if (file_skipped(file)) return nullptr;
        if (read_chans)
            if (tables_t* t = table_of_other_channel(name, i)) return t;
    }
    if (tables_t* t = find_ready_table(name)) return t;
    return load_table_now(file);
}

template <class L>
std::vector<std::pair<std::string, std::string>> slicer<L>::get_skipped_files() {
    std::vector<std::pair<std::string, std::string>> out;
    mutex_lock lk(&tmx);
    for (const auto& k : task.skipped)
        if (k.first >= 0 && k.first < static_cast<int>(files.size())) out.emplace_back(files[size_t(k.first)], k.second);
    out.insert(out.end(), chan_skips_.begin(), chan_skips_.end());
    return out;
}

template <class L>
int slicer<L>::chan_state(int i) const {
    return i >= 0 && size_t(i) < track_.size() ? track_[size_t(i)].state : int(ZORV_DAQ_CHAN_NO_ENTRY);
}

template <class L>
long slicer<L>::entries_in_skipped_files(int i) const {
    return i >= 0 && size_t(i) < track_.size() ? track_[size_t(i)].in_skipped : 0;
}

template <class L>
long slicer<L>::unmatched_entries(int i) const {
    if (i < 0 || size_t(i) >= track_.size()) return 0;
    const chan_track& t = track_[size_t(i)];
    // And those the walk has already passed in the channel's current file:
    // a read ended by its window stops before the slicer leaves that file.
    long passed = 0;
    const reader_t* r = read_chans ? read_chans[i] : nullptr;
    if (synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME && walking_forward_ && r && r->out && t.reader == r) {
        const double now = slicer_detail::exact_us(current_event_id) - time_diff;
        for (int k = t.last + 1; k < r->out_total; ++k)
            if (in_count_window(r->out[k].event_id) && slicer_detail::exact_us(r->out[k].event_id) < now) ++passed;
    }
    return t.unmatched + passed;
}

template <class L>
long slicer<L>::entries_without_event(int i) const {
    return i >= 0 && size_t(i) < track_.size() ? track_[size_t(i)].without_event : 0;
}

// A file's entries that belong to no event count once, however often the
// walk comes back to the file.
template <class L>
void slicer<L>::count_without_event(int i, const reader_t* r) {
    const int n = r->entries_without_event();
    if (n == 0 || size_t(i) >= track_.size()) return;
    chan_track& t = track_[size_t(i)];
    const char* name = slicer_detail::file_of(static_cast<tables_t*>(const_cast<reader_t*>(r)->get_cfg()));
    const std::string file = name ? name : "";
    if (std::find(t.counted_files.begin(), t.counted_files.end(), file) != t.counted_files.end()) return;
    t.counted_files.push_back(file);
    t.without_event += n;
    printf("Channel %s: %d damaged entries in %s belong to no event of the file\n", chan_name(i), n, file.c_str());
}

template <class L>
bool slicer<L>::in_count_window(const zorv_time_id& id) const {
    const double us = slicer_detail::exact_us(id);
    return id.time.timeup != 0 && (count_from_ == 0.0 || us >= count_from_) && (count_to_ == 0.0 || us <= count_to_);
}

// Time synchronisation, walking forward: the entries of channel i's reader
// after the one it last handed out and before index `upto` were passed
// without an event taking them; those inside the counting window count.
template <class L>
void slicer<L>::count_passed(int i, int upto) {
    if (size_t(i) >= track_.size() || !read_chans || !read_chans[i]) return;
    chan_track& t = track_[size_t(i)];
    const reader_t* r = read_chans[i];
    if (t.reader != r) return;
    if (synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME && walking_forward_ && r->out) {
        for (int k = t.last + 1; k < upto && k < r->out_total; ++k)
            if (in_count_window(r->out[k].event_id)) ++t.unmatched;
    }
    if (upto - 1 > t.last) t.last = upto - 1;
}

// Why channel i has nothing at an event that came from `event_file`.
template <class L>
int slicer<L>::missing_state(int i, const tables_t* event_file) const {
    const reader_t* r = read_chans ? read_chans[i] : nullptr;
    const auto* t = r ? static_cast<const tables_t*>(const_cast<reader_t*>(r)->get_cfg()) : nullptr;
    if (!event_file || (r && t == event_file)) return ZORV_DAQ_CHAN_NO_ENTRY;
    const char* name = slicer_detail::file_of(const_cast<tables_t*>(event_file));
    for (const std::string& f : track_[size_t(i)].failed_files)
        if (f == name) return ZORV_DAQ_CHAN_FILE_SKIPPED;
    // A file whose dictionary lists the channel holds it, entries or not.
    typename L::cdt_entry* e = nullptr;
    const auto* cdt = event_file->get_cdt_table();
    if (!cdt || L::find_channel_by_name(cdt, chans[i]->name, &e) < 0) return ZORV_DAQ_CHAN_NOT_IN_FILE;
    return ZORV_DAQ_CHAN_NO_ENTRY;
}

template <class L>
void* slicer<L>::thread_entry(void* task) {
    int rc = table_thread(static_cast<tables_task<L>*>(task));
    return reinterpret_cast<void*>(static_cast<intptr_t>(rc));
}

template <class L>
int slicer<L>::table_thread(tables_task<L>* t) {
    const int nslots = t->get_tables_num;
    const int nfiles = static_cast<int>(t->files->size());
    int i = 0;
    int result = 0;
    auto publish = [t] { pthread_cond_broadcast(t->tcond); };

    while (!t->stop && i < nfiles) {
        {
            mutex_lock lk(t->tmx);
            t->waiting = 1;
            publish();
            while (t->go == 0 && !t->stop) pthread_cond_wait(t->tcond, t->tmx);
            t->waiting = 0;
            if (t->go > 0) --t->go;
        }
        if (t->stop) break;
        int slot = -1;
        bool have = false;
        {
            mutex_lock lk(t->tmx);
            // Loaded on the caller's thread already, or known to be unusable.
            const char* name = (*t->files)[size_t(i)];
            for (int k = 0; k < nslots && !have; ++k)
                have = t->get_tables[k] && strcmp(t->get_tables[k]->get_file_name(), name) == 0;
            for (const auto& k : t->skipped) have = have || k.first == i;
            if (have) {
                ++t->go;
                t->next = ++i;
                publish();
                continue;
            }
            for (int k = 0; k < nslots && slot < 0; ++k)
                if (!t->get_tables[k]) slot = k;
            if (slot >= 0 && L::text::slicer_limits_tables_ahead && t->ready >= slicer_detail::max_ready_ahead) {
                // Enough wait to be claimed: rests until one is (a claim is
                // broadcast), then looks at this file again.
                while (t->ready >= slicer_detail::max_ready_ahead && !t->stop) pthread_cond_wait(t->tcond, t->tmx);
                ++t->go;
                publish();
                slot = -2;
            }
            if (slot >= 0) t->loading_slot = slot;
        }
        // Both layouts look at stop again before loading: the legacy thread
        // would otherwise load one more file only to have it released.
        if (t->stop) break;
        if (slot == -1) {
            printf("THREAD GO: NO FREE SLOTS\n");
            continue;
        }
        if (slot == -2) continue;
        const char* why = nullptr;
        tables_t* ts = slicer_detail::load_tables<L, tables_t>((*t->files)[size_t(i)], t->mode,
                                                               t->slicer->get_debug(), t->chans, &why);
        if (!ts) {
            // A file that cannot be used is passed over; the files after it
            // are still read.
            mutex_lock lk(t->tmx);
            slicer_detail::note_skip(t, i, why);
            t->loading_slot = -1;
            ++t->go;
            t->next = ++i;
            result = 1;
            publish();
            continue;
        }
        if (L::text::slicer_limits_tables_ahead && t->stop) {
            ts->clean_up();
            delete ts;
            mutex_lock lk(t->tmx);
            t->loading_slot = -1;
            break;
        }
        mutex_lock lk(t->tmx);
        t->get_tables[slot] = ts;
        t->loading_slot = -1;
        t->next = ++i;
        ++t->ready;
        publish();
    }

    mutex_lock lk(t->tmx);
    t->status = 0;
    t->done = 1;
    publish();
    // The joinable thread rests until clean_up asks it to end.
    if (!L::text::slicer_detached_thread)
        while (!t->stop) pthread_cond_wait(t->tcond, t->tmx);
    // Past this point the thread no longer touches the task or the slots.
    t->running = 0;
    publish();
    return result;
}

// ---------------------------------------------------------------------------
// Clean-up
// ---------------------------------------------------------------------------

// Ends the table thread and waits until it has left the slot array; the
// detached thread cannot be joined, so its end is awaited through `running`.
template <class L>
void slicer<L>::stop_table_thread() {
    if (tid == 0) return;
    task.stop = 1;
    {
        mutex_lock lk(&tmx);
        task.go = 1;
        pthread_cond_broadcast(&tcond);
    }
    if (!L::text::slicer_detached_thread && pthread_join(tid, nullptr) == 0) {
        tid = 0;
        if (debug > 0) {
            printf("THREAD joined table_thread: \n");
            fflush(stdout);
        }
    } else if (debug > 0) {
        printf("Failed to join table_thread: %lu\n", static_cast<unsigned long>(tid));
    }
    mutex_lock lk(&tmx);
    while (task.running) pthread_cond_wait(&tcond, &tmx);
}

template <class L>
void slicer<L>::release_readers() {
    drop_ahead(nullptr);
    adopted_.clear();
    if (!read_chans) return;
    for (int i = 0; i < nchans; ++i) {
        reader_t* r = read_chans[i];
        if (!r) continue;
        delete r;
        read_chans[i] = nullptr;
        if (L::text::talks_with_debug && debug > 0) {
            printf("slicer clean_up read_chans[%d]\n", i);
            fflush(stdout);
        }
    }
    free(read_chans);
    read_chans = nullptr;
}

template <class L>
void slicer<L>::release_slots() {
    if (!get_tables) return;
    for (int k = 0; k < task.get_tables_num; ++k) {
        if (!get_tables[k]) continue;
        get_tables[k]->clean_up();
        delete get_tables[k];
        get_tables[k] = nullptr;
    }
    free(get_tables);
    get_tables = nullptr;
    task.get_tables = nullptr;
}

template <class L>
void slicer<L>::release_copies() {
    for (char* f : files) free(f);
    files.clear();
    for (size_t k = 0; k < chans.size(); ++k) {
        free(chans[k]);
        if (L::text::talks_with_debug && debug > 0) {
            printf("slicer clean_up chans[%d]\n", static_cast<int>(k));
            fflush(stdout);
        }
    }
    chans.clear();
    chansp.clear();
}

// The thread goes first (it reads the file names and fills the slots), then
// the channel readers (their workers read the table sets), then the table
// sets, and last the names the table sets point to.
template <class L>
void slicer<L>::clean_up() {
    stop_table_thread();
    release_readers();
    release_slots();
    release_copies();
    if (pool_) pool_->trim();
    spare_memory_due = false;
    next_file_ahead_due_ = false;
    nchans = 0;
    cur_file = prev_file = -1;
    current_event_id = zorv_time_id{};
    not_found_channels.clear();
}

// ---------------------------------------------------------------------------
// Event synchronisation
// ---------------------------------------------------------------------------

template <class L>
bool slicer<L>::is_event_id_eq(const zorv_time_id* a, const zorv_time_id* b, int* sign) const {
    int s = 0;
    if (a && b && a->event_number != 0 && b->event_number != 0) {
        s = a->event_number < b->event_number ? -1 : a->event_number > b->event_number ? 1 : 0;
    } else if (a && b) {
        zorv_time_stamp_eq(&a->time, &b->time, time_diff, &s, nullptr);
    }
    if (sign) *sign = s;
    return s == 0;
}

template <class L>
bool slicer<L>::before(const zorv_time_id& a, const zorv_time_id& b) const {
    int s = 0;
    is_event_id_eq(&a, &b, &s);
    return s < 0;
}

// Where the channel's file stands against the wanted event: 0 when the
// event may be in it; -1 when the file lies wholly behind the event in the
// direction of a NEXT or PREV step (the channel's entry is in a file further
// on, so it moves there); 1 when the channel sits out the event.
template <class L>
int slicer<L>::side_of_file(reader_t* r, int request, const zorv_time_id& target) const {
    zorv_time_id first{}, last{};
    r->get_time_limits(&first, &last);
    switch (request) {
        case ZORV_DAQ_READ_CHAN_EVENT_CUR:
            return before(target, first) || before(last, target) ? 1 : 0;
        case ZORV_DAQ_READ_CHAN_EVENT_NEXT:
            return before(last, target) ? -1 : 0;
        case ZORV_DAQ_READ_CHAN_EVENT_PREV:
            return before(target, first) ? -1 : 0;
        case ZORV_DAQ_READ_CHAN_EVENT_LAST:
            return before(last, target) ? 1 : 0;
        default:
            return before(target, first) ? 1 : 0;
    }
}

namespace slicer_detail {

struct failing_status {
    int status;
    int result;
    const char* message;
};

// Channel reader answers that end get_data at once.
constexpr failing_status failing_statuses[] = {
    {ZORV_DAQ_READ_CHAN_NOT_READY, ZORV_DAQ_SLICER_NOT_READY, "Channel[%d] %s ZORV_DAQ_READ_CHAN_NOT_READY\n"},
    {ZORV_DAQ_READ_CHAN_NOT_INIT, ZORV_DAQ_SLICER_INTERN_ERROR, "Channel[%d] %s ZORV_DAQ_READ_CHAN_NOT_INIT\n"},
    {ZORV_DAQ_READ_CHAN_NOT_FOUND, ZORV_DAQ_SLICER_INTERN_ERROR, "Channel[%d] %s  ZORV_DAQ_READ_CHAN_NOT_FOUND\n"},
    {ZORV_DAQ_READ_CHAN_INTERN_ERROR, ZORV_DAQ_SLICER_INTERN_ERROR,
     "Channel[%d] %s  ZORV_DAQ_READ_CHAN_INTERN_ERROR\n"},
    {ZORV_DAQ_READ_CHAN_INV_PARAM, ZORV_DAQ_SLICER_INTERN_ERROR, "Channel[%d] %s  ZORV_DAQ_READ_CHAN_INV_PARAM\n"},
};

// Whether an entry may win a tie in time against an equal candidate for the
// last event: slow values may not, and neither may an entry whose data
// failed conversion (it has no sub-header to tell its type).
template <class L>
bool may_win_last_tie(const zorv_channel_entry_long* e) {
    uint64_t chhd = e->sbchdata[0].chhd;
    if (chhd == 0) return false;
    auto* sh = reinterpret_cast<const typename L::subhead*>(static_cast<uintptr_t>(chhd));
    return (sh->dtype & 0xFFFF) != L::upd_type;
}

}  // namespace slicer_detail

template <class L>
int slicer<L>::get_data(zorv_time_id* id, entry_vector* result, int request) {
    if (!slicer_detail::valid_request(request) || !result) return ZORV_DAQ_SLICER_INV_PARAM;
    const bool by_time = synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME;
    if (by_time) current_event_id.event_number = 0;
    if (L::text::slicer_prints_input_event && debug > 0)
        printf("current_event_id.event_number (input): %d:%d_%d  synch_mode:%d\n",
               current_event_id.event_number, current_event_id.time.timeup,
               current_event_id.time.timelow, synch_mode);
    const int r = first_event ? static_cast<int>(ZORV_DAQ_READ_CHAN_EVENT_CUR) : request;
    result->clear();
    // In time synchronisation the walk forward is remembered: a step onto
    // one of its events gives that event again as it was, and a step
    // forward past them goes on from where the walk forward stopped.
    const bool remembered = by_time && !id && !first_event;
    if (remembered) {
        bool before_start = false;
        const walk_event* again = revisit(r, &before_start);
        if (before_start) return ZORV_DAQ_SLICER_OUT_OF_WINDOW;
        if (!again && r == ZORV_DAQ_READ_CHAN_EVENT_LAST && walk_to_end()) again = &history_.back();
        if (again) return serve_remembered(*again, result);
        const bool at_end = history_at_ >= 0 && size_t(history_at_) + 1 == history_.size();
        if (r == ZORV_DAQ_READ_CHAN_EVENT_NEXT && at_end && history_complete_) return ZORV_DAQ_SLICER_OUT_OF_WINDOW;
        if (r == ZORV_DAQ_READ_CHAN_EVENT_NEXT && at_end && !at_frontier_) restore_frontier();
    }
    at_frontier_ = false;
    zorv_time_id target = id ? *id : current_event_id;
    if (by_time) target.event_number = 0;
    walking_forward_ = r == ZORV_DAQ_READ_CHAN_EVENT_NEXT || (first_event && !id);
    candidate c;
    const double t0 = wall_clock_us();
    for (int i = 0; read_chans && i < nchans; ++i) {
        int s = serve_channel(i, r, target, c, t0);
        if (s != 0) return s;
    }
    // The first event of the channels' files: the walk forward's event there.
    if (remembered && r == ZORV_DAQ_READ_CHAN_EVENT_FIRST && c.set)
        if (const walk_event* h = walk_event_from(c.id)) return serve_remembered(*h, result);
    double dt = wall_clock_us() - t0;
    if (L::text::slicer_timing && debug < 0 && dt > 1000.0) printf("get_data() middle %f msec\n", dt / 1000.0);
    // No channel offers an entry in this direction: the data ends here.
    // current_event_id stays where it was, so the caller may still turn back.
    if (!c.set) {
        if (by_time && r == ZORV_DAQ_READ_CHAN_EVENT_NEXT && history_at_ >= 0 &&
            size_t(history_at_) + 1 == history_.size())
            history_complete_ = true;
        // Walking forward, what is left in the channels' files was passed.
        for (int i = 0; read_chans && i < nchans; ++i)
            if (read_chans[i]) count_passed(i, read_chans[i]->out_total);
        return ZORV_DAQ_SLICER_OUT_OF_WINDOW;
    }
    current_event_id = c.id;
    if (by_time) current_event_id.event_number = 0;
    int with_reader = collect(result, r, static_cast<const tables_t*>(c.file));
    if (by_time) note_walk(r, id != nullptr);
    first_event = 0;
    start_next_file_ahead();
    if (debug > 0)
        printf("current_event_id.event_number (output): %d:%d_%d res.size():%d\n",
               current_event_id.event_number, current_event_id.time.timeup,
               current_event_id.time.timelow, static_cast<int>(result->size()));
    return with_reader > 0 ? ZORV_DAQ_SLICER_OK : ZORV_DAQ_SLICER_OUT_OF_WINDOW;
}

// The event of the walk forward a request comes to, when the walk had it:
// NEXT and PREV from the current event, FIRST when the walk began at the
// data's first event, LAST once it reached the end. Null otherwise. A step
// back from the data's first event finds nothing (before_start).
template <class L>
const typename slicer<L>::walk_event* slicer<L>::revisit(int request, bool* before_start) const {
    if (history_.empty()) return nullptr;
    const bool inside = history_at_ >= 0;
    const size_t at = size_t(history_at_);
    switch (request) {
        case ZORV_DAQ_READ_CHAN_EVENT_NEXT:
            return inside && at + 1 < history_.size() ? &history_[at + 1] : nullptr;
        case ZORV_DAQ_READ_CHAN_EVENT_PREV:
            *before_start = inside && at == 0 && history_from_start_;
            return inside && at > 0 ? &history_[at - 1] : nullptr;
        case ZORV_DAQ_READ_CHAN_EVENT_FIRST:
            return history_from_start_ ? &history_.front() : nullptr;
        case ZORV_DAQ_READ_CHAN_EVENT_LAST:
            return history_complete_ ? &history_.back() : nullptr;
        default:
            return nullptr;
    }
}

// The walk forward's first event not earlier than `id` by more than the
// tolerance; null when the walk forward has none.
template <class L>
const typename slicer<L>::walk_event* slicer<L>::walk_event_from(const zorv_time_id& id) const {
    const double t = slicer_detail::exact_us(id) - time_diff;
    auto k = std::lower_bound(history_.begin(), history_.end(), t,
                              [](const walk_event& h, double v) { return slicer_detail::exact_us(h.id) < v; });
    return k == history_.end() ? nullptr : &*k;
}

// The last event of the data is the walk forward's last one: the walk goes
// on to the end, as far as its memory reaches. False when it cannot
// remember that far.
template <class L>
bool slicer<L>::walk_to_end() {
    if (history_.empty()) return false;
    history_at_ = long(history_.size()) - 1;
    entry_vector scratch;
    while (!history_complete_) {
        const size_t had = history_.size();
        const int s = get_data(nullptr, &scratch, ZORV_DAQ_READ_CHAN_EVENT_NEXT);
        if (history_complete_) break;
        if ((s != ZORV_DAQ_SLICER_OK && s != ZORV_DAQ_SLICER_OUT_OF_WINDOW) || history_.size() == had) return false;
    }
    return true;
}

// Where channel i stands now, to be kept with the event just given.
template <class L>
typename slicer<L>::chan_pos slicer<L>::position_of(int i) const {
    chan_pos p;
    if (size_t(i) >= track_.size()) return p;
    const chan_track& t = track_[size_t(i)];
    p.state = t.state;
    const reader_t* r = read_chans ? read_chans[i] : nullptr;
    if (!r || t.reader != r) return p;
    p.file = t.file;
    p.cur = slicer_detail::index_in(r, r->out_cur);
    p.given = slicer_detail::index_in(r, t.given);
    p.last = t.last;
    p.event_cur = r->event_cur;
    return p;
}

// Moves channel i's reader straight to files[file], which it read before;
// false when it cannot get there.
template <class L>
bool slicer<L>::move_to_file(int i, int file) {
    if (!read_chans[i] || size_t(i) >= track_.size()) return false;
    const int p = track_[size_t(i)].file;
    if (p == file) return true;
    const int way = p < file ? ZORV_DAQ_READ_CHAN_EVENT_NEXT : ZORV_DAQ_READ_CHAN_EVENT_PREV;
    return p >= 0 && switch_file(i, way, file) && track_[size_t(i)].file == file;
}

// Puts channel i back where it stood after an event of the walk forward:
// on the same file, entries and marks.
template <class L>
void slicer<L>::restore_position(int i, const chan_pos& p) {
    if (size_t(i) >= track_.size()) return;
    chan_track& t = track_[size_t(i)];
    t.given = t.given_before = nullptr;
    t.state = p.state;
    if (p.file < 0 || !read_chans[i]) return;
    if (!move_to_file(i, p.file)) {
        printf("Channel %s cannot go back to %s\n", chan_name(i), files[size_t(p.file)]);
        t.state = ZORV_DAQ_CHAN_FILE_SKIPPED;
        return;
    }
    reader_t* r = read_chans[i];
    {
        checked_lock lk(r->mx);
        r->out_cur = slicer_detail::entry_at(r, p.cur);
        r->event_cur = p.event_cur;
    }
    t.given = slicer_detail::entry_at(r, p.given);
    t.last = p.last;
}

// Gives event h of the walk forward again: every channel back where it stood
// after it, handing out what it handed out then. Nothing is counted again.
template <class L>
int slicer<L>::serve_remembered(const walk_event& h, entry_vector* result) {
    walking_forward_ = false;
    at_frontier_ = false;
    int with_reader = 0;
    for (int i = 0; read_chans && i < nchans && size_t(i) < h.pos.size(); ++i) {
        restore_position(i, h.pos[size_t(i)]);
        if (!read_chans[i]) continue;
        ++with_reader;
        if (const zorv_channel_entry_long* e = track_[size_t(i)].given)
            result->push_back(const_cast<zorv_channel_entry_long*>(e));
    }
    current_event_id = h.id;
    history_at_ = &h - history_.data();
    release_spare_memory();
    return with_reader > 0 ? ZORV_DAQ_SLICER_OK : ZORV_DAQ_SLICER_OUT_OF_WINDOW;
}

// Every channel back where the walk forward left it after its last
// remembered event, so that the next step forward is the one it would have
// taken from there.
template <class L>
void slicer<L>::restore_frontier() {
    walking_forward_ = false;  // the files the channels pass on the way were counted before
    const walk_event& h = history_.back();
    for (int i = 0; read_chans && i < nchans && size_t(i) < h.pos.size(); ++i) restore_position(i, h.pos[size_t(i)]);
    current_event_id = h.id;
}

// Keeps the walk forward's events from the first one on, and where in them
// the walk now is.
template <class L>
void slicer<L>::note_walk(int request, bool explicit_target) {
    const bool extends = first_event || (request == ZORV_DAQ_READ_CHAN_EVENT_NEXT && history_at_ >= 0 &&
                                           size_t(history_at_) + 1 == history_.size());
    if (first_event) {
        history_.clear();
        history_complete_ = false;
        history_from_start_ = !explicit_target;
    }
    const size_t per_event = sizeof(walk_event) + sizeof(chan_pos) * size_t(nchans > 0 ? nchans : 1) + 32;
    const size_t room = std::max(slicer_detail::history_min_events, slicer_detail::history_bytes / per_event);
    if (!extends || history_.size() >= room) {
        // Elsewhere: back in the history only on one of its events.
        const double t = slicer_detail::exact_us(current_event_id);
        auto k = std::lower_bound(history_.begin(), history_.end(), t, [](const walk_event& h, double v) {
            return slicer_detail::exact_us(h.id) < v;
        });
        history_at_ = k != history_.end() && slicer_detail::same_id(k->id, current_event_id) ? long(k - history_.begin()) : -1;
        return;
    }
    walk_event h;
    h.id = current_event_id;
    h.pos.reserve(size_t(nchans));
    for (int i = 0; i < nchans; ++i) h.pos.push_back(position_of(i));
    history_.push_back(std::move(h));
    history_at_ = long(history_.size()) - 1;
    at_frontier_ = true;
}

// Looks channel i up for the event and offers its entry to the candidate;
// a channel whose file does not reach the event is moved to the neighbouring
// file and looked up again. Returns 0, or the status that ends get_data.
template <class L>
int slicer<L>::serve_channel(int i, int request, const zorv_time_id& target, candidate& c, double t0) {
    // A switch that lands on a file the channel cannot use either is not
    // retried more often than there are files.
    for (size_t round = 0; round <= files.size(); ++round) {
        reader_t* r = read_chans[i];
        if (!r) return 0;
        if (debug == -2) {
            printf("Channel %d %u\n", i, slicer_detail::identity(r));
            r->print_time_limits();
            printf("lop: %d\n", request);
        }
        const int side = side_of_file(r, request, target);
        if (side > 0 || (side < 0 && !switch_file(i, request))) return 0;
        if (side < 0) continue;
        if (debug > 0) printf("Calling %d with:%d\n", i, request);
        if (debug > 1) printf("Calling get_chan_data() get_data()\n");
        double dt = wall_clock_us() - t0;
        if (L::text::slicer_timing && debug < 0 && dt > 1000.0) printf("get_data() start %f msec\n", dt / 1000.0);

        zorv_time_id q = target;
        zorv_channel_entry_long* e = nullptr;
        int s = r->get_chan_data(&q, &e, request);
        if (debug > 1 && e)
            printf("Got from get_chan_data() get_data() %d:%d_%d (have already %d:%d_%d)\n", e->event_id.event_number,
                   e->event_id.time.timeup, e->event_id.time.timelow, c.id.event_number, c.id.time.timeup,
                   c.id.time.timelow);
        if (debug > 1 && !e) printf("rs NULL\n");
        if (debug == -2) printf("NEXT %d %d\n", request, s);

        if (s == ZORV_DAQ_READ_CHAN_OK) {
            if (e) offer(i, request, target, e, c);
            return 0;
        }
        if (s == ZORV_DAQ_READ_CHAN_NO_DATA) {
            printf("Channel[%d] %s  ZORV_DAQ_READ_CHAN_NO_DATA\n", i, chan_name(i));
            return 0;
        }
        if (s == ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW) {
            if (!switch_file(i, request)) return 0;
            continue;
        }
        for (const auto& f : slicer_detail::failing_statuses) {
            if (f.status != s) continue;
            printf(f.message, i, chan_name(i));
            return f.result;
        }
        return 0;
    }
    return 0;
}

// Moves channel i file by file in the direction of the request until its
// new reader starts; false when the channel has no further usable file. The
// first move may go straight to files[to] instead of the neighbour.
template <class L>
bool slicer<L>::switch_file(int i, int request, int to) {
    // Whether the channel's reader is one whose start failed: it cannot stay
    // once no further file can take its place.
    bool broken = false;
    for (;;) {
        jump_to_ = std::exchange(to, -1);
        const int c = change_config(i, request, 1);
        jump_to_ = -1;
        const int s = c == 0 ? start_channel(i, request) : c;
        release_spare_memory();
        if (c != 0) {
            if (debug > 0) printf("NO CONGIGS ANY MORE for %s:%d \n", chan_name(i), chan_sub(i));
            if (broken) {
                if (debug > 0) printf("NO DATA  ANY MORE for %s removing\n", chan_name(i));
                remove_channel(i);
            }
            return false;
        }
        if (s == 0) return true;
        broken = true;
        // The channel's part of this file cannot be read: it goes on with
        // the next file, and the file is reported for it.
        if (!slicer_detail::file_lacks_channel(s))
            note_channel_skip(i, static_cast<tables_t*>(read_chans[i]->get_cfg()), s);
    }
}

// Channel i cannot be read from table set t (its basket or blocks are
// damaged): the file is reported for the channel, and its entries there are
// counted as lost.
template <class L>
void slicer<L>::note_channel_skip(int i, tables_t* t, int status) {
    const char* file = slicer_detail::file_of(t);
    std::string why = std::string("channel ") + chan_name(i) + " cannot be read (error " + std::to_string(status) + ")";
    for (const auto& k : chan_skips_)
        if (k.first == file && k.second == why) return;
    printf("Skipping file %s: %s\n", file, why.c_str());
    chan_skips_.emplace_back(file, why);
    if (size_t(i) >= track_.size()) return;
    track_[size_t(i)].failed_files.emplace_back(file);
    typename L::cdt_entry* e = nullptr;
    const auto* cdt = t ? t->get_cdt_table() : nullptr;
    if (cdt && L::find_channel_by_name(cdt, chans[i]->name, &e) >= 0 && e && e->count > 0)
        track_[size_t(i)].in_skipped += e->count;
}

template <class L>
void slicer<L>::offer(int i, int request, const zorv_time_id& target, const zorv_channel_entry_long* e,
                      candidate& c) const {
    const zorv_time_id& id = e->event_id;
    const bool by_time = synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME;
    auto take = [&](bool say) {
        c.id = id;
        c.set = true;
        c.file = read_chans[i]->get_cfg();
        if (say && debug > 0) printf("Copying temp evid: %d (from:%d)\n", c.id.event_number, i);
        if (by_time) c.id.event_number = 0;
    };
    // In time synchronisation a step's lookup may find an entry within the
    // tolerance of the event it steps from (a tolerance above half the
    // spacing): that entry is no step at all and cannot be the next event.
    const bool no_step = by_time && ((request == ZORV_DAQ_READ_CHAN_EVENT_PREV && !before(id, target)) ||
                                     (request == ZORV_DAQ_READ_CHAN_EVENT_NEXT && !before(target, id)));
    if (!c.set) {
        if (!no_step) take(true);
        return;
    }
    int d = 0;
    is_event_id_eq(&target, &id, &d);
    if (debug > 0) printf("Diff: %d\n", d);
    switch (request) {
        case ZORV_DAQ_READ_CHAN_EVENT_CUR:
            if (d == 0) {
                c.id = id;
                c.file = read_chans[i]->get_cfg();
            }
            return;
        case ZORV_DAQ_READ_CHAN_EVENT_PREV:
            // The latest entry before the target; in time synchronisation an
            // equal entry with a later exact time wins, the mirror of NEXT,
            // so that a step back lands where the step forward did.
            if (before(id, target) &&
                (before(c.id, id) || (by_time && is_event_id_eq(&id, &c.id, nullptr) &&
                                      slicer_detail::exact_us(c.id) < slicer_detail::exact_us(id))))
                take(false);
            return;
        case ZORV_DAQ_READ_CHAN_EVENT_FIRST:
            if (before(id, target) && before(id, c.id)) take(false);
            return;
        default:
            break;
    }
    // NEXT and LAST: the earliest entry after the target; in time
    // synchronisation an equal entry with an earlier exact time wins.
    const bool next = request == ZORV_DAQ_READ_CHAN_EVENT_NEXT;
    if (!before(target, id)) return;
    if (before(id, c.id)) {
        take(next);
        return;
    }
    if (by_time && is_event_id_eq(&id, &c.id, nullptr) &&
        slicer_detail::exact_us(c.id) > slicer_detail::exact_us(id) &&
        (next || slicer_detail::may_win_last_tie<L>(e)))
        take(true);
}

// Appends the current entry of every channel that has the chosen event;
// returns the number of channels that still have a reader.
template <class L>
int slicer<L>::collect(entry_vector* result, int request, const tables_t* event_file) {
    int with_reader = 0;
    const bool by_time = synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME;
    const bool step = request == ZORV_DAQ_READ_CHAN_EVENT_NEXT || request == ZORV_DAQ_READ_CHAN_EVENT_PREV;
    std::vector<zorv_channel_entry_long*> at(size_t(nchans), nullptr);
    for (int i = 0; i < nchans; ++i) {
        reader_t* r = read_chans[i];
        if (size_t(i) < track_.size()) {
            chan_track& t = track_[size_t(i)];
            t.state = missing_state(i, event_file);
            t.given_before = t.given;
            t.given = nullptr;
        }
        if (!r) continue;
        ++with_reader;
        if (debug > 1) printf("Calling get_chan_data() gete_data() end\n");
        zorv_channel_entry_long* e = nullptr;
        int s = r->get_chan_data(nullptr, &e, ZORV_DAQ_READ_CHAN_EVENT_CUR);
        if (debug > 2) printf("CURRENT %d\n", s);
        if (s != 0 || !e) continue;
        bool same = is_event_id_eq(&current_event_id, &e->event_id, nullptr);
        if (debug > 2) L::text::slicer_print_found(same);
        // In time synchronisation a step may land on the entry the channel
        // handed out at the event before: it is not fresh again.
        if (same && by_time && step && size_t(i) < track_.size() && e == track_[size_t(i)].given_before) continue;
        if (same) {
            at[size_t(i)] = e;
        } else if (debug > 1) {
            // The legacy slicer names the mapped event-header area, the
            // current one the event-header basket.
            tables_t* t = static_cast<tables_t*>(r->get_cfg());
            const void* evh = !t ? nullptr
                              : L::text::slicer_shows_evh_base ? static_cast<const void*>(t->get_evh_base())
                                          : static_cast<const void*>(t->get_evh_basket());
            printf("EMPTY %s %d:%d_%d  %d:%d_%d  cfg_status:%x\n", chan_name(i), current_event_id.event_number,
                   current_event_id.time.timeup, current_event_id.time.timelow, e->event_id.event_number,
                   e->event_id.time.timeup, e->event_id.time.timelow, slicer_detail::identity(evh));
        }
    }
    // With a tolerance above half the spacing an entry may be within it of
    // this event and of the next: it goes with the nearer one.
    if (by_time)
        for (int i = 0; i < nchans; ++i)
            if (at[size_t(i)] && nearer_elsewhere(i, *at[size_t(i)], at)) at[size_t(i)] = nullptr;
    for (int i = 0; i < nchans; ++i) {
        zorv_channel_entry_long* e = at[size_t(i)];
        if (!e) continue;
        result->push_back(e);
        if (size_t(i) >= track_.size()) continue;
        chan_track& t = track_[size_t(i)];
        const reader_t* r = read_chans[i];
        const int k = r->out && e >= r->out && e < r->out + r->out_total ? int(e - r->out) : -1;
        t.given = e;
        if (k >= 0 && t.reader == r) {
            count_passed(i, k);
            t.last = k;
        }
        t.state = e->sbchdata[0].chhd ? ZORV_DAQ_CHAN_FRESH : ZORV_DAQ_CHAN_DAMAGED;
    }
    return with_reader;
}

// Whether another channel has an entry, not part of this event, that lies
// within the tolerance of e and nearer to it than this event is.
template <class L>
bool slicer<L>::nearer_elsewhere(int i, const zorv_channel_entry_long& e,
                                 const std::vector<zorv_channel_entry_long*>& at) const {
    const double te = slicer_detail::exact_us(e.event_id);
    const double d = std::abs(te - slicer_detail::exact_us(current_event_id));
    for (int j = 0; j < nchans; ++j) {
        const reader_t* r = read_chans[j];
        if (j == i || !r || !r->out || r->out_total <= 0) continue;
        const zorv_channel_entry_long* first = r->out;
        const zorv_channel_entry_long* end = r->out + r->out_total;
        const zorv_channel_entry_long* k = std::lower_bound(
            first, end, te, [](const zorv_channel_entry_long& x, double t) { return slicer_detail::exact_us(x.event_id) < t; });
        for (const zorv_channel_entry_long* x : {k - 1, k}) {
            if (x < first || x >= end || x == at[size_t(j)] || x->event_id.time.timeup == 0) continue;
            const double dx = std::abs(slicer_detail::exact_us(x->event_id) - te);
            if (dx < d && dx <= time_diff) return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// File switches
// ---------------------------------------------------------------------------

template <class L>
bool slicer<L>::other_channel_on(const tables_t* t, int i) const {
    for (int j = 0; j < nchans; ++j)
        if (j != i && read_chans[j] && static_cast<const tables_t*>(read_chans[j]->get_cfg()) == t) return true;
    return false;
}

template <class L>
typename slicer<L>::tables_t* slicer<L>::table_of_other_channel(const char* file, int i) const {
    for (int j = 0; j < nchans; ++j) {
        if (j == i || !read_chans[j]) continue;
        auto* t = static_cast<tables_t*>(read_chans[j]->get_cfg());
        const char* f = t ? t->get_file_name() : nullptr;
        if (f && strcmp(f, file) == 0) return t;
    }
    return nullptr;
}

namespace slicer_detail {

inline int neighbour_file(int p, int request, int nfiles) {
    switch (request) {
        case ZORV_DAQ_READ_CHAN_EVENT_NEXT: return p + 1;
        case ZORV_DAQ_READ_CHAN_EVENT_PREV: return p - 1;
        case ZORV_DAQ_READ_CHAN_EVENT_FIRST: return 0;
        case ZORV_DAQ_READ_CHAN_EVENT_LAST: return nfiles - 1;
        default: return p;
    }
}

}  // namespace slicer_detail

// The channel's table set sits in no slot. The channel is dropped; the
// table set goes with it unless another channel still reads it.
template <class L>
int slicer<L>::leave_lost_table(int i, tables_t* old) {
    printf("STRANGE zorv_file_get_tables not found in the table... removing it anyway\n");
    remove_channel(i);
    if (old && !other_channel_on(old, i)) {
        drop_ahead(old);
        old->clean_up();
        delete old;
    }
    if (debug > 0) {
        L::text::slicer_print_switch(i, chan_name(i), -1);
        fflush(stdout);
    }
    printf("STRANGE no files found we'll lose the channel[%d] %s\n", i, chan_name(i));
    return ZORV_DAQ_SLICER_NO_DATA;
}

// The file channel i moves to from files[from] for the request, with its
// table set: the neighbour in the request's direction, passing over files
// that cannot be used or do not hold the channel. -1 when there is none,
// -2 when the next usable file cannot be had now (every slot is taken).
template <class L>
int slicer<L>::destination(int i, int from, int request, tables_t** table) {
    const int nfiles = static_cast<int>(files.size());
    const int dir = request == ZORV_DAQ_READ_CHAN_EVENT_NEXT || request == ZORV_DAQ_READ_CHAN_EVENT_FIRST ? 1 : -1;
    const int start = jump_to_ >= 0 ? jump_to_ : slicer_detail::neighbour_file(from, request, nfiles);
    for (int q = start; q >= 0 && q < nfiles; q += dir) {
        tables_t* t = usable_table(i, q);
        if (!t) {
            bool skipped;
            {
                mutex_lock lk(&tmx);
                skipped = file_skipped(q);
            }
            if (skipped) continue;
            if (debug > 0) printf("%s failed to find get_tbl for  %s\n", chan_name(i), files[size_t(q)]);
            return -2;
        }
        if (slicer_detail::has_entries<L>(t->get_cdt_table(), chans[i]->name)) {
            *table = t;
            return q;
        }
        if (debug > 0) printf("Channel[%d] %s not in %s\n", i, chan_name(i), slicer_detail::file_of(t));
        release_if_left(t, i);
    }
    return -1;
}

// Channel i leaves table set t (or passes it over). Once no channel reads it
// and every channel has left it, it is released; a channel that needs it
// again later loads it afresh.
template <class L>
void slicer<L>::release_if_left(tables_t* t, int i) {
    t->inc_client_counter();
    if (other_channel_on(t, i) || t->get_client_counter() < nchans) return;
    if (i >= 0 && read_chans[i] && static_cast<tables_t*>(read_chans[i]->get_cfg()) == t) close_reader(i);
    {
        mutex_lock lk(&tmx);
        const int slot = slot_of(t);
        if (slot < 0) return;
        get_tables[slot] = nullptr;
        ++task.go;
        pthread_cond_broadcast(&tcond);
    }
    drop_ahead(t);
    t->clean_up();
    delete t;
    spare_memory_due = true;
}

template <class L>
int slicer<L>::change_config(int i, int request, int /*flag*/) {
    if (i < 0 || i >= nchans || !slicer_detail::valid_request(request)) return ZORV_DAQ_SLICER_INV_PARAM;
    if (!read_chans) return ZORV_DAQ_SLICER_NOT_INIT;
    reader_t* r = read_chans[i];
    if (!r) return ZORV_DAQ_SLICER_NO_DATA;
    auto* old = static_cast<tables_t*>(r->get_cfg());
    if (debug > 0) printf("Channel %s switching to the next file %s\n", chan_name(i), slicer_detail::file_of(old));
    if (!old) return leave_lost_table(i, old);
    int p = -1;
    int slot = -1;
    {
        mutex_lock lk(&tmx);
        slot = slot_of(old);
        if (slot >= 0) p = file_index(old->get_file_name());
    }
    if (slot < 0) return leave_lost_table(i, old);
    if (debug > 0) {
        L::text::slicer_print_switch(i, chan_name(i), p);
        fflush(stdout);
    }
    if (p < 0) {
        printf("STRANGE no files found we'll lose the channel[%d] %s\n", i, chan_name(i));
        remove_channel(i);
        return ZORV_DAQ_SLICER_NO_DATA;
    }
    // The next file is found before the channel leaves its file: with none
    // in this direction the channel keeps its reader and position, so that
    // a request the other way still finds it.
    tables_t* next = nullptr;
    int q = destination(i, p, request, &next);
    bool left = false;
    if (q == -2 && !other_channel_on(old, i) && old->get_client_counter() + 1 >= nchans) {
        // Every slot is taken: the file this channel leaves last makes room.
        release_if_left(old, i);
        left = true;
        q = destination(i, p, request, &next);
    }
    if (debug > 0) printf("Channel[%d] switching to the next file fentry after: %d\n", i, q);
    if (q < 0) {
        // -2: the file's table set cannot be had yet, already said above.
        if (debug > 0 && q != -2)
            printf("NO FILES can be found [%d] we'll lose the channel[%d] %s\n", q, i, chan_name(i));
        return ZORV_DAQ_SLICER_NO_DATA;
    }
    if (next != old && !left) release_if_left(old, i);
    if (!read_chans[i]) next_file_ahead_due_ = request == ZORV_DAQ_READ_CHAN_EVENT_NEXT;
    int rc = create_channel(i, next);
    if (rc != 0) return rc;
    if (debug > 0) printf("change_config is OK fentry:%d  %s\n", q, slicer_detail::file_of(next));
    return ZORV_DAQ_SLICER_OK;
}

}  // namespace zorv

#endif
