// Run catalogue: one XML file per run, <cdir>/<exp>/run<R>.xml, naming the
// run's times, its data directory and its files with their spans:
//
//   <run number="1234" stream="main" start="..." stop="..." dir="/data/linac">
//     <file name="linac_main_run1234_file1_20101004T120000.raw" start="..." stop="..."/>
//   </run>
//
// The queries never throw and never trust the catalogue: unreadable or
// malformed run files count as missing runs, numbers that do not parse count
// as absent, and names that would lead outside a directory are ignored.
#include <dirent.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "event_util.h"
#include "sys/path.h"
#include "xml_text.h"

namespace {

constexpr int catalog_mode = 1;
constexpr const char* default_catalog_dir = "/daq/zorv/admtemp/";

struct catalog_file {
    std::string name;
    uint32_t start = 0;
    uint32_t stop = 0;  // 0: still open
};

struct catalog_run {
    int number = 0;
    std::string path;  // the run file
    std::string dir;
    uint32_t start = 0;
    uint32_t stop = 0;
    std::vector<catalog_file> files;
};

// Seconds from an attribute: a plain decimal number that fits 32 bits, blanks
// around it allowed (a hand-edited or generated catalogue may leave them),
// else 0.
uint32_t seconds_attr(const pugi::xml_node& node, const char* name) {
    const char* text = zorv::skip_xml_space(node.attribute(name).value());
    if (*text < '0' || *text > '9') return 0;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *zorv::skip_xml_space(end) != '\0' || v > UINT32_MAX) return 0;
    return static_cast<uint32_t>(v);
}

// One path component: non-empty, no "/", not "." or "..".
bool is_plain_name(const std::string& s) {
    return !s.empty() && s.find('/') == std::string::npos && s != "." && s != "..";
}

