// Reader figures on generated runs (the standard mix and a longer one), each
// a ratio to work measured in the same run: full read against the decode
// floor (also over the first four files, and per file after them),
// processor and system time against the floor's, one channel against the
// full read, time to the first event against decoding the first file, the
// spread of the full reads, and peak resident memory against one file's
// decoded size (also for a 20-file run). Every measurement runs in a child
// process of its own, so that its peak memory and processor time are its
// own; times are the best of --repeat runs.
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
    std::vector<const run_mix*> mixes{&run_mixes().front()};
    int files = 0;        // 0: the mix's
    int events = 0;       // 0: the mix's
    int many_files = 20;
    int many_events = 0;  // 0: a fifth of the mix's events per file
    int repeat = 0;       // 0: the mix's
    int threads = int(std::max(1u, std::thread::hardware_concurrency()));
    std::string one_channel = "BPM07";
    std::vector<zorv::file_layout> layouts{zorv::file_layout::current, zorv::file_layout::legacy};
    bool keep = false;
    bool reuse = false;  // take runs kept by an earlier --keep --dir DIR
};

constexpr double MB = 1e6;
constexpr size_t kFewFiles = 4;

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
    std::ifstream thp("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string thp_mode;
    std::getline(thp, thp_mode);
    std::printf("transparent huge pages: %s\n", thp_mode.empty() ? "(unknown)" : thp_mode.c_str());
    std::printf("load average at start: %s\n\n", first_line("/proc/loadavg", "").c_str());
}

const char* layout_name(zorv::file_layout l) {
    return l == zorv::file_layout::current ? "current" : "legacy";
}

std::vector<std::string> first_files(const std::vector<std::string>& paths, size_t n) {
    return {paths.begin(), paths.begin() + long(std::min(n, paths.size()))};
}

// ---------------------------------------------------------------------------
// Floor measurements.
// ---------------------------------------------------------------------------

struct floor_result {
    double seconds = -1;
    uint64_t decoded = 0;
    double cpu_s = 0;  // processor time of the fastest pass
    double sys_s = 0;  // its system time
    usage child;       // the whole child's: mapping the files, finding the blocks, every pass
};

// The best of `repeat` passes over the files' blocks in one child.
floor_result measure_floor(const std::vector<std::string>& paths, zorv::file_layout layout,
                           int repeat, int threads) {
    child_result c = in_child([&]() -> std::vector<double> {
        std::vector<std::unique_ptr<mapped_run_file>> files;
        std::vector<const mapped_run_file*> ptrs;
        uint64_t decoded = 0;
        for (const auto& p : paths) {
            files.push_back(std::make_unique<mapped_run_file>(p, layout, std::vector<std::string>{}));
            if (!files.back()->ok()) {
                std::fprintf(stderr, "%s\n", files.back()->error().c_str());
                return {-1.0};
            }
            ptrs.push_back(files.back().get());
            decoded += files.back()->decoded_bytes();
        }
        double best = 1e30;
        usage best_use;
        for (int r = 0; r < repeat; ++r) {
            const usage u0 = self_usage();
            const double t = decode_floor(ptrs, threads);
            if (t < 0) return {-1.0};
            if (t < best) best_use = self_usage() - u0;
            best = std::min(best, t);
        }
        return {best, double(decoded), best_use.user_s + best_use.sys_s, best_use.sys_s};
    });
    if (!c.ok || c.values.size() != 4) return {};
    return {c.values[0], uint64_t(c.values[1]), c.values[2], c.values[3], c.use};
}

// ---------------------------------------------------------------------------
// Reader measurements.
// ---------------------------------------------------------------------------

// One read in a child of its own, from the reader's construction to the
// last event and its clean-up.
struct read_sample {
    double total = 0;  // seconds
    double first = 0;  // seconds to the first event
    usage use;         // processor time and page faults of the read
    usage child;       // the same for the whole child (as its parent sees it)
    vm_counters vm;    // the machine's huge page and compaction counters meanwhile
    uint64_t peak_rss = 0;
    double rss_start = 0;  // resident bytes the child started the read with
    double huge_at_end = 0;  // bytes in transparent huge pages at the last event
    std::vector<double> file_starts;  // seconds to the first event of the 2nd, 3rd, ... file
};

