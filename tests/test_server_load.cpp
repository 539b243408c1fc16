// Readers as a data server runs them: many at once on several threads, of
// both layouts, over the same and different runs, some cleaned up in the
// middle of a read and started again; and one reader over a long run of
// small files, whose descriptors, threads and memory must stay flat, also
// under a low descriptor limit. ZORV_STRESS_SCALE (default 1) multiplies the
// rounds and the length of the run for the long version
// (scripts/run-stress.sh).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sample_run.h"
#include "test_support.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace {

int scale() {
    const char* s = std::getenv("ZORV_STRESS_SCALE");
    const int n = s ? std::atoi(s) : 1;
    return n < 1 ? 1 : n;
}

// What a read delivered: every event's number and time, and each channel's
// block bytes, folded into one number; the count of events and how the read
// ended.
struct digest {
    uint64_t hash = 1469598103934665603ull;
    int events = 0;
    int end = 0;

    void add(const void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) hash = (hash ^ b[i]) * 1099511628211ull;
    }
    bool operator==(const digest& o) const { return hash == o.hash && events == o.events && end == o.end; }
};

std::ostream& operator<<(std::ostream& os, const digest& d) {
    return os << d.events << " events, end " << d.end << ", hash " << std::hex << d.hash << std::dec;
}

// A run written once for the whole test program.
struct run_files {
    zorv::file_layout layout;
    std::vector<std::string> files;
    std::vector<std::string> channels;
};

template <class Reader>
int open_reader(Reader& r, const run_files& run) {
    for (const std::string& f : run.files)
        if (int s = r.add_file(f.c_str(), true)) return s;
    for (const std::string& c : run.channels) {
        daq_channel_entry e{};
        e.name = const_cast<char*>(c.c_str());
        if (int s = r.add_channel(&e)) return s;
    }
    if (int s = r.set_synch_mode(ZORV_DAQ_SLICER_SYNCH_MODE_EVID)) return s;
    return r.start();
}

// Reads the run with `r` (which is cleaned up after), at most `limit` events.
template <class Reader>
digest read_run(Reader& r, const run_files& run, int limit = 1 << 30) {
    digest d;
    d.end = open_reader(r, run);
    std::vector<zorv_channel_entry_long*> out;
    while (d.end == 0 && d.events < limit) {
        d.end = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT);
        if (d.end != 0) break;
        ++d.events;
        d.add(&r.current_event_id, sizeof r.current_event_id);
        for (const auto* rec : r.results) {
            if (!rec->updated || !rec->data) continue;
            d.add(rec->chan.name, std::strlen(rec->chan.name));
            d.add(rec->data, size_t(rec->data->ldata));
        }
    }
    r.clean_up();
    return d;
}

digest read_run(const run_files& run, int limit = 1 << 30) {
    if (run.layout == zorv::file_layout::current) {
        zorv_daq_reader_2010 r;
        return read_run(r, run, limit);
    }
    zorv_daq_reader r;
    return read_run(r, run, limit);
}

run_files write_small_run(const std::string& dir, zorv::file_layout layout, int run, int files,
                          int events, const std::string& channels, std::vector<std::string> names) {
    auto cfg = zorv_test::small_run_config(dir, files, events, channels, layout);
    cfg.run = run;
    return {layout, zorv_test::write_run(cfg), std::move(names)};
}

class server_load : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        using zorv::file_layout;
        dir_ = new zorv_test::temp_dir;
        const std::string d = dir_->path();
        runs_ = new std::vector<run_files>{
            write_small_run(d, file_layout::current, 11, 3, 15,
                            "BPM1 38 ndata=3 comp=zlib;TORO1 42 comp=lzo;SLOW1 33 every=4",
                            {"BPM1", "TORO1", "SLOW1"}),
            write_small_run(d, file_layout::current, 12, 2, 20, "BPM1 38 ndata=2;IMG1 13 ndata=6 comp=zlib",
                            {"BPM1:1", "IMG1"}),
            write_small_run(d, file_layout::legacy, 13, 3, 12, "BPM1 6 ndata=2 comp=zlib;TORO1 10",
                            {"BPM1", "TORO1"}),
            write_small_run(d, file_layout::legacy, 14, 2, 18, "BPM1 6 ndata=4;SLOW1 1 every=3",
                            {"BPM1:2", "SLOW1"}),
        };
    }
    static void TearDownTestSuite() {
        delete runs_;
        delete dir_;
    }
    static zorv_test::temp_dir* dir_;
    static std::vector<run_files>* runs_;
};

zorv_test::temp_dir* server_load::dir_ = nullptr;
std::vector<run_files>* server_load::runs_ = nullptr;

