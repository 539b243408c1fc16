// File discovery of zorv::reader<L>: init with a request turns a run range or
// a time window into the ordered list of files to read. The run catalogue is
// asked first; when it has no answer the data directory is scanned. The list
// is then widened by the neighbouring files of a run (by sequence number),
// the window is corrected to the run's times, and the first file's tables are
// read once as a check.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "event_util.h"
#include "sys/path.h"
#include "core/reader_parts.h"

namespace zorv {
namespace discovery_detail {

// Start second from a file name; false when the name carries none.
inline bool start_second(const char* name, uint32_t* t) {
    time_t s = 0;
    if (get_time_from_file_name(name, &s)) return false;
    *t = static_cast<uint32_t>(s);
    return true;
}

inline bool names_run(const char* name, int run) {
    char tag[64];
    std::snprintf(tag, sizeof tag, "_run%d_", run);
    return std::strstr(name, tag) != nullptr;
}

// The writer writes a file under "<name>.part" and renames it when it is
// complete: such a file is still being written and is no data file yet.
constexpr const char being_written_suffix[] = ".part";
inline bool being_written(const char* name) {
    const size_t n = std::strlen(name), k = sizeof being_written_suffix - 1;
    return n >= k && std::strcmp(name + n - k, being_written_suffix) == 0;
}

inline std::string join_dir(const char* dir, const char* name) {
    std::string p = dir;
    if (!p.empty() && p.back() != '/') p += '/';
    return p + name;
}

using dir_ptr = std::unique_ptr<DIR, int (*)(DIR*)>;
inline dir_ptr open_dir(const char* dir) { return dir_ptr(opendir(dir), closedir); }

// The answer records of the catalogue queries and of the local scans, with
// their strings; everything is released when the list goes.
struct answer_list {
    std::vector<zorv_root_xml_files*> records;

    answer_list() = default;
    answer_list(const answer_list&) = delete;
    answer_list& operator=(const answer_list&) = delete;
    ~answer_list() { release(); }

    void release() {
        for (zorv_root_xml_files* r : records) {
            for (char* s : r->rfiles) delete[] s;
            delete[] r->xmlfile;
            delete r;
        }
        records.clear();
    }
    zorv_root_xml_files* add_record() {
        records.push_back(nullptr);
        records.back() = new zorv_root_xml_files;
        return records.back();
    }
    size_t first_size() const { return records.empty() ? 0 : records[0]->rfiles.size(); }
};

inline void add_name(zorv_root_xml_files* rec, const char* name) {
    size_t n = std::strlen(name) + 1;
    rec->rfiles.push_back(nullptr);
    rec->rfiles.back() = new char[n];
    std::memcpy(rec->rfiles.back(), name, n);
}

// The latest file that starts before the window: it stands for the window
// when no file starts inside it.
struct before_window {
    std::string name;
    uint32_t time = 0;
    bool set = false;
    // Every file that starts in that same second (names carry whole
    // seconds, so short files share one).
    std::vector<std::string> same_second;

    void offer(const char* n, uint32_t t, uint32_t start) {
        if (t >= start || (set && t < time)) return;
        if (set && t == time) {
            same_second.emplace_back(n);
            return;
        }
        name = n;
        time = t;
        set = true;
        same_second.assign(1, name);
    }
};

// Appends the run numbers from first to last that a name carries as
// "_run<R>_" (written as "%d" writes it, so without leading zeros).
inline void runs_in_name(const char* name, int first, int last, std::vector<int>* out) {
    for (const char* p = std::strstr(name, "_run"); p; p = std::strstr(p + 1, "_run")) {
        const char* d = p + 4;
        if (*d < '1' || *d > '9') continue;
        long long v = 0;
        while (*d >= '0' && *d <= '9' && v <= INT32_MAX) v = v * 10 + (*d++ - '0');
        if (*d == '_' && v >= first && v <= last) out->push_back(static_cast<int>(v));
    }
}

inline bool path_exists(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

// Ranges wider than this list only the runs that can answer (see run_numbers).
constexpr int64_t max_listed_runs = 10000;

// The file's sequence field (between the second-to-last and the last "_" of
// the base name) and the name up to and including the "_" in front of it.
struct name_parts {
    std::string prefix;
    std::string field;
};

inline name_parts split_sequence_field(const std::string& base) {
    name_parts p;
    size_t last = base.rfind('_');
    std::string head = last == std::string::npos ? base : base.substr(0, last);
    size_t before = head.rfind('_');
    p.field = before == std::string::npos ? head : head.substr(before + 1);
    p.prefix = before == std::string::npos ? std::string() : head.substr(0, before + 1);
    return p;
}

// Sequence number n > 1 read from a field "file<n>"; 0 otherwise.
inline int sequence_number(const std::string& field) {
    int n = 0;
    if (field.find("file") == std::string::npos) return 0;
    if (std::sscanf(field.c_str(), "file%d", &n) != 1 || n <= 1) return 0;
    return n;
}

}  // namespace discovery_detail

// One run of init with a request; holds the state its steps share.
template <class L>
class discovery {
public:
    explicit discovery(reader<L>& r) : r_(r) {}
    int run(const zorv_daq_request* req, std::vector<daq_channel_entry*>* channels);

private:
    using answer_list = discovery_detail::answer_list;
    static constexpr const char* cls = L::text::reader;

