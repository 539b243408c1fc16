// zorv::read_chan: construction and cleaning, start (the channel basket,
// the events of the entries, their time limits), the thread bookkeeping and
// the hand-shake with the workers, and the accessors.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <new>

#include "core/read_chan_parts.h"
#include "sys/fd.h"
#include "sys/mapping.h"

namespace zorv {

// ---------------------------------------------------------------------------
// Construction, description, cleaning.
// ---------------------------------------------------------------------------

template <class L>
read_chan<L>::read_chan(tables* tbl, char* ch, int subch, chan_descr_2010* desc) {
    std::fill(std::begin(tid), std::end(tid), read_chan_detail::free_slot());
    pthread_mutex_init(&mmx, nullptr);
    pthread_cond_init(&mcond, nullptr);
    pthread_cond_init(&exit_cond, nullptr);

    if (!tbl) return;
    evhb = tbl->get_evh_basket();
    if (!evhb) return;
    sbhb = tbl->get_sbh_basket();
    if (!ch || !*ch || !sbhb) return;
    len = static_cast<int>(tbl->get_file_len());
    if (len == 0) return;
    fd = tbl->get_file_descr();
    if (fd < 0) return;

    cfg = tbl;
    ref_tbl = tbl->get_ref_tbl();
    eit_tab = tbl->get_eit_table();
    cdt_tab = tbl->get_cdt_table();
    ecp_tab = tbl->get_ecp_table();
    if (!tbl->is_ecp_tab_full()) ecpl = tbl->get_ecp_tab_entry_index(ch);
    eidt_tab = tbl->get_eidt_table();
    xcd_tab = tbl->get_xcd_table();

    const bool copied = tbl->basket_copy_mode != 0;
    evh_base = copied ? reinterpret_cast<unsigned char*>(evhb) : tbl->get_evh_base();
    sbh_base = copied ? reinterpret_cast<unsigned char*>(sbhb) : tbl->get_sbh_base();
    evh_offset = tbl->get_evh_offset();
    sbh_offset = tbl->get_sbh_offset();

    copy_descr(desc, ch);
    std::snprintf(chan, sizeof chan, "%s", ch);
    subchan = subch;
}

template <class L>
read_chan<L>::~read_chan() {
    clean();
    clean_descr();
    pthread_cond_destroy(&exit_cond);
    pthread_cond_destroy(&mcond);
    pthread_mutex_destroy(&mmx);
}

template <class L>
void read_chan<L>::copy_descr(const chan_descr_2010* desc, const char* ch) {
    if (!desc) return;
    auto text = [](char* dst, size_t n, const char* src) { std::snprintf(dst, n, "%.*s", int(n - 1), src); };
    descr.stream = desc->stream;
    descr.ev_type = desc->ev_type;
    descr.count = desc->count;
    descr.dtype = desc->dtype;
    text(descr.prop_name, sizeof descr.prop_name, desc->prop_name);
    text(descr.daq_name, sizeof descr.daq_name, desc->daq_name);
    text(descr.prop_desc, sizeof descr.prop_desc, desc->prop_desc);
    text(descr.units, sizeof descr.units, desc->units);
    descr.max_size = desc->max_size;
    descr.nbits = desc->nbits;
    const size_t nbits = std::min<size_t>(std::max(desc->nbits, 0), desc->bits.size());
    for (size_t i = 0; i < nbits; ++i) {
        auto* b = static_cast<bit_descr*>(std::malloc(sizeof(bit_descr)));
        if (!b) {
            printf("Failed to malloc bits entry for %s\n", ch);
            break;
        }
        *b = *desc->bits[i];
        descr.bits.push_back(b);
    }
    descr.ndims = desc->ndims;
    const size_t ndims = std::min<size_t>(std::max(desc->ndims, 0), desc->dims.size());
    for (size_t i = 0; i < ndims; ++i) {
        // The copy shares the statistics records of the table set's description.
        auto* d = new (std::nothrow) dim_descr(*desc->dims[i]);
        if (!d) {
            printf("Failed to malloc dim desription  entry for %s\n", ch);
            break;
        }
        descr.dims.push_back(d);
    }
    text(descr.sb_name, sizeof descr.sb_name, desc->sb_name);
}

// The copies are freed whether or not prop_name is set: they are this
// reader's own, and a description without a name would leak them otherwise.
template <class L>
void read_chan<L>::clean_descr() {
    for (bit_descr* b : descr.bits) std::free(b);
    descr.bits.clear();
    for (dim_descr* d : descr.dims) delete d;
    descr.dims.clear();
}

template <class L>
void read_chan<L>::clean() {
    {
        checked_lock lock(mx);
        stop = 1;
        while (workers_running()) mx.wait(exit_cond);
        out_taken = out_done = 0;
    }
    release_entry_memory();  // the result array and the basket copy too
    out_cur = nullptr;
    out_total = 0;
    if (chn_base) munmap(chn_base, chn_base_size);
    chnb = nullptr;
    basket_in_ = false;
    chn_base = nullptr;
    chn_base_size = 0;
    evh_base = sbh_base = nullptr;
    evhb = nullptr;
    sbhb = nullptr;
    cfg = nullptr;
    index_to_start_search = -1;
    entry_ids_.clear();
    header_ok_.clear();
    without_event_ = 0;
}

// ---------------------------------------------------------------------------
// Start.
// ---------------------------------------------------------------------------

template <class L>
int read_chan<L>::debug_level() const {
    return cfg ? cfg->debug : 0;
}

// Reports a failure and gives its code: the one way out of start() and
// load_basket() that has something to say.
template <class L>
int read_chan<L>::fail(int code, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    return code;
}

// The master is released on every way out that leaves no worker to do it.
template <class L>
int read_chan<L>::start(pthread_mutex_t** pmx, pthread_cond_t** pcond, int** pcnt) {
    if (pmx) *pmx = &mmx;
    if (pcond) *pcond = &mcond;
    if (pcnt) *pcnt = &mcnt;
    const int s = prepare();
    if (s == ZORV_DAQ_READ_CHAN_OK && out) {
        choose_thread_count();
        launch_workers();
        return s;
    }
    signal_master();
    return s;
}

// Everything start() does before the workers run: finds the channel, brings
// its basket in, places its entries and makes the result array (null when
// the channel has no entries).
template <class L>
int read_chan<L>::prepare() {
    if (!evhb || !sbhb || len == 0 || fd <= 0 || !cfg)
        return fail(ZORV_DAQ_READ_CHAN_NOT_INIT, L::text::rc_start_not_init, chan);
    // A reader is started once; a second start would run two worker pools
    // over one result array.
    if (out || basket_in_ || store_) return ZORV_DAQ_READ_CHAN_INV_PARAM;

    cdtl = cdt_tab ? L::find_channel_by_name(cdt_tab, chan, &cdt) : -1;
    // A table set loaded for a channel list has columns for the listed names
    // only: a channel outside the list has no column of its own, and reading
    // the column of its dictionary index would hand out another channel's
    // blocks.
    if (cdtl < 0 || !cdt || (!cfg->is_ecp_tab_full() && ecpl < 0)) {
        cdt = nullptr;
        return fail(ZORV_DAQ_READ_CHAN_NOT_FOUND, "%s", L::text::rc_not_found);
    }
    const int count = cdt->count;
    if (count < 1) {
        checked_lock lock(mx);
        all_done = 1;
        return ZORV_DAQ_READ_CHAN_OK;
    }

    constexpr const char* no_array = "%s Failed to create out array for %d entries\n";
    // Every entry has at least its 16-byte pointer record in the file.
    if (uint64_t(count) > uint32_t(len) / sizeof(zorv_event_chan_ptr_entry) ||
        !(store_ = new (std::nothrow) entry_store))
        return fail(ZORV_DAQ_READ_CHAN_INTERN_ERROR, no_array, chan, count);
    {
        checked_lock lock(mx);
        out_done = out_taken = all_done = 0;
        stop = 0;
    }
    out_total = count;
    out_cur = nullptr;
    event_first = event_last = event_cur = zorv_time_id{};

    if (const zorv_event_chan_ptr_entry* p = get_data_table_pointer(0)) {
        const int s = load_basket(p);
        if (s != 0) return s;
    }
    check_event_headers();
    find_time_limits();
    // The result array heads the entries' region; the heap serves when the
    // region could not be had.
    reserve_entry_memory();
    out = static_cast<zorv_channel_entry_long*>(store_->result_array());
    if (!out && !(out = static_cast<zorv_channel_entry_long*>(std::calloc(count, sizeof *out))))
        return fail(ZORV_DAQ_READ_CHAN_INTERN_ERROR, no_array, chan, count);
    for (int i = 0; i < count; ++i) out[i].event_id.event_number = unfinished;
    return ZORV_DAQ_READ_CHAN_OK;
}

// Brings the channel basket in: the first block's sub-header sits 8 bytes
// after the basket start. Both layouts read the basket into memory of the
// reader's own: a mapped basket would end the process with SIGBUS if the
// file were cut short while its blocks are decoded.
template <class L>
int read_chan<L>::load_basket(const zorv_event_chan_ptr_entry* p) {
    using sys::mapping;
    constexpr uint64_t head = sizeof(typename L::chan_basket);
    // The length the tables were read with, unless the file is shorter now.
    const uint64_t file_len = std::min<uint64_t>(uint32_t(len), sys::file_size_now(fd, uint32_t(len)));
    const uint64_t pos = uint64_t(p->chhd) - 8;
    constexpr const char* bad_basket = "%s Bad channel basket at %lu (length %u)\n";
    if (p->chhd < 8 || !in_range(pos, head, file_len)) {
        return fail(ZORV_DAQ_READ_CHAN_INTERN_ERROR, "%s Channel basket position %lu lies outside the file\n", chan,
                    static_cast<unsigned long>(pos));
    }

    sys::stopwatch sw;
    off_t delta = 0;
    const off_t offset = zorv_get_page_offset(off_t(file_len), off_t(pos), &delta);
    uint32_t blen = 0;
    {
        mapping first(fd, offset, size_t(delta + head));
        if (!first.data()) {
            perror("mmap");
            return fail(ZORV_DAQ_READ_CHAN_INTERN_ERROR, "%s Failed to map channel basket header\n", chan);
        }
        const unsigned char* b = first.data() + delta;
        blen = load_be32(b + 4);
        if (load_be32(b) != L::pattern_chan_basket || blen < head || !in_range(pos, blen, file_len)) {
            return fail(ZORV_DAQ_READ_CHAN_INTERN_ERROR, bad_basket, chan, static_cast<unsigned long>(pos), blen);
        }
    }
    chn_base_size = u_long(delta) + blen;
    // Read straight into the copy: no mapping to set up and tear down,
    // and the file's pages are never resident in the process twice.
    block_region& copy = store_->basket;
    copy = take_region(blen, blen);  // every byte is read into next
    if (!copy) {
        return fail(ZORV_DAQ_READ_CHAN_INTERN_ERROR, "%s Failed to copy channel basket\n", chan);
    }
    if (!sys::pread_full(fd, copy.data, blen, off_t(pos))) {
        perror("pread");
        return fail(ZORV_DAQ_READ_CHAN_INTERN_ERROR, "%s Failed to map channel basket\n", chan);
    }
    // The copy is bounded by its own length word from now on: it must
    // still be the one checked above (the file may have changed since).
    if (load_be32(copy.data) != L::pattern_chan_basket || load_be32(copy.data + 4) != blen) {
        return fail(ZORV_DAQ_READ_CHAN_INTERN_ERROR, bad_basket, chan, static_cast<unsigned long>(pos), blen);
    }
    chnb = reinterpret_cast<typename L::chan_basket*>(copy.data);
    chn_offset = u_long(pos);
    basket_in_ = true;
    if (debug_level() < 0) {
        const char* name = cfg->get_file_name();
        L::text::rc_print_mmap_time(sw.millis(), name ? name : "", blen, chn_base_size, out_total);
    }
    return ZORV_DAQ_READ_CHAN_OK;
}

namespace read_chan_detail {

// The events of the file's event index, of every event type, in ascending
// event number and time. The table was checked when it was loaded; the walk
// still stops at an entry whose length cannot be right.
struct indexed_event {
    zorv_time_id id;
    uint32_t offset;  // position of the event's header
    zorv_time_id first, last;  // the first and last event of its event type
};

inline bool id_less(const zorv_time_id& a, const zorv_time_id& b) {
    if (a.event_number != b.event_number) return a.event_number < b.event_number;
    if (a.time.timeup != b.time.timeup) return a.time.timeup < b.time.timeup;
    return a.time.timelow < b.time.timelow;
}

inline std::vector<indexed_event> indexed_events(const zorv_event_index_table_2010* eit) {
    std::vector<indexed_event> v;
    if (!eit || eit->nevent_types <= 0 || eit->nevent_types > ZORV_EV_EVMAX) return v;
    constexpr int head = int(offsetof(zorv_event_index_entry, event_info));
    constexpr int rec = int(sizeof(zorv_event_info));
    const auto* p = reinterpret_cast<const unsigned char*>(&eit->entry[0]);
    for (int k = 0; k < eit->nevent_types; ++k) {
        int32_t length;
        std::memcpy(&length, p + offsetof(zorv_event_index_entry, length), sizeof length);
        if (length < head || (length - head) % rec != 0) break;
        zorv_event_index_entry type;
        std::memcpy(&type, p, size_t(head));
        const zorv_time_id first{type.event_number_first, type.event_time_first};
        const zorv_time_id last{type.event_number_last, type.event_time_last};
        for (int j = 0; j < (length - head) / rec; ++j) {
            zorv_event_info x;
            std::memcpy(&x, p + head + j * rec, sizeof x);
            v.push_back({{x.event_number, x.time}, x.offset, first, last});
        }
        p += length;
    }
    std::sort(v.begin(), v.end(), [](const indexed_event& a, const indexed_event& b) { return id_less(a.id, b.id); });
    return v;
}

inline bool is_listed(const std::vector<indexed_event>& index, const zorv_time_id& id) {
    auto k = std::lower_bound(index.begin(), index.end(), id,
                              [](const indexed_event& x, const zorv_time_id& v) { return id_less(x.id, v); });
    return k != index.end() && !id_less(id, k->id);
}

// True when event a comes no later than event b in number and in time.
inline bool not_after(const zorv_time_id& a, const zorv_time_id& b) {
    return a.event_number <= b.event_number && micros(a.time) <= micros(b.time);
}

// The event of an entry whose header is not in the index: the one the index
// places at the header's position `pos`; false when it places none there.
// When that record is out of order with its neighbours (by position), in
// number or in time, lies outside its event type's first and last event, or
// has no valid time, the index record is damaged: its event is none the
// read would reach in order. The entry then takes the header's own event
// `own` when that lies inside the range, and belongs to no event otherwise.
inline bool placed_event(const std::vector<const indexed_event*>& by_offset, uint32_t pos,
                         const zorv_time_id* own, zorv_time_id* out) {
    auto k = std::lower_bound(by_offset.begin(), by_offset.end(), pos,
                              [](const indexed_event* x, uint32_t v) { return x->offset < v; });
    if (k == by_offset.end() || (*k)->offset != pos) return false;
    const indexed_event& x = **k;
    const size_t j = size_t(k - by_offset.begin());
    auto in_range = [&](const zorv_time_id& id) {
        return id.time.timelow < 1000000u && not_after(x.first, id) && not_after(id, x.last);
    };
    auto in_order = [&](const zorv_time_id& id) {
        return (j == 0 || not_after(by_offset[j - 1]->id, id)) &&
               (j + 1 == by_offset.size() || not_after(id, by_offset[j + 1]->id));
    };
    if (in_range(x.id) && in_order(x.id)) {
        *out = x.id;
        return true;
    }
    if (!own || !in_range(*own)) return false;
    *out = *own;
    return true;
}

}  // namespace read_chan_detail

// Which event each entry belongs to. An entry's event header must be one of
// the file's event index (pattern, number and time): a header overwritten or
// reached through a damaged position would otherwise make up an event. Such
// an entry is damaged; it keeps the event the index places at its header
// position, and has none when the index places nothing there. Without an
// index the headers are taken as they are.
template <class L>
void read_chan<L>::check_event_headers() {
    using namespace read_chan_detail;
    const std::vector<indexed_event> index = indexed_events(eit_tab);
    std::vector<const indexed_event*> by_offset;
    by_offset.reserve(index.size());
    for (const indexed_event& x : index) by_offset.push_back(&x);
    std::sort(by_offset.begin(), by_offset.end(),
              [](const indexed_event* a, const indexed_event* b) { return a->offset < b->offset; });
    const auto win = basket_window(evhb, evh_base, evh_offset, uint32_t(len));
    entry_ids_.assign(size_t(out_total), zorv_time_id{});
    header_ok_.assign(size_t(out_total), 0);
    without_event_ = 0;
    for (int i = 0; i < out_total; ++i) {
        const zorv_event_chan_ptr_entry* p = get_data_table_pointer(i);
        const unsigned char* h = p ? win.at(p->evhd, sizeof(zorv_eventheader)) : nullptr;
        zorv_time_id id{};
        const zorv_time_id* own = nullptr;
        if (h && load_be32(h + offsetof(zorv_eventheader, pattern)) == L::pattern_event) {
            id = {load_be32(h + offsetof(zorv_eventheader, event_number)),
                  {load_be32(h + offsetof(zorv_eventheader, event_time)),
                   load_be32(h + offsetof(zorv_eventheader, event_time) + 4)}};
            if (id.event_number != unfinished && (index.empty() || is_listed(index, id))) {
                entry_ids_[size_t(i)] = id;
                header_ok_[size_t(i)] = 1;
                continue;
            }
            if (id.event_number != unfinished) own = &id;
        }
        zorv_time_id placed{};
        if (p && placed_event(by_offset, p->evhd, own, &placed)) entry_ids_[size_t(i)] = placed;
        else ++without_event_;
    }
}

// First: the earliest entry with a set time (the first entry seen unless a
// later one is earlier); last: the latest entry. Ties keep the earlier one.
// Entries that belong to no event are left out.
template <class L>
void read_chan<L>::find_time_limits() {
    bool have = false;
    zorv_time_id first{}, last{};
    for (const zorv_time_id& id : entry_ids_) {
        if (id.event_number == 0 && id.time.timeup == 0 && id.time.timelow == 0) continue;
        const double t = read_chan_detail::micros(id.time);
        if (!have || (id.time.timeup != 0 && read_chan_detail::micros(first.time) > t)) first = id;
        if (!have || t > read_chan_detail::micros(last.time)) last = id;
        have = true;
    }
    event_first = first;
    event_last = last;
}


// ---------------------------------------------------------------------------
// Thread bookkeeping and master hand-shake.
// ---------------------------------------------------------------------------

template <class L>
bool read_chan<L>::set_max_number_of_threads(int thr) {
    if (thr < 1 || thr > max_threads) return true;
    nthreadsmax = thr;
    return false;
}

template <class L>
bool read_chan<L>::set_number_of_threads(int thr) {
    if (thr < 1 || thr > max_threads) return true;
    nthreads = thr;
    return false;
}

// Called under mx.
template <class L>
bool read_chan<L>::workers_running() const {
    return std::any_of(std::begin(tid), std::end(tid),
                       [](pthread_t t) { return !pthread_equal(t, read_chan_detail::free_slot()); });
}

template <class L>
bool read_chan<L>::wait_decoded() {
    checked_lock lock(mx);
    while (!all_done && workers_running()) mx.wait(exit_cond);
    return all_done != 0;
}

template <class L>
bool read_chan<L>::is_done() {
    checked_lock lock(mx);
    return all_done != 0;
}

template <class L>
void read_chan<L>::signal_master() {
    sys::mutex_lock lock(mmx);
    mcnt = 1;
    pthread_cond_signal(&mcond);
}

// Every slot is searched, not only the first nthreads: the count may be
// changed after the launch, and a slot left behind would hold clean()
// forever. Slots past the launched ones hold the free marker, which no
// thread id equals.
template <class L>
void read_chan<L>::set_thread_exited(pthread_t id) {
    checked_lock lock(mx);
    for (int s = 0; s < max_threads; ++s) {
        if (!pthread_equal(tid[s], read_chan_detail::free_slot()) && pthread_equal(tid[s], id)) {
            tid[s] = read_chan_detail::free_slot();
            pthread_cond_broadcast(&exit_cond);
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Accessors.
// ---------------------------------------------------------------------------

// Entry `cnt` of the channel's column; null when it lies outside the table.
template <class L>
zorv_event_chan_ptr_entry* read_chan<L>::get_data_table_pointer(int cnt) {
    if (!ecp_tab) return nullptr;
    const int col = cfg && !cfg->is_ecp_tab_full() ? ecpl : cdtl;
    if (col < 0 || cnt < 0 || cnt >= ecp_tab->maxev) return nullptr;
    const uint64_t idx = uint64_t(col) * uint64_t(ecp_tab->maxev) + uint64_t(cnt);
    const uint64_t need = offsetof(zorv_event_chan_pointers_table, chptr) + (idx + 1) * sizeof(zorv_event_chan_ptr_entry);
    if (ecp_tab->length < 0 || need > uint64_t(ecp_tab->length)) return nullptr;
    return &ecp_tab->chptr[idx];
}

template <class L>
char* read_chan<L>::get_chan_name(int* subch) {
    if (subch) *subch = subchan;
    return chan;
}

template <class L>
void read_chan<L>::get_time_limits(zorv_time_id* first, zorv_time_id* last) {
    if (first) *first = event_first;
    if (last) *last = event_last;
}

template <class L>
int read_chan<L>::set_time_diff(time_stamp* tm) {
    if (!tm) return ZORV_DAQ_READ_CHAN_INV_PARAM;
    event_time_diff = *tm;
    time_diff = double(tm->timeup) * 1e6 + double(tm->timelow);
    return ZORV_DAQ_READ_CHAN_OK;
}

template <class L>
int read_chan<L>::set_step(zorv_time_id* id) {
    if (!id) return ZORV_DAQ_READ_CHAN_INV_PARAM;
    event_step = *id;
    return ZORV_DAQ_READ_CHAN_OK;
}

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_READ_CHAN_START(L) \
    template read_chan<L>::read_chan(tables*, char*, int, chan_descr_2010*); \
    template read_chan<L>::~read_chan(); \
    template void read_chan<L>::copy_descr(const chan_descr_2010*, const char*); \
    template void read_chan<L>::clean_descr(); \
    template void read_chan<L>::clean(); \
    template int read_chan<L>::debug_level() const; \
    template int read_chan<L>::fail(int, const char*, ...); \
    template int read_chan<L>::prepare(); \
    template int read_chan<L>::start(pthread_mutex_t**, pthread_cond_t**, int**); \
    template int read_chan<L>::load_basket(const zorv_event_chan_ptr_entry*); \
    template void read_chan<L>::check_event_headers(); \
    template void read_chan<L>::find_time_limits(); \
    template bool read_chan<L>::set_max_number_of_threads(int); \
    template bool read_chan<L>::set_number_of_threads(int); \
    template bool read_chan<L>::workers_running() const; \
    template bool read_chan<L>::wait_decoded(); \
    template bool read_chan<L>::is_done(); \
    template void read_chan<L>::signal_master(); \
    template void read_chan<L>::set_thread_exited(pthread_t); \
    template zorv_event_chan_ptr_entry* read_chan<L>::get_data_table_pointer(int); \
    template char* read_chan<L>::get_chan_name(int*); \
    template void read_chan<L>::get_time_limits(zorv_time_id*, zorv_time_id*); \
    template int read_chan<L>::set_time_diff(time_stamp*); \
    template int read_chan<L>::set_step(zorv_time_id*);
ZORV_READ_CHAN_START(layout_current)
ZORV_READ_CHAN_START(layout_legacy)
#undef ZORV_READ_CHAN_START

}  // namespace zorv
