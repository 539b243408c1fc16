// Reader figures on a standard run, each a ratio to work measured in the same
// run: full read against the decode floor, one channel against the full
// read, time to the first event against decoding the first file, and peak
// resident memory against one file's decoded size (also for a 20-file run).
// Every measurement runs in a child process of its own, so that its peak
// memory is its own; times are the best of --repeat runs.
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_run.h"

#if __has_include("zorv_daq_reader_2010.h") && __has_include("zorv_daq_reader.h")
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"
#define ZORV_BENCH_HAVE_READERS 1
#endif

namespace {

using namespace zorv_bench;
namespace fs = std::filesystem;

struct options {
    std::string dir;
    int files = 4;
    int events = 550;
    int many_files = 20;
    int many_events = 110;
    int repeat = 3;
    int threads = int(std::max(1u, std::thread::hardware_concurrency()));
    std::string one_channel = "BPM07";
    std::vector<zorv::file_layout> layouts{zorv::file_layout::current, zorv::file_layout::legacy};
    bool keep = false;
};

constexpr double MB = 1e6;

std::string first_line(const char* path, const char* prefix) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) return line;
    return "";
}

void print_machine(const options& o) {
    std::string cpu = first_line("/proc/cpuinfo", "model name");
    if (auto p = cpu.find(':'); p != std::string::npos) cpu = cpu.substr(p + 2);
    std::printf("machine: %s, %u hardware threads, floor on %d threads\n", cpu.c_str(),
                std::thread::hardware_concurrency(), o.threads);
    std::printf("memory: %s\n", first_line("/proc/meminfo", "MemTotal").c_str());
    std::printf("load average at start: %s\n\n", first_line("/proc/loadavg", "").c_str());
}

const char* layout_name(zorv::file_layout l) {
    return l == zorv::file_layout::current ? "current" : "legacy";
}

// ---------------------------------------------------------------------------
// Floor measurements.
// ---------------------------------------------------------------------------

struct floor_result {
    double seconds = -1;
    uint64_t decoded = 0;
    double cpu_s = 0;  // processor time of the fastest pass
};

double process_cpu_s() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

floor_result measure_floor(const std::vector<std::string>& paths, zorv::file_layout layout,
                           const options& o) {
    child_result c = in_child([&]() -> std::vector<double> {
        std::vector<std::unique_ptr<mapped_run_file>> files;
        std::vector<const mapped_run_file*> ptrs;
        uint64_t decoded = 0;
        for (const auto& p : paths) {
            files.push_back(std::make_unique<mapped_run_file>(p, layout, std::vector<std::string>{}));
            if (!files.back()->ok()) {
                std::fprintf(stderr, "%s\n", files.back()->error().c_str());
                return {-1.0, 0.0, 0.0};
            }
            ptrs.push_back(files.back().get());
            decoded += files.back()->decoded_bytes();
        }
        double best = 1e30, best_cpu = 0;
        for (int r = 0; r < o.repeat; ++r) {
            const double cpu0 = process_cpu_s();
            const double t = decode_floor(ptrs, o.threads);
            if (t < 0) return {-1.0, 0.0, 0.0};
            if (t < best) best_cpu = process_cpu_s() - cpu0;
            best = std::min(best, t);
        }
        return {best, double(decoded), best_cpu};
    });
    if (!c.ok || c.values.size() != 3) return {};
    return {c.values[0], uint64_t(c.values[1]), c.values[2]};
}

// ---------------------------------------------------------------------------
// Reader measurements.
// ---------------------------------------------------------------------------

struct read_result {
    bool ok = false;
    double total = 1e30;  // best seconds from construction to the last event
    double first = 1e30;  // best seconds from construction to the first event
    long events = 0;
    int end_status = 0;
    uint64_t peak_rss = 0;  // largest over the repeats
    double cpu_s = 1e30;    // processor time of the fastest run
};

#ifdef ZORV_BENCH_HAVE_READERS
template <class R>
std::vector<double> read_run(const std::vector<std::string>& paths,
                             const std::vector<std::string>& channels, double rate_hz) {
    std::vector<std::string> names = paths, chans = channels;
    std::vector<char*> list;
    for (auto& n : names) list.push_back(n.data());
    std::vector<daq_channel_entry> entries(chans.size());
    std::vector<daq_channel_entry*> eptrs;
    for (size_t i = 0; i < chans.size(); ++i) {
        entries[i].name = chans[i].data();
        eptrs.push_back(&entries[i]);
    }
    const double t0 = now_s();
    R r;
    if (r.init(&list, &eptrs) != 0) return {-1};
    zorv_time_id step{1, {0, uint32_t(1e6 / rate_hz)}};
    r.set_synch_mode(ZORV_DAQ_SLICER_SYNCH_MODE_EVID);
    r.set_period(&step);
    if (r.start() != 0) return {-2};
    std::vector<zorv_channel_entry_long*> out;
    double first = 0;
    long events = 0;
    int s;
    while ((s = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT)) == 0) {
        if (events++ == 0) first = now_s() - t0;
    }
    const double total = now_s() - t0;
    r.clean_up();
    return {total, first, double(events), double(s)};
}
#endif