// Several threads each read the runs in their own order, so that readers of
// the same run and of different runs of both layouts overlap; every third
// read stops half-way, is cleaned up and read again in full. Each full read
// equals the sequential one.
TEST_F(server_load, concurrent_readers_equal_sequential_reads) {
    std::vector<digest> expected;
    for (const run_files& run : *runs_) {
        ASSERT_FALSE(run.files.empty());
        expected.push_back(read_run(run));
        ASSERT_EQ(expected.back().end, ZORV_DAQ_READER_OUT_OF_WINDOW) << expected.back();
        ASSERT_GT(expected.back().events, 10);
    }
    const int threads = 4;
    const int rounds = 3 * scale();
    std::vector<std::vector<digest>> got(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int k = 0; k < rounds; ++k) {
                const size_t i = size_t(t + k) % runs_->size();
                if ((t + k) % 3 == 0) read_run((*runs_)[i], expected[i].events / 2);
                got[t].push_back(read_run((*runs_)[i]));
            }
        });
    }
    for (std::thread& th : pool) th.join();
    for (int t = 0; t < threads; ++t)
        for (int k = 0; k < rounds; ++k)
            EXPECT_EQ(got[t][k], expected[size_t(t + k) % runs_->size()]) << "thread " << t << " round " << k;
}

// Resources of the process, from /proc/self.
struct usage {
    long fds = 0;
    long threads = 0;
    long rss_kb = 0;
};

long entries(const char* dir) {
    long n = 0;
    for (auto it = std::filesystem::directory_iterator(dir); it != std::filesystem::directory_iterator(); ++it) ++n;
    return n;
}

usage measure() {
    usage u;
    u.fds = entries("/proc/self/fd");
    u.threads = entries("/proc/self/task");
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) u.rss_kb = std::atol(line.c_str() + 6);
    return u;
}

// Lowers the soft descriptor limit for the object's lifetime.
class fd_limit {
public:
    explicit fd_limit(rlim_t n) {
        getrlimit(RLIMIT_NOFILE, &old_);
        rlimit l = old_;
        l.rlim_cur = std::min(n, old_.rlim_max);
        ok_ = setrlimit(RLIMIT_NOFILE, &l) == 0;
    }
    ~fd_limit() { setrlimit(RLIMIT_NOFILE, &old_); }
    bool ok() const { return ok_; }

private:
    rlimit old_{};
    bool ok_ = false;
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;  // freed memory is held back, RSS says little
#else
constexpr bool sanitized = false;
#endif

// A run of many small files read by one reader: descriptors, threads and
// resident memory measured after the first file, half-way and at the end
// stay flat, and the read gets every event also with 64 descriptors.
TEST_F(server_load, long_run_keeps_descriptors_threads_and_memory_flat) {
    const int files = 100 * scale();
    const int per_file = 2;
    zorv_test::temp_dir dir;
    const run_files run = write_small_run(dir.path(), zorv::file_layout::current, 21, files, per_file,
                                          "BPM1 38 ndata=2 comp=zlib;TORO1 42 comp=lzo;SLOW1 33 every=3",
                                          {"BPM1", "TORO1", "SLOW1"});
    ASSERT_EQ(run.files.size(), size_t(files));

    for (const bool limited : {false, true}) {
        SCOPED_TRACE(limited ? "64 descriptors" : "no limit");
        std::unique_ptr<fd_limit> limit;
        if (limited) {
            limit = std::make_unique<fd_limit>(64);
            ASSERT_TRUE(limit->ok());
        }
        zorv_daq_reader_2010 r;
        ASSERT_EQ(open_reader(r, run), 0) << r.get_last_error();
        std::vector<usage> at;
        std::vector<zorv_channel_entry_long*> out;
        int events = 0, s = 0;
        while ((s = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT)) == 0) {
            ++events;
            if (events == per_file + 1 || events == files / 2 * per_file + 1 ||
                events == files * per_file)
                at.push_back(measure());
        }
        EXPECT_EQ(s, ZORV_DAQ_READER_OUT_OF_WINDOW);
        EXPECT_EQ(events, files * per_file);
        r.clean_up();
        ASSERT_EQ(at.size(), 3u);
        const usage after = measure();
        std::printf("fds %ld/%ld/%ld/%ld threads %ld/%ld/%ld/%ld RSS kB %ld/%ld/%ld/%ld (start/middle/end/after)\n",
                    at[0].fds, at[1].fds, at[2].fds, after.fds, at[0].threads, at[1].threads,
                    at[2].threads, after.threads, at[0].rss_kb, at[1].rss_kb, at[2].rss_kb, after.rss_kb);
        // The files loaded ahead and the next file's channel started early
        // hold descriptors, and workers come and go with the channels: a
        // few files' worth at most, never a count that grows with the files.
        for (const usage& u : {at[1], at[2]}) {
            EXPECT_LE(u.fds, at[0].fds + 6);
            EXPECT_LE(u.threads, at[0].threads + 8);
        }
        if (!sanitized) {
            EXPECT_LE(at[2].rss_kb, at[1].rss_kb + 16 * 1024);
        }
    }
}

}  // namespace
