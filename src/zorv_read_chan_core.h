// One channel of one open DAQ file: finds the channel in the file's tables,
// brings its basket in, decodes its blocks on detached worker threads into
// one result record per entry, and answers lookups by event number or time.
// Written once for both file layouts; the public classes
// zorv_daq_read_chan_2010 and zorv_daq_read_chan derive from it.
#ifndef ZORV_READ_CHAN_CORE_H
#define ZORV_READ_CHAN_CORE_H

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <type_traits>
#include <vector>

#include "event_util.h"
#include "zorv_export.h"
#include "zorv_layout.h"
#include "zorv_thread_safety.h"

namespace zorv {

template <class L>
class table_set;
class block_pool;
struct block_region;

template <class L>
class ZORV_EXPORT read_chan {
public:
    using tables = table_set<L>;
    static constexpr int max_threads = 10;
    static constexpr uint32_t unfinished = 0xFFFFFFFFu;

    // The reader keeps the table set (not owned); it must stay loaded until
    // clean(). An unusable argument leaves the object uninitialised, which
    // start() reports.
    read_chan(tables* tbl, char* ch, int subch, chan_descr_2010* desc);
    ~read_chan();
    read_chan(const read_chan&) = delete;
    read_chan& operator=(const read_chan&) = delete;

    // Prepares the channel and launches the workers. The master's mutex,
    // condition and flag are handed out first, so a caller can always wait
    // on them: every path that leaves nothing to wait for sets the flag.
    int start(pthread_mutex_t** pmx, pthread_cond_t** pcond, int** pcnt);

    // The hand-shake with the workers after start(). decode_here() decodes
    // entries on the calling thread beside the workers until none is left to
    // take (nothing when there is nothing to decode): the caller need not
    // wait for workers to be scheduled on a busy machine. wait_decoded()
    // returns once every entry is decoded or no worker is left that could
    // decode more (a failed start has none); true when every entry is
    // decoded. Both may be called whether or not start() succeeded.
    void decode_here();
    bool wait_decoded();

    // Stops the workers, waits until every one has ended and frees the
    // results and the basket. The table set is left alone.
    void clean();
    void clean_descr();

    int get_chan_data(zorv_time_id* id, zorv_channel_entry_long** res, int op);
    zorv_channel_entry_long* find_entry_by_event_id(uint32_t id, int op, int* sts);
    zorv_channel_entry_long* find_entry_by_time(time_stamp* ts, int op, int* sts);

    int set_time_diff(time_stamp* tm);
    time_stamp* get_time_diff() { return &event_time_diff; }
    int set_step(zorv_time_id* id);
    zorv_time_id* get_step() { return &event_step; }
    template <class U = L, std::enable_if_t<U::has_time_fix, int> = 0>
    bool is_by_time_fix() const { return by_time_fix; }
    template <class U = L, std::enable_if_t<U::has_time_fix, int> = 0>
    void set_by_time_fix(bool fix) { by_time_fix = fix; }

    // Decoded entries are carved from regions of `pool` (not owned; it must
    // outlive the reader's clean()) and handed back to it; without a pool a
    // reader maps and unmaps its own region. Set before start().
    void set_block_pool(block_pool* pool) { pool_ = pool; }
    // Bytes of memory the decoded entries take (0 before start).
    size_t entry_memory() const;

    bool set_max_number_of_threads(int thr);
    bool set_number_of_threads(int thr);
    bool is_done();
    void signal_master();
    void set_thread_exited(pthread_t id);

    zorv_event_chan_ptr_entry* get_data_table_pointer(int cnt);
    char* get_chan_name(int* subch);
    void get_time_limits(zorv_time_id* first, zorv_time_id* last);
    tables* get_cfg() { return cfg; }

    typename L::evh_basket* get_evh_basket() { return evhb; }
    typename L::sbh_basket* get_sbh_basket() { return sbhb; }
    // Null once every entry is decoded when the basket was copied: the copy
    // is given back then.
    typename L::chan_basket* get_chn_basket() {
        checked_lock lock(mx);
        return chnb;
    }
    unsigned char* get_evh_base() { return evh_base; }
    unsigned char* get_sbh_base() { return sbh_base; }
    unsigned char* get_chn_base() { return chn_base; }
    u_long get_evh_offset() { return evh_offset; }
    u_long get_sbh_offset() { return sbh_offset; }
    u_long get_chn_offset() { return chn_offset; }