read_result measure_read(const std::vector<std::string>& paths, zorv::file_layout layout,
                         const std::vector<std::string>& channels, double rate_hz, int repeat) {
    read_result res;
#ifdef ZORV_BENCH_HAVE_READERS
    for (int r = 0; r < repeat; ++r) {
        child_result c = in_child([&] {
            return layout == zorv::file_layout::current
                       ? read_run<zorv_daq_reader_2010>(paths, channels, rate_hz)
                       : read_run<zorv_daq_reader>(paths, channels, rate_hz);
        });
        if (!c.ok || c.values.size() != 4) {
            std::fprintf(stderr, "reader failed (%s)\n",
                         c.values.empty() ? "crashed" : std::to_string(c.values[0]).c_str());
            return res;
        }
        res.ok = true;
        if (c.values[0] < res.total) res.cpu_s = c.cpu_s;
        res.total = std::min(res.total, c.values[0]);
        res.first = std::min(res.first, c.values[1]);
        res.events = long(c.values[2]);
        res.end_status = int(c.values[3]);
        res.peak_rss = std::max(res.peak_rss, c.peak_rss);
    }
#else
    (void)paths, (void)layout, (void)channels, (void)rate_hz, (void)repeat;
#endif
    return res;
}

// ---------------------------------------------------------------------------
// One layout.
// ---------------------------------------------------------------------------

struct written_run {
    zorv::synthetic_run_config cfg;
    std::vector<std::string> paths;
    uint64_t disk = 0;
    double seconds = 0;
};

bool write_run(const zorv::synthetic_run_config& cfg, written_run* w) {
    w->cfg = cfg;
    std::string err;
    const double t0 = now_s();
    if (zorv::write_synthetic_run(cfg, &w->paths, &err) != 0) {
        std::fprintf(stderr, "writing the run failed: %s\n", err.c_str());
        return false;
    }
    w->seconds = now_s() - t0;
    for (const auto& p : w->paths) w->disk += fs::file_size(p);
    return true;
}

void remove_run(const written_run& w, const options& o) {
    if (o.keep) return;
    std::error_code ec;
    fs::remove_all(w.cfg.dir, ec);
}

void print_ratio(const char* what, double value, double target) {
    std::printf("  %-44s %7.3f   (target <= %.2f)  %s\n", what, value, target,
                value <= target ? "met" : "MISSED");
}

uint64_t first_file_decoded(const written_run& w) {
    mapped_run_file f(w.paths.front(), w.cfg.layout, {});
    return f.ok() ? f.decoded_bytes() : 0;
}

double memory_bound(uint64_t one_file) { return 1.5 * double(one_file) + 64.0 * 1024 * 1024; }

bool run_layout(zorv::file_layout layout, const options& o) {
    written_run w;
    if (!write_run(standard_run(o.dir + "/" + layout_name(layout), layout, o.files, o.events), &w))
        return false;
    const auto all = channel_names(w.cfg);
    std::printf("== %s layout: %d files x %d events, %zu channels, %.0f MB on disk (written in %.1f s)\n",
                layout_name(layout), o.files, o.events, all.size(), double(w.disk) / MB, w.seconds);

    const floor_result floor_all = measure_floor(w.paths, layout, o);
    const floor_result floor_first = measure_floor({w.paths.front()}, layout, o);
    const read_result full = measure_read(w.paths, layout, all, w.cfg.rate_hz, o.repeat);
    const read_result one = measure_read(w.paths, layout, {o.one_channel}, w.cfg.rate_hz, o.repeat);
    remove_run(w, o);
    if (floor_all.seconds <= 0 || floor_first.seconds <= 0) {
        std::printf("  the floor could not be measured\n");
        return false;
    }
    std::printf("  decoded payload: %.0f MB in all, %.0f MB in the first file\n",
                double(floor_all.decoded) / MB, double(floor_first.decoded) / MB);
    std::printf("  floor: all files %.3f s (%.0f MB/s, %.3f s of processor time), first file %.3f s\n",
                floor_all.seconds, double(floor_all.decoded) / MB / floor_all.seconds, floor_all.cpu_s,
                floor_first.seconds);
    if (!full.ok || !one.ok) {
        std::printf("  the reader could not be measured\n\n");
        return false;
    }
    const long expected = long(o.files) * o.events;
    std::printf("  full read: %.3f s (%.3f s of processor time), %ld events (expected %ld, last status %d),"
                " first event after %.3f s\n",
                full.total, full.cpu_s, full.events, expected, full.end_status, full.first);
    std::printf("  one channel (%s): %.3f s, %ld events\n", o.one_channel.c_str(), one.total,
                one.events);
    const double bound = memory_bound(floor_first.decoded);
    std::printf("  peak resident memory of the full read: %.0f MB (bound %.0f MB)\n",
                double(full.peak_rss) / MB, bound / MB);
    print_ratio("full read / floor", full.total / floor_all.seconds, 1.25);
    print_ratio("one channel / full read", one.total / full.total, 0.05);
    print_ratio("first event / first file's floor", full.first / floor_first.seconds, 1.1);
    print_ratio("peak memory / (1.5 x one file + 64 MB)", double(full.peak_rss) / bound, 1.0);
    std::printf("\n");
    return full.events == expected;
}