std::string join_path(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string experiment_dir(const char* cdir, const std::string& exp) {
    return join_path(cdir, exp);
}

std::string run_file_path(const char* cdir, const std::string& exp, int run) {
    return join_path(experiment_dir(cdir, exp), "run" + std::to_string(run) + ".xml");
}

// Files without their own times take the run's.
catalog_file read_file_entry(const pugi::xml_node& node, const catalog_run& run) {
    catalog_file f;
    f.name = node.attribute("name").value();
    f.start = seconds_attr(node, "start");
    f.stop = seconds_attr(node, "stop");
    if (!f.start) f.start = run.start;
    if (!f.stop) f.stop = run.stop;
    return f;
}

// Loads one run file; false when it is missing or not a run description.
// File entries whose name is not a plain file name are dropped.
bool load_run(const char* cdir, const std::string& exp, int run_number, catalog_run* run) {
    if (run_number <= 0 || !cdir || !*cdir || !is_plain_name(exp)) return false;
    run->number = run_number;
    run->path = run_file_path(cdir, exp, run_number);
    pugi::xml_document doc;
    if (!doc.load_file(run->path.c_str())) return false;
    pugi::xml_node root = doc.child("run");
    if (!root) return false;
    run->dir = root.attribute("dir").value();
    run->start = seconds_attr(root, "start");
    run->stop = seconds_attr(root, "stop");
    for (pugi::xml_node node : root.children("file")) {
        catalog_file f = read_file_entry(node, *run);
        if (is_plain_name(f.name)) run->files.push_back(std::move(f));
    }
    return true;
}

char* new_c_string(const std::string& s) {
    char* p = new char[s.size() + 1];
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

struct record_deleter {
    void operator()(zorv_root_xml_files* r) const {
        for (char* s : r->rfiles) delete[] s;
        delete[] r->xmlfile;
        delete r;
    }
};
using record_ptr = std::unique_ptr<zorv_root_xml_files, record_deleter>;

// The answer record of a run holding the files `keep` accepts.
template <typename Keep>
record_ptr make_record(const catalog_run& run, Keep keep) {
    record_ptr rec(new zorv_root_xml_files);
    for (const catalog_file& f : run.files) {
        if (!keep(f)) continue;
        rec->rfiles.push_back(nullptr);
        rec->rfiles.back() = new_c_string(join_path(run.dir, f.name));
    }
    rec->xmlfile = new_c_string(run.path);
    return rec;
}

// Moves the records into the caller's vector only once all are built, so a
// failure leaves the caller's vector as it was.
void hand_over(std::vector<record_ptr>* built, std::vector<zorv_root_xml_files*>* out) {
    out->reserve(out->size() + built->size());
    for (record_ptr& r : *built) out->push_back(r.release());
}

size_t count_paths(const std::vector<record_ptr>& records) {
    size_t n = 0;
    for (const record_ptr& r : records) n += r->rfiles.size();
    return n;
}

void set_desc(std::string* desc, const std::string& text) {
    if (desc) *desc = text;
}

// A positive run number from the digits at p; 0 when there are none or the
// number does not fit. *end receives the first character after the digits.
int read_run_number(const char* p, const char** end) {
    long long v = 0;
    const char* q = p;
    while (*q >= '0' && *q <= '9' && v <= INT_MAX) v = v * 10 + (*q++ - '0');
    *end = q;
    return q != p && v > 0 && v <= INT_MAX ? static_cast<int>(v) : 0;
}

// Run number of a catalogue entry name "run<R>.xml"; 0 for anything else,
// including numbers written with leading zeros, which name no run file.
int run_number_of_entry(const char* name) {
    if (std::strncmp(name, "run", 3) != 0 || name[3] == '0') return 0;
    const char* end = nullptr;
    int run = read_run_number(name + 3, &end);
    return std::strcmp(end, ".xml") == 0 ? run : 0;
}

std::vector<int> runs_in_catalog(const std::string& dir) {
    std::vector<int> runs;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return runs;
    while (const dirent* e = readdir(d.get()))
        if (int r = run_number_of_entry(e->d_name)) runs.push_back(r);
    std::sort(runs.begin(), runs.end());
    runs.erase(std::unique(runs.begin(), runs.end()), runs.end());
    return runs;
}

bool overlaps(const catalog_file& f, uint32_t start, uint32_t stop) {
    return f.start != 0 && f.start <= stop && (f.stop == 0 || f.stop >= start);
}

// Run number of a data file name: the digits of the first "_run<R>_" in the
// base name; 0 when there is none.
int run_number_of_file(const char* file) {
    const char* base = zorv::sys::base_name(file);
    for (const char* p = std::strstr(base, "_run"); p; p = std::strstr(p + 1, "_run")) {
        const char* end = nullptr;
        int run = read_run_number(p + 4, &end);
        if (run && *end == '_') return run;
    }
    return 0;
}

int files_for_runs(const std::vector<int*>& runs, std::vector<zorv_root_xml_files*>* out,
                   std::string* desc, const std::string& exp, const char* cdir) {
    std::vector<record_ptr> built;
    for (const int* r : runs) {
        catalog_run run;
        if (r && load_run(cdir, exp, *r, &run) && !run.files.empty())
            built.push_back(make_record(run, [](const catalog_file&) { return true; }));
    }
    set_desc(desc, "runs: " + std::to_string(built.size()) + " of " +
                       std::to_string(runs.size()) + " found, " +
                       std::to_string(count_paths(built)) + " files");
    if (built.empty()) return 1;
    hand_over(&built, out);
    return 0;
}

int files_for_period(uint32_t start, uint32_t stop, std::vector<zorv_root_xml_files*>* out,
                     std::string* desc, const std::string& exp, const char* cdir) {
    std::vector<record_ptr> built;
    if (cdir && *cdir && is_plain_name(exp)) {
        for (int number : runs_in_catalog(experiment_dir(cdir, exp))) {
            catalog_run run;
            if (!load_run(cdir, exp, number, &run)) continue;
            auto in_period = [&](const catalog_file& f) { return overlaps(f, start, stop); };
            if (std::none_of(run.files.begin(), run.files.end(), in_period)) continue;
            built.push_back(make_record(run, in_period));
        }
    }
    set_desc(desc, "period " + std::to_string(start) + " - " + std::to_string(stop) + ": " +
                       std::to_string(built.size()) + " runs, " +
                       std::to_string(count_paths(built)) + " files");
    if (built.empty()) return 1;
    hand_over(&built, out);
    return 0;
}

// Seconds as the catalogue can hold them; negative or oversized values
// match nothing.
bool to_seconds(time_t t, uint32_t* out) {
    if (t < 0 || static_cast<unsigned long long>(t) > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(t);
    return true;
}

}  // namespace

int get_files_for_runs(std::vector<int*>* runs, std::vector<zorv_root_xml_files*>* out,
                       std::string* desc, std::string* exp, const char* cdir, int mode) {
    if (!runs || !out || !exp || mode != catalog_mode) return 1;
    try {
        return files_for_runs(*runs, out, desc, *exp, cdir);
    } catch (...) {
        return 1;
    }
}

int get_files_for_period(time_t start, time_t stop, std::vector<zorv_root_xml_files*>* out,
                         std::string* desc, std::string* exp, const char* cdir, int mode) {
    uint32_t s1 = 0, s2 = 0;
    if (!out || !exp || mode != catalog_mode) return 1;
    if (!to_seconds(start, &s1) || !to_seconds(stop, &s2) || s1 > s2) return 1;
    try {
        return files_for_period(s1, s2, out, desc, *exp, cdir);
    } catch (...) {
        return 1;
    }
}

// The run's start and stop; a run file without them takes the earliest file
// start and the latest file stop. Outputs are written only on success.
int get_time_for_run(int run, time_t* t1, time_t* t2, const char* exp, const char* cdir) {
    if (!t1 || !t2 || !exp) return 1;
    try {
        catalog_run r;
        if (!load_run(cdir, exp, run, &r)) return 1;
        uint32_t start = r.start, stop = r.stop;
        for (const catalog_file& f : r.files) {
            if (!r.start && f.start && (!start || f.start < start)) start = f.start;
            if (!r.stop && f.stop > stop) stop = f.stop;
        }
        if (!start || !stop) return 1;
        *t1 = start;
        *t2 = stop;
        return 0;
    } catch (...) {
        return 1;
    }
}

// The run numbers from first to last (inclusive) that the catalogue holds a
// run file for, in ascending order.
int get_runs_in_range(int first, int last, std::vector<int>* out, const std::string* exp,
                      const char* cdir) {
    if (!out || !exp || !cdir || !*cdir || !is_plain_name(*exp)) return 1;
    try {
        for (int r : runs_in_catalog(experiment_dir(cdir, *exp)))
            if (r >= first && r <= last) out->push_back(r);
        return 0;
    } catch (...) {
        return 1;
    }
}

// Data directory of the run that lists `file`, from the catalogue named by
// ZORV_DAQ_CATALOG_DIR (else the default directory). The directory goes into
// buf (NUL-terminated) and its length into *size; it fails without writing
// when the run, the file or the directory is unknown or buf is too small.
int get_pnfs_dir(const char* exp, const char* file, char* buf, int* size, int /*mode*/) {
    if (!exp || !file || !buf || !size || *size <= 0) return 1;
    try {
        const char* env = std::getenv("ZORV_DAQ_CATALOG_DIR");
        const char* cdir = env && *env ? env : default_catalog_dir;
        catalog_run run;
        if (!load_run(cdir, exp, run_number_of_file(file), &run) || run.dir.empty()) return 1;
        const char* base = zorv::sys::base_name(file);
        auto listed = [&](const catalog_file& f) { return f.name == base; };
        if (std::none_of(run.files.begin(), run.files.end(), listed)) return 1;
        if (run.dir.size() >= static_cast<size_t>(*size)) return 1;
        std::memcpy(buf, run.dir.c_str(), run.dir.size() + 1);
        *size = static_cast<int>(run.dir.size());
        return 0;
    } catch (...) {
        return 1;
    }
}
