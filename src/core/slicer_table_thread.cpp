// zorv::slicer: the table sets of the files, loaded ahead by the table
// thread into the slots or on the caller's thread, and the file switches of
// the channels.
#include "core/slicer_parts.h"
#include "zorv_daq_slicer.h"
#include "zorv_daq_slicer_2010.h"

namespace zorv {

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

// Called with tmx held. The loaded table set of files[file] in a slot,
// left unclaimed.
template <class L>
typename slicer<L>::tables_t* slicer<L>::loaded_table(int file) const {
    for (int k = 0; k < task.get_tables_num; ++k)
        if (get_tables[k] && task.slot_file[size_t(k)] == file) return get_tables[k];
    return nullptr;
}

// Called with tmx held.
template <class L>
typename slicer<L>::tables_t* slicer<L>::claim_from_slots(int file) {
    tables_t* t = loaded_table(file);
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
    checked_lock lk(tmx);
    for (;;) {
        if (tables_t* t = claim_from_slots(want)) return t;
        if (!table_may_come(want)) return nullptr;
        tmx.wait(tcond);
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
    checked_lock lk(tmx);
    if (!ts) {
        slicer_detail::note_skip(&task, file, why);
        pthread_cond_broadcast(&tcond);
        return nullptr;
    }
    for (int k = 0; k < task.get_tables_num; ++k) {
        if (get_tables[k] || k == task.loading_slot) continue;
        get_tables[k] = ts;
        task.slot_file[size_t(k)] = file;
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
        checked_lock lk(tmx);
        if (file_skipped(file)) return nullptr;
        if (read_chans)
            if (tables_t* t = table_of_other_channel(name, i)) return t;
    }
    if (tables_t* t = find_ready_table(name)) return t;
    return load_table_now(file);
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
            checked_lock lk(*t->tmx);
            t->waiting = 1;
            publish();
            while (t->go == 0 && !t->stop) t->tmx->wait(*t->tcond);
            t->waiting = 0;
            if (t->go > 0) --t->go;
        }
        if (t->stop) break;
        int slot = -1;
        bool have = false;
        {
            checked_lock lk(*t->tmx);
            // Loaded on the caller's thread already, or known to be unusable.
            for (int k = 0; k < nslots && !have; ++k) have = t->get_tables[k] && t->slot_file[size_t(k)] == i;
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
                while (t->ready >= slicer_detail::max_ready_ahead && !t->stop) t->tmx->wait(*t->tcond);
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
            checked_lock lk(*t->tmx);
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
            checked_lock lk(*t->tmx);
            t->loading_slot = -1;
            break;
        }
        checked_lock lk(*t->tmx);
        t->get_tables[slot] = ts;
        t->slot_file[size_t(slot)] = i;
        t->loading_slot = -1;
        t->next = ++i;
        ++t->ready;
        publish();
    }

    checked_lock lk(*t->tmx);
    t->status = 0;
    t->done = 1;
    publish();
    // The joinable thread rests until clean_up asks it to end.
    if (!L::text::slicer_detached_thread)
        while (!t->stop) t->tmx->wait(*t->tcond);
    // Past this point the thread no longer touches the task or the slots.
    t->running = 0;
    publish();
    return result;
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
                checked_lock lk(tmx);
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
        checked_lock lk(tmx);
        const int slot = slot_of(t);
        if (slot < 0) return;
        get_tables[slot] = nullptr;
        task.slot_file[size_t(slot)] = -1;
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
        checked_lock lk(tmx);
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

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_SLICER_TABLE_THREAD(L) \
    template int slicer<L>::file_index(const char* name) const; \
    template int slicer<L>::slot_of(const tables_t* t) const; \
    template typename slicer<L>::tables_t* slicer<L>::loaded_table(int file) const; \
    template typename slicer<L>::tables_t* slicer<L>::claim_from_slots(int file); \
    template bool slicer<L>::table_may_come(int file) const; \
    template typename slicer<L>::tables_t* slicer<L>::find_ready_table(const char* name); \
    template bool slicer<L>::file_skipped(int file) const; \
    template typename slicer<L>::tables_t* slicer<L>::load_table_now(int file); \
    template typename slicer<L>::tables_t* slicer<L>::usable_table(int i, int file); \
    template void* slicer<L>::thread_entry(void* task); \
    template int slicer<L>::table_thread(tables_task<L>* t); \
    template bool slicer<L>::other_channel_on(const tables_t* t, int i) const; \
    template typename slicer<L>::tables_t* slicer<L>::table_of_other_channel(const char* file, int i) const; \
    template int slicer<L>::leave_lost_table(int i, tables_t* old); \
    template int slicer<L>::destination(int i, int from, int request, tables_t** table); \
    template void slicer<L>::release_if_left(tables_t* t, int i); \
    template int slicer<L>::change_config(int i, int request, int /*flag*/);
ZORV_SLICER_TABLE_THREAD(layout_current)
ZORV_SLICER_TABLE_THREAD(layout_legacy)
#undef ZORV_SLICER_TABLE_THREAD


}  // namespace zorv

int get_table_thread_2010(get_tables_task_2010* task) {
    return task ? zorv::slicer<zorv::layout_current>::table_thread(task) : 1;
}

int get_table_thread(get_tables_task* task) {
    return task ? zorv::slicer<zorv::layout_legacy>::table_thread(task) : 1;
}
