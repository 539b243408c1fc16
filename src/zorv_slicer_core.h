// The slicer: many channels over an ordered list of DAQ files served as one
// stream of events. A table thread loads the files' table sets ahead of use
// into a slot array; every channel has one channel reader on the table set of
// the file it currently reads; get_data aligns the channels event by event
// and moves a channel to the neighbouring file when its file runs out.
//
// One template serves both layouts; zorv_daq_slicer_2010 and zorv_daq_slicer
// are its two instances.
#ifndef ZORV_SLICER_CORE_H
#define ZORV_SLICER_CORE_H

#include <pthread.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "event_util.h"
#include "zorv_daq_read_chan.h"
#include "zorv_daq_read_chan_2010.h"
#include "zorv_daq_delivery.h"
#include "zorv_export.h"
#include "zorv_layout.h"
#include "zorv_layout_members.h"
#include "zorv_thread_safety.h"

namespace zorv {

class block_pool;

template <class L>
class slicer;

// Shared by a slicer and its table thread. ready, go, status, next, waiting,
// done, running and the slots change only under *tmx; every change is
// followed by a broadcast on *tcond.
template <class L>
struct tables_task {
    using tables_t = typename L::table_set_type;

    ::zorv::slicer<L>* slicer = nullptr;   // to read its debug level
    std::vector<char*>* files = nullptr;   // the DAQ files, in order
    std::vector<char*>* chans = nullptr;   // channel names for the table sets
    tables_t** get_tables = nullptr;       // the slot array
    std::vector<int> slot_file;            // index in *files of each slot's table set, -1 when empty
    int get_tables_num = 0;                // number of slots
    checked_mutex* tmx = nullptr;
    pthread_cond_t* tcond = nullptr;
    int ready = 0;               // loaded and not yet claimed by find_ready_table
    int go = 0;                  // permits: how many more table sets may be loaded
    int mode = 0;                // description mode of the table sets
    std::atomic<int> stop{0};    // 1 asks the thread to end
    int status = 0;              // 1 after a table set failed to load

    // What the caller needs to tell a table set that will never come from
    // one that is still on its way.
    int next = 0;     // index of the next file the thread will load
    int waiting = 0;  // 1 while the thread waits for a permit
    int done = 0;     // 1 once the thread loads no more files
    int running = 0;  // 1 from the thread's creation until it has ended
    int loading_slot = -1;  // the slot the thread fills with the file it loads

    // Files that cannot be used (cannot be opened, damaged tables, none of
    // the channels), by index into *files, with why; in the order found.
    std::vector<std::pair<int, const char*>> skipped;
};

template <class L>
class ZORV_EXPORT slicer {
public:
    ZORV_LAYOUT_MEMBER_TYPES(L)
    using entry_vector = std::vector<zorv_channel_entry_long*>;

    std::vector<char*> files;          // owned copies of the file names
    std::vector<chan_param_t*> chans;  // owned copies of the channel parameters
    std::vector<char*> chansp;         // the same records seen as channel names
    int cur_file = -1;
    int prev_file = -1;
    int get_tables_num = 0;
    tables_t** get_tables = nullptr;   // slot array, null before start
    reader_t** read_chans = nullptr;   // one reader per channel, null when none
    int nchans = 0;
    int mode = 0;
    zorv_time_id current_event_id{};
    int first_event = 1;
    int debug = 0;
    int synch_mode = ZORV_DAQ_SLICER_SYNCH_MODE_EVID;
    time_stamp event_time_diff{};
    double time_diff = 0.0;
    zorv_time_id event_step{};
    std::string not_found_channels;
    pthread_t tid = 0;
    checked_mutex tmx;  // the table thread's task and the slots; `native` outside the analysis
    pthread_cond_t tcond;
    tables_task<L> task;

    slicer();
    ~slicer();
    slicer(const slicer&) = delete;
    slicer& operator=(const slicer&) = delete;

    int init(std::vector<char*>* file_list, std::vector<chan_param_t*>* chan_list, int mode);

