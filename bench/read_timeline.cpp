// Where a full read leaves a processor idle: reads a kept run of a mix (as
// zorv-bench-figures --keep leaves it) event by event, like the harness's
// full read, and splits the time into the start (the first file's channels
// decoded before the first event), the calls that switch files (the first
// of each later file) and the walk (every other call), in all and per file.
// With --sample it also counts, every millisecond, the reader's threads that
// are running or waiting to run: fewer than two is a processor the reader
// left idle, whatever the machine's load (the sampling itself costs some
// processor time: compare wall times without it).
//
//   zorv-bench-timeline --mix long --dir DIR/long_current [--events N per file]
//                       [--without CHANNEL_PREFIX]... [--sample]
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "bench_run.h"
#include "zorv_daq_reader_2010.h"

using namespace zorv_bench;

namespace {

double process_cpu_s() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Threads of this process in state R, the calling one left out.
int runnable_threads(long self) {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || std::atol(e->d_name) == self) continue;
        const std::string path = std::string("/proc/self/task/") + e->d_name + "/stat";
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f) continue;
        char buf[512];
        const size_t got = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[got] = 0;
        const char* c = std::strrchr(buf, ')');
        n += c && c[1] && c[2] == 'R';
    }
    closedir(d);
    return n;
}

struct sampler {
    std::atomic<bool> stop{false};
    std::vector<std::pair<double, int>> samples;
    std::thread t;
    void begin() {
        samples.reserve(200000);
        t = std::thread([this] {
            const long self = syscall(SYS_gettid);
            while (!stop) {
                samples.emplace_back(now_s(), runnable_threads(self));
                usleep(1000);
            }
        });
    }
    void end() {
        stop = true;
        if (t.joinable()) t.join();
    }
};

// One stretch of the read: its wall and processor time, and from the
// samples (when taken) the share with two or more of the reader's threads
// runnable and the processor time left idle: every millisecond with fewer
// than two runnable threads leaves 2 - n processors unused, whatever the
// rest of the machine does with them.
struct phase {
    std::string name;
    double wall = 0, cpu = 0, samples = 0, busy = 0, idle_s = 0;
    void add_sample(int n, double dt) {
        samples += 1;
        busy += n >= 2;
        idle_s += dt * std::max(0, 2 - n);
    }
    void print() const {
        std::printf("  %-16s", name.c_str());
        if (wall > 0 || cpu > 0) std::printf(" wall %.3f s  processor %.3f s", wall, cpu);
        if (samples > 0)
            std::printf("  two runnable %3.0f %% of %5.0f samples, idle processor %.3f s", 100 * busy / samples,
                        samples, idle_s);
        std::printf("\n");
    }
};