    void print_chan_descr();
    void print_cdt_entry();
    void print_time_limits();
    void print_event_chan_pointers_entry();
    void print_event_headers();
    void print_server_block_headers();
    void print_channel_headers();
    void print_channel();

    // Body of a decompression worker; `prm` is the reader.
    static void* worker_main(void* prm);

    char* file_name = nullptr;
    int fd = -1;
    int len = 0;
    int nthreads = 0;
    int nthreadsmax = max_threads;
    tables* cfg = nullptr;
    unsigned char* evh_base = nullptr;
    u_long evh_offset = 0;
    typename L::evh_basket* evhb = nullptr;
    unsigned char* sbh_base = nullptr;
    u_long sbh_offset = 0;
    typename L::sbh_basket* sbhb = nullptr;
    typename L::chan_basket* chnb = nullptr;
    unsigned char* chn_base = nullptr;
    u_long chn_base_size = 0;
    u_long chn_offset = 0;
    typename L::ref_table* ref_tbl = nullptr;
    typename L::eit* eit_tab = nullptr;
    typename L::cdt* cdt_tab = nullptr;
    typename L::ecpt* ecp_tab = nullptr;
    typename L::eidt* eidt_tab = nullptr;
    typename L::xcd* xcd_tab = nullptr;
    typename L::cdt_entry* cdt = nullptr;
    int cdtl = -1;
    int ecpl = -1;
    chan_descr_2010 descr{};
    time_stamp event_time_diff{0, 95000};
    double time_diff = 95000.0;
    zorv_time_id event_step{1, {0, 200000}};
    // Guards the workers' slots and the progress of the decoding. `native`
    // for code outside the analysis.
    checked_mutex mx;
    pthread_t tid[max_threads] ZORV_GUARDED_BY(mx);
    int index_to_start_search = -1;  // current layout only
    bool by_time_fix = true;         // current layout only
    char chan[L::chan_name_len] = {};
    int subchan = -1;
    zorv_channel_entry_long* out = nullptr;
    zorv_channel_entry_long* out_cur = nullptr;
    int out_total = 0;
    int out_taken ZORV_GUARDED_BY(mx) = 0;
    int out_done ZORV_GUARDED_BY(mx) = 0;
    zorv_time_id event_first{};
    zorv_time_id event_last{};
    zorv_time_id event_cur{};  // current layout only
    int all_done ZORV_GUARDED_BY(mx) = 0;
    pthread_mutex_t mmx;
    pthread_cond_t mcond;
    int mcnt = 0;
    int stop ZORV_GUARDED_BY(mx) = 0;

    // Entries of the started channel whose event header is not an event of
    // the file's event index and that no index position places either: they
    // are damaged and belong to no event.
    int entries_without_event() const { return without_event_; }

private:
    struct decoded;
    class worker;
    struct entry_store;

    void copy_descr(const chan_descr_2010* desc, const char* ch);
    int prepare();
    int fail(int code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    int load_basket(const zorv_event_chan_ptr_entry* p);
    void check_event_headers();
    void find_time_limits();
    int choose_thread_count();
    void launch_workers();
    void reserve_entry_memory();
    void release_entry_memory();
    void release_basket() ZORV_REQUIRES(mx);
    block_region take_region(size_t n, size_t populate);
    void give_back(block_region& r);
    bool basket_loaded() const { return basket_in_; }
    int debug_level() const;
    zorv_channel_entry_long* lookup_by_number(uint32_t n, int op, int* status);
    zorv_channel_entry_long* lookup_by_time(time_stamp t, int op, int* status);
    int nearest_around(int k, const time_stamp& ts) const;
    zorv_channel_entry_long* step_check(zorv_channel_entry_long* e, int op, int* status, const time_stamp& target);
    template <class F>
    void print_entries(const char* head, const char* tail, F&& dump);

    bool workers_running() const ZORV_REQUIRES(mx);

    pthread_cond_t exit_cond;  // a worker has freed its slot, or the last entry is published
    block_pool* pool_ = nullptr;
    entry_store* store_ = nullptr;  // memory of the decoded entries, from start() to clean()
    bool basket_in_ = false;        // start() brought the basket in (chnb may be given back since)
    // Per entry, set by start() before the workers run: the event it belongs
    // to (zero when none), and whether its own event header says so.
    std::vector<zorv_time_id> entry_ids_;
    std::vector<unsigned char> header_ok_;
    int without_event_ = 0;
};

}  // namespace zorv

#endif