struct read_result {
    bool ok = false;
    std::vector<read_sample> samples;
    long events = 0;
    int end_status = 0;
    uint64_t peak_rss = 0;  // largest over the repeats

    const read_sample& fastest() const {
        return *std::min_element(samples.begin(), samples.end(),
                                 [](const auto& a, const auto& b) { return a.total < b.total; });
    }
    double slowest_total() const {
        double t = 0;
        for (const auto& s : samples) t = std::max(t, s.total);
        return t;
    }
    double best_first() const {
        double t = 1e30;
        for (const auto& s : samples) t = std::min(t, s.first);
        return t;
    }
};

// What a read child sends back, in this order, then the file start times.
enum read_value { kTotal, kFirst, kEvents, kStatus, kUser, kSys, kMinflt, kRssStart, kHugeAtEnd, kReadValues };

// Resident bytes of this process now.
double resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * double(sysconf(_SC_PAGESIZE));
}

// Bytes of this process's anonymous memory in transparent huge pages now.
double huge_page_bytes() {
    const std::string line = first_line("/proc/self/smaps_rollup", "AnonHugePages:");
    return line.empty() ? 0.0 : std::atof(line.c_str() + std::strlen("AnonHugePages:")) * 1024.0;
}

#ifdef ZORV_BENCH_HAVE_READERS
template <class R>
std::vector<double> read_run(const std::vector<std::string>& paths,
                             const std::vector<std::string>& channels, double rate_hz,
                             int events_per_file) {
    reader_request req(paths, channels);
    std::vector<double> file_starts;
    file_starts.reserve(paths.size());
    const double rss_start = resident_bytes();
    const usage u0 = self_usage();
    const double t0 = now_s();
    R r;
    if (r.init(&req.files, &req.channels) != 0) return {-1};
    zorv_time_id step{1, {0, uint32_t(1e6 / rate_hz)}};
    r.set_synch_mode(ZORV_DAQ_SLICER_SYNCH_MODE_EVID);
    r.set_period(&step);
    if (r.start() != 0) return {-2};
    std::vector<zorv_channel_entry_long*> out;
    double first = 0;
    long events = 0;
    int s;
    while ((s = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT)) == 0) {
        if (events == 0) first = now_s() - t0;
        else if (events % events_per_file == 0) file_starts.push_back(now_s() - t0);
        ++events;
    }
    // Reading smaps walks the page tables (milliseconds): not the reader's time.
    const double t_smaps = now_s();
    const usage u_smaps = self_usage();
    const double huge_at_end = huge_page_bytes();
    const double smaps_s = now_s() - t_smaps;
    const usage smaps_use = self_usage() - u_smaps;
    r.clean_up();
    const double total = now_s() - t0 - smaps_s;
    const usage u = self_usage() - u0 - smaps_use;
    std::vector<double> v{total, first, double(events), double(s), u.user_s, u.sys_s, u.minflt, rss_start,
                          huge_at_end};
    v.insert(v.end(), file_starts.begin(), file_starts.end());
    return v;
}
#endif

read_result measure_read(const std::vector<std::string>& paths, zorv::file_layout layout,
                         const std::vector<std::string>& channels, double rate_hz,
                         int events_per_file, int repeat) {
    read_result res;
#ifdef ZORV_BENCH_HAVE_READERS
    for (int r = 0; r < repeat; ++r) {
        child_result c = in_child([&] {
            return layout == zorv::file_layout::current
                       ? read_run<zorv_daq_reader_2010>(paths, channels, rate_hz, events_per_file)
                       : read_run<zorv_daq_reader>(paths, channels, rate_hz, events_per_file);
        });
        if (!c.ok || c.values.size() < kReadValues) {
            std::fprintf(stderr, "reader failed (%s)\n",
                         c.values.empty() ? "crashed" : std::to_string(c.values[0]).c_str());
            res.ok = false;
            return res;
        }
        const auto& v = c.values;
        res.ok = true;
        res.samples.push_back({v[kTotal], v[kFirst], {v[kUser], v[kSys], v[kMinflt]}, c.use, c.vm, c.peak_rss,
                               v[kRssStart], v[kHugeAtEnd], {v.begin() + kReadValues, v.end()}});
        res.events = long(v[kEvents]);
        res.end_status = int(v[kStatus]);
        res.peak_rss = std::max(res.peak_rss, c.peak_rss);
    }
#else
    (void)paths, (void)layout, (void)channels, (void)rate_hz, (void)events_per_file, (void)repeat;
#endif
    return res;
}

