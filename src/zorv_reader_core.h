// The request front end of both file layouts as one template: configuration,
// request checking and error words, the file list, the channel selection with
// its result records, the start of the slicer and the event loop.
//
// zorv::reader<L> is instantiated for zorv::layout_current and
// zorv::layout_legacy; the public classes zorv_daq_reader_2010 and
// zorv_daq_reader derive from it. The per-layout types (result record, table
// set, slicer) are named by the layout traits.
#ifndef ZORV_READER_CORE_H
#define ZORV_READER_CORE_H

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "event_util.h"
#include "zorv_daq_delivery.h"
#include "zorv_export.h"
#include "zorv_layout.h"
#include "zorv_layout_members.h"

namespace zorv {

namespace reader_detail {

// The stretches of a read the caller has gone through, as [first, last]
// event keys (event number, or time by time). A step from one event to the
// next joins them into one stretch, whichever way it goes, since no event
// lies between them; a jump (FIRST, LAST, a given event) begins a stretch
// of its own. An event inside a stretch was delivered before.
class walked_spans {
public:
    // Notes event k, reached by a step from the event before or by a jump;
    // true when it is new to the read.
    bool visit(double k, bool step) {
        const bool seen = covers(k);
        join(step && have_last_ ? std::min(last_, k) : k, step && have_last_ ? std::max(last_, k) : k);
        last_ = k;
        have_last_ = true;
        return !seen;
    }
    void clear() {
        spans_.clear();
        have_last_ = false;
    }

private:
    using span = std::pair<double, double>;
    bool covers(double k) const {
        auto it = std::upper_bound(spans_.begin(), spans_.end(), k, [](double v, const span& s) { return v < s.first; });
        return it != spans_.begin() && k <= std::prev(it)->second;
    }
    void join(double a, double b) {
        auto it = std::lower_bound(spans_.begin(), spans_.end(), span{a, b});
        it = spans_.insert(it, span{a, b});
        if (it != spans_.begin() && std::prev(it)->second >= a) it = std::prev(it);
        while (std::next(it) != spans_.end() && std::next(it)->first <= it->second) {
            it->second = std::max(it->second, std::next(it)->second);
            spans_.erase(std::next(it));
        }
        if (it->second < b) it->second = b;
    }
    std::vector<span> spans_;
    double last_ = 0.0;
    bool have_last_ = false;
};

}  // namespace reader_detail

template <class L>
class discovery;

template <class L>
class ZORV_EXPORT reader {
public:
    ZORV_LAYOUT_MEMBER_TYPES(L)

    // ----- state -----
    std::vector<char*> files;            // full paths, malloc'd, owned
    std::vector<result_entry*> results;  // one record per selected channel, owned
    std::vector<char*> chans;            // results[i]->chan.name, not owned
    int nchans = 0;
    zorv_daq_request request;
    double time_start = 0.0;  // read window in microseconds; 0 is open
    double time_stop = 0.0;
    slicer_type* slicer = nullptr;  // present once started
    zorv_time_id current_event_id{};
    std::vector<zorv_channel_entry_long*> cur_res;  // the slicer's answer, borrowed
    int debug = 0;
    int evs_empty = 0;
    int evs = 0;
    table_set_type get_tables{0};  // for checks and file inspection only
    std::string last_error;
    std::string data_path_list;
    bool by_time_fix = true;                // current layout only
    bool found_from_run_catalogue = false;  // current layout only

    reader();
    ~reader();
    reader(const reader&) = delete;
    reader& operator=(const reader&) = delete;

    // ----- configuration -----
    int get_debug() const { return debug; }
    void set_debug(int level);
    int get_synch_mode();
    int set_synch_mode(int mode);
    zorv_time_id* get_period() { return &request.period; }
    int set_period(const zorv_time_id* period);
    time_stamp* get_time_diff() { return &request.time_diff; }
    int set_time_diff(const time_stamp* diff);
    zorv_time_id* get_start_point() { return &request.start_time; }
    zorv_time_id* get_stop_point() { return &request.stop_time; }
    int set_start_point(const zorv_time_id* t);
    int set_stop_point(const zorv_time_id* t);
    char* get_experiment() { return request.exp_name; }
    char* get_stream() { return request.stream_name; }
    char* get_catalog_dir() { return request.cdir; }
    char* get_data_dir() { return request.ddir; }
    int set_experiment(const char* name);
    int set_stream(const char* name);
    int set_catalog_dir(const char* dir);
    int set_data_dir(const char* dir);
    int get_number_of_files() const { return static_cast<int>(files.size()); }
    char* get_file_name(int i);
    const char* get_data_path_list() const { return data_path_list.c_str(); }
    void set_data_path_list(const char* list);
    bool is_by_time_fix() const { return by_time_fix; }
    void set_by_time_fix(bool fix);

