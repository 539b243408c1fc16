// zorv::slicer: configuration, the start of every channel at the first
// event, the record of what each channel delivered and passed over, and the
// clean-up.
#include "core/slicer_parts.h"

namespace zorv {

std::atomic<int> worker_limit{0};

template <class L>
slicer<L>::slicer() {
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
    const int r = copy_before_start(&event_time_diff, tm);
    if (r == ZORV_DAQ_SLICER_OK) time_diff = tm->timeup * 1e6 + tm->timelow;
    return r;
}

template <class L>
int slicer<L>::set_event_step(zorv_time_id* step) {
    return copy_before_start(&event_step, step);
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
    try {
        task.slot_file.assign(size_t(get_tables_num), -1);
    } catch (const std::bad_alloc&) {
        free(std::exchange(get_tables, nullptr));
    }
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
    const double t0 = timing_clock_us(debug < 0);
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
    if constexpr (L::has_time_fix) r->set_by_time_fix(by_time_fix);
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
    double dt = timing_clock_us(debug < 0) - t0;
    if (L::text::slicer_timing && debug < 0 && dt > 1000.0) printf("CREATE CHANNEl %f msec\n", dt / 1000.0);
    return ZORV_DAQ_SLICER_OK;
}

template <class L>
void slicer<L>::configure_reader(reader_t* r) {
    r->set_block_pool(pool_);
    r->set_max_number_of_threads(slicer_detail::workers_per_channel());
}

template <class L>
std::vector<std::pair<std::string, std::string>> slicer<L>::get_skipped_files() {
    std::vector<std::pair<std::string, std::string>> out;
    checked_lock lk(tmx);
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

template <class L>
void slicer<L>::refuse_event(bool window_over) {
    if (synch_mode != ZORV_DAQ_SLICER_SYNCH_MODE_TIME || !walking_forward_ || event_refused_ || !read_chans) return;
    event_refused_ = true;
    for (int i = 0; i < nchans && size_t(i) < track_.size(); ++i) {
        chan_track& t = track_[size_t(i)];
        const reader_t* r = read_chans[i];
        if (!r || t.reader != r) continue;
        if (t.given && in_count_window(t.given->event_id)) ++t.unmatched;
        if (window_over) count_passed(i, r->out_total);
    }
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
        checked_lock lk(tmx);
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
    checked_lock lk(tmx);
    while (task.running) tmx.wait(tcond);
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
    task.slot_file.clear();
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

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_SLICER(L) \
    template slicer<L>::slicer(); \
    template slicer<L>::~slicer(); \
    template int slicer<L>::init(std::vector<char*>* file_list, std::vector<chan_param_t*>* chan_list, int m); \
    template int slicer<L>::set_num_of_get_tables(int n); \
    template int slicer<L>::set_synch_mode(int m); \
    template int slicer<L>::set_time_diff(time_stamp* tm); \
    template int slicer<L>::set_event_step(zorv_time_id* step); \
    template const char* slicer<L>::get_name_of_empty_channel() const; \
    template int slicer<L>::start(); \
    template int slicer<L>::start_one_channel(int i); \
    template void slicer<L>::drop_at_start(int i, int status, bool no_file); \
    template void slicer<L>::set_starting_point(); \
    template int slicer<L>::create_channel(int i, tables_t* tables); \
    template void slicer<L>::configure_reader(reader_t* r); \
    template std::vector<std::pair<std::string, std::string>> slicer<L>::get_skipped_files(); \
    template int slicer<L>::chan_state(int i) const; \
    template long slicer<L>::entries_in_skipped_files(int i) const; \
    template long slicer<L>::unmatched_entries(int i) const; \
    template long slicer<L>::entries_without_event(int i) const; \
    template void slicer<L>::count_without_event(int i, const reader_t* r); \
    template bool slicer<L>::in_count_window(const zorv_time_id& id) const; \
    template void slicer<L>::count_passed(int i, int upto); \
    template void slicer<L>::refuse_event(bool window_over); \
    template int slicer<L>::missing_state(int i, const tables_t* event_file) const; \
    template void slicer<L>::stop_table_thread(); \
    template void slicer<L>::release_readers(); \
    template void slicer<L>::release_slots(); \
    template void slicer<L>::release_copies(); \
    template void slicer<L>::clean_up();
ZORV_SLICER(layout_current)
ZORV_SLICER(layout_legacy)
#undef ZORV_SLICER


}  // namespace zorv