// ---------------------------------------------------------------------------
// One mix in one layout.
// ---------------------------------------------------------------------------

struct written_run {
    zorv::synthetic_run_config cfg;
    std::vector<std::string> paths;
    uint64_t disk = 0;
    double seconds = 0;
};

// The run's files when every one of them is there.
bool find_kept_run(const zorv::synthetic_run_config& cfg, written_run* w) {
    std::vector<std::string> paths;
    for (int n = 1; n <= cfg.files; ++n) {
        paths.push_back(cfg.dir + "/" + zorv::synthetic_file_name(cfg, n));
        if (!fs::is_regular_file(paths.back())) return false;
    }
    w->cfg = cfg;
    w->paths = paths;
    for (const auto& p : w->paths) w->disk += fs::file_size(p);
    return true;
}

bool write_run(const zorv::synthetic_run_config& cfg, written_run* w) {
    w->cfg = cfg;
    std::string err;
    const double t0 = now_s();
    if (zorv::write_synthetic_run(cfg, &w->paths, &err) != 0) {
        std::fprintf(stderr, "writing %s failed: %s\n", cfg.dir.c_str(), err.c_str());
        return false;
    }
    w->seconds = now_s() - t0;
    return true;
}

// Writes the runs (or, with `reuse`, takes those already there) in a child
// process on `threads` threads: writing is most of the harness's time, and
// what the writer leaves in the heap must not reach the children that
// measure (a child starts with its parent's resident pages: up to 130 MB
// of the long run's writing showed in the readers' peaks). `ok` tells which
// runs are there.
void write_runs(const std::vector<zorv::synthetic_run_config>& cfgs, int threads, bool reuse,
                std::vector<written_run>* runs, std::vector<char>* ok) {
    runs->assign(cfgs.size(), {});
    ok->assign(cfgs.size(), 0);
    const child_result c = in_child([&] {
        std::vector<double> seconds(cfgs.size(), -1.0);
        std::atomic<size_t> next{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&] {
                for (size_t k; (k = next.fetch_add(1)) < cfgs.size();) {
                    written_run w;
                    if (reuse && find_kept_run(cfgs[k], &w)) seconds[k] = 0;
                    else if (write_run(cfgs[k], &w)) seconds[k] = w.seconds;
                }
            });
        for (auto& t : pool) t.join();
        return seconds;
    });
    for (size_t k = 0; k < cfgs.size(); ++k) {
        written_run& w = (*runs)[k];
        if (c.ok && c.values.size() == cfgs.size() && c.values[k] >= 0 && find_kept_run(cfgs[k], &w)) {
            w.seconds = c.values[k];
            (*ok)[k] = 1;
        }
    }
}

void remove_run(const written_run& w, const options& o) {
    if (o.keep) return;
    std::error_code ec;
    fs::remove_all(w.cfg.dir, ec);
}

// A figure and its target (none when `target` is 0).
void print_ratio(const char* what, double value, double target) {
    if (target <= 0) {
        std::printf("  %-52s %7.3f\n", what, value);
        return;
    }
    std::printf("  %-52s %7.3f   (target <= %.2f)  %s\n", what, value, target,
                value <= target ? "met" : "MISSED");
}

void print_samples(const read_result& r) {
    int i = 0;
    for (const auto& s : r.samples)
        std::printf("    read %d: %.3f s, first event %.3f s, processor %.3f s, system %.3f s (child: %.3f s,"
                    " %.3f s), %.0f page faults, peak %.0f MB (%.0f MB at the start, %.0f MB in huge pages at the end); machine: thp_fault_alloc +%.0f, thp_fault_fallback +%.0f,"
                    " compact_stall +%.0f, reported to the host +%.0f MB\n",
                    ++i, s.total, s.first, s.use.user_s + s.use.sys_s, s.use.sys_s,
                    s.child.user_s + s.child.sys_s, s.child.sys_s, s.use.minflt, double(s.peak_rss) / MB,
                    s.rss_start / MB, s.huge_at_end / MB, s.vm.thp_fault_alloc,
                    s.vm.thp_fault_fallback, s.vm.compact_stall, s.vm.reported_kib / 1024);
}

