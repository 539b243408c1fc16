// Member definitions of zorv::read_chan, included by the two unit sources
// that instantiate it. Not installed.
#ifndef ZORV_READ_CHAN_CORE_IMPL_H
#define ZORV_READ_CHAN_CORE_IMPL_H

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "be_reader.h"
#include "sys/block_pool.h"
#include "zorv_pthread_util.h"
#include "zorv_daq_read_chan.h"
#include "zorv_daq_read_chan_2010.h"
#include "zorv_read_chan_core.h"
#include "zorv_table_set.h"

namespace zorv {
namespace read_chan_detail {

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

// `n` bytes of the file from `pos`; false on an error or a short file.
inline bool read_fully(int fd, unsigned char* dst, size_t n, off_t pos) {
    while (n > 0) {
        const ssize_t r = pread(fd, dst, n, pos);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (r == 0) errno = EIO;
            return false;
        }
        dst += r;
        n -= size_t(r);
        pos += r;
    }
    return true;
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

class stopwatch {
public:
    double micros() const {
        return std::chrono::duration<double, std::micro>(clock::now() - start_).count();
    }
    double millis() const { return micros() / 1000.0; }

private:
    using clock = std::chrono::steady_clock;
    clock::time_point start_ = clock::now();
};

// A read-only mapping of part of a file, released when it goes out of scope
// unless taken over with release().
class file_mapping {
public:
    // `populate` maps every page at once: a basket read from end to end
    // would otherwise take one page fault per page.
    file_mapping(int fd, off_t offset, size_t length, bool populate = false) : length_(length) {
        void* p = mmap(nullptr, length, PROT_READ, MAP_SHARED | (populate ? MAP_POPULATE : 0), fd, offset);
        base_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
    }
    ~file_mapping() {
        if (base_) munmap(base_, length_);
    }
    file_mapping(const file_mapping&) = delete;
    file_mapping& operator=(const file_mapping&) = delete;

    const unsigned char* data() const { return base_; }
    unsigned char* release() { return std::exchange(base_, nullptr); }

private:
    unsigned char* base_ = nullptr;
    size_t length_;
};

// Bytes of one basket held in memory: file position `pos` is at `base`, and
// `size` bytes from there belong to the basket.
struct file_window {
    const unsigned char* base = nullptr;
    uint64_t pos = 0;
    uint64_t size = 0;

    // Address of [p, p + n) when it lies inside the basket, else null.
    const unsigned char* at(uint64_t p, uint64_t n) const {
        if (!base || p < pos || !in_range(p - pos, n, size)) return nullptr;
        return base + (p - pos);
    }
};

// The window of a basket that sits at `basket`, where `base` (the start of
// its mapping, or the basket itself when copied; null means the same) holds
// file position `offset`. The basket's own length word bounds it, and the
// file bounds that.
inline file_window basket_window(const void* basket, const unsigned char* base, u_long offset,
                                 uint64_t file_len) {
    if (!basket) return {};
    auto* b = static_cast<const unsigned char*>(basket);
    uint64_t pos = offset + static_cast<uint64_t>(base ? b - base : 0);
    uint64_t size = load_be32(b + 4);
    size = pos > file_len ? 0 : std::min(size, file_len - pos);
    return {b, pos, size};
}

inline double micros(const time_stamp& t) { return t.timeup * 1e6 + t.timelow; }

inline time_stamp from_micros(uint64_t us) {
    const uint64_t secs = std::min<uint64_t>(us / 1000000u, std::numeric_limits<uint32_t>::max());
    return {static_cast<uint32_t>(secs), static_cast<uint32_t>(us % 1000000u)};
}

inline uint64_t to_micros(const time_stamp& t) { return uint64_t(t.timeup) * 1000000u + t.timelow; }

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
inline int payload_layout(int type, bool legacy) {
    if (type < ZORV_BLOCK_IMG_ROI1 || type > ZORV_BLOCK_GENERIC_SPECT) return ZORV_LAYOUT_AUTO;
    return legacy ? ZORV_LAYOUT_LEGACY : ZORV_LAYOUT_CURRENT;
}

// What differs between the layouts' channel readers: messages, whether the
// channel basket is copied or stays mapped, the lookup rules and the
// sub-channel cut rules.
template <class L>
struct rules;

template <>
struct rules<layout_current> {
    static constexpr const char* start_not_init = "zorv_daq_read_chan_2010:start() %s not initialized\n";
    static constexpr const char* not_found = "zorv_daq_read_chan_2010: channel not found\n";
    static constexpr const char* get_not_init =
        "zorv_daq_read_chan_2010:get_chan_data() %s  not initialized\n";
    static constexpr const char* cut_failed = "device_to_one_channel_2010() failed for %s:%d\n";
    // A decompressed block that fails conversion is published silently.
    static constexpr const char* unzipped_convert_failed = nullptr;

    static constexpr bool keep_basket_mapped = false;
    // Lookups: event_cur, the by-time step check, index_to_start_search and
    // the lookup debug lines exist; the own current entry is looked up by
    // number; an invalid reference is reported only with debug set.
    static constexpr bool current_lookup = true;

    static constexpr void* (*worker_entry)(void*) = unzip_thread_2010;

    static bool cut_after_unzip(int t, int n, int sub) {
        return sub >= 0 && (t == ZORV_BLOCK_GENERIC_SPECT || n > 1 || (n == 1 && sub == 0));
    }
    static bool cut_after_plain(int t, int n, int sub) {
        return sub >= 0 && (t == ZORV_BLOCK_GENERIC_SPECT || n > 1);
    }
    static bool cut_unzipped(const void* block, int sub, void** one) {
        return device_to_one_channel_2010(block, sub, 0, 0, one);
    }
    static bool cut_plain(const void* block, int sub, void** one) {
        return device_to_one_channel_2010(block, sub, 0, 0, one);
    }
    static void print_mmap_time(double ms, const char* file, uint32_t blen, u_long size, int count) {
        printf("START MMAP IN %f msec file:%s chbasket_size: %d  chn_base_size: %lu   entries: %d\n", ms,
               file, static_cast<int>(blen), size, count);
    }
    static void dump_sbhead(const void* h) {
        dump_event_subheader_2010(static_cast<const zorv_serv_block_head_2010*>(h));
    }
    static void dump_chanhead(const void* h) {
        dump_event_chanhead_2010(static_cast<const zorv_serv_block_subhead_2010*>(h));
    }
    static void print_data(const void* h) {
        print_data_type_2010(static_cast<const zorv_serv_block_subhead_2010*>(h));
    }
};

template <>
struct rules<layout_legacy> {
    static constexpr const char* start_not_init = "zorv_daq_read_chan:start() %s  not initialized\n";
    static constexpr const char* not_found = "zorv_daq_read_chan: channel not found\n";
    static constexpr const char* get_not_init = "zorv_daq_read_chan:get_chan_data() %s not initialized\n";
    static constexpr const char* cut_failed = "device_to_one_channel() failed for %s:%d\n";
    static constexpr const char* unzipped_convert_failed =
        "Failed to convert unzipped err: %d  len: %ld %lu .. exiting\n";