    int take_request(const zorv_daq_request* req, std::vector<daq_channel_entry*>* channels);
    int run_branch();
    std::vector<int> run_numbers() const;
    int period_branch();
    void narrow_to_period();
    int local_period_scan();
    int local_run_scan(const std::vector<int*>& runs);
    bool run_scan_entry(const char* name, int run, zorv_root_xml_files* rec,
                        discovery_detail::before_window* cand);
    int tables_overlap(const char* name, bool verbose);
    bool passed_as_being_written(const char* name, bool wanted);
    void report_skip(const std::string& path, const char* reason);
    void add_fallback(zorv_root_xml_files* rec, const discovery_detail::before_window& cand,
                      const char* message);
    void enter_files();
    void note_refused(const char* path);
    void extend_first();
    void extend_last();
    bool find_neighbour(const std::string& pattern, const char* found_msg, std::string* name);
    void correct_run_time();
    bool run_end_locally(uint32_t* end);
    int check_first_file();

    reader<L>& r_;
    answer_list list_;
    std::string exp_;
    uint32_t start_ = 0;
    uint32_t stop_ = 0;
    uint32_t scan_stop_ = 0;  // stop, or the end of time for an open window
    bool extend_ = false;
};

template <class L>
int discovery<L>::run(const zorv_daq_request* req, std::vector<daq_channel_entry*>* channels) {
    if (!req) return ZORV_DAQ_READER_INV_PARAM;
    try {
        int rc = take_request(req, channels);
        if (rc == 0) rc = r_.request.run_first > 0 ? run_branch() : period_branch();
        if (rc != 0) return rc;
        enter_files();
        r_.sort_my_files();
        if (r_.files.empty()) return ZORV_DAQ_READER_FILES_NOT_FOUND;
        if (extend_) {
            extend_first();
            extend_last();
        }
        r_.sort_my_files();
        if (r_.request.run_first > 0) correct_run_time();
        return check_first_file();
    } catch (const std::bad_alloc&) {
        return ZORV_DAQ_READER_INTERN_ERROR;
    }
}

template <class L>
int discovery<L>::take_request(const zorv_daq_request* req,
                               std::vector<daq_channel_entry*>* channels) {
    zorv_daq_request copy;
    std::memcpy(&copy, req, sizeof copy);  // req may be the reader's own record
    if (r_.slicer) r_.clean_up();
    r_.skipped_files_.clear();  // what an earlier discovery passed over
    r_.request = copy;
    // The caller's texts need not be terminated; every later use reads them as C strings.
    r_.request.exp_name[sizeof r_.request.exp_name - 1] = '\0';
    r_.request.stream_name[sizeof r_.request.stream_name - 1] = '\0';
    r_.request.cdir[sizeof r_.request.cdir - 1] = '\0';
    r_.request.ddir[sizeof r_.request.ddir - 1] = '\0';
    if (channels && !channels->empty()) {
        int rc = r_.set_channels(channels);
        if (rc != 0) return rc;
    }
    exp_ = r_.request.exp_name;
    std::string ddir = r_.request.ddir;
    r_.set_data_dir(ddir.c_str());
    start_ = r_.request.start_time.time.timeup;
    stop_ = r_.request.stop_time.time.timeup;
    // An open end reads up to now, so no file starting after the window start
    // is left out of the scans.
    scan_stop_ = stop_ ? stop_ : UINT32_MAX;
    return 0;
}

template <class L>
int discovery<L>::run_branch() {
    const zorv_daq_request& q = r_.request;
    std::vector<std::unique_ptr<int>> cells;
    std::vector<int*> runs;
    for (int n : run_numbers()) {
        int* cell = new (std::nothrow) int(n);
        if (!cell) {
            std::printf("%s::init() Failed to malloc run number\n", cls);
            return ZORV_DAQ_READER_INTERN_ERROR;
        }
        cells.emplace_back(cell);
        runs.push_back(cell);
    }
    std::string desc;
    if (get_files_for_runs(&runs, &list_.records, &desc, &exp_, q.cdir, 1) == 0 &&
        !list_.records.empty()) {
        if constexpr (L::text::window_from_run_catalogue) {
            if (start_ && stop_) {
                narrow_to_period();
                r_.found_from_run_catalogue = true;
            }
        }
        extend_ = false;
        return 0;
    }
    std::printf("%s::init() Failed to get list of files for runs .. trying local directory scan\n",
                cls);
    extend_ = true;
    return local_run_scan(runs);
}

// The run numbers to ask for: every number of the range. A wide range lists
// only the runs the catalogue holds and those named in the data directory:
// any other run yields no file from the catalogue query nor from the local
// scan, so the answer is the same without one cell per number of the range.
template <class L>
std::vector<int> discovery<L>::run_numbers() const {
    const zorv_daq_request& q = r_.request;
    const int last = q.run_last > q.run_first ? q.run_last : q.run_first;
    std::vector<int> runs;
    if (int64_t(last) - q.run_first < discovery_detail::max_listed_runs) {
        for (int64_t n = q.run_first; n <= last; ++n) runs.push_back(static_cast<int>(n));
        return runs;
    }
    get_runs_in_range(q.run_first, last, &runs, &exp_, q.cdir);
    if (discovery_detail::dir_ptr dir = discovery_detail::open_dir(q.ddir))
        while (const dirent* e = readdir(dir.get()))
            discovery_detail::runs_in_name(e->d_name, q.run_first, last, &runs);
    std::sort(runs.begin(), runs.end());
    runs.erase(std::unique(runs.begin(), runs.end()), runs.end());
    return runs;
}

// Keeps of the run's files those the period query also names.
template <class L>
void discovery<L>::narrow_to_period() {
    answer_list period;
    std::string desc;
    if (get_files_for_period(start_, stop_, &period.records, &desc, &exp_, r_.request.cdir, 1) !=
            0 ||
        period.records.empty())
        return;
    if (r_.debug > 0)
        std::printf("removing those that are not in our list sz: %lu  from sz: %lu\n",
                    static_cast<unsigned long>(period.first_size()),
                    static_cast<unsigned long>(list_.first_size()));
    std::vector<std::string> names;
    for (zorv_root_xml_files* rec : period.records)
        for (const char* p : rec->rfiles)
            if (p) names.push_back(sys::base_name(p));
    for (zorv_root_xml_files* rec : list_.records) {
        for (char*& p : rec->rfiles) {
            if (!p) continue;
            const char* base = sys::base_name(p);
            bool keep = false;
            for (const std::string& n : names) {
                if (r_.debug > 1) std::printf("Comparing:[%s][%s]\n", base, n.c_str());
                keep = keep || n == base;
            }
            if (!keep) {
                delete[] p;
                p = nullptr;
            }
        }
    }
}

template <class L>
int discovery<L>::period_branch() {
    std::string desc;
    if (get_files_for_period(start_, scan_stop_, &list_.records, &desc, &exp_, r_.request.cdir,
                             1) == 0 &&
        !list_.records.empty()) {
        if constexpr (L::text::window_from_run_catalogue) r_.found_from_run_catalogue = true;
        extend_ = false;
        return 0;
    }
    if (r_.debug)
        std::printf("%s::init() Failed to get list of files for period ... trying local scan\n",
                    cls);
    list_.release();
    int rc = local_period_scan();
    if constexpr (L::text::window_from_run_catalogue) r_.found_from_run_catalogue = true;
    extend_ = true;
    return rc;
}

// A file the request covers that is not read is named, once, in the read's
// delivery report and in a message, so that the caller learns why its data
// is missing.
template <class L>
void discovery<L>::report_skip(const std::string& path, const char* reason) {
    r_.note_skipped(path.c_str(), reason);
}

// True for a file still being written, which is reported when the request
// would have taken it.
template <class L>
bool discovery<L>::passed_as_being_written(const char* name, bool wanted) {
    if (!discovery_detail::being_written(name)) return false;
    if (wanted) report_skip(discovery_detail::join_dir(r_.request.ddir, name), "still being written");
    return true;
}

template <class L>
int discovery<L>::local_period_scan() {
    zorv_root_xml_files* rec = list_.add_record();
    discovery_detail::dir_ptr dir = discovery_detail::open_dir(r_.request.ddir);
    if (!dir) return ZORV_DAQ_READER_FILES_NOT_FOUND;
    discovery_detail::before_window cand;
    while (const dirent* e = readdir(dir.get())) {
        if (L::text::raw_files_only && !std::strstr(e->d_name, ".raw")) continue;
        uint32_t t = 0;
        if (!discovery_detail::start_second(e->d_name, &t)) continue;
        if (passed_as_being_written(e->d_name, start_ <= t && t <= scan_stop_)) continue;
        cand.offer(e->d_name, t, start_);
        if (r_.debug)
            std::printf("Found file %s time_stamp: %i  (star:%d  stop:%d\n", e->d_name,
                        static_cast<int>(t), static_cast<int>(start_), static_cast<int>(stop_));
        if (start_ <= t && t <= scan_stop_) discovery_detail::add_name(rec, e->d_name);
    }
    // The file already running when the window opens holds the window's
    // first events, whether or not later files start inside the window (a
    // window that begins in the last file of a run and ends in the next).
    for (const std::string& n : cand.same_second) {
        // One whose index cannot be read is taken too: the read then reports
        // it skipped instead of leaving it out unnoticed.
        if (tables_overlap(n.c_str(), false) == 0) continue;
        discovery_detail::before_window one = cand;
        one.name = n;
        add_fallback(rec, one, ".Pushing  file %s \n");
    }
    return 0;
}

template <class L>
int discovery<L>::local_run_scan(const std::vector<int*>& runs) {
    zorv_root_xml_files* rec = list_.add_record();
    discovery_detail::dir_ptr dir = discovery_detail::open_dir(r_.request.ddir);
    if (!dir) return ZORV_DAQ_READER_FILES_NOT_FOUND;
    discovery_detail::before_window cand;
    while (const dirent* e = readdir(dir.get())) {
        auto of_run = [e](const int* run) { return discovery_detail::names_run(e->d_name, *run); };
        if (passed_as_being_written(e->d_name, std::any_of(runs.begin(), runs.end(), of_run))) continue;
        for (const int* run : runs) run_scan_entry(e->d_name, *run, rec, &cand);
    }
    if (rec->rfiles.empty() && cand.set) {
        // Checked by its tables it stands for the window; otherwise it is
        // still the nearest file before the window, taken all the same.
        if (L::text::fallback_by_tables && tables_overlap(cand.name.c_str(), false) == 1)
            add_fallback(rec, cand, "Pushing file %s (time_stamp: %i  star:%d  stop:%d) \n");
        else
            discovery_detail::add_name(rec, cand.name.c_str());
    }
    return 0;
}

// One directory entry against one run number; true when it was added.
template <class L>
bool discovery<L>::run_scan_entry(const char* name, int run, zorv_root_xml_files* rec,
                                  discovery_detail::before_window* cand) {
    uint32_t t = 0;
    if (!discovery_detail::names_run(name, run)) return false;
    if (L::text::run_files_of_experiment && !std::strstr(name, exp_.c_str())) return false;
    if (!discovery_detail::start_second(name, &t)) return false;
    cand->offer(name, t, start_);
    const int ti = static_cast<int>(t), s1 = static_cast<int>(start_), s2 = static_cast<int>(stop_);
    if (r_.debug) std::printf("Found file %s time_stamp: %i  (star:%d  stop:%d\n", name, ti, s1, s2);
    if (start_ <= t && t <= scan_stop_) {
        if (r_.debug)
            std::printf("------>Found file %s time_stamp: %i  (star:%d  stop:%d\n", name, ti, s1, s2);
        discovery_detail::add_name(rec, name);
        return true;
    }
    if (!L::text::run_file_by_tables || tables_overlap(name, true) != 1) return false;
    if (r_.debug)
        std::printf("-**--->Found file %s time_stamp: %i  (star:%d  stop:%d\n", name, ti, s1, s2);
    discovery_detail::add_name(rec, name);
    return true;
}

// Whether the events of the file `name` in ddir reach into the window:
// 1 yes, 0 no, -1 when its tables cannot be read. The table set is left empty.
template <class L>
int discovery<L>::tables_overlap(const char* name, bool verbose) {
    std::string path = discovery_detail::join_dir(r_.request.ddir, name);
    r_.get_tables.clean_up();
    if (r_.get_tables.get_all_tables(&path[0], 0, nullptr) != 0) {
        if (verbose) std::printf("Failed to get tables for: %s\n", path.c_str());
        r_.get_tables.clean_up();
        return -1;
    }
    const auto* eit = r_.get_tables.eit_tab;
    int result = -1;
    if (!eit || eit->pattern != L::pattern_eit || eit->nevent_types <= 0) {
        if (verbose) {
            std::printf("Something wrong with tables: tab: %p\n", static_cast<const void*>(eit));
            if (eit)
                std::printf("PATTERN: %d (%d)  event types:%d\n", static_cast<int>(eit->pattern),
                            static_cast<int>(L::pattern_eit), eit->nevent_types);
        }
    } else {
        const uint32_t s1 = start_, s2 = scan_stop_;
        result = reader_detail::any_eit_entry(eit, [s1, s2](const zorv_event_index_entry* e) {
            return e->event_time_first.timeup <= s2 && e->event_time_last.timeup >= s1;
        });
    }
    r_.get_tables.clean_up();
    return result;
}

template <class L>
void discovery<L>::add_fallback(zorv_root_xml_files* rec,
                                const discovery_detail::before_window& cand, const char* message) {
    if (L::text::reports_without_debug)
        std::printf("Pushing file %s \n", cand.name.c_str());
    else if (r_.debug)
        std::printf(message, cand.name.c_str(), static_cast<int>(cand.time),
                    static_cast<int>(start_), static_cast<int>(stop_));
    discovery_detail::add_name(rec, cand.name.c_str());
}

// Each path is entered by its base name, resolved like any other name. When
// that yields no existing file (the data directory does not hold it, or a
// path accepted unchecked is missing) while the catalogue's own path names
// one, that path is entered instead: a request that names only the
// catalogue still reads the files the catalogue lists.
template <class L>
void discovery<L>::enter_files() {
    using discovery_detail::path_exists;
    for (zorv_root_xml_files* rec : list_.records) {
        for (const char* p : rec->rfiles) {
            if (!p || (!exp_.empty() && !std::strstr(p, exp_.c_str()))) continue;
            const char* base = sys::base_name(p);
            const int rc = r_.add_file(base, true);
            if (base == p || !path_exists(p)) {
                if (rc != 0) note_refused(p);
                continue;
            }
            if (rc == 0) {
                if (path_exists(r_.files.back())) continue;
                std::free(r_.files.back());
                r_.files.pop_back();
            }
            if (r_.add_file(p, true) != 0) note_refused(p);
        }
    }
    list_.release();
}

// A file the request covers that cannot be entered (missing, or still being
// written) is not read: the read reports it skipped instead of losing it
// unnoticed.
template <class L>
void discovery<L>::note_refused(const char* path) {
    report_skip(path, "cannot be entered (missing or still being written)");
}

// Finds the first directory entry of ddir whose name contains `pattern`.
template <class L>
bool discovery<L>::find_neighbour(const std::string& pattern, const char* found_msg,
                                  std::string* name) {
    if (r_.debug) std::printf("PARTIAL FILE NAME: '%s'\n", pattern.c_str());
    discovery_detail::dir_ptr dir = discovery_detail::open_dir(r_.request.ddir);
    if (!dir) {
        if (r_.debug)
            std::printf("%s(): unable read the files in the directory to get the name if the "
                        "very first file\n",
                        cls);
        std::fflush(stdout);
        return false;
    }
    while (const dirent* e = readdir(dir.get())) {
        if (!std::strstr(e->d_name, pattern.c_str()) || discovery_detail::being_written(e->d_name)) continue;
        if (r_.debug) std::printf(found_msg, e->d_name);
        *name = e->d_name;
        return true;
    }
    return false;
}

// The file just before the first of the list, in the same run.
template <class L>
void discovery<L>::extend_first() {
    uint32_t t = 0;
    if (start_ && stop_ && discovery_detail::start_second(r_.files[0], &t) && start_ > t) return;
    std::string first = sys::base_name(r_.files[0]);
    if (r_.debug) std::printf("The very first file: %s\n", first.c_str());
    discovery_detail::name_parts parts = discovery_detail::split_sequence_field(first);
    if (r_.debug) std::printf("LAST FILE NUMBER: '%s'\n", parts.field.c_str());
    int n = discovery_detail::sequence_number(parts.field);
    std::string found;
    if (n == 0) {
        if (r_.debug) std::printf("%s(): unable to get the name of the very first file\n", cls);
        std::fflush(stdout);
    } else if (find_neighbour(parts.prefix + "file" + std::to_string(n - 1) + "_",
                              "FOUND the very first file: '%s'\n", &found)) {
        r_.add_file(found.c_str(), false);
    }
}

// The file just after the last of the list, in the same run.
template <class L>
void discovery<L>::extend_last() {
    std::string last = sys::base_name(r_.files.back());
    if (r_.debug) std::printf("The very last file: %s\n", last.c_str());
    discovery_detail::name_parts parts = discovery_detail::split_sequence_field(last);
    if (r_.debug) std::printf("LAST FILE NUMBER: '%s'\n", parts.field.c_str());
    int n = discovery_detail::sequence_number(parts.field);
    std::string found;
    uint32_t t = 0;
    if (n == 0 || n == INT32_MAX) {
        if (r_.debug) std::printf("%s(): unable to get the name if the very first file\n", cls);
        std::fflush(stdout);
    } else if (find_neighbour(parts.prefix + "file" + std::to_string(n + 1) + "_",
                              "FOUND the very last file: '%s'\n", &found) &&
               !(start_ && stop_ && discovery_detail::start_second(found.c_str(), &t) &&
                 stop_ < t)) {
        r_.add_file(found.c_str(), false);
    }
}

// Fits the window to the run's times when it does not overlap them: a run
// request without times reads the whole run.
template <class L>
void discovery<L>::correct_run_time() {
    zorv_daq_request& q = r_.request;
    time_t t1 = 0, t2 = 0;
    if (get_time_for_run(q.run_first, &t1, &t2, exp_.c_str(), q.cdir) == 0) {
        time_t unused = 0;
        // A run_last at or below run_first names no range (only run_first is read).
        if (q.run_last > q.run_first &&
            get_time_for_run(q.run_last, &unused, &t2, exp_.c_str(), q.cdir) != 0 && r_.debug)
            std::printf("%s::init() failed to extract time for run: %d\n", cls, q.run_last);
    } else {
        if (r_.debug)
            std::printf(L::text::run_time_failed, cls, q.run_first);
        uint32_t a = 0, b = 0;
        if (!r_.files.empty()) {
            if (!discovery_detail::start_second(r_.files[0], &a)) {
                if (r_.debug)
                    std::printf("%s::init() failed to extract start time locally\n", cls);
            } else if (!run_end_locally(&b)) {
                if (r_.debug) std::printf("%s::init() failed to extract stop time locally\n", cls);
            }
        }
        t1 = a;
        t2 = b;
    }
    const uint32_t a = static_cast<uint32_t>(t1), b = static_cast<uint32_t>(t2);
    if (a == 0 || b == 0) {
        q.start_time = zorv_time_id{};
        q.stop_time = zorv_time_id{};
        if (r_.debug) std::printf("%s::init() time reset\n", cls);
    } else if (a != b && (b < start_ || stop_ < a)) {
        // The stop covers the whole of the run's last second: its events
        // carry microseconds.
        q.start_time = zorv_time_id{0, {a, 0}};
        q.stop_time = zorv_time_id{0, {b, 999999}};
        if (r_.debug) std::printf("%s::init() making correction in time\n", cls);
    }
}

// The second of the run's last event, from the last readable file's event
// index; a file whose index cannot be read is judged by the start of the
// file after it, the last by its own start. False when no file tells.
template <class L>
bool discovery<L>::run_end_locally(uint32_t* end) {
    for (size_t k = r_.files.size(); k-- > 0;) {
        double a = 0.0, b = 0.0;
        if (r_.file_span(r_.files[k], &a, &b)) {
            *end = static_cast<uint32_t>(b / 1e6);
            return true;
        }
    }
    return discovery_detail::start_second(r_.files.back(), end);
}

template <class L>
int discovery<L>::check_first_file() {
    return r_.check_files_tables();
}

template <class L>
int reader<L>::init(zorv_daq_request* req, std::vector<daq_channel_entry*>* channels) {
    discovery<L> d(*this);
    return set_error(d.run(req, channels));
}

template class discovery<layout_current>;
template class discovery<layout_legacy>;

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_READER_DISCOVERY(L) \
    template int reader<L>::init(zorv_daq_request* req, std::vector<daq_channel_entry*>* channels);
ZORV_READER_DISCOVERY(layout_current)
ZORV_READER_DISCOVERY(layout_legacy)
#undef ZORV_READER_DISCOVERY


}  // namespace zorv