uint64_t first_file_decoded(const written_run& w) {
    mapped_run_file f(w.paths.front(), w.cfg.layout, {});
    return f.ok() ? f.decoded_bytes() : 0;
}

double memory_bound(uint64_t one_file) { return 1.5 * double(one_file) + 64.0 * 1024 * 1024; }

std::string mix_label(const run_mix& mix, zorv::file_layout layout) {
    return std::string(mix.name) + " mix, " + layout_name(layout) + " layout";
}

// Everything measured on one run of a mix.
struct layout_measurements {
    std::vector<std::string> few;  // the first files, when the run has more
    floor_result floor_all, floor_few, floor_first;
    floor_result floor_once;  // one pass in a child of its own, for its processor and system time
    read_result full, full_few, one;
    bool ok() const {
        return floor_all.seconds > 0 && floor_few.seconds > 0 && floor_first.seconds > 0 &&
               floor_once.seconds > 0 && full.ok && full_few.ok && one.ok;
    }
};

layout_measurements measure_layout(const written_run& w, int repeat, const options& o) {
    const zorv::file_layout layout = w.cfg.layout;
    const int events = w.cfg.events_per_file;
    const auto all = channel_names(w.cfg);
    layout_measurements m;
    m.few = first_files(w.paths, kFewFiles);
    const bool with_few = w.paths.size() > m.few.size();
    if (!with_few) m.few.clear();
    m.floor_all = measure_floor(w.paths, layout, repeat, o.threads);
    m.floor_few = with_few ? measure_floor(m.few, layout, repeat, o.threads) : m.floor_all;
    m.floor_first = measure_floor({w.paths.front()}, layout, repeat, o.threads);
    m.floor_once = measure_floor(w.paths, layout, 1, o.threads);
    m.full = measure_read(w.paths, layout, all, w.cfg.rate_hz, events, repeat);
    m.full_few = with_few ? measure_read(m.few, layout, all, w.cfg.rate_hz, events, std::min(repeat, 3)) : m.full;
    m.one = measure_read(w.paths, layout, {o.one_channel}, w.cfg.rate_hz, events, 3);
    return m;
}

void print_times(const layout_measurements& m, const options& o) {
    const floor_result& fa = m.floor_all;
    const usage& fc = m.floor_once.child;
    std::printf("  decoded payload: %.0f MB in all, %.0f MB in the first file\n", double(fa.decoded) / MB,
                double(m.floor_first.decoded) / MB);
    std::printf("  floor: all files %.3f s (%.0f MB/s, processor %.3f s, system %.3f s),"
                " first %zu files %.3f s, first file %.3f s\n",
                fa.seconds, double(fa.decoded) / MB / fa.seconds, fa.cpu_s, fa.sys_s, m.few.size(),
                m.floor_few.seconds, m.floor_first.seconds);
    std::printf("  floor, one pass in a child: %.3f s, child's processor time %.3f s, system %.3f s,"
                " %.0f page faults\n",
                m.floor_once.seconds, fc.user_s + fc.sys_s, fc.sys_s, fc.minflt);
    const read_sample& best = m.full.fastest();
    std::printf("  full read: %.3f s (child's processor time %.3f s, system %.3f s), %ld events, last"
                " status %d, first event after %.3f s; %zu reads:\n",
                best.total, best.child.user_s + best.child.sys_s, best.child.sys_s, m.full.events,
                m.full.end_status, m.full.best_first(), m.full.samples.size());
    print_samples(m.full);
    if (!m.few.empty())
        std::printf("  full read of the first %zu files: %.3f s, %ld events\n", m.few.size(),
                    m.full_few.fastest().total, m.full_few.events);
    std::printf("  one channel (%s): %.3f s, %ld events\n", o.one_channel.c_str(), m.one.fastest().total,
                m.one.events);
}

