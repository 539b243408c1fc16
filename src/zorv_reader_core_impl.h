// Member definitions of zorv::reader<L>: configuration, request check and
// errors, the file list, channel selection and the event loop. Included by the
// two reader units, which instantiate the template for their layout. Request
// discovery and the diagnostic printers live in zorv_reader_discovery_impl.h.
#ifndef ZORV_READER_CORE_IMPL_H
#define ZORV_READER_CORE_IMPL_H

#include <sys/stat.h>

#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/layout_text.h"
#include "zorv_pthread_util.h"
#include "zorv_reader_core.h"

namespace zorv {

namespace reader_detail {

constexpr const char* built_in_data_path_list =
    "/space/POOL:/daq_data/orla/LINAC:/daq_data/orla2/LINAC:/daq_data/orla/EXP:"
    "/daq_data/tarn/EXP:/daq_data/tarn/EXP2:/daq_data/tarn/RESULTS:/daq_data/mirek/EXP:"
    "/daq_data/mirek/GMD:/daq_data/vost/LINAC:/daq_data/vost/GMD:/daq_data/kolm/MTS_RF:"
    "/daq_data/kolm/KOLM_MTS1:/daq_data/kolm/KOLM_MTS2:/daq_data/kolm/KOLM_MTS3";

struct status_word {
    int code;
    const char* word;
};

constexpr status_word status_words[] = {
    {ZORV_DAQ_READER_FILES_NOT_FOUND, "Files not found"},
    {ZORV_DAQ_READER_BAD_FILE_FORMAT, "Invalid file format"},
    {ZORV_DAQ_READER_NOT_ALLOWED, "Not allowed"},
    {ZORV_DAQ_READER_INV_PARAM, "Invalid Parameter"},
    {ZORV_DAQ_READER_INTERN_ERROR, "Intern error"},
    {ZORV_DAQ_READER_NOT_FOUND, "Channel not found"},
    {ZORV_DAQ_READER_NOT_INIT, "Not Initialized"},
    {ZORV_DAQ_READER_OUT_OF_WINDOW, "Time is out of file"},
    {ZORV_DAQ_READER_NOT_READY, "Some entries are not ready"},
    {ZORV_DAQ_READER_NO_DATA, "No required data"},
    {ZORV_DAQ_READER_OK, "OK"},
};

inline double micros(const time_stamp& t) { return double(t.timeup) * 1e6 + double(t.timelow); }

inline bool empty_text(const char* s) { return s == nullptr || *s == '\0'; }

inline const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

inline char* heap_copy(const char* s) {
    size_t n = std::strlen(s) + 1;
    char* p = static_cast<char*>(std::malloc(n));
    if (p) std::memcpy(p, s, n);
    return p;
}

inline char* heap_join(const char* a, const char* b, const char* sep) {
    size_t n = std::strlen(a) + std::strlen(sep) + std::strlen(b) + 1;
    char* p = static_cast<char*>(std::malloc(n));
    if (p) std::snprintf(p, n, "%s%s%s", a, sep, b);
    return p;
}

// Start second coded in a file name; false when the name carries none.
inline bool file_start(const char* name, uint32_t* t) {
    time_t s = 0;
    if (get_time_from_file_name(name, &s)) return false;
    *t = static_cast<uint32_t>(s);
    return true;
}

// A file whose status changed less than 30 seconds ago is still being written.
inline bool closed_long_enough(const char* path, bool* exists) {
    struct stat st;
    *exists = ::stat(path, &st) == 0;
    return *exists && st.st_ctime + 29 < std::time(nullptr);
}

inline bool close_time_ignored() { return std::getenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME") != nullptr; }

// Text of the slicer's list of dropped channels, whatever form it hands out.
inline const char* text_of(const char* s) { return s ? s : ""; }
inline const char* text_of(const std::string* s) { return s ? s->c_str() : ""; }
inline const char* text_of(const std::string& s) { return s.c_str(); }

// A C string in a fixed field compared with a NUL-terminated text, never
// reading past the field.
inline int field_cmp(const char* field, size_t size, const char* text) {
    size_t n = strnlen(field, size);
    size_t m = std::strlen(text);
    int c = std::memcmp(field, text, n < m ? n : m);
    if (c != 0) return c;
    return n == m ? 0 : (n < m ? -1 : 1);
}


// The span of the events an event index lists, first to last over every
// event type, in microseconds; false when it lists none. The walk stops at
// an entry whose length cannot be right.
inline bool eit_span(const zorv_event_index_table_2010* eit, double* first, double* last) {
    if (!eit || eit->nevent_types <= 0 || eit->nevent_types > 32) return false;
    bool any = false;
    const auto* p = reinterpret_cast<const unsigned char*>(&eit->entry[0]);
    for (int k = 0; k < eit->nevent_types; ++k) {
        const auto* e = reinterpret_cast<const zorv_event_index_entry*>(p);
        const int head = int(offsetof(zorv_event_index_entry, event_info));
        if (e->length < head || (e->length - head) % int(sizeof(zorv_event_info)) != 0) break;
        if (e->event_time_first.timeup != 0 && e->event_time_last.timeup != 0) {
            const double a = micros(e->event_time_first), b = micros(e->event_time_last);
            if (!any || a < *first) *first = a;
            if (!any || b > *last) *last = b;
            any = true;
        }
        p += e->length;
    }
    return any;
}

}  // namespace reader_detail

// ===================== construction, defaults, errors =====================

template <class L>
reader<L>::reader() {
    set_default_request();
    if constexpr (L::text::time_diff_from_env) {
        if (const char* s = std::getenv("DAQ_MAX_TIME_STEP_SEC"))
            request.time_diff.timeup = static_cast<uint32_t>(std::strtol(s, nullptr, 10));
        if (const char* s = std::getenv("DAQ_MAX_TIME_STEP_USEC"))
            request.time_diff.timelow = static_cast<uint32_t>(std::strtol(s, nullptr, 10));
    }
    const char* list = std::getenv("ZORV_DAQ_DATA_PATH_LIST");
    data_path_list = list ? list : reader_detail::built_in_data_path_list;
}

template <class L>
reader<L>::~reader() {
    clean_up();
}

template <class L>
void reader<L>::set_default_request() {
    using T = typename L::text;
    std::memset(&request, 0, sizeof request);
    std::snprintf(request.exp_name, sizeof request.exp_name, "%s", "linac");
    std::snprintf(request.stream_name, sizeof request.stream_name, "%s", "main");
    std::snprintf(request.cdir, sizeof request.cdir, "%s", "/daq/zorv/admtemp/");
    std::snprintf(request.ddir, sizeof request.ddir, "%s%s", T::default_ddir_base, T::default_ddir_sub);
    request.period.event_number = 1;
    request.period.time.timelow = T::default_period_us;
    request.time_diff.timelow = T::default_time_diff_us;
    request.synch_mode = ZORV_DAQ_SLICER_SYNCH_MODE_EVID;
}

template <class L>
int reader<L>::set_error(int code) {
    last_error = error_i2a(code);
    return code;
}

template <class L>
const char* reader<L>::error_i2a(int code) const {
    for (const auto& w : reader_detail::status_words)
        if (w.code == code) return w.word;
    return "Unknown error";
}

// ===================== setters and getters =====================

template <class L>
void reader<L>::set_debug(int level) {
    debug = level;
    if (slicer) slicer->set_debug(level);
}

template <class L>
int reader<L>::get_synch_mode() {
    if constexpr (L::text::synch_mode_get != nullptr) std::printf(L::text::synch_mode_get, request.synch_mode);
    return request.synch_mode;
}

template <class L>
int reader<L>::set_synch_mode(int mode) {
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    if (mode == ZORV_DAQ_SLICER_SYNCH_MODE_EVID || mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME)
        request.synch_mode = mode;
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
int reader<L>::set_period(const zorv_time_id* period) {
    if (!period) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    request.period = *period;
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
int reader<L>::set_time_diff(const time_stamp* diff) {
    if (!diff) return 1;
    request.time_diff = *diff;
    return 0;
}

template <class L>
int reader<L>::set_start_point(const zorv_time_id* t) {
    if (!t) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    request.start_time = *t;
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
int reader<L>::set_stop_point(const zorv_time_id* t) {
    if (!t) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    request.stop_time = *t;
    return set_error(ZORV_DAQ_READER_OK);
}

// Copies a non-empty text into a request field, cut to the field.
template <class L>
int reader<L>::copy_text(char* field, size_t size, const char* text) {
    if (reader_detail::empty_text(text)) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    std::snprintf(field, size, "%s", text);
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
int reader<L>::set_experiment(const char* name) {
    return copy_text(request.exp_name, sizeof request.exp_name, name);
}

template <class L>
int reader<L>::set_stream(const char* name) {
    return copy_text(request.stream_name, sizeof request.stream_name, name);
}

template <class L>
int reader<L>::set_catalog_dir(const char* dir) {
    return copy_text(request.cdir, sizeof request.cdir, dir);
}

template <class L>
int reader<L>::set_data_dir(const char* dir) {
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    if (reader_detail::empty_text(dir)) {
        std::memset(request.ddir, 0, sizeof request.ddir);
        return set_error(ZORV_DAQ_READER_OK);
    }
    // Copy first: `dir` may be request.ddir itself.
    std::string text(dir);
    const char last = text.back();
    const bool keep = last == '/' || (L::text::ddir_may_end_in_colon && last == ':');
    if (!keep) text += '/';
    std::snprintf(request.ddir, sizeof request.ddir, "%s", text.c_str());
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
char* reader<L>::get_file_name(int i) {
    if (i < 0 || i >= static_cast<int>(files.size())) return nullptr;
    return files[i];
}

template <class L>
void reader<L>::set_data_path_list(const char* list) {
    if (list) data_path_list = list;
}

template <class L>
void reader<L>::set_by_time_fix(bool fix) {
    by_time_fix = fix;
    if constexpr (L::text::has_time_fix) {
        if (slicer) slicer->set_by_time_fix(fix);
    }
}

// ===================== request check =====================

template <class L>
int reader<L>::check_request() {
    using reader_detail::file_start;
    zorv_daq_request& q = request;
    if (q.stop_time.time.timeup == 0) {
        q.stop_time.time.timeup = static_cast<uint32_t>(std::time(nullptr));
        q.stop_time.time.timelow = 0;
    }
    if (q.start_time.event_number == 0) q.start_time.event_number = zorv_get_event_id(&q.start_time.time);
    if (q.stop_time.event_number == 0) q.stop_time.event_number = zorv_get_event_id(&q.stop_time.time);
    if (q.start_time.event_number != 0 && q.stop_time.event_number != 0 &&
        q.start_time.event_number > q.stop_time.event_number) {
        if (debug != 0 || L::text::reports_without_debug)
            std::printf("Wrong Event IDs start:%d > stop:%d\n", q.start_time.event_number,
                        q.stop_time.event_number);
        return set_error(ZORV_DAQ_READER_INV_PARAM);
    }
    const double start_us = reader_detail::micros(q.start_time.time);
    const double stop_us = reader_detail::micros(q.stop_time.time);
    if (start_us > stop_us) {
        if (debug != 0 || L::text::reports_without_debug)
            std::printf("Wrong Time start:%d_%d > stop:%d_%d\n", q.start_time.time.timeup,
                        q.start_time.time.timelow, q.stop_time.time.timeup, q.stop_time.time.timelow);
        return set_error(ZORV_DAQ_READER_INV_PARAM);
    }
    time_start = start_us;
    time_stop = stop_us;
    if constexpr (L::text::window_from_run_catalogue) {
        if (found_from_run_catalogue) {
            found_from_run_catalogue = false;
            return set_error(ZORV_DAQ_READER_OK);
        }
    }
    if (files.empty()) return set_error(ZORV_DAQ_READER_OK);

    // A file is kept when its own events reach into the window. A file whose
    // index cannot be read is judged by its name, from its start to the end
    // of the next file's start second: it is kept unless it surely lies
    // outside, so that the slicer reports it rather than it vanishing
    // unnoticed.
    const double stop_us_open = time_stop == 0.0 ? HUGE_VAL : time_stop;
    std::vector<char*> kept;
    for (size_t i = 0; i < files.size(); ++i) {
        double a = 0.0, b = 0.0;
        bool keep = file_span(files[i], &a, &b);
        if (!keep) {
            uint32_t t = 0, n = 0;
            keep = file_start(files[i], &t);
            a = double(t) * 1e6;
            b = HUGE_VAL;
            for (size_t k = i + 1; k < files.size() && b == HUGE_VAL; ++k)
                if (file_start(files[k], &n)) b = (double(n) + 1.0) * 1e6;  // names carry whole seconds
        }
        keep = keep && b >= time_start && a <= stop_us_open;
        if (keep)
            kept.push_back(files[i]);
        else
            std::free(files[i]);
    }
    files.swap(kept);
    return set_error(ZORV_DAQ_READER_OK);
}

// ===================== file list =====================

template <class L>
void reader<L>::free_files() {
    for (char* f : files) std::free(f);
    files.clear();
}

template <class L>
int reader<L>::insert_path(char* path, bool append) {
    if (append)
        files.push_back(path);
    else
        files.insert(files.begin(), path);
    return set_error(ZORV_DAQ_READER_OK);
}

// Whether a path found in the search may be taken: it exists and, where the
// layout checks it, is no longer being written.
template <class L>
bool reader<L>::accept_path(const char* path) const {
    bool exists = false;
    const bool closed = reader_detail::closed_long_enough(path, &exists);
    if (!L::text::check_close_time) {
        if (!exists && debug > 0) std::printf(L::text::not_found_direct, path);
        return exists;
    }
    if (reader_detail::close_time_ignored()) return exists;
    if (closed) return true;
    if (debug > 0) std::printf(L::text::not_found_direct, path);
    if (exists) std::printf("%s::add_file() file %s skipped (not closed)\n", L::text::reader, path);
    return false;
}

template <class L>
void reader<L>::note_skipped(const char* path, const char* reason) {
    for (const auto& k : skipped_files_)
        if (k.file == path) return;
    std::printf("Skipping file %s: %s\n", path, reason);
    skipped_files_.push_back({path, reason});
}

// Looks for a bare name in the search list; on success the accepted path is
// stored through `found`.
template <class L>
int reader<L>::find_in_search_list(const char* candidate, char** found) {
    std::string list = data_path_list;
    if constexpr (L::text::search_catalogue_dir) {
        char dir[1024] = {0};
        int size = sizeof dir;
        if (get_pnfs_dir(request.exp_name, candidate, dir, &size, 0) == 0) {
            dir[sizeof dir - 1] = '\0';
            size_t n = std::strlen(dir);
            if (n > 0 && dir[n - 1] == '/') dir[n - 1] = '\0';
            list += ':';
            list += dir;
        }
    }
    if (std::strchr(request.ddir, ':')) list = request.ddir;

    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(':', pos);
        if (end == std::string::npos) end = list.size();
        const std::string dir = list.substr(pos, end - pos);
        pos = end + 1;
        if (dir.empty()) continue;
        char* path = reader_detail::heap_join(dir.c_str(), candidate, "/");
        if (!path) {
            std::printf("%s::add_file() faile to allocate file buffer of %d bytes\n", L::text::reader,
                        int(dir.size() + std::strlen(candidate) + 1));
            return ZORV_DAQ_READER_INTERN_ERROR;
        }
        if (accept_path(path)) {
            *found = path;
            return ZORV_DAQ_READER_OK;
        }
        std::free(path);
    }
    if (debug != 0 || L::text::reports_without_debug)
        std::printf("%s::add_file() file %s not found in any default data path %s\n", L::text::reader,
                    candidate, list.c_str());
    return ZORV_DAQ_READER_FILES_NOT_FOUND;
}

// Turns a file name into the path of an accepted file (a heap string stored
// through `path`), or a status. A failed allocation of the candidate empties
// the file list.
template <class L>
int reader<L>::resolve_file(const char* name, char** path) {
    using T = typename L::text;
    const bool bare = std::strchr(name, '/') == nullptr;
    const bool ddir_set = request.ddir[0] != '\0';
    const bool ddir_list = std::strchr(request.ddir, ':') != nullptr;
    char* cand = nullptr;
    if (bare && ddir_set && !ddir_list) {
        const size_t n = std::strlen(request.ddir);
        cand = reader_detail::heap_join(request.ddir, name, request.ddir[n - 1] == '/' ? "" : "/");
    } else {
        cand = reader_detail::heap_copy(name);
    }
    if (!cand) {
        std::printf(ddir_list ? "Failed to malloc for file: %s\n" : T::candidate_malloc, name);
        free_files();
        return ZORV_DAQ_READER_INTERN_ERROR;
    }
    std::unique_ptr<char, free_path> owned(cand);

    if (std::strchr(cand, '/') == nullptr && (!ddir_set || ddir_list)) return find_in_search_list(cand, path);

    const bool accepted = (T::check_close_time && reader_detail::close_time_ignored()) || accept_path(cand);
    if (!accepted) return ZORV_DAQ_READER_FILES_NOT_FOUND;
    *path = owned.release();
    return ZORV_DAQ_READER_OK;
}

template <class L>
int reader<L>::add_file(const char* name, bool append) {
    if (reader_detail::empty_text(name)) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    char* path = nullptr;
    const int r = resolve_file(name, &path);
    if (r != 0) return set_error(r);
    return insert_path(path, append);
}

template <class L>
int reader<L>::remove_file(const char* part) {
    if (reader_detail::empty_text(part)) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    int found = -1;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!std::strstr(files[i], part)) continue;
        found = static_cast<int>(i);
        if (!L::text::removes_last_match) break;
    }
    if (found < 0) return set_error(ZORV_DAQ_READER_FILES_NOT_FOUND);
    std::free(files[found]);
    files.erase(files.begin() + found);
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
void reader<L>::sort_my_files() {
    sort_files(&files);
    for (size_t i = 0; i + 1 < files.size();) {
        if (std::strcmp(files[i], files[i + 1]) == 0) {
            std::free(files[i]);
            files.erase(files.begin() + i);
        } else {
            ++i;
        }
    }
}

// Checks the files' tables for the selected channels: BAD_FILE_FORMAT when
// no file can be read, NOT_FOUND when a selected channel is in no file (one
// missing from some files only is read from the others).
template <class L>
int reader<L>::check_files_tables() {
    if (files.empty()) return set_error(ZORV_DAQ_READER_OK);
    std::vector<bool> found(chans.size(), false);
    size_t missing = chans.size();
    bool readable = false;
    for (size_t k = 0; k < files.size() && (!readable || missing > 0); ++k) {
        get_tables.clean_up();
        if (get_tables.get_all_tables(files[k], 0, &chans) != 0) continue;
        readable = true;
        for (size_t c = 0; c < chans.size(); ++c) {
            typename L::cdt_entry* e = nullptr;
            if (found[c] || L::find_channel_by_name(get_tables.get_cdt_table(), chans[c], &e) < 0) continue;
            found[c] = true;
            --missing;
        }
    }
    get_tables.clean_up();
    if (!readable) return set_error(ZORV_DAQ_READER_BAD_FILE_FORMAT);
    return set_error(missing > 0 ? ZORV_DAQ_READER_NOT_FOUND : ZORV_DAQ_READER_OK);
}

// The span of a file's events, first to last in its event index, in
// microseconds; false when its index cannot be read.
template <class L>
bool reader<L>::file_span(const char* path, double* first, double* last) {
    get_tables.clean_up();
    inspected_path_.reset();
    const bool ok = get_tables.get_all_tables(const_cast<char*>(path), 0, nullptr) == 0 &&
                    reader_detail::eit_span(get_tables.get_eit_table(), first, last);
    get_tables.clean_up();
    return ok;
}

template <class L>
int reader<L>::init(std::vector<char*>* file_list, std::vector<daq_channel_entry*>* channels) {
    if (!file_list || file_list->empty()) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) clean_up();
    skipped_files_.clear();
    // A listed file that cannot be taken is not lost without a word: it is
    // reported skipped, and init's status stays what the other files give.
    for (char* name : *file_list) {
        if (reader_detail::empty_text(name) || add_file(name, true) == ZORV_DAQ_READER_OK) continue;
        struct stat st;
        note_skipped(name, ::stat(name, &st) == 0 ? "still being written" : "not found");
    }
    sort_my_files();
    if (channels && !channels->empty()) {
        const int r = set_channels(channels);
        if (!L::text::checks_tables_after_channels || r != 0) return set_error(r);
    }
    return check_files_tables();
}

// ===================== channel selection =====================

template <class L>
void reader<L>::free_results() {
    for (int i = 0; i < static_cast<int>(results.size()); ++i) {
        if (!results[i]) continue;
        std::free(results[i]->data);
        std::free(results[i]);
    }
    results.clear();
    keys_.clear();
    chans.clear();
    nchans = 0;
}

template <class L>
std::string reader<L>::channel_key(const result_entry* r) const {
    char key[sizeof r->chan.name + 16];
    if (r->chan.subchan >= 0)
        std::snprintf(key, sizeof key, "%s:%d", r->chan.name, r->chan.subchan);
    else
        std::snprintf(key, sizeof key, "%s", r->chan.name);
    return key;
}

template <class L>
int reader<L>::add_channel(const daq_channel_entry* entry) {
    if (!entry || reader_detail::empty_text(entry->name)) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);

    result_entry rec;
    std::memset(&rec, 0, sizeof rec);
    constexpr size_t field = sizeof rec.chan.name;
    char text[field];
    std::snprintf(text, sizeof text, "%s", entry->name);
    if (const char* semi = std::strchr(text, ';')) std::snprintf(rec.chan.nname, field, "%s", semi + 1);
    if (char* colon = std::strchr(text, ':')) {
        rec.chan.subchan = static_cast<int32_t>(std::strtol(colon + 1, nullptr, 10));
        *colon = '\0';
    } else {
        if (char* semi = std::strchr(text, ';')) *semi = '\0';
        rec.chan.subchan = -1;
    }
    std::snprintf(rec.chan.name, field, "%s", text);
    rec.chan.prms = entry->prms;

    for (const result_entry* r : results) {
        if (!r) return set_error(ZORV_DAQ_READER_INTERN_ERROR);
        if (r->chan.name[0] != '\0' && std::strcmp(r->chan.name, rec.chan.name) == 0 &&
            r->chan.subchan == rec.chan.subchan)
            return ZORV_DAQ_READER_OK;  // already selected; last_error is left as it was
    }
    auto* heap = static_cast<result_entry*>(std::malloc(sizeof rec));
    if (!heap) {
        if (debug != 0) std::printf("Failed to malloc result for %s\n", entry->name);
        return set_error(ZORV_DAQ_READER_INTERN_ERROR);
    }
    std::memcpy(heap, &rec, sizeof rec);
    results.push_back(heap);
    chans.push_back(heap->chan.name);
    nchans = static_cast<int>(results.size());
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
int reader<L>::set_channels(std::vector<daq_channel_entry*>* list) {
    if (!list || list->empty()) return set_error(ZORV_DAQ_READER_INV_PARAM);
    for (daq_channel_entry* e : *list) {
        const int r = add_channel(e);
        if (r != 0) return r;
    }
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
int reader<L>::rem_channel(const char* text) {
    if (reader_detail::empty_text(text)) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    std::string name(text);
    int sub = -1;
    const size_t colon = name.find(':');
    if (colon != std::string::npos) {
        sub = static_cast<int>(std::strtol(name.c_str() + colon + 1, nullptr, 10));
        name.resize(colon);
    }
    if (name.empty()) return set_error(ZORV_DAQ_READER_NOT_FOUND);
    for (size_t i = 0; i < results.size(); ++i) {
        result_entry* r = results[i];
        if (!r || name != r->chan.name || r->chan.subchan != sub) continue;
        std::free(r->data);
        std::free(r);
        results.erase(results.begin() + i);
        chans.erase(chans.begin() + i);
        nchans = static_cast<int>(results.size());
        return set_error(ZORV_DAQ_READER_OK);
    }
    return set_error(ZORV_DAQ_READER_NOT_FOUND);
}

template <class L>
char* reader<L>::get_nickname(const char* key) {
    if (reader_detail::empty_text(key)) return nullptr;
    for (result_entry* r : results) {
        if (!r || channel_key(r) != key) continue;
        return r->chan.nname[0] ? r->chan.nname : nullptr;
    }
    return nullptr;
}

template <class L>
zorv_chan_prms* reader<L>::get_channel_params(const char* key) {
    if (reader_detail::empty_text(key) || nchans < 1) return nullptr;
    for (result_entry* r : results) {
        if (!r) continue;
        if (std::strcmp(r->chan.nname, key) == 0 || channel_key(r) == key) return &r->chan.prms;
    }
    return nullptr;
}

template <class L>
char* reader<L>::get_channel_name(int i, int* subchan) {
    if (i < 0 || i >= static_cast<int>(results.size()) || !results[i]) return nullptr;
    if (subchan) *subchan = results[i]->chan.subchan;
    return results[i]->chan.name;
}

// ----- file inspection through the reader's own table set -----

template <class L>
const typename L::cdt* reader<L>::loaded_cdt() const {
    const typename L::cdt* cdt = const_cast<table_set_type&>(get_tables).get_cdt_table();
    if (!cdt || cdt->pattern != L::pattern_cdt || cdt->length < 8) return nullptr;
    return cdt;
}

template <class L>
int reader<L>::loaded_cdt_count() const {
    const typename L::cdt* cdt = loaded_cdt();
    return cdt ? (cdt->length - 8) / L::cdt_entry_size : 0;
}

// Resolves `file` as add_file does and loads its tables into get_tables. The
// path never enters `files`: a caller's own entries of the same file, or of
// names containing it, stay as they are, and the inspection works at any
// time, also while the slicer reads (it touches only get_tables).
template <class L>
int reader<L>::open_inspected_file(const char* file, int mode) {
    get_tables.clean_up();
    char* path = nullptr;
    const int r = resolve_file(file, &path);
    if (r != 0) return set_error(r);
    const int loaded = get_tables.get_all_tables(path, mode, &chans);
    // The table set keeps the name pointer of a loaded file; it is freed
    // only after the tables have let go of it.
    if (loaded != 0) {
        std::free(path);
        return set_error(ZORV_DAQ_READER_NO_DATA);
    }
    inspected_path_.reset(path);
    return ZORV_DAQ_READER_OK;
}

template <class L>
int reader<L>::get_number_of_channels(const char* file, int* n, int mode) {
    if (reader_detail::empty_text(file) || !n) return set_error(ZORV_DAQ_READER_INV_PARAM);
    const int r = open_inspected_file(file, mode);
    if (r != 0) return r;
    const typename L::cdt* raw = const_cast<table_set_type&>(get_tables).get_cdt_table();
    if (!loaded_cdt()) return set_error(raw && raw->pattern == L::pattern_cdt ? ZORV_DAQ_READER_NO_DATA
                                                                              : ZORV_DAQ_READER_INTERN_ERROR);
    if (raw->length == 8) return set_error(ZORV_DAQ_READER_NO_DATA);
    *n = loaded_cdt_count();
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
char* reader<L>::get_channel_name(int i, int* count, int* ev_mask, int* dtype_mask) {
    const typename L::cdt* cdt = loaded_cdt();
    if (i < 0 || !cdt || i >= loaded_cdt_count()) return nullptr;
    auto& e = const_cast<typename L::cdt_entry&>(cdt->entry[i]);
    if (count) *count = e.count;
    if (ev_mask) *ev_mask = static_cast<int>(e.ev_mask);
    if (dtype_mask) *dtype_mask = static_cast<int>(e.dtype_mask);
    return e.chan_name;
}

template <class L>
std::vector<chan_descr_2010*>* reader<L>::get_descr_list() {
    return get_tables.get_descr_list();
}

template <class L>
int reader<L>::fill_chan_descr(const char* file, std::vector<chan_descr_2010*>* out) {
    if (reader_detail::empty_text(file) || !out) return set_error(ZORV_DAQ_READER_INV_PARAM);
    int n = 0;
    const int r = get_number_of_channels(file, &n, 1);
    if (r != 0) return r;
    std::vector<chan_descr_2010*>* list = get_descr_list();
    const typename L::cdt* cdt = loaded_cdt();
    const int count = loaded_cdt_count();
    if (list && cdt) {
        for (chan_descr_2010* d : *list) {
            if (!d) continue;
            for (int k = 0; k < count; ++k) {
                const auto& e = cdt->entry[k];
                if (reader_detail::field_cmp(e.chan_name, sizeof e.chan_name, d->daq_name) != 0) continue;
                d->count = e.count;
                out->push_back(d);
                break;
            }
        }
    }
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
void reader<L>::print_all_channels(const char* file) {
    int n = 0;
    if (get_number_of_channels(file, &n, 0) == 0) print_zorv_channel_dictionary_table(loaded_cdt());
}

// ===================== start and event loop =====================

template <class L>
int reader<L>::start() {
    const bool talk = debug != 0 && L::text::explains_start_with_debug;
    if (slicer) {
        if (talk) {
            std::printf("We have already slicer\n");
            std::fflush(stdout);
        }
        return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    }
    int r = check_request();
    if (r != 0) {
        if (talk) {
            std::printf("Request is not OK ret:%d\n", r);
            std::fflush(stdout);
        }
        return set_error(r);
    }
    // Stepping by event number, a step of no events would give the same
    // event for ever. (By time, the time part steps.)
    if (request.synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_EVID && request.period.event_number == 0) {
        if (talk) std::printf("The period steps by no events\n");
        return set_error(ZORV_DAQ_READER_INV_PARAM);
    }
    slicer = new slicer_type();
    if (debug != 0) slicer->set_debug(debug);
    if constexpr (L::text::has_time_fix) slicer->set_by_time_fix(by_time_fix);

    std::vector<chan_param*> params;
    for (result_entry* rec : results)
        if (rec) params.push_back(&rec->chan);
    auto fail = [&](int code, const char* fmt, auto... args) {
        if (debug != 0) {
            std::printf(fmt, args...);
            std::fflush(stdout);
        }
        return set_error(code);
    };
    if ((r = slicer->init(&files, &params, 0)) != 0) return fail(r, "Failed to init slicer error:%d\n", r);
    if ((r = slicer->set_synch_mode(request.synch_mode)) != 0)
        return fail(r, "Failed to set synch mode:%d at the slicer error:%d\n", request.synch_mode, r);
    if ((r = slicer->set_time_diff(&request.time_diff)) != 0)
        return fail(r, "Failed to set time diff erro:%d\n", r);
    if ((r = slicer->set_event_step(&request.period)) != 0)
        return fail(r, "Failed to set event step error:%d\n", r);
    slicer->set_count_window(time_start, time_stop);
    if ((r = slicer->start()) != 0) {
        fail(r, "Failed to start slicer error:%d\n", r);
        last_error += ":";
        last_error += reader_detail::text_of(slicer->get_not_found_channels());
        return r;
    }
    return set_error(ZORV_DAQ_READER_OK);
}

// One round with the slicer; its status, with the timing line when asked.
template <class L>
int reader<L>::ask_slicer(zorv_time_id* id, int type) {
    const double t0 = debug < 0 ? wall_clock_us() : 0.0;
    const int s = slicer->get_data(id, &cur_res, type);
    if constexpr (L::text::get_data_timing != nullptr) {
        if (debug < 0) {
            const double dt = wall_clock_us() - t0;
            if (dt > 1000.0) std::printf(L::text::get_data_timing, dt / 1000.0);
        }
    }
    if (debug > 1) std::printf("reader.get_data() CUR_RES.SIZE(): %d  STATUS: %d\n", int(cur_res.size()), s);
    return s;
}

// Block types whose entries name their channel by the property at the head of
// the payload and do not stand for an event: the update, begin-of-run and
// end-of-run blocks; in the legacy layout the update block alone.
template <class L>
bool reader<L>::matched_by_property(int type) {
    return L::text::every_update_type_by_property ? L::is_update_type(type) : type == L::upd_type;
}

// The entry that stands for the event: the first with a channel header that
// is not an update, begin-of-run or end-of-run block; else the first entry.
template <class L>
const zorv_channel_entry_long* reader<L>::reference_entry() const {
    const zorv_channel_entry_long* first = nullptr;
    for (const zorv_channel_entry_long* e : cur_res) {
        if (!e) continue;
        if (!first) first = e;
        const auto* sh = reinterpret_cast<const subhead*>(e->sbchdata[0].chhd);
        if (!sh) {
            if (debug > 0 || L::text::reports_without_debug) std::printf("%s", L::text::null_chan_header);
            continue;
        }
        if (!matched_by_property(sh->dtype & 0xFFFF)) return e;
    }
    return first;
}

// Where the event stands against the window: 0 inside, -1 before its start,
// +1 after its stop.
template <class L>
int reader<L>::window_side(const zorv_channel_entry_long* ref) const {
    const double t = reader_detail::micros(ref->event_id.time);
    const uint32_t ev = ref->event_id.event_number;
    bool ok_from = time_start == 0.0 || t >= time_start;
    bool ok_to = time_stop == 0.0 || t <= time_stop;
    if (request.synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_EVID) {
        const uint32_t from = request.start_time.event_number;
        const uint32_t to = request.stop_time.event_number;
        if (from != 0) ok_from = from <= ev;
        if (to != 0) ok_to = to >= ev;
    }
    return !ok_from ? -1 : (!ok_to ? 1 : 0);
}

// Index of the result record that an entry belongs to, or -1. Update blocks
// are matched by the property name at the head of their payload. The search
// starts at `from` and wraps: the slicer hands entries out in the order of
// the channels, so the record after the last match is nearly always the one.
// Keys are unique (add_channel refuses a channel twice), so the wrapped
// search finds the same record; property names are not (two sub-channels
// of one channel share theirs), so those are searched from the first.
template <class L>
int reader<L>::find_result_for(const zorv_channel_entry_long* e, const subhead* sh, int from) {
    const bool by_property = matched_by_property(sh->dtype & 0xFFFF);
    const long payload = long(sh->ldata) - long(sizeof(subhead));
    const char* data = reinterpret_cast<const char*>(e->sbchdata[0].data);
    const int n = std::min(nchans, static_cast<int>(std::min(results.size(), keys_.size())));
    if (by_property || from < 0 || from >= n) from = 0;
    for (int step = 0; step < n; ++step) {
        const int i = (from + step) % n;
        const result_entry* r = results[i];
        if (!r) continue;
        int c = 1;
        if (by_property) {
            if (data && payload > 0) {
                const long field = payload < L::upd_prop_len ? payload : L::upd_prop_len;
                c = reader_detail::field_cmp(data, size_t(field), r->chan.name);
            }
        } else {
            c = reader_detail::field_cmp(sh->chname, sizeof sh->chname, keys_[i].c_str());
        }
        if (debug > 1) std::printf("reader.get_data() FOUND: %d\n", c);
        if (c == 0) return i;
    }
    return -1;
}

// Copies an entry's headers and data into the record and points the record's
// result at the copies, so that it outlives the slicer's entry.
template <class L>
int reader<L>::copy_into_result(result_entry* r, const zorv_channel_entry_long* e, const subhead* sh) {
    const int dt = sh->dtype & 0xFFFF;
    if (dt == L::upd_type) r->slow = 1;
    const long sh_size = long(sizeof(subhead));
    const long ldata = sh->ldata;
    // A length shorter than the sub-header carries no payload.
    const long payload = ldata > sh_size ? ldata - sh_size : 0;
    const long need = sh_size + payload;
    if (!r->data || r->data->ldata < ldata || r->data->ldata < sh_size) {
        void* grown = std::realloc(r->data, size_t(need));
        if (!grown) {
            std::printf("Failed to realloc %d of data for %s\n", sh->ldata, channel_key(r).c_str());
            if (L::text::perror_on_realloc) std::perror("realloc");
            return ZORV_DAQ_READER_INTERN_ERROR;
        }
        r->data = static_cast<subhead*>(grown);
    }
    if (const auto* eh = reinterpret_cast<const zorv_eventheader*>(e->sbchdata[0].evhd))
        r->evhd = *eh;
    else
        std::memset(&r->evhd, 0, sizeof r->evhd);
    if (const auto* bh = reinterpret_cast<const sbhead*>(e->sbchdata[0].sbhd))
        r->sbhd = *bh;
    else
        std::memset(&r->sbhd, 0, sizeof r->sbhd);
    std::memcpy(r->data, sh, sizeof(subhead));
    const void* src = reinterpret_cast<const void*>(e->sbchdata[0].data);
    if (payload > 0 && src) std::memcpy(reinterpret_cast<char*>(r->data) + sh_size, src, size_t(payload));
    if (ldata < sh_size) r->data->ldata = static_cast<int32_t>(sh_size);
    if (debug > 1) std::printf("UPDATED %s\n", channel_key(r).c_str());

    r->updated = 1;
    r->res = *e;
    auto& p = r->res.sbchdata[0];
    p.evhd = reinterpret_cast<uint64_t>(&r->evhd);
    p.sbhd = reinterpret_cast<uint64_t>(&r->sbhd);
    p.chhd = reinterpret_cast<uint64_t>(r->data);
    p.data = reinterpret_cast<uint64_t>(r->data) + uint64_t(sh_size);
    return ZORV_DAQ_READER_OK;
}

// Copies every entry of the current event into its channel's record.
template <class L>
int reader<L>::take_event() {
    ++evs;
    for (int i = 0; i < nchans && i < static_cast<int>(results.size()); ++i)
        if (results[i]) results[i]->updated = 0;
    if (keys_.size() != results.size()) {
        keys_.clear();
        for (const result_entry* r : results) keys_.push_back(r ? channel_key(r) : std::string());
    }
    int next = 0;
    for (const zorv_channel_entry_long* e : cur_res) {
        if (!e) continue;
        current_event_id = e->event_id;
        const auto* sh = reinterpret_cast<const subhead*>(e->sbchdata[0].chhd);
        if (!sh) continue;
        const int k = find_result_for(e, sh, next);
        if (k < 0) continue;
        next = k + 1;
        const int r = copy_into_result(results[k], e, sh);
        if (r != 0) return r;
    }
    return ZORV_DAQ_READER_OK;
}

template <class L>
int reader<L>::get_data(zorv_time_id* id, std::vector<zorv_channel_entry_long*>* out, int type) {
    if (!slicer) return ZORV_DAQ_READER_NOT_INIT;
    if (!out) return set_error(ZORV_DAQ_READER_INV_PARAM);
    cur_res.clear();
    out->clear();
    // Asking again after a rejected event only helps when the slicer moves
    // on by itself: a NEXT or PREV from its own position. Any other request
    // answers the same event again, so the loop ends there instead.
    bool moves_on = id == nullptr && (type == ZORV_DAQ_READ_CHAN_EVENT_NEXT || type == ZORV_DAQ_READ_CHAN_EVENT_PREV);
    // The first (last) event of the data may lie before (after) the window,
    // or hand out nothing: the first (last) event of the read is then found
    // by stepping inwards from it.
    auto step_inwards = [&](int side) {
        const bool first = type == ZORV_DAQ_READ_CHAN_EVENT_FIRST && side <= 0;
        const bool last = type == ZORV_DAQ_READ_CHAN_EVENT_LAST && side >= 0;
        if (id || (!first && !last)) return false;
        type = first ? ZORV_DAQ_READ_CHAN_EVENT_NEXT : ZORV_DAQ_READ_CHAN_EVENT_PREV;
        moves_on = true;
        return true;
    };
    bool have_last = false;
    zorv_time_id last_seen{};
    for (;;) {
        const int s = ask_slicer(id, type);
        // Recorded, so that a read that has ended never still says "OK".
        if (s == ZORV_DAQ_READER_INV_PARAM || s == ZORV_DAQ_READER_INTERN_ERROR || s == ZORV_DAQ_READER_NOT_READY ||
            s == ZORV_DAQ_READER_OUT_OF_WINDOW)
            return set_error(s);
        if (s != 0) {
            std::printf("Unexpected return code %d\n", s);
            return set_error(s);
        }
        if (cur_res.empty()) {
            ++evs_empty;
            if (debug >= 1) std::printf("BREAKING HERE 1 mode: %d \n", request.synch_mode);
            if (!moves_on && !step_inwards(0)) return set_error(ZORV_DAQ_READER_OUT_OF_WINDOW);
            continue;
        }
        const zorv_channel_entry_long* ref = reference_entry();
        if (request.synch_mode != ZORV_DAQ_SLICER_SYNCH_MODE_EVID && request.synch_mode != ZORV_DAQ_SLICER_SYNCH_MODE_TIME) {
            std::printf("Unknown synch mode %d\n", request.synch_mode);
            return set_error(ZORV_DAQ_READER_INTERN_ERROR);
        }
        const int side = window_side(ref);
        if (side == 0) break;
        if (debug > 1) std::printf("reader.get_data() BELONG: %d\n", 0);
        // Events come in order: once a NEXT is past the stop, or a PREV
        // before the start, no later answer can fall inside the window.
        const bool past = (type == ZORV_DAQ_READ_CHAN_EVENT_NEXT && side > 0) ||
                          (type == ZORV_DAQ_READ_CHAN_EVENT_PREV && side < 0);
        const bool repeated = have_last && std::memcmp(&last_seen, &ref->event_id, sizeof last_seen) == 0;
        if (!moves_on && step_inwards(side)) continue;
        if (!moves_on || past || repeated) return set_error(ZORV_DAQ_READER_OUT_OF_WINDOW);
        last_seen = ref->event_id;
        have_last = true;
    }
    if (debug > 1) std::printf("reader.get_data() BELONG: %d\n", 1);
    const int r = take_event();
    if (r != 0) return r;
    count_delivery();
    for (int i = 0; i < nchans && i < static_cast<int>(results.size()); ++i) {
        result_entry* rec = results[i];
        if (rec && (rec->slow || rec->updated)) out->push_back(&rec->res);
    }
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
double reader<L>::get_time_period_us() {
    using reader_detail::file_start;
    if (time_stop != 0.0 && time_start != 0.0) return time_stop - time_start;
    if (files.empty()) return -1.0;
    uint32_t first = 0, last = 0;
    if (files.size() > 1) {
        if (!file_start(files.front(), &first)) return -1.0;
        if (!file_start(files.back(), &last)) return 0.0;
        if (last < first) return -4.0;  // names out of order: no estimate
        last = last + (last - first) / static_cast<uint32_t>(files.size() - 1);
    } else {
        get_tables.clean_up();
        if (get_tables.get_all_tables(files[0], 0, &chans) != 0) {
            set_error(ZORV_DAQ_READER_BAD_FILE_FORMAT);
            return -2.0;
        }
        const auto* eit = get_tables.get_eit_table();
        if (!eit || eit->nevent_types <= 0) {
            if (debug != 0 || L::text::reports_without_debug) std::printf("No events in event index table\n");
            get_tables.clean_up();
            set_error(ZORV_DAQ_READER_NO_DATA);
            return -3.0;
        }
        time_stamp t_first{}, t_last{};
        const auto* entry = reinterpret_cast<const unsigned char*>(&eit->entry[0]);
        for (int k = 0; k < eit->nevent_types; ++k) {
            const auto* e = reinterpret_cast<const zorv_event_index_entry*>(entry);
            int cmp = 0;
            if (e->event_time_first.timeup != 0 &&
                (t_first.timeup == 0 || (zorv_time_stamp_eq(&e->event_time_first, &t_first, 0, &cmp, nullptr), cmp < 0)))
                t_first = e->event_time_first;
            if (e->event_time_last.timeup != 0 &&
                (t_last.timeup == 0 || (zorv_time_stamp_eq(&e->event_time_last, &t_last, 0, &cmp, nullptr), cmp > 0)))
                t_last = e->event_time_last;
            // An entry shorter than its own head would not advance.
            if (e->length < int(offsetof(zorv_event_index_entry, event_info))) break;
            entry += e->length;
        }
        get_tables.clean_up();
        first = t_first.timeup;
        last = t_last.timeup;
    }
    if (first == last || last == 0 || first == 0) return -4.0;
    return double(last - first) * 1e6;
}

// ===================== what was delivered =====================

template <class L>
void reader<L>::count_delivery() {
    const size_t n = static_cast<size_t>(nchans) < results.size() ? size_t(nchans) : results.size();
    if (delivery_.size() != n) {
        delivery_.assign(n, zorv_daq_chan_delivery{});
        for (size_t i = 0; i < n; ++i)
            if (results[i]) delivery_[i].channel = channel_key(results[i]);
    }
    for (size_t i = 0; i < n; ++i) {
        const result_entry* rec = results[i];
        if (!rec) continue;
        if (rec->updated)
            ++delivery_[i].delivered;
        else if (slicer && slicer->chan_state(int(i)) == ZORV_DAQ_CHAN_DAMAGED)
            ++delivery_[i].damaged;
        else if (rec->slow)
            ++delivery_[i].carried;
    }
}

template <class L>
int reader<L>::get_chan_status(int i, zorv_daq_chan_status* out) const {
    if (!out || i < 0 || i >= nchans || i >= static_cast<int>(results.size()) || !results[size_t(i)])
        return ZORV_DAQ_READER_INV_PARAM;
    const result_entry* rec = results[size_t(i)];
    *out = zorv_daq_chan_status{};
    const int missing = slicer ? slicer->chan_state(i) : int(ZORV_DAQ_CHAN_NO_ENTRY);
    if (rec->updated) {
        out->state = ZORV_DAQ_CHAN_FRESH;
    } else if (rec->slow && missing != ZORV_DAQ_CHAN_DAMAGED) {
        out->state = ZORV_DAQ_CHAN_CARRIED;
        out->from = rec->res.event_id;
    } else {
        // Fresh at the slicer but not taken here: its block had no header.
        out->state = missing == ZORV_DAQ_CHAN_FRESH ? int(ZORV_DAQ_CHAN_DAMAGED) : missing;
    }
    return ZORV_DAQ_READER_OK;
}

template <class L>
int reader<L>::get_delivery_report(zorv_daq_delivery_report* out) const {
    if (!out) return ZORV_DAQ_READER_INV_PARAM;
    out->channels = delivery_;
    if (out->channels.size() < results.size()) {
        // Channels selected but not read yet still get their row.
        for (size_t i = out->channels.size(); i < results.size() && i < size_t(nchans); ++i) {
            out->channels.emplace_back();
            if (results[i]) out->channels.back().channel = channel_key(results[i]);
        }
    }
    out->skipped_files = skipped_files_;
    if (slicer) {
        for (size_t i = 0; i < out->channels.size(); ++i) {
            out->channels[i].unmatched = slicer->unmatched_entries(int(i));
            out->channels[i].in_skipped_files = slicer->entries_in_skipped_files(int(i));
            out->channels[i].damaged += slicer->entries_without_event(int(i));
        }
        for (auto& f : slicer->get_skipped_files()) out->skipped_files.push_back({f.first, f.second});
    }
    out->tolerance_us = double(request.time_diff.timeup) * 1e6 + double(request.time_diff.timelow);
    return ZORV_DAQ_READER_OK;
}

template <class L>
void reader<L>::clean_up() {
    if (slicer) {
        slicer->clean_up();
        delete slicer;
        slicer = nullptr;
    }
    free_files();
    cur_res.clear();
    free_results();
    current_event_id = zorv_time_id{};
    time_start = time_stop = 0.0;
    evs = evs_empty = 0;
    delivery_.clear();
    skipped_files_.clear();
    set_default_request();
    get_tables.clean_up();
    inspected_path_.reset();
}

}  // namespace zorv

#endif