    // ----- request check and errors -----
    int check_request();
    int set_error(int code);
    const char* get_last_error() const { return last_error.c_str(); }
    const char* error_i2a(int code) const;

    // ----- file list -----
    int add_file(const char* name, bool append);
    int remove_file(const char* part);
    void sort_my_files();
    int init(zorv_daq_request* req, std::vector<daq_channel_entry*>* channels);
    int init(std::vector<char*>* file_list, std::vector<daq_channel_entry*>* channels);

    // ----- channel selection and file inspection -----
    int add_channel(const daq_channel_entry* entry);
    int set_channels(std::vector<daq_channel_entry*>* list);
    int rem_channel(const char* name);
    char* get_nickname(const char* key);
    zorv_chan_prms* get_channel_params(const char* key);
    int get_number_of_channels() const { return nchans; }
    char* get_channel_name(int i, int* subchan);
    int get_number_of_channels(const char* file, int* n, int mode);
    char* get_channel_name(int i, int* count, int* ev_mask, int* dtype_mask);
    std::vector<chan_descr_2010*>* get_descr_list();
    int fill_chan_descr(const char* file, std::vector<chan_descr_2010*>* out);
    void print_all_channels(const char* file);

    // ----- event loop -----
    int start();
    int get_data(zorv_time_id* id, std::vector<zorv_channel_entry_long*>* out, int type);
    double get_time_period_us();
    int get_number_of_events() const { return evs; }
    int get_number_of_empty_events() const { return evs_empty; }
    void clean_up();

    // ----- what was delivered -----
    // The state of selected channel `i` (selection order) at the event the
    // last successful get_data returned. INV_PARAM for a bad index or null.
    int get_chan_status(int i, zorv_daq_chan_status* out) const;
    // Per channel counts over the read since start, and the skipped files.
    int get_delivery_report(zorv_daq_delivery_report* out) const;

    // ----- diagnostics -----
    void print_files();
    void print_channels();
    int print_event_index_table(const char* file, int type);
    void print_channel_event_headers(const char* file, const char* channel);
    void print_channel_server_block_headers(const char* file, const char* channel);
    void print_channel_channel_headers(const char* file, const char* channel);
    void print_channel_channel(const char* file, const char* channel);

protected:
    template <class>
    friend class discovery;

    void set_default_request();
    void free_files();
    void free_results();
    int copy_text(char* field, size_t size, const char* text);
    int copy_time_id(zorv_time_id* field, const zorv_time_id* value);
    // One channel of one file, printed by a private channel reader. Not
    // public: the legacy reader offers no per-channel dumps.
    enum class channel_part { event_headers, server_block_headers, channel_headers, channel };
    void print_channel_part(channel_part part, const char* file, const char* channel);
    int insert_path(char* path, bool append);
    int resolve_file(const char* name, char** path);
    static bool matched_by_property(int type);
    int find_in_search_list(const char* candidate, char** found);
    bool accept_path(const char* path) const;
    // Lists a file the read covers but cannot take, once, with why, and says so.
    void note_skipped(const char* path, const char* reason);
    int check_files_tables();
    bool file_span(const char* path, double* first, double* last);
    int open_inspected_file(const char* file, int mode);
    const typename L::cdt* loaded_cdt() const;
    int loaded_cdt_count() const;
    int window_side(const zorv_channel_entry_long* ref) const;
    const zorv_channel_entry_long* reference_entry() const;
    int ask_slicer(zorv_time_id* id, int type);
    int find_result_for(const zorv_channel_entry_long* e, const subhead* sh, int from);
    int copy_into_result(result_entry* r, const zorv_channel_entry_long* e, const subhead* sh);
    int take_event();
    bool carries_value(const result_entry* r) const;
    std::string channel_key(const result_entry* r) const;

    struct free_path {
        void operator()(char* p) const { std::free(p); }
    };
    // Path of the file last loaded into get_tables for inspection; the table
    // set refers to it until its next clean_up.
    std::unique_ptr<char, free_path> inspected_path_;
    // channel_key() of each record, made once the channels are fixed (they
    // cannot change while the slicer exists) rather than for every entry.
    std::vector<std::string> keys_;
    // Counts per selected channel since start, in selection order.
    std::vector<zorv_daq_chan_delivery> delivery_;
    std::vector<zorv_daq_skipped_file> skipped_files_;
    reader_detail::walked_spans walked_;  // events counted in delivery_
    void count_delivery(bool step);
};

}  // namespace zorv

#endif
