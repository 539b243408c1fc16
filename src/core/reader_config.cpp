// zorv::reader: construction, defaults and error words, the request's
// setters and its check, and the channel selection with its result records.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/reader_parts.h"

namespace zorv {

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

// Copies a given event id and time into a request field before the start.
template <class L>
int reader<L>::copy_time_id(zorv_time_id* field, const zorv_time_id* value) {
    if (!value) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    *field = *value;
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
int reader<L>::set_period(const zorv_time_id* period) {
    return copy_time_id(&request.period, period);
}

template <class L>
int reader<L>::set_time_diff(const time_stamp* diff) {
    if (!diff) return 1;
    request.time_diff = *diff;
    return 0;
}

template <class L>
int reader<L>::set_start_point(const zorv_time_id* t) {
    return copy_time_id(&request.start_time, t);
}

template <class L>
int reader<L>::set_stop_point(const zorv_time_id* t) {
    return copy_time_id(&request.stop_time, t);
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
    if constexpr (L::has_time_fix) {
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
    // index cannot be read, or gives a span that ends before it starts (a
    // damaged index), is judged by its name, from its start to the end of
    // the next file's start second: it is kept unless it surely lies
    // outside, so that the slicer reports it rather than it vanishing
    // unnoticed.
    const double stop_us_open = time_stop == 0.0 ? HUGE_VAL : time_stop;
    std::vector<char*> kept;
    for (size_t i = 0; i < files.size(); ++i) {
        double a = 0.0, b = 0.0;
        bool keep = file_span(files[i], &a, &b) && a <= b;
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

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_READER_CONFIG(L) \
    template reader<L>::reader(); \
    template reader<L>::~reader(); \
    template void reader<L>::set_default_request(); \
    template int reader<L>::set_error(int code); \
    template const char* reader<L>::error_i2a(int code) const; \
    template void reader<L>::set_debug(int level); \
    template int reader<L>::get_synch_mode(); \
    template int reader<L>::set_synch_mode(int mode); \
    template int reader<L>::copy_time_id(zorv_time_id* field, const zorv_time_id* value); \
    template int reader<L>::set_period(const zorv_time_id* period); \
    template int reader<L>::set_time_diff(const time_stamp* diff); \
    template int reader<L>::set_start_point(const zorv_time_id* t); \
    template int reader<L>::set_stop_point(const zorv_time_id* t); \
    template int reader<L>::copy_text(char* field, size_t size, const char* text); \
    template int reader<L>::set_experiment(const char* name); \
    template int reader<L>::set_stream(const char* name); \
    template int reader<L>::set_catalog_dir(const char* dir); \
    template int reader<L>::set_data_dir(const char* dir); \
    template char* reader<L>::get_file_name(int i); \
    template void reader<L>::set_data_path_list(const char* list); \
    template void reader<L>::set_by_time_fix(bool fix); \
    template int reader<L>::check_request(); \
    template void reader<L>::free_results(); \
    template std::string reader<L>::channel_key(const result_entry* r) const; \
    template int reader<L>::add_channel(const daq_channel_entry* entry); \
    template int reader<L>::set_channels(std::vector<daq_channel_entry*>* list); \
    template int reader<L>::rem_channel(const char* text); \
    template char* reader<L>::get_nickname(const char* key); \
    template zorv_chan_prms* reader<L>::get_channel_params(const char* key); \
    template char* reader<L>::get_channel_name(int i, int* subchan); \
    template const typename L::cdt* reader<L>::loaded_cdt() const; \
    template int reader<L>::loaded_cdt_count() const; \
    template int reader<L>::open_inspected_file(const char* file, int mode); \
    template int reader<L>::get_number_of_channels(const char* file, int* n, int mode); \
    template char* reader<L>::get_channel_name(int i, int* count, int* ev_mask, int* dtype_mask); \
    template std::vector<chan_descr_2010*>* reader<L>::get_descr_list(); \
    template int reader<L>::fill_chan_descr(const char* file, std::vector<chan_descr_2010*>* out); \
    template void reader<L>::print_all_channels(const char* file);
ZORV_READER_CONFIG(layout_current)
ZORV_READER_CONFIG(layout_legacy)
#undef ZORV_READER_CONFIG


}  // namespace zorv