// Peak memory of full reads over the first few and over all files of a run
// of many smaller files: it must stay under the same bound.
bool run_many_files(zorv::file_layout layout, const options& o) {
    written_run w;
    if (!write_run(standard_run(o.dir + "/many_" + std::string(layout_name(layout)), layout,
                                o.many_files, o.many_events),
                   &w))
        return false;
    const auto all = channel_names(w.cfg);
    const double bound = memory_bound(first_file_decoded(w));
    const std::vector<std::string> few(w.paths.begin(), w.paths.begin() + std::min<size_t>(4, w.paths.size()));
    const read_result r_few = measure_read(few, layout, all, w.cfg.rate_hz, 1);
    const read_result r_all = measure_read(w.paths, layout, all, w.cfg.rate_hz, 1);
    remove_run(w, o);
    std::printf("== %s layout, %d files x %d events (%.0f MB on disk): memory against the number of files\n",
                layout_name(layout), o.many_files, o.many_events, double(w.disk) / MB);
    if (!r_few.ok || !r_all.ok) {
        std::printf("  the reader could not be measured\n\n");
        return false;
    }
    std::printf("  peak resident memory: %.0f MB over %zu files, %.0f MB over %d files (bound %.0f MB)\n",
                double(r_few.peak_rss) / MB, few.size(), double(r_all.peak_rss) / MB, o.many_files,
                bound / MB);
    print_ratio("peak memory, many files / bound", double(r_all.peak_rss) / bound, 1.0);
    print_ratio("peak memory, many files / few files", double(r_all.peak_rss) / double(r_few.peak_rss), 1.1);
    std::printf("\n");
    return r_all.events == long(o.many_files) * o.many_events;
}

int usage() {
    std::fprintf(stderr,
                 "usage: zorv-bench-figures [--dir DIR] [--files N] [--events N] [--many-files N (0: none)]\n"
                 "       [--many-events N] [--repeat N] [--threads N] [--layout current|legacy|both]\n"
                 "       [--keep]\n");
    return 2;
}

bool parse(int argc, char** argv, options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](int* v, int lo = 1) {
            if (i + 1 >= argc) return false;
            *v = std::atoi(argv[++i]);
            return *v >= lo;
        };
        bool ok = true;
        if (a == "--dir" && i + 1 < argc) o->dir = argv[++i];
        else if (a == "--files") ok = number(&o->files);
        else if (a == "--events") ok = number(&o->events);
        else if (a == "--many-files") ok = number(&o->many_files, 0);
        else if (a == "--many-events") ok = number(&o->many_events);
        else if (a == "--repeat") ok = number(&o->repeat);
        else if (a == "--threads") ok = number(&o->threads);
        else if (a == "--keep") o->keep = true;
        else if (a == "--layout" && i + 1 < argc) {
            const std::string l = argv[++i];
            o->layouts.clear();
            if (l == "current" || l == "both") o->layouts.push_back(zorv::file_layout::current);
            if (l == "legacy" || l == "both") o->layouts.push_back(zorv::file_layout::legacy);
            ok = !o->layouts.empty();
        } else ok = false;
        if (!ok) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse(argc, argv, &o)) return usage();
    bool own_dir = false;
    if (o.dir.empty()) {
        std::string tmpl = (fs::temp_directory_path() / "zorv-bench-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        o.dir = tmpl;
        own_dir = !o.keep;
    }
    // The run was just written; the reader would take it for files still being written.
    setenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1", 1);
    print_machine(o);
    bool ok = true;
    for (auto layout : o.layouts) ok &= run_layout(layout, o);
    if (o.many_files > 0)
        for (auto layout : o.layouts) ok &= run_many_files(layout, o);
    std::printf("load average at end: %s\n", first_line("/proc/loadavg", "").c_str());
    if (own_dir) {
        std::error_code ec;
        fs::remove_all(o.dir, ec);
    }
    return ok ? 0 : 1;
}