    int set_num_of_get_tables(int n);
    int get_num_of_get_tables() const { return get_tables_num; }
    void set_debug(int d) { debug = d; }
    int get_debug() const { return debug; }
    int set_synch_mode(int m);
    int get_synch_mode() const { return synch_mode; }
    int set_time_diff(time_stamp* tm);
    time_stamp* get_time_diff() { return &event_time_diff; }
    int set_event_step(zorv_time_id* step);
    zorv_time_id* get_event_step() { return &event_step; }
    const char* get_not_found_channels() const { return not_found_channels.c_str(); }
    const char* get_name_of_empty_channel() const;

    int start();
    int create_channel(int i, tables_t* tables);
    int start_channel(int i, int request);
    void remove_channel(int i);
    tables_t* find_ready_table(const char* name);
    void clean_up();

    // The files passed over so far, with why, in the order found; a file
    // only one channel could not be read from names that channel.
    std::vector<std::pair<std::string, std::string>> get_skipped_files();

    // What channel i got at the event the last get_data chose: a
    // zorv_daq_chan_state (fresh, no entry, not in file, damaged, file
    // skipped).
    int chan_state(int i) const;
    // Entries of channel i that lay in files it could not be read from.
    long entries_in_skipped_files(int i) const;
    // Time synchronisation: entries of channel i inside the counting window
    // that the walk forward passed without an event taking them.
    long unmatched_entries(int i) const;
    // Damaged entries of channel i that belong to no event (their event
    // header is not one of their file's events), once per file.
    long entries_without_event(int i) const;
    // The caller does not hand out the event the last get_data chose (it
    // lies outside the caller's window). Walking forward in time
    // synchronisation, the entries given with it that lie inside the counting
    // window count as unmatched; when the window is over (`window_over`: no
    // later event will be handed out), so do those the channels have not
    // reached yet in their current files.
    void refuse_event(bool window_over);
    // The window, in microseconds (0: open), whose entries count as unmatched.
    void set_count_window(double from_us, double to_us) {
        count_from_ = from_us;
        count_to_ = to_us;
    }

    int get_data(zorv_time_id* id, entry_vector* result, int request);
    bool is_event_id_eq(const zorv_time_id* a, const zorv_time_id* b, int* sign) const;
    int change_config(int i, int request, int flag);

    // Body of the table thread; returns 0 after an orderly end, 1 after a
    // table set failed to load.
    static int table_thread(tables_task<L>* task);

protected:
    bool by_time_fix = true;  // handed to every channel reader (current layout)

private:
    struct candidate;
    static void* thread_entry(void* task);

    bool started() const { return get_tables != nullptr; }
    // Copies a given setting into its field; settings are fixed once started.
    template <class T>
    int copy_before_start(T* field, const T* value) {
        if (started()) return ZORV_DAQ_SLICER_NOT_ALLOWED;
        if (!value) return ZORV_DAQ_SLICER_INV_PARAM;
        *field = *value;
        return ZORV_DAQ_SLICER_OK;
    }
    const char* chan_name(int i) const { return chans[i]->name; }
    int chan_sub(int i) const { return chans[i]->subchan; }
    bool before(const zorv_time_id& a, const zorv_time_id& b) const;
    int file_index(const char* name) const;
    int slot_of(const tables_t* t) const ZORV_REQUIRES(tmx);
    bool other_channel_on(const tables_t* t, int i) const;
    tables_t* table_of_other_channel(const char* file, int i) const ZORV_REQUIRES(tmx);
    tables_t* claim_from_slots(int file) ZORV_REQUIRES(tmx);
    bool table_may_come(int file) const ZORV_REQUIRES(tmx);
    bool file_skipped(int file) const ZORV_REQUIRES(tmx);
    tables_t* load_table_now(int file);
    tables_t* usable_table(int i, int file);
    int destination(int i, int from, int request, tables_t** table);
    void release_if_left(tables_t* t, int i);
    void drop_at_start(int i, int status, bool no_file);
    int start_one_channel(int i);
    void set_starting_point();
    void stop_table_thread();
    void release_readers();
    void release_slots();
    void release_copies();
    int side_of_file(reader_t* r, int request, const zorv_time_id& target) const;
    int way_to(reader_t* r, const zorv_time_id& target) const;
    bool move_towards(int i, const zorv_time_id& target);
    int serve_channel(int i, int request, const zorv_time_id& target, bool given, candidate& c, double t0);
    bool switch_file(int i, int request, int to = -1);
    bool offer_near_edge(int i, int request, const zorv_time_id& target, candidate& c);
    bool no_step(int i, int request, const zorv_time_id& target, const zorv_channel_entry_long* e) const;
    void offer(int i, int request, const zorv_time_id& target, const zorv_channel_entry_long* e,
               candidate& c) const;
    struct walk_event;
    struct chan_pos;
    int collect(entry_vector* result, int request, const tables_t* event_file);
    const walk_event* revisit(int request, bool* before_start) const;
    const walk_event* walk_event_from(const zorv_time_id& id) const;
    void note_walk(int request, bool explicit_target);
    chan_pos position_of(int i) const;
    bool move_to_file(int i, int file);
    void restore_position(int i, const chan_pos& p);
    int serve_remembered(const walk_event& h, entry_vector* result);
    void restore_frontier();
    bool walk_to_end();
    int leave_lost_table(int i, tables_t* old);
    void release_spare_memory();
    void configure_reader(reader_t* r);
    void count_without_event(int i, const reader_t* r);
    void start_ahead(int i, int request);
    void start_next_file_ahead();
    void launch_ahead(int j, tables_t* t);
    tables_t* loaded_table(int file) const ZORV_REQUIRES(tmx);
    reader_t* take_ahead(int i, tables_t* tables, int* status);
    bool take_adopted(const reader_t* r, int* status);
    void close_reader(int i);
    void count_passed(int i, int upto);
    bool nearer_elsewhere(int i, const zorv_channel_entry_long& e, const std::vector<zorv_channel_entry_long*>& at) const;
    bool in_count_window(const zorv_time_id& id) const;
    void note_channel_skip(int i, tables_t* t, int status);
    int missing_state(int i, const tables_t* event_file) const;
    void drop_ahead(const tables_t* tables);
    static void discard(reader_t* r);