std::vector<std::string> run_files(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".raw") == 0) out.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir, mix_name = "long";
    bool sample = false;
    int events_per_file = 0;  // the mix's
    std::vector<std::string> without;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) dir = argv[++i];
        else if (a == "--mix" && i + 1 < argc) mix_name = argv[++i];
        else if (a == "--events" && i + 1 < argc) events_per_file = std::atoi(argv[++i]);
        else if (a == "--without" && i + 1 < argc) without.push_back(argv[++i]);
        else if (a == "--sample") sample = true;
    }
    const run_mix* mix = find_mix(mix_name);
    std::vector<std::string> paths = run_files(dir);
    if (!mix || paths.empty() || events_per_file < 0) {
        std::fprintf(stderr, "usage: zorv-bench-timeline --mix NAME --dir DIR_OF_KEPT_RUN [--events N] [--without PREFIX]... [--sample]\n");
        return 2;
    }
    const size_t per_file = size_t(events_per_file > 0 ? events_per_file : mix->events);
    setenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1", 0);
    std::vector<std::string> chans = channel_names(mix_run(*mix, dir, zorv::file_layout::current, 1, 1));
    // --without PREFIX leaves a group of channels out, to see what it costs.
    chans.erase(std::remove_if(chans.begin(), chans.end(),
                               [&](const std::string& c) {
                                   for (const std::string& w : without)
                                       if (c.compare(0, w.size(), w) == 0) return true;
                                   return false;
                               }),
                chans.end());
    reader_request req(paths, chans);

    sampler smp;
    if (sample) smp.begin();
    struct call {
        double begin, end, cpu;
    };
    std::vector<call> calls;
    const double t0 = now_s(), c0 = process_cpu_s();
    zorv_daq_reader_2010 r;
    if (r.init(&req.files, &req.channels) != 0) {
        std::fprintf(stderr, "the reader refused the run in %s\n", dir.c_str());
        return 1;
    }
    zorv_time_id step{1, {0, 100000}};
    r.set_synch_mode(ZORV_DAQ_SLICER_SYNCH_MODE_EVID);
    r.set_period(&step);
    if (r.start() != 0) {
        std::fprintf(stderr, "the reader did not start on the run in %s\n", dir.c_str());
        return 1;
    }
    const double started = now_s(), started_cpu = process_cpu_s() - c0;
    std::vector<zorv_channel_entry_long*> out;
    long events = 0;
    int last_status = 0;
    for (;; ++events) {
        const double a = now_s(), ac = process_cpu_s();
        last_status = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT);
        if (last_status != 0) break;
        calls.push_back({a, now_s(), process_cpu_s() - ac});
    }
    const double total = now_s() - t0, cpu = process_cpu_s() - c0;
    smp.end();
    r.clean_up();
    // A read that stops short is not a timeline of the run.
    const long expected = long(paths.size() * per_file);
    if (events != expected) {
        std::fprintf(stderr, "EVENTS MISSING: %ld of %ld events read, the last call returned %d\n", events,
                     expected, last_status);
        return 1;
    }

    // The phases of the whole read, and the same per file: the start and
    // the first call of each later file (which moves every channel to it)
    // are its switch, every other call of the file its walk.
    std::vector<phase> ph{{"start"}, {"file switches"}, {"walk"}};
    ph[0].wall = started - t0;
    ph[0].cpu = started_cpu;
    const size_t nfiles = std::max<size_t>(1, (calls.size() + per_file - 1) / per_file);
    std::vector<phase> files_switch(nfiles), files_walk(nfiles);
    files_switch.at(0).wall = ph[0].wall;
    files_switch.at(0).cpu = ph[0].cpu;
    auto is_switch = [&](size_t i) { return i > 0 && i % per_file == 0; };
    for (size_t i = 0; i < calls.size(); ++i) {
        const call& c = calls[i];
        for (phase* p : {&ph[is_switch(i) ? 1 : 2], is_switch(i) ? &files_switch[i / per_file] : &files_walk[i / per_file]}) {
            p->wall += c.end - c.begin;
            p->cpu += c.cpu;
        }
    }
    // Where in a switch the processor is left idle: each switch of the later
    // files cut in tenths of its own length.
    std::vector<phase> tenths(10);
    size_t k = 0;
    double last = t0;
    for (const auto& [t, n] : smp.samples) {
        const double dt = t - last;
        last = t;
        while (k < calls.size() && calls[k].end < t) ++k;
        if (t < started) {
            ph[0].add_sample(n, dt);
            files_switch[0].add_sample(n, dt);
        } else if (k < calls.size() && calls[k].begin <= t) {
            ph[is_switch(k) ? 1 : 2].add_sample(n, dt);
            if (is_switch(k)) {
                const double at = (t - calls[k].begin) / (calls[k].end - calls[k].begin);
                tenths[std::min(size_t(at * 10), size_t(9))].add_sample(n, dt);
            }
            (is_switch(k) ? files_switch : files_walk)[k / per_file].add_sample(n, dt);
        }
    }
    std::printf("%ld events, wall %.3f s, processor %.3f s\n", events, total, cpu);
    for (const phase& p : ph) p.print();
    if (sample) {
        std::printf("the switches of the later files, by tenths of each\n");
        for (size_t d = 0; d < tenths.size(); ++d) {
            tenths[d].name = std::to_string(d * 10) + "-" + std::to_string(d * 10 + 10) + " %";
            tenths[d].print();
        }
    }
    std::printf("per file: its start or switch, then its walk\n");
    for (size_t f = 0; f < nfiles; ++f) {
        files_switch[f].name = "file " + std::to_string(f + 1) + (f == 0 ? " start" : " switch");
        files_walk[f].name = "file " + std::to_string(f + 1) + " walk";
        files_switch[f].print();
        files_walk[f].print();
    }
    return 0;
}