    static constexpr bool keep_basket_mapped = true;
    // Lookups by number only for a given identity with a number; everything
    // else by time; no step check; every invalid reference is reported.
    static constexpr bool current_lookup = false;

    static constexpr void* (*worker_entry)(void*) = unzip_thread;

    static bool cut_after_unzip(int, int n, int sub) {
        return (n >= 2 && sub >= 0) || (n == 1 && sub == 0);
    }
    static bool cut_after_plain(int, int n, int sub) { return n > 1 && sub >= 0; }
    static bool cut_unzipped(const void* block, int sub, void** one) {
        return device_to_one_channel_2009(block, sub, 0, 0, one);
    }
    static bool cut_plain(const void* block, int sub, void** one) {
        return device_to_one_channel(block, sub, 0, 0, one);
    }
    static void print_mmap_time(double ms, const char* file, uint32_t, u_long size, int count) {
        printf("START MMAP IN %f msec  file: %s chn_base_size: %lu  entries: %d\n", ms, file, size,
               count);
    }
    static void dump_sbhead(const void* h) {
        dump_event_subheader(static_cast<const zorv_serv_block_head*>(h));
    }
    static void dump_chanhead(const void* h) {
        dump_event_chanhead(static_cast<const zorv_serv_block_subhead*>(h));
    }
    static void print_data(const void* h) {
        print_data_type(static_cast<const zorv_serv_block_subhead*>(h));
    }
};

}  // namespace read_chan_detail

// ---------------------------------------------------------------------------
// Construction, description, cleaning.
// ---------------------------------------------------------------------------

template <class L>
read_chan<L>::read_chan(tables* tbl, char* ch, int subch, chan_descr_2010* desc) {
    std::fill(std::begin(tid), std::end(tid), read_chan_detail::free_slot());
    pthread_mutex_init(&mx, nullptr);
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

    bool copied = false;
    if constexpr (!L::legacy) copied = tbl->basket_copy_mode != 0;
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
    pthread_mutex_destroy(&mx);
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
        mutex_lock lock(mx);
        stop = 1;
        while (workers_running()) pthread_cond_wait(&exit_cond, &mx);
    }
    release_entry_memory();  // the result array and the basket copy too
    out_cur = nullptr;
    out_total = out_taken = out_done = 0;
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

template <class L>
int read_chan<L>::fail_start(int status) {
    signal_master();
    return status;
}

template <class L>
int read_chan<L>::start(pthread_mutex_t** pmx, pthread_cond_t** pcond, int** pcnt) {
    using R = read_chan_detail::rules<L>;
    if (pmx) *pmx = &mmx;
    if (pcond) *pcond = &mcond;
    if (pcnt) *pcnt = &mcnt;

    if (!evhb || !sbhb || len == 0 || fd <= 0 || !cfg) {
        printf(R::start_not_init, chan);
        return fail_start(ZORV_DAQ_READ_CHAN_NOT_INIT);
    }
    // A reader is started once; a second start would run two worker pools
    // over one result array.
    if (out || basket_in_ || store_) return fail_start(ZORV_DAQ_READ_CHAN_INV_PARAM);

    cdtl = cdt_tab ? L::find_channel_by_name(cdt_tab, chan, &cdt) : -1;
    // A table set loaded for a channel list has columns for the listed names
    // only: a channel outside the list has no column of its own, and reading
    // the column of its dictionary index would hand out another channel's
    // blocks.
    if (cdtl < 0 || !cdt || (!cfg->is_ecp_tab_full() && ecpl < 0)) {
        cdt = nullptr;
        printf("%s", R::not_found);
        return fail_start(ZORV_DAQ_READ_CHAN_NOT_FOUND);
    }
    const int count = cdt->count;
    if (count < 1) {
        {
            mutex_lock lock(mx);
            all_done = 1;
        }
        return fail_start(ZORV_DAQ_READ_CHAN_OK);
    }

    // Every entry has at least its 16-byte pointer record in the file.
    if (uint64_t(count) > uint32_t(len) / sizeof(zorv_event_chan_ptr_entry)) {
        printf("%s Failed to create out array for %d entries\n", chan, count);
        return fail_start(ZORV_DAQ_READ_CHAN_INTERN_ERROR);
    }
    if (!(store_ = new (std::nothrow) entry_store)) {
        printf("%s Failed to create out array for %d entries\n", chan, count);
        return fail_start(ZORV_DAQ_READ_CHAN_INTERN_ERROR);
    }
    out_done = out_taken = all_done = 0;
    out_total = count;
    out_cur = nullptr;
    event_first = event_last = event_cur = zorv_time_id{};

    if (const zorv_event_chan_ptr_entry* p = get_data_table_pointer(0)) {
        const int s = load_basket(p);
        if (s != 0) return fail_start(s);
    }
    check_event_headers();
    find_time_limits();
    // The result array heads the entries' region; the heap serves when the
    // region could not be had.
    reserve_entry_memory();
    out = static_cast<zorv_channel_entry_long*>(store_->result_array());
    if (!out && !(out = static_cast<zorv_channel_entry_long*>(std::calloc(count, sizeof *out)))) {
        printf("%s Failed to create out array for %d entries\n", chan, count);
        return fail_start(ZORV_DAQ_READ_CHAN_INTERN_ERROR);
    }
    for (int i = 0; i < count; ++i) out[i].event_id.event_number = unfinished;

    stop = 0;
    choose_thread_count();
    launch_workers();
    return ZORV_DAQ_READ_CHAN_OK;
}

// Brings the channel basket in: the first block's sub-header sits 8 bytes
// after the basket start. The current layout copies the basket to the heap,
// the legacy one keeps it mapped.
template <class L>
int read_chan<L>::load_basket(const zorv_event_chan_ptr_entry* p) {
    using R = read_chan_detail::rules<L>;
    using read_chan_detail::file_mapping;
    constexpr uint64_t head = sizeof(typename L::chan_basket);
    const uint64_t file_len = uint32_t(len);
    const uint64_t pos = uint64_t(p->chhd) - 8;
    if (p->chhd < 8 || !in_range(pos, head, file_len)) {
        printf("%s Channel basket position %lu lies outside the file\n", chan, static_cast<unsigned long>(pos));
        return ZORV_DAQ_READ_CHAN_INTERN_ERROR;
    }

    read_chan_detail::stopwatch sw;
    off_t delta = 0;
    const off_t offset = zorv_get_page_offset(off_t(file_len), off_t(pos), &delta);
    uint32_t blen = 0;
    {
        file_mapping first(fd, offset, size_t(delta + head));
        if (!first.data()) {
            perror("mmap");
            printf("%s Failed to map channel basket header\n", chan);
            return ZORV_DAQ_READ_CHAN_INTERN_ERROR;
        }
        const unsigned char* b = first.data() + delta;
        blen = load_be32(b + 4);
        if (load_be32(b) != L::pattern_chan_basket || blen < head || !in_range(pos, blen, file_len)) {
            printf("%s Bad channel basket at %lu (length %u)\n", chan, static_cast<unsigned long>(pos), blen);
            return ZORV_DAQ_READ_CHAN_INTERN_ERROR;
        }
    }
    chn_base_size = u_long(delta) + blen;
    if constexpr (R::keep_basket_mapped) {
        file_mapping whole(fd, offset, chn_base_size, true);
        if (!whole.data()) {
            perror("mmap");
            printf("%s Failed to map channel basket\n", chan);
            return ZORV_DAQ_READ_CHAN_INTERN_ERROR;
        }
        chn_base = whole.release();
        chnb = reinterpret_cast<typename L::chan_basket*>(chn_base + delta);
        chn_offset = u_long(offset);
    } else {
        // Read straight into the copy: no mapping to set up and tear down,
        // and the file's pages are never resident in the process twice.
        block_region& copy = store_->basket;
        copy = take_region(blen);
        if (!copy) {
            printf("%s Failed to copy channel basket\n", chan);
            return ZORV_DAQ_READ_CHAN_INTERN_ERROR;
        }
        if (!read_chan_detail::read_fully(fd, copy.data, blen, off_t(pos))) {
            perror("pread");
            printf("%s Failed to map channel basket\n", chan);
            return ZORV_DAQ_READ_CHAN_INTERN_ERROR;
        }
        // The copy is bounded by its own length word from now on: it must
        // still be the one checked above (the file may have changed since).
        if (load_be32(copy.data) != L::pattern_chan_basket || load_be32(copy.data + 4) != blen) {
            printf("%s Bad channel basket at %lu (length %u)\n", chan, static_cast<unsigned long>(pos), blen);
            return ZORV_DAQ_READ_CHAN_INTERN_ERROR;
        }
        chnb = reinterpret_cast<typename L::chan_basket*>(copy.data);
        chn_offset = u_long(pos);
    }
    basket_in_ = true;
    if (debug_level() < 0) {
        const char* name = cfg->get_file_name();
        R::print_mmap_time(sw.millis(), name ? name : "", blen, chn_base_size, out_total);
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
        for (int j = 0; j < (length - head) / rec; ++j) {
            zorv_event_info x;
            std::memcpy(&x, p + head + j * rec, sizeof x);
            v.push_back({{x.event_number, x.time}, x.offset});
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

// The event whose header the index places at `pos`, null when none.
inline const indexed_event* event_at(const std::vector<const indexed_event*>& by_offset, uint32_t pos) {
    auto k = std::lower_bound(by_offset.begin(), by_offset.end(), pos,
                              [](const indexed_event* x, uint32_t v) { return x->offset < v; });
    return k != by_offset.end() && (*k)->offset == pos ? *k : nullptr;
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
        if (h && load_be32(h + offsetof(zorv_eventheader, pattern)) == L::pattern_event) {
            const zorv_time_id id{load_be32(h + offsetof(zorv_eventheader, event_number)),
                                  {load_be32(h + offsetof(zorv_eventheader, event_time)),
                                   load_be32(h + offsetof(zorv_eventheader, event_time) + 4)}};
            if (id.event_number != unfinished && (index.empty() || is_listed(index, id))) {
                entry_ids_[size_t(i)] = id;
                header_ok_[size_t(i)] = 1;
                continue;
            }
        }
        if (const indexed_event* x = p ? event_at(by_offset, p->evhd) : nullptr) entry_ids_[size_t(i)] = x->id;
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

namespace read_chan_detail {

// The most a compressed block may claim to expand and still get a slot.
constexpr uint64_t reserved_expansion = 64;

// Bytes the decoded block of entry i will take, read from its sub-header
// (and zip header); 0 when they cannot be read. An estimate only: the
// decoding checks everything again.
template <class L>
uint64_t decoded_block_bytes(read_chan<L>& rc, int i, const file_window& chn) {
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
    store->region = take_region(size_t(at));
}

template <class L>
block_region read_chan<L>::take_region(size_t n) {
    return pool_ ? pool_->take(n) : map_block_region(n);
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

template <class L>
int read_chan<L>::choose_thread_count() {
    if (nthreads != 0) return nthreads;
    int n = 3;
    if (cdt->dtype_mask == 0) {
        n = 6;
    } else {
        for (int d = 0; d < 32; ++d) {
            if (!(cdt->dtype_mask & (1u << d))) continue;
            n = std::max(1, get_channel_number(d, nullptr));
            if (d == ZORV_BLOCK_IMAGE || d == ZORV_BLOCK_IMAGE_EXT) n = max_threads;
        }
    }
    if (n != 1) {
        n *= 2;
    } else {
        for (int e = 0; e < 32; ++e) {
            if (!(cdt->ev_mask & (1u << e))) continue;
            const int s = get_event_struct_type(e);
            if (s == ZORV_EV_STRUCT_LOCAL || s == ZORV_EV_STRUCT_ML) {
                n = s == ZORV_EV_STRUCT_LOCAL ? 4 : 2;
                break;
            }
        }
    }
    nthreads = std::min(n, nthreadsmax);
    return nthreads;
}

// Workers are created under mx so that none can free its slot before the
// slot holds its id.
template <class L>
void read_chan<L>::launch_workers() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    read_chan_detail::set_worker_stack(attr);
    const int n = std::min(std::min(nthreads, out_total), int(max_threads));
    {
        mutex_lock lock(mx);
        for (int s = 0; s < n; ++s) {
            pthread_t t;
            if (pthread_create(&t, &attr, read_chan_detail::rules<L>::worker_entry, this) == 0) {
                tid[s] = t;
            } else {
                printf("failed to start thread %d\n", s);
                signal_master();
            }
        }
    }
    pthread_attr_destroy(&attr);
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
void read_chan<L>::decode_here() {
    bool work;
    {
        mutex_lock lock(mx);
        work = out && out_taken < out_total && !stop;
    }
    if (work) worker(*this).run();
}

template <class L>
bool read_chan<L>::wait_decoded() {
    mutex_lock lock(mx);
    while (!all_done && workers_running()) pthread_cond_wait(&exit_cond, &mx);
    return all_done != 0;
}

template <class L>
bool read_chan<L>::is_done() {
    mutex_lock lock(mx);
    return all_done != 0;
}

template <class L>
void read_chan<L>::signal_master() {
    mutex_lock lock(mmx);
    mcnt = 1;
    pthread_cond_signal(&mcond);
}

// Every slot is searched, not only the first nthreads: the count may be
// changed after the launch, and a slot left behind would hold clean()
// forever. Slots past the launched ones hold the free marker, which no
// thread id equals.
template <class L>
void read_chan<L>::set_thread_exited(pthread_t id) {
    mutex_lock lock(mx);
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

// ---------------------------------------------------------------------------
// Decompression workers.
// ---------------------------------------------------------------------------

// One entry as a worker decoded it, ready to be published.
template <class L>
struct read_chan<L>::decoded {
    zorv_time_id id{};
    read_chan_detail::buffer evh, sbh, block;
};

// A worker takes entries one at a time, decodes each without a lock and
// publishes it under mx. A block whose data is bad (a position outside its
// basket, a failed conversion or decompression, an unknown compressor, a
// wrong decompressed length) is published without data and the worker goes
// on, so one damaged block costs only its own entry. Only a failed
// allocation ends the worker, leaving its entry unfinished.
template <class L>
class read_chan<L>::worker {
public:
    explicit worker(read_chan& rc) : rc_(rc) {}

    void run() {
        ending why = ending::no_entries;
        {
            // The basket copy goes away (chnb turns null) under mx once the
            // last entry is published, perhaps before this worker got here.
            mutex_lock lock(rc_.mx);
            const bool done = rc_.all_done != 0;
            if (!rc_.evh_base || !rc_.sbh_base || (!rc_.chnb && !done)) {
                why = ending::error;
            } else if (!rc_.out) {
                printf("Wrong out from object tid:%lu... exiting\n", id_);
                why = ending::error;
            } else if (!done) {
                open_windows();
            }
        }
        for (int i = 0; why == ending::no_entries && take(i, why);) {
            decoded d;
            if (!decode(i, d)) why = ending::error;
            else if (!publish(i, d)) why = ending::stopped;
        }
        finish(why);
    }

private:
    static constexpr int sh_size = L::subhead_size;
    using subhead = typename L::subhead;
    using R = read_chan_detail::rules<L>;
    using buffer = read_chan_detail::buffer;
    using part = typename entry_store::part;
    enum class ending { no_entries, stopped, error };

    // `n` bytes for a part of entry i: its slot when it has room, else the
    // heap; zeroed when asked. Null when memory runs out.
    buffer memory(int i, part p, size_t n, bool zeroed) {
        if (const entry_store* s = rc_.store_) {
            if (unsigned char* at = s->slot(i, p, n)) {
                if (zeroed) std::memset(at, 0, n);
                return buffer(at, read_chan_detail::entry_deleter{&s->region});
            }
        }
        if (zeroed) return read_chan_detail::alloc_zeroed(n);
        return buffer(static_cast<unsigned char*>(std::malloc(n ? n : 1)));
    }

    bool take(int& i, ending& why) {
        mutex_lock lock(rc_.mx);
        if (rc_.stop) {
            why = ending::stopped;
            return false;
        }
        if (rc_.out_taken >= rc_.out_total) return false;
        i = rc_.out_taken++;
        return true;
    }

    // False when the reader is being stopped.
    bool publish(int i, decoded& d) {
        auto addr = [](const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); };
        mutex_lock lock(rc_.mx);
        zorv_channel_entry_long& e = rc_.out[i];
        e.event_id = d.id;
        unsigned char* block = d.block.release();
        e.sbchdata[0] = {addr(d.evh.release()), addr(d.sbh.release()), addr(block),
                         block ? addr(block + sh_size) : 0};
        if (++rc_.out_done == rc_.out_total) {
            rc_.all_done = 1;
            rc_.release_basket();
            pthread_cond_broadcast(&rc_.exit_cond);
            rc_.signal_master();
        }
        return rc_.stop == 0;
    }

    // False only when memory runs out.
    bool decode(int i, decoded& d) {
        d.evh = memory(i, part::evh, sizeof(zorv_eventheader), true);
        if (!d.evh) {
            printf("Failed to malloc additional event header %lu .. exiting\n", id_);
            return false;
        }
        d.sbh = memory(i, part::sbh, L::sbhead_size, true);
        if (!d.sbh) {
            printf("Failed to malloc additional server block header %lu .. exiting\n", id_);
            return false;
        }
        const zorv_event_chan_ptr_entry* p = rc_.get_data_table_pointer(i);
        if (!p) {
            printf("Failed to obtain pointer to event data pointer %lu\n", id_);
            return true;
        }
        if (!copy_headers(i, *p, d)) return true;
        const unsigned char* src = chn_.at(p->chhd, sh_size);
        if (!src) {
            bad_position(i, "channel sub-header", p->chhd);
            return true;
        }
        subhead h;
        zorv_swap4(src, &h, sh_size / 4);
        zorv_swap4(h.chname, h.chname, sizeof h.chname / 4);
        if (uint32_t(h.error) & ZORV_CHAN_ZIP_FLAG) return decode_zipped(i, *p, h, d);
        return decode_plain(i, *p, h, d);
    }

    // Host-order copies of the event header and the server-block header.
    // False when either position is bad or the event header is not one of
    // the index: the entry then carries its event (see check_event_headers),
    // what could be read (a zeroed header otherwise) and no data.
    bool copy_headers(int i, const zorv_event_chan_ptr_entry& p, decoded& d) {
        // A header that is not an event of the index leaves the entry
        // damaged, at the event the index places there if any.
        d.id = rc_.entry_ids_[size_t(i)];
        const unsigned char* evh = evh_.at(p.evhd, sizeof(zorv_eventheader));
        if (!evh) {
            bad_position(i, "event header", p.evhd);
            return false;
        }
        if (!rc_.header_ok_[size_t(i)]) {
            printf("%s entry %d: event header at %lu is not an event of the event index tid:%lu\n", rc_.chan, i,
                   static_cast<unsigned long>(p.evhd), id_);
            return false;
        }
        zorv_eventheader h;
        zorv_swap4(evh, &h, sizeof h / 4);
        std::memcpy(d.evh.get(), &h, sizeof h);
        d.id = {h.event_number, h.event_time};
        const unsigned char* sbh = sbh_.at(p.sbhd, L::sbhead_size);
        if (!sbh) {
            bad_position(i, "server-block header", p.sbhd);
            return false;
        }
        unsigned char* s = d.sbh.get();
        zorv_swap4(sbh, s, L::sbhead_size / 4);
        unsigned char* name = s + offsetof(typename L::sbhead, server);
        zorv_swap4(name, name, L::server_name_len / 4);
        return true;
    }

    bool decode_plain(int i, const zorv_event_chan_ptr_entry& p, subhead& h, decoded& d) {
        const int t = h.dtype & 0xFFFF;
        if (L::is_update_type(t)) return decode_update(i, p, h, d);
        if (t == ZORV_ENV_BLOCK) return decode_env(i, p, h, d);
        const unsigned char* src = h.ldata >= sh_size ? chn_.at(p.chhd, uint32_t(h.ldata)) : nullptr;
        if (!src) {
            printf("%s entry %d: block length %d does not fit its basket tid:%lu\n", rc_.chan, i, h.ldata, id_);
            return true;
        }
        buffer block = memory(i, part::block, size_t(h.ldata), false);
        if (!block) {
            printf("Failed to malloc working memory (NOTZIPPPED) %lu .. exiting\n", id_);
            return false;
        }
        std::memcpy(block.get(), &h, sh_size);
        if (zorv_convert_data(src + sh_size, block.get() + sh_size, h.dtype, h.ldata - sh_size,
                              read_chan_detail::payload_layout(t, L::legacy)) != 0) {
            printf("Failed to convert_data  %lu .. exiting\n", id_);
            return true;
        }
        d.block = cut(std::move(block), false);
        return true;
    }

    // A slow value: one update record behind the sub-header.
    bool decode_update(int i, const zorv_event_chan_ptr_entry& p, subhead& h, decoded& d) {
        const unsigned char* src = chn_.at(p.data, L::upd_size);
        if (!src) {
            bad_position(i, "update payload", p.data);
            return true;
        }
        buffer block = update_block(i, h);
        if (!block) return false;
        if (zorv_convert_data(src, block.get() + sh_size, h.dtype, L::upd_size) != 0) {
            printf("Failed to convert env  %lu .. exiting\n", id_);
            return true;
        }
        d.block = std::move(block);
        return true;
    }

    // An environment value, delivered as an update record named after the
    // channel.
    bool decode_env(int i, const zorv_event_chan_ptr_entry& p, subhead& h, decoded& d) {
        const unsigned char* src = chn_.at(p.data, sizeof(zorv_env_data_block));
        if (!src) {
            bad_position(i, "environment payload", p.data);
            return true;
        }
        zorv_env_data_block env;
        if (zorv_convert_data(src, &env, h.dtype, sizeof env) != 0) {
            printf("Failed to convert env  %lu .. exiting\n", id_);
            return true;
        }
        buffer block = update_block(i, h);
        if (!block) return false;
        typename L::upd_block u{};
        std::snprintf(u.upd_prop, sizeof u.upd_prop, "%.*s", int(sizeof u.upd_prop - 1), rc_.chan);
        u.upd_ch_status = env.env_ch_status;
        u.upd_ch_time = env.env_ch_time;
        u.upd_ch_data = env.env_ch_data;
        std::memcpy(block.get() + sh_size, &u, sizeof u);
        d.block = std::move(block);
        return true;
    }

    // A zeroed update block with the sub-header in front, typed as an update.
    buffer update_block(int i, subhead h) {
        buffer block = memory(i, part::block, sh_size + L::upd_size, true);
        if (!block) {
            printf("Failed to malloc working memory (UPD) %lu .. exiting\n", id_);
            return block;
        }
        h.ldata = sh_size + L::upd_size;
        h.dtype = L::upd_type;
        std::memcpy(block.get(), &h, sh_size);
        return block;
    }

    bool decode_zipped(int i, const zorv_event_chan_ptr_entry& p, subhead& h, decoded& d) {
        const uint64_t zpos = uint64_t(p.chhd) + sh_size;
        const unsigned char* zsrc = chn_.at(zpos, sizeof(zorv_zip_header));
        if (!zsrc) {
            bad_position(i, "zip header", zpos);
            return true;
        }
        zorv_zip_header z;
        zorv_swap4(zsrc, &z, 3);
        const unsigned char* src = chn_.at(zpos + sizeof z, z.zipp_length);
        if (!src || z.zipp_length > uint32_t(std::numeric_limits<int>::max())) {
            bad_position(i, "compressed data", zpos + sizeof z);
            return true;
        }
        if (!read_chan_detail::plausible_expansion(z.orig_length, z.zipp_length, sh_size)) {
            printf("%s entry %d: original length %u cannot come from %u compressed bytes tid:%lu\n", rc_.chan,
                   i, z.orig_length, z.zipp_length, id_);
            return true;
        }
        const bool zlib = z.zip_flags & 1;
        if (!zlib && !(z.zip_flags & 2)) {
            printf("Unknown unzipper: 0x%x!!! exiting tid:%lu\n", z.zip_flags, id_);
            print_zorv_zip_header(&z);
            return true;
        }
        const size_t room = size_t(z.orig_length) + sh_size;
        buffer block = memory(i, part::block, room, false);
        if (!block) {
            printf("Failed to malloc working memory %lu .. exiting\n", id_);
            return false;
        }
        const int orig = int(z.orig_length);
        h.error = int32_t(uint32_t(h.error) & ~uint32_t(ZORV_CHAN_ZIP_FLAG));
        h.ldata = orig + sh_size;
        std::memcpy(block.get(), &h, sh_size);

        unsigned char* in = const_cast<unsigned char*>(src);
        unsigned char* dst = block.get() + sh_size;
        int n = orig;
        const int r = zlib ? make_zlib(in, int(z.zipp_length), dst, &n)
                           : make_lzo(in, int(z.zipp_length), dst, &n, nullptr);  // LZO1X decodes without work memory
        if (r != 0) {
            printf("Failed to uncompress PID %lu!!!\n", id_);
            return true;
        }
        if (n != orig) {
            printf("Orig size (%d) != unzip size (%d) tid:%lu\n", orig, n, id_);
            return true;
        }
        const int t = h.dtype & 0xFFFF;
        if (const int c = zorv_convert_data(dst, dst, h.dtype, orig, read_chan_detail::payload_layout(t, L::legacy))) {
            if constexpr (R::unzipped_convert_failed != nullptr)
                printf(R::unzipped_convert_failed, c, long(orig), id_);
            return true;
        }
        d.block = cut(std::move(block), true);
        return true;
    }

    // Cuts the reader's sub-channel out of a device block when the layout's
    // rule asks for it. On success the cut block carries the device type in
    // the high 16 bits of its dtype; on failure the device block is kept.
    buffer cut(buffer block, bool unzipped) {
        const int sub = rc_.subchan;
        subhead h;
        std::memcpy(&h, block.get(), sh_size);
        const int t = h.dtype & 0xFFFF;
        const int n = get_channel_number(t, nullptr);
        if (!(unzipped ? R::cut_after_unzip(t, n, sub) : R::cut_after_plain(t, n, sub))) return block;
        void* one = nullptr;
        if ((unzipped ? R::cut_unzipped : R::cut_plain)(block.get(), sub, &one)) {
            printf(R::cut_failed, rc_.chan, sub);
            return block;
        }
        if (!one) return block;
        auto* cut_block = static_cast<unsigned char*>(one);
        int32_t dtype;
        std::memcpy(&dtype, cut_block + offsetof(subhead, dtype), sizeof dtype);
        dtype |= int32_t(uint32_t(t) << 16);
        std::memcpy(cut_block + offsetof(subhead, dtype), &dtype, sizeof dtype);
        return buffer(cut_block);
    }

    void bad_position(int i, const char* what, uint64_t pos) {
        printf("%s entry %d: %s position %lu lies outside its basket tid:%lu\n", rc_.chan, i, what,
               static_cast<unsigned long>(pos), id_);
    }

    void finish(ending why) {
        if (rc_.debug_level() < 0) {
            int done;
            {
                mutex_lock lock(rc_.mx);
                done = rc_.out_done;
            }
            printf("thread: finished %lu  %d  in %f msec\n", id_, done, sw_.millis());
        }
        if (why == ending::error) rc_.signal_master();
        rc_.set_thread_exited(pthread_self());
    }

    void open_windows() {
        const uint32_t n = uint32_t(rc_.len);
        evh_ = read_chan_detail::basket_window(rc_.evhb, rc_.evh_base, rc_.evh_offset, n);
        sbh_ = read_chan_detail::basket_window(rc_.sbhb, rc_.sbh_base, rc_.sbh_offset, n);
        chn_ = read_chan_detail::basket_window(rc_.chnb, rc_.chn_base, rc_.chn_offset, n);
    }

    read_chan& rc_;
    read_chan_detail::stopwatch sw_;
    const unsigned long id_ = read_chan_detail::thread_id();
    read_chan_detail::file_window evh_, sbh_, chn_;
};

template <class L>
void* read_chan<L>::worker_main(void* prm) {
    if (!prm) {
        printf("No object to work with tid:%lu... exiting\n", read_chan_detail::thread_id());
        return nullptr;
    }
    worker(*static_cast<read_chan*>(prm)).run();
    return nullptr;
}

// ---------------------------------------------------------------------------
// Entry lookup.
// ---------------------------------------------------------------------------

namespace read_chan_detail {

// The identity a request starts from and how it is to be searched.
struct lookup_ref {
    zorv_time_id id{};
    bool by_number = false;
    bool valid = false;
};

inline bool is_unfinished(const zorv_channel_entry_long& e) {
    return e.event_id.event_number == 0xFFFFFFFFu;
}

// A finished entry without a time (its event header was unreadable) has no
// place in a time search and is passed over.
inline bool is_timeless(const zorv_channel_entry_long& e) { return e.event_id.time.timeup == 0; }

}  // namespace read_chan_detail

template <class L>
int read_chan<L>::get_chan_data(zorv_time_id* id, zorv_channel_entry_long** res, int op) {
    using R = read_chan_detail::rules<L>;
    if (!basket_loaded()) {
        printf(R::get_not_init, chan);
        return ZORV_DAQ_READ_CHAN_NOT_INIT;
    }
    if (!res || op < ZORV_DAQ_READ_CHAN_EVENT_FIRST || op > ZORV_DAQ_READ_CHAN_EVENT_LAST)
        return ZORV_DAQ_READ_CHAN_INV_PARAM;

    read_chan_detail::lookup_ref ref;
    bool from_cur = false;
    ref.valid = true;
    if (id) {
        ref.id = *id;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_FIRST) {
        ref.id = event_first;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_LAST) {
        ref.id = event_last;
    } else if (out_cur) {
        ref.id = out_cur->event_id;
        from_cur = true;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_PREV) {
        ref.id = event_last;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_NEXT) {
        ref.id = event_first;
    } else {
        ref.valid = false;
    }
    const uint32_t n = ref.id.event_number;
    const bool has_time = ref.id.time.timeup != 0;
    if constexpr (R::current_lookup) {
        ref.valid = ref.valid && (n != 0 || has_time);
        ref.by_number = n != 0 && (id || op == ZORV_DAQ_READ_CHAN_EVENT_FIRST ||
                                   op == ZORV_DAQ_READ_CHAN_EVENT_CUR || op == ZORV_DAQ_READ_CHAN_EVENT_LAST);
    } else {
        ref.by_number = id && n != 0;
        ref.valid = ref.valid && (ref.by_number || has_time || (from_cur && n != 0));
    }
    if (!ref.valid) {
        if (!R::current_lookup || debug_level() != 0) printf("Start channel is we are here   %d@%d\n", 0, 0);
        return ZORV_DAQ_READ_CHAN_INV_PARAM;
    }

    int status = ZORV_DAQ_READ_CHAN_NO_DATA;
    zorv_channel_entry_long* e;
    {
        mutex_lock lock(mx);
        e = ref.by_number ? lookup_by_number(n, op, &status) : lookup_by_time(ref.id.time, op, &status);
    }
    if (!e) return status;
    if constexpr (R::current_lookup) event_cur = e->event_id;
    *res = e;
    return status;
}

// Steps by event number and checks the window; FIRST, PREV and LAST are
// looked up even beyond the last event. Steps that would wrap around the
// 32-bit event number count as leaving the window.
template <class L>
zorv_channel_entry_long* read_chan<L>::lookup_by_number(uint32_t n, int op, int* status) {
    const uint32_t step = event_step.event_number;
    const bool cur_or_next = op == ZORV_DAQ_READ_CHAN_EVENT_CUR || op == ZORV_DAQ_READ_CHAN_EVENT_NEXT;
    bool outside = false;
    if (op == ZORV_DAQ_READ_CHAN_EVENT_PREV) {
        outside = n < step || n - step < event_first.event_number;
        n -= step;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_NEXT) {
        outside = n > std::numeric_limits<uint32_t>::max() - step;
        n += step;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_CUR) {
        outside = n < event_first.event_number;
    }
    if (outside || (n > event_last.event_number && cur_or_next)) {
        *status = ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW;
        return nullptr;
    }
    return find_entry_by_event_id(n, op, status);
}

template <class L>
zorv_channel_entry_long* read_chan<L>::lookup_by_time(time_stamp t, int op, int* status) {
    if (op == ZORV_DAQ_READ_CHAN_EVENT_PREV) t = read_chan_detail::step_back(t, event_step.time);
    else if (op == ZORV_DAQ_READ_CHAN_EVENT_NEXT) t = read_chan_detail::step_forward(t, event_step.time);

    int cmp = 0;
    if (!zorv_time_stamp_eq(&t, &event_first.time, time_diff, &cmp, nullptr) && cmp < 0 &&
        (op == ZORV_DAQ_READ_CHAN_EVENT_PREV || op == ZORV_DAQ_READ_CHAN_EVENT_CUR)) {
        *status = ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW;
        return nullptr;
    }
    if (!zorv_time_stamp_eq(&event_last.time, &t, time_diff, &cmp, nullptr) && cmp < 0 &&
        (op == ZORV_DAQ_READ_CHAN_EVENT_CUR || op == ZORV_DAQ_READ_CHAN_EVENT_NEXT)) {
        *status = ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW;
        return nullptr;
    }
    zorv_channel_entry_long* e = find_entry_by_time(&t, op, status);
    if constexpr (read_chan_detail::rules<L>::current_lookup) {
        if (e && by_time_fix && (op == ZORV_DAQ_READ_CHAN_EVENT_PREV || op == ZORV_DAQ_READ_CHAN_EVENT_NEXT))
            return step_check(e, op, status, t);
    }
    return e;
}

// A time step that lands on the same or the adjacent event is accepted; one
// that skips events or goes the wrong way is replaced by a step of
// event_step.event_number events from the current event.
template <class L>
zorv_channel_entry_long* read_chan<L>::step_check(zorv_channel_entry_long* e, int op, int* status,
                                                   const time_stamp& target) {
    const uint32_t cur = event_cur.event_number;
    const uint32_t found = e->event_id.event_number;
    const uint32_t step = event_step.event_number;
    const bool next = op == ZORV_DAQ_READ_CHAN_EVENT_NEXT;
    // Nothing handed out yet: there is no current event to step from.
    if (cur == 0 && event_cur.time.timeup == 0 && event_cur.time.timelow == 0) return e;
    if ((next ? found - cur : cur - found) <= 1) return e;
    if (debug_level() > 0) printf("Double check instead of time -> by EvID\n");
    const bool outside = next ? (cur > std::numeric_limits<uint32_t>::max() - step ||
                                 cur + step > event_last.event_number)
                              : (cur < step || cur - step < event_first.event_number);
    if (outside) {
        *status = ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW;
        return e;
    }
    zorv_channel_entry_long* r = find_entry_by_event_id(next ? cur + step : cur - step, op, status);
    // When the time step found no entry at the stepped time, only the
    // nearest one beyond it, a step by number must not land short of the
    // stepped time: that entry lies between two events of the grid, and a
    // step in the other direction would not take it either.
    const double want = read_chan_detail::micros(target);
    const bool matched = std::abs(read_chan_detail::micros(e->event_id.time) - want) <= time_diff;
    const double got = r ? read_chan_detail::micros(r->event_id.time) : 0.0;
    if (r && !matched && (next ? got < want - time_diff : got > want + time_diff)) {
        out_cur = e;
        return e;
    }
    return r ? r : e;
}

template <class L>
zorv_channel_entry_long* read_chan<L>::find_entry_by_event_id(uint32_t id, int op, int* sts) {
    using R = read_chan_detail::rules<L>;
    using read_chan_detail::is_unfinished;
    int dummy;
    int& status = sts ? *sts : dummy;
    if (id == 0) return status = ZORV_DAQ_READ_CHAN_INV_PARAM, nullptr;
    if (!out) return status = ZORV_DAQ_READ_CHAN_NOT_INIT, nullptr;
    if (out_total == 0) return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
    status = ZORV_DAQ_READ_CHAN_OK;
    read_chan_detail::stopwatch sw;

    auto number = [this](int k) { return out[k].event_id.event_number; };
    int found = -1;
    // Unfinished entries carry the largest number and so sort last.
    for (int lo = 0, hi = out_total - 1; lo <= hi && id != unfinished;) {
        const int mid = lo + (hi - lo) / 2;
        if (number(mid) == id) {
            found = mid;
            break;
        }
        if (number(mid) < id) lo = mid + 1;
        else hi = mid - 1;
    }
    for (int k = 0; found < 0 && k < out_total; ++k) {
        if (is_unfinished(out[k])) {
            if (R::current_lookup && debug_level() != 0) printf("HERE STATUS NO_DATA...\n");
            return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
        }
        if (number(k) == id) found = k;
    }
    // Not there: the nearest entry in the asked direction, the first on a tie.
    if (found < 0 && (op == ZORV_DAQ_READ_CHAN_EVENT_PREV || op == ZORV_DAQ_READ_CHAN_EVENT_NEXT)) {
        const bool prev = op == ZORV_DAQ_READ_CHAN_EVENT_PREV;
        int best = -1;
        for (int k = 0; k < out_total; ++k) {
            const uint32_t v = number(k);
            const bool candidate = prev ? (v > 0 && v < id) : v > id;
            if (candidate && (best < 0 || (prev ? v > number(best) : v < number(best)))) best = k;
        }
        found = best;
    }
    if (found < 0) {
        status = ZORV_DAQ_READ_CHAN_NO_DATA;
    } else {
        if (R::current_lookup) index_to_start_search = found;
        out_cur = &out[found];
    }
    if (R::current_lookup && debug_level() < 0 && sw.micros() > 1000.0)
        printf("get_by_event_id()  %f msec event_id:%d\n", sw.millis(), int(id));
    return found < 0 ? nullptr : out_cur;
}

// From entry k, the neighbour nearer to ts as long as there is one; the
// entries are in ascending time.
template <class L>
int read_chan<L>::nearest_around(int k, const time_stamp& ts) const {
    using read_chan_detail::is_timeless;
    using read_chan_detail::is_unfinished;
    const double t = read_chan_detail::micros(ts);
    auto dist = [&](int j) { return std::abs(t - read_chan_detail::micros(out[j].event_id.time)); };
    auto usable = [&](int j) { return j >= 0 && j < out_total && !is_unfinished(out[j]) && !is_timeless(out[j]); };
    for (int dir : {-1, 1})
        while (usable(k + dir) && dist(k + dir) < dist(k)) k += dir;
    return k;
}

template <class L>
zorv_channel_entry_long* read_chan<L>::find_entry_by_time(time_stamp* ts, int op, int* sts) {
    using read_chan_detail::is_timeless;
    using read_chan_detail::is_unfinished;
    int dummy;
    int& status = sts ? *sts : dummy;
    if (!ts) return status = ZORV_DAQ_READ_CHAN_INV_PARAM, nullptr;
    if (!out) return status = ZORV_DAQ_READ_CHAN_NOT_INIT, nullptr;
    if (out_total == 0) return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
    status = ZORV_DAQ_READ_CHAN_OK;

    // cmp: where ts lies against entry k (0 within the tolerance).
    auto compare = [&](int k, int& cmp) {
        const time_stamp& t = out[k].event_id.time;
        return zorv_time_stamp_eq(ts, &t) || zorv_time_stamp_eq(ts, &t, time_diff, &cmp, nullptr);
    };
    int found = -1;
    int cmp = 0;
    for (int lo = 0, hi = out_total - 1; lo <= hi;) {
        const int mid = lo + (hi - lo) / 2;
        if (is_unfinished(out[mid])) return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
        if (is_timeless(out[mid])) break;
        cmp = 0;
        if (compare(mid, cmp)) {
            found = mid;
            break;
        }
        if (cmp < 0) hi = mid - 1;
        else lo = mid + 1;
    }
    for (int k = 0; found < 0 && k < out_total; ++k) {
        if (is_unfinished(out[k])) return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
        if (!is_timeless(out[k]) && compare(k, cmp)) found = k;
    }
    // Of the entries within the tolerance the nearest one: a tolerance of
    // more than half the spacing holds two, and the search may meet either.
    if (found >= 0) found = nearest_around(found, *ts);
    if (found < 0 && (op == ZORV_DAQ_READ_CHAN_EVENT_PREV || op == ZORV_DAQ_READ_CHAN_EVENT_NEXT)) {
        const int want = op == ZORV_DAQ_READ_CHAN_EVENT_PREV ? 1 : -1;
        double best = 0;
        for (int k = 0; k < out_total; ++k) {
            if (is_timeless(out[k]) || compare(k, cmp) || cmp != want) continue;
            const double dist = std::abs(read_chan_detail::micros(*ts) - read_chan_detail::micros(out[k].event_id.time));
            if (found < 0 || dist < best) {
                found = k;
                best = dist;
            }
        }
    }
    if (found < 0) return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
    out_cur = &out[found];
    return out_cur;
}

// ---------------------------------------------------------------------------
// Diagnostics.
// ---------------------------------------------------------------------------

template <class L>
void read_chan<L>::print_chan_descr() {
    if (!descr.prop_name[0]) {
        printf("%s NO DESCRIPTION SET\n", chan);
        return;
    }
    std::vector<chan_descr_2010*> one{&descr};
    print_zorv_chan_descr(&one);
}

template <class L>
void read_chan<L>::print_cdt_entry() {
    if (!cdt) {
        printf("print_cdt_entry(): CDT is not initialized\n");
        return;
    }
    std::string events;
    for (int e = 0; e < 32; ++e) {
        if (!(cdt->ev_mask & (1u << e))) continue;
        std::string piece = (events.empty() ? "" : ":") + std::string(event_name_itoa(e));
        if (events.size() + piece.size() > 255) break;
        events += piece;
    }
    printf("[%d]\tKey:%u\tChan:%.*s\tCount:%d\tEvents:%s\n", cdtl, cdt->key, int(sizeof cdt->chan_name),
           cdt->chan_name, cdt->count, events.c_str());
}

template <class L>
void read_chan<L>::print_time_limits() {
    auto line = [this](const char* label, const zorv_time_id& t) {
        if (subchan != -1) printf("%s:%d %s", chan, subchan, label);
        else printf("%s %s", chan, label);
        if (t.time.timeup == 0) {
            printf(" Unknown\n");
            return;
        }
        char text[64] = {};
        const time_t secs = t.time.timeup;
        if (ctime_r(&secs, text)) text[std::strcspn(text, "\n")] = '\0';
        printf(" EventID: %u Time: %s : %u\n", t.event_number, text, t.time.timelow);
    };
    line("First: ", event_first);
    line("Last : ", event_last);
}

template <class L>
void read_chan<L>::print_event_chan_pointers_entry() {
    if (!ecp_tab || !cdt_tab) return;
    printf("=================ECP=enrty= cdtl:%d  chn_base:%u======\n", cdtl,
           unsigned(reinterpret_cast<uintptr_t>(chn_base)));
    const int count = cdt ? cdt->count : 0;
    for (int i = 0; i < count; ++i) {
        const zorv_event_chan_ptr_entry* p = get_data_table_pointer(i);
        if (!p) break;
        printf("(%u %u %u %u) ", p->evhd, p->sbhd, p->chhd, p->data);
    }
    printf("==========END=OF=ECP=enrty=======\n");
}

// Prints every entry's identity and, for a finished entry, `dump` of its
// element 0 between the two frame lines.
template <class L>
template <class F>
void read_chan<L>::print_entries(const char* head, const char* tail, F&& dump) {
    if (!ecp_tab || !cdt_tab || !out) return;
    mutex_lock lock(mx);
    printf("%s", head);
    for (int i = 0; i < out_total; ++i) {
        const zorv_channel_entry_long& e = out[i];
        printf("%d %d:%d\n", int(e.event_id.event_number), int(e.event_id.time.timeup), int(e.event_id.time.timelow));
        dump(e.sbchdata[0]);
    }
    printf("%s", tail);
}

template <class L>
void read_chan<L>::print_event_headers() {
    print_entries("=================EVENT HEADERS======\n", "==========END=OF=EVENT=HEADERS=======\n",
                  [](const zorv_event_chan_ptr_long_entry& p) {
                      if (p.evhd) dump_event_header_(reinterpret_cast<const zorv_eventheader*>(p.evhd));
                  });
}

template <class L>
void read_chan<L>::print_server_block_headers() {
    print_entries("=================SB HEADERS======\n", "==========END=OF=SB=HEADERS=======\n",
                  [](const zorv_event_chan_ptr_long_entry& p) {
                      if (p.sbhd) read_chan_detail::rules<L>::dump_sbhead(reinterpret_cast<const void*>(p.sbhd));
                  });
}

template <class L>
void read_chan<L>::print_channel_headers() {
    print_entries("=================CHANNEL HEADERS======\n", "==========END=OF=CHANNEL=HEADERS=======\n",
                  [](const zorv_event_chan_ptr_long_entry& p) {
                      if (p.chhd) read_chan_detail::rules<L>::dump_chanhead(reinterpret_cast<const void*>(p.chhd));
                  });
}

template <class L>
void read_chan<L>::print_channel() {
    print_entries("=================CHANNEL======\n", "==========END=OF=CHANNEL========\n",
                  [](const zorv_event_chan_ptr_long_entry& p) {
                      if (p.chhd) read_chan_detail::rules<L>::print_data(reinterpret_cast<const void*>(p.chhd));
                  });
}

}  // namespace zorv

#endif
