// Helper of the Python figures (python_figures.py): writes the standard run,
// and reads files through the C++ reader as the Python module's reference.
//
//   zorv-bench-python-ref write DIR current|legacy FILES EVENTS
//   zorv-bench-python-ref read current|legacy FILE...
//   zorv-bench-python-ref read-stacked BYTES EVENTS current|legacy FILE...
//
// `read` selects every channel of the first file, reads event by event
// through get_data, ends the reader with clean_up (run.arrays() and a
// run's events() end theirs too, inside the time they are measured by) and
// prints "seconds events peak_rss_bytes cpu_seconds" (processor time of
// every thread of the process, reading included).
// `read-stacked` does the same and also writes BYTES of fresh memory, a share
// of BYTES/EVENTS after each event: the least a program that hands the values
// of EVENTS events out stacked in arrays of BYTES must add to the read. BYTES
// is what run.arrays() returns. The memory is mapped once in plain pages and
// faulted in on a helper thread from the start, as the module maps and faults
// in its arrays, so that the floor has every advantage the module has.
#include <sys/mman.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench_run.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: zorv-bench-python-ref write DIR current|legacy FILES EVENTS\n"
                 "       zorv-bench-python-ref read current|legacy FILE...\n"
                 "       zorv-bench-python-ref read-stacked BYTES EVENTS current|legacy FILE...\n");
    return 2;
}

#ifdef MADV_POPULATE_WRITE
constexpr int populate_write = MADV_POPULATE_WRITE;
#else
constexpr int populate_write = 23;
#endif

// Fresh memory written in equal shares, one per event, while a helper thread
// faults it in ahead of the writes.
class stack_sink {
public:
    explicit stack_sink(size_t bytes) : size_(bytes) {
        if (!bytes) return;
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        p_ = static_cast<unsigned char*>(p);
        try {
            prefault_ = std::thread([p, bytes] { madvise(p, bytes, populate_write); });
        } catch (const std::system_error&) {
        }
    }
    ~stack_sink() {
        if (prefault_.joinable()) prefault_.join();
        if (p_) munmap(p_, size_);
    }
    stack_sink(const stack_sink&) = delete;
    stack_sink& operator=(const stack_sink&) = delete;
    bool failed() const { return size_ && !p_; }
    // Writes the share of event `k` of `n` (the last event takes the rest).
    void write(long k, long n) {
        if (!p_ || n < 1) return;
        const size_t share = size_ / size_t(n);
        const size_t at = share * size_t(k);
        if (at >= size_) return;
        std::memset(p_ + at, 0x7f, k + 1 == n ? size_ - at : share);
    }

private:
    unsigned char* p_ = nullptr;
    size_t size_ = 0;
    std::thread prefault_;
};

template <class R>
int read_all(std::vector<std::string> paths, size_t stacked_bytes, long expected) {
    const double t0 = zorv_bench::now_s();
    stack_sink sink(stacked_bytes);
    if (sink.failed()) return std::fprintf(stderr, "cannot map %zu bytes\n", stacked_bytes), 1;
    R r;
    std::vector<char*> list;
    for (auto& p : paths) list.push_back(p.data());
    std::vector<daq_channel_entry*> none;
    if (r.init(&list, &none) != 0) return std::fprintf(stderr, "init: %s\n", r.get_last_error()), 1;
    int n = 0;
    if (r.get_number_of_channels(list[0], &n, 0) != 0) return 1;
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) names.emplace_back(r.get_channel_name(i, nullptr, nullptr, nullptr));
    for (auto& name : names) {
        daq_channel_entry e{name.data(), {}};
        r.add_channel(&e);
    }
    if (r.start() != 0) return std::fprintf(stderr, "start: %s\n", r.get_last_error()), 1;
    std::vector<zorv_channel_entry_long*> out;
    long events = 0;
    while (r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT) == 0) sink.write(events++, expected);
    r.clean_up();
    const double seconds = zorv_bench::now_s() - t0;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const double cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    std::printf("%.6f %ld %ld %.6f\n", seconds, events, long(ru.ru_maxrss) * 1024, cpu);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    const std::string cmd = argv[1];
    if (cmd == "write" && argc == 6) {
        const auto layout = std::string(argv[3]) == "legacy" ? zorv::file_layout::legacy : zorv::file_layout::current;
        auto cfg = zorv_bench::standard_run(argv[2], layout, std::atoi(argv[4]), std::atoi(argv[5]));
        std::vector<std::string> files;
        std::string err;
        if (zorv::write_synthetic_run(cfg, &files, &err) != 0) return std::fprintf(stderr, "%s\n", err.c_str()), 1;
        for (const auto& f : files) std::printf("%s\n", f.c_str());
        return 0;
    }
    const bool stacked = cmd == "read-stacked";
    if (cmd == "read" || (stacked && argc >= 6)) {
        const size_t bytes = stacked ? size_t(std::strtoull(argv[2], nullptr, 10)) : 0;
        const long expected = stacked ? std::atol(argv[3]) : 0;
        const int at = stacked ? 4 : 2;
        std::vector<std::string> paths(argv + at + 1, argv + argc);
        return std::string(argv[at]) == "legacy" ? read_all<zorv_daq_reader>(paths, bytes, expected)
                                                 : read_all<zorv_daq_reader_2010>(paths, bytes, expected);
    }
    return usage();
}