// The steady state: what each file after the first few costs the reader
// (from its time at each file's first event) and the floor.
void print_steady_state(const layout_measurements& m, size_t files) {
    const read_sample& best = m.full.fastest();
    if (m.few.empty() || best.file_starts.size() < m.few.size()) return;
    const size_t later = files - m.few.size();
    const double reader_per_file = (best.total - best.file_starts[m.few.size() - 1]) / double(later);
    const double floor_per_file = (m.floor_all.seconds - m.floor_few.seconds) / double(later);
    std::printf("  per file after the first %zu: reader %.3f s, floor %.3f s\n", m.few.size(), reader_per_file,
                floor_per_file);
    print_ratio("per file after the first 4 / floor's per file", reader_per_file / floor_per_file, 0);
}

void print_figures(const layout_measurements& m, const run_targets& target, size_t files) {
    const read_sample& best = m.full.fastest();
    const usage& fc = m.floor_once.child;
    const double bound = memory_bound(m.floor_first.decoded);
    std::printf("  peak resident memory of the full read: %.0f MB (bound %.0f MB)\n",
                double(m.full.peak_rss) / MB, bound / MB);
    print_ratio("full read / floor", best.total / m.floor_all.seconds, target.full_read);
    if (!m.few.empty())
        print_ratio("full read / floor, first 4 files", m.full_few.fastest().total / m.floor_few.seconds, 0);
    print_steady_state(m, files);
    print_ratio("processor time, full read / floor (children)",
                (best.child.user_s + best.child.sys_s) / (fc.user_s + fc.sys_s), 0);
    print_ratio("system time, full read / floor (children)", best.child.sys_s / std::max(fc.sys_s, 1e-3), 0);
    print_ratio("one channel / full read", m.one.fastest().total / best.total, target.one_channel);
    print_ratio("first event / first file's floor", m.full.best_first() / m.floor_first.seconds,
                target.first_event);
    if (m.full.samples.size() > 1)
        print_ratio("slowest / fastest full read", m.full.slowest_total() / best.total, target.spread);
    print_ratio("peak memory / (1.5 x one file + 64 MB)", double(m.full.peak_rss) / bound, target.memory);
}

// Every read must have delivered every event it covers.
bool reads_complete(const layout_measurements& m, const written_run& w) {
    const long per_file = w.cfg.events_per_file;
    const long expected = long(w.paths.size()) * per_file;
    bool ok = m.full.events == expected && m.one.events == expected;
    if (!m.few.empty()) ok &= m.full_few.events == long(m.few.size()) * per_file;
    if (!ok)
        std::printf("  EVENTS MISSING: expected %ld (%ld over the first files), the reads delivered %ld, %ld"
                    " (one channel), %ld\n",
                    expected, long(m.few.size()) * per_file, m.full.events, m.one.events, m.full_few.events);
    return ok;
}

bool run_layout(const run_mix& mix, const written_run& w, const options& o) {
    const int repeat = o.repeat > 0 ? o.repeat : mix.repeat;
    std::printf("== %s (%s): %d files x %d events, %zu channels, %.0f MB on disk (written in %.1f s)\n",
                mix_label(mix, w.cfg.layout).c_str(), mix.description, w.cfg.files, w.cfg.events_per_file,
                w.cfg.channels.size(), double(w.disk) / MB, w.seconds);
    const layout_measurements m = measure_layout(w, repeat, o);
    if (!m.ok()) {
        std::printf("  the floor or the reader could not be measured\n\n");
        return false;
    }
    print_times(m, o);
    print_figures(m, mix.targets, w.paths.size());
    const bool complete = reads_complete(m, w);
    std::printf("\n");
    return complete;
}

