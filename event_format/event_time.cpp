// Event types, time-stamp comparison and the start times coded in data file
// names.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "event_util.h"
#include "sys/clock.h"
#include "sys/path.h"

namespace {

struct event_info {
    const char* name;
    ZORV_EV_STRUCT_TYPE structure;
    bool slow;
};

constexpr ZORV_EV_STRUCT_TYPE LOC = ZORV_EV_STRUCT_LOCAL;
constexpr ZORV_EV_STRUCT_TYPE GLB = ZORV_EV_STRUCT_GLOBAL;
constexpr ZORV_EV_STRUCT_TYPE ML = ZORV_EV_STRUCT_ML;
constexpr ZORV_EV_STRUCT_TYPE UND = ZORV_EV_STRUCT_UNDEF;

constexpr event_info event_table[ZORV_EV_EVMAX] = {
    {"HB", ZORV_EV_STRUCT_UNKNOWN, false},
    {"NORMAL", LOC, false},
    {"BOR", GLB, true},
    {"EOR", GLB, true},
    {"ENV", GLB, true},
    {"UPD", GLB, true},
    {"IMAGE", LOC, false},
    {"WS", ML, false},
    {"MCP", ML, false},
    {"WSS", ML, false},
    {"BL1", ML, false},
    {"BL2", ML, false},
    {"BL3", ML, false},
    {"PG0", ML, false},
    {"PG1", ML, false},
    {"PG2", ML, false},
    {"GMD", ML, false},
    {"PHOTEN", ML, false},
    {"PHOTWL", ML, false},
    {"BEAM_ENERGY", ML, false},
    {"LLRF_ML", ML, false},
    {"BEAM_ENERGY_BYPASS", ML, false},
    {"SPECTR_1", ML, false},
    {"SPECTR_2", ML, false},
    {"SPECTR_3", ML, false},
    {"SPECTR_4", ML, false},
    {"SPECTR_5", ML, false},
    {"TOROID_ML", ML, false},
    {"28", UND, false},
    {"29", UND, false},
    {"30", UND, false},
    {"31", UND, false},
};

const event_info* event_of(int e) {
    return e >= 0 && e < ZORV_EV_EVMAX ? &event_table[e] : nullptr;
}

// ---------------------------------------------------------------------------
// File names: "<exp>_<stream>_run<R>_file<N>_<YYYYMMDD>T<HHMMSS>.raw".
// ---------------------------------------------------------------------------

using zorv::sys::base_name;

bool digits(const char* p, int n, int* value) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    *value = v;
    return true;
}

// Start time in UTC seconds; false when the name carries no valid time.
bool time_of_name(const char* name, time_t* out) {
    const char* base = base_name(name);
    const char* us = std::strrchr(base, '_');
    if (!us) return false;
    const char* p = us + 1;
    int y, mo, d, h, mi, s;
    if (!digits(p, 4, &y) || !digits(p + 4, 2, &mo) || !digits(p + 6, 2, &d) || p[8] != 'T' ||
        !digits(p + 9, 2, &h) || !digits(p + 11, 2, &mi) || !digits(p + 13, 2, &s))
        return false;
    if (p[15] != '\0' && p[15] != '.') return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    const time_t t = timegm(&tm);
    // timegm normalises a day past the month's end; such a name is not a date.
    if (t == time_t(-1) || tm.tm_mday != d || tm.tm_mon != mo - 1) return false;
    *out = t;
    return true;
}

// Sequence number after the last "_file" of the base name, -1 when absent.
long long sequence_of_name(const char* name) {
    const char* base = base_name(name);
    const char* found = nullptr;
    for (const char* p = std::strstr(base, "_file"); p; p = std::strstr(p + 1, "_file")) found = p;
    if (!found || found[5] < '0' || found[5] > '9') return -1;
    return std::strtoll(found + 5, nullptr, 10);
}

struct file_key {
    char* name;
    bool has_time;
    time_t time;
    long long seq;
};

bool key_before(const file_key& a, const file_key& b) {
    if (!a.name || !b.name) return a.name && !b.name;  // null entries last
    if (a.has_time != b.has_time) return a.has_time;
    if (a.has_time && a.time != b.time) return a.time < b.time;
    if (a.has_time && a.seq != b.seq) return a.seq < b.seq;
    return std::strcmp(a.name, b.name) < 0;
}

}  // namespace

bool is_slow_event(int event_type) {
    const event_info* e = event_of(event_type);
    return e && e->slow;
}

int get_event_struct_type(int event_type) {
    const event_info* e = event_of(event_type);
    return e ? e->structure : ZORV_EV_STRUCT_UNKNOWN;
}

const char* event_name_itoa(int event_type) {
    const event_info* e = event_of(event_type);
    return e ? e->name : "UNKNOWN";
}

bool zorv_time_stamp_eq(const time_stamp* a, const time_stamp* b, double tol, int* cmp,
                        double* dist) {
    if (!a || !b) return false;
    const int64_t diff = int64_t(zorv::sys::to_micros(*a)) - int64_t(zorv::sys::to_micros(*b));
    const double d = double(diff);
    if (dist) *dist = d;
    const bool eq = std::abs(d) <= tol;
    if (cmp) *cmp = eq ? 0 : (diff < 0 ? -1 : 1);
    return eq;
}

bool zorv_time_stamp_eq(const time_stamp* a, const time_stamp* b) {
    return a && b && a->timeup == b->timeup && a->timelow == b->timelow;
}

uint32_t zorv_get_event_id(const time_stamp*) { return 0; }

bool get_time_from_file_name(const char* name, time_t* seconds) {
    time_t t;
    if (!name || !time_of_name(name, &t)) return true;
    if (seconds) *seconds = t;
    return false;
}

void sort_files(std::vector<char*>* files) {
    if (!files) return;
    std::vector<file_key> keys;
    keys.reserve(files->size());
    for (char* f : *files) {
        file_key k{f, false, 0, -1};
        if (f) {
            k.has_time = time_of_name(f, &k.time);
            k.seq = sequence_of_name(f);
        }
        keys.push_back(k);
    }
    std::stable_sort(keys.begin(), keys.end(), key_before);
    for (size_t i = 0; i < keys.size(); ++i) (*files)[i] = keys[i].name;
}
