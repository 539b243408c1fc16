// zorv::slicer: the channel readers: the next channel's reader started
// ahead on the same file, the next file's readers started ahead, a channel's
// start with the hand-shake, and their end.
#include "core/slicer_parts.h"

namespace zorv {

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
        checked_lock lk(tmx);
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
        checked_lock lk(tmx);
        next = loaded_table(p + 1);
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
    const double t0 = timing_clock_us(debug < 0);
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
        printf("slicer_2010->start() for channel took: %f msec\n", (timing_clock_us(debug < 0) - t0) / 1000.0);
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

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_SLICER_READ_AHEAD(L) \
    template void slicer<L>::start_ahead(int i, int request); \
    template void slicer<L>::start_next_file_ahead(); \
    template void slicer<L>::launch_ahead(int j, tables_t* t); \
    template typename slicer<L>::reader_t* slicer<L>::take_ahead(int i, tables_t* tables, int* status); \
    template bool slicer<L>::take_adopted(const reader_t* r, int* status); \
    template void slicer<L>::drop_ahead(const tables_t* tables); \
    template void slicer<L>::discard(reader_t* r); \
    template int slicer<L>::start_channel(int i, int request); \
    template void slicer<L>::release_spare_memory(); \
    template void slicer<L>::remove_channel(int i); \
    template void slicer<L>::close_reader(int i);
ZORV_SLICER_READ_AHEAD(layout_current)
ZORV_SLICER_READ_AHEAD(layout_legacy)
#undef ZORV_SLICER_READ_AHEAD


}  // namespace zorv