// Peak memory of full reads over the first few and over all files of a run
// of many smaller files: it must stay under the same bound.
bool run_many_files(const run_mix& mix, const written_run& w, const options& o) {
    const zorv::file_layout layout = w.cfg.layout;
    const int events = w.cfg.events_per_file;
    const auto all = channel_names(w.cfg);
    const double bound = memory_bound(first_file_decoded(w));
    const auto few = first_files(w.paths, kFewFiles);
    const read_result r_few = measure_read(few, layout, all, w.cfg.rate_hz, events, 1);
    const read_result r_all = measure_read(w.paths, layout, all, w.cfg.rate_hz, events, 1);
    std::printf("== %s, %d files x %d events (%.0f MB on disk): memory against the number of files\n",
                mix_label(mix, layout).c_str(), o.many_files, events, double(w.disk) / MB);
    if (!r_few.ok || !r_all.ok) {
        std::printf("  the reader could not be measured\n\n");
        return false;
    }
    std::printf("  peak resident memory: %.0f MB over %zu files, %.0f MB over %d files (bound %.0f MB)\n",
                double(r_few.peak_rss) / MB, few.size(), double(r_all.peak_rss) / MB, o.many_files,
                bound / MB);
    print_ratio("peak memory, many files / bound", double(r_all.peak_rss) / bound, mix.targets.memory);
    print_ratio("peak memory, many files / few files", double(r_all.peak_rss) / double(r_few.peak_rss),
                mix.targets.many_growth);
    const bool complete = r_all.events == long(w.paths.size()) * events &&
                          r_few.events == long(few.size()) * events;
    if (!complete)
        std::printf("  EVENTS MISSING: the reads delivered %ld of %ld and %ld of %ld events\n", r_all.events,
                    long(w.paths.size()) * events, r_few.events, long(few.size()) * events);
    std::printf("\n");
    return complete;
}

// Every layout's run of the mix and its run of many files, written first
// (on two threads), then measured one by one with nothing else running.
bool run_mix_figures(const run_mix& mix, const options& o) {
    const int files = o.files > 0 ? o.files : mix.files;
    const int events = o.events > 0 ? o.events : mix.events;
    const int many_events = o.many_events > 0 ? o.many_events : std::max(1, mix.events / 5);
    std::vector<zorv::synthetic_run_config> cfgs;
    for (auto layout : o.layouts)
        cfgs.push_back(mix_run(mix, o.dir + "/" + mix.name + "_" + layout_name(layout), layout, files, events));
    if (o.many_files > 0)
        for (auto layout : o.layouts)
            cfgs.push_back(mix_run(mix, o.dir + "/many_" + mix.name + "_" + layout_name(layout), layout,
                                   o.many_files, many_events));
    std::vector<written_run> runs;
    std::vector<char> written;
    const double t0 = now_s();
    write_runs(cfgs, o.threads, o.reuse, &runs, &written);
    std::printf("(%s mix: %zu runs written in %.1f s)\n", mix.name, runs.size(), now_s() - t0);
    bool ok = true;
    for (size_t k = 0; k < runs.size(); ++k) {
        if (!written[k]) {
            ok = false;
            continue;
        }
        ok &= k < o.layouts.size() ? run_layout(mix, runs[k], o) : run_many_files(mix, runs[k], o);
        remove_run(runs[k], o);
    }
    return ok;
}

int print_usage() {
    std::fprintf(stderr,
                 "usage: zorv-bench-figures [--mix standard|long|all] [--dir DIR] [--files N] [--events N]\n"
                 "       [--many-files N (0: none)] [--many-events N] [--repeat N] [--threads N]\n"
                 "       [--layout current|legacy|both] [--keep] [--reuse]\n"
                 "--keep leaves the runs in --dir; --reuse takes the runs found there instead of writing them\n"
                 "--files, --events and --repeat default to the mix's (standard: 4 x 550, 3 reads;\n"
                 "long: 12 x 355, 5 reads)\n");
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
        else if (a == "--mix" && i + 1 < argc) {
            const std::string m = argv[++i];
            o->mixes.clear();
            for (const auto& mix : run_mixes())
                if (m == "all" || m == mix.name) o->mixes.push_back(&mix);
            ok = !o->mixes.empty();
        }
        else if (a == "--files") ok = number(&o->files);
        else if (a == "--events") ok = number(&o->events);
        else if (a == "--many-files") ok = number(&o->many_files, 0);
        else if (a == "--many-events") ok = number(&o->many_events);
        else if (a == "--repeat") ok = number(&o->repeat);
        else if (a == "--threads") ok = number(&o->threads);
        else if (a == "--keep") o->keep = true;
        else if (a == "--reuse") o->reuse = true;
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
    if (!parse(argc, argv, &o)) return print_usage();
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
    for (const run_mix* mix : o.mixes) ok &= run_mix_figures(*mix, o);
    std::printf("load average at end: %s\n", first_line("/proc/loadavg", "").c_str());
    if (own_dir) {
        std::error_code ec;
        fs::remove_all(o.dir, ec);
    }
    return ok ? 0 : 1;
}