    // Decoded-entry memory shared by the channel readers, so that a channel's
    // next file reuses the pages of its last one (null: each reader its own).
    block_pool* pool_ = nullptr;
    bool spare_memory_due = false;  // every channel has left a file
    bool next_file_ahead_due_ = false;  // see start_next_file_ahead
    // A channel reader started ahead of its turn (see start_ahead), the
    // channel it is for and its start status, and the readers create_channel
    // adopted from there, which start_channel must not start again.
    reader_t* ahead_ = nullptr;
    int ahead_chan_ = -1;
    int ahead_status_ = 0;
    std::vector<std::pair<reader_t*, int>> adopted_;  // with their start status
    tables_t* start_tables_ = nullptr;  // the first file's, while start() runs

    // Per channel: the reader its counts refer to, the index of the entry it
    // last handed out there (-1: none), its state at the current event, and
    // what it lost.
    struct chan_track {
        const reader_t* reader = nullptr;
        int last = -1;
        int state = 2;  // ZORV_DAQ_CHAN_NO_ENTRY
        const zorv_channel_entry_long* given = nullptr;       // handed out at this event
        const zorv_channel_entry_long* given_before = nullptr;  // at the event before
        int file = -1;  // index into files of the reader's file
        long unmatched = 0;
        long in_skipped = 0;
        std::vector<std::string> failed_files;  // files it could not be read from
        long without_event = 0;                 // damaged entries that belong to no event
        std::vector<std::string> counted_files;  // files whose such entries are counted
    };
    std::vector<chan_track> track_;
    // Time synchronisation: the events of the walk forward from the first
    // event, so that a walk turning back, or forward again, or to the first
    // event, gives exactly the events the walk forward gave.
    std::vector<walk_event> history_;
    long history_at_ = -1;  // the current event's place in history_, -1 when outside it
    bool history_complete_ = false;  // the walk forward reached the end of the data
    bool history_from_start_ = false;  // it began at the data's first event, not at a given one
    // The channels stand where the walk forward left them after its last
    // remembered event (nothing has moved them since).
    bool at_frontier_ = false;
    int jump_to_ = -1;  // while >= 0, the file a channel's switch goes to directly
    std::vector<std::pair<std::string, std::string>> chan_skips_;
    double count_from_ = 0.0, count_to_ = 0.0;
    bool walking_forward_ = false;
    bool event_refused_ = false;  // the caller did not hand out the current event
    // Channels that sit out a given event, with where they stand in the last
    // of their files short of it (see move_towards).
    std::vector<std::pair<int, chan_pos>> short_of_event_;
};

}  // namespace zorv

#endif
