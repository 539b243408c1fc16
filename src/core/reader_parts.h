// What the parts of zorv::reader share: the built-in data paths, the error
// words, and small helpers on requests, names and event index tables.
// Internal to the library.
#ifndef ZORV_CORE_READER_PARTS_H
#define ZORV_CORE_READER_PARTS_H

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/layout_text.h"
#include "sys/clock.h"
#include "sys/lock.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace zorv {

using sys::mutex_lock;
using sys::wall_clock_us;

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

// Calls f on each event-type entry of an event index table until f returns
// true; the walk stops at an entry whose length cannot be right.
template <class F>
bool any_eit_entry(const zorv_event_index_table_2010* eit, F f) {
    if (eit->nevent_types < 0 || eit->nevent_types > 32) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(eit->entry);
    for (int i = 0; i < eit->nevent_types; ++i) {
        const auto* e = reinterpret_cast<const zorv_event_index_entry*>(p);
        if (e->length < 32 || (e->length - 32) % 16 != 0) return false;
        if (f(e)) return true;
        p += e->length;
    }
    return false;
}

}  // namespace reader_detail

}  // namespace zorv

#endif
