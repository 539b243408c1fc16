// Shared pieces of the benchmarks: the standard run, the blocks of a written
// file, the decode floor, a stopwatch and measurements in child processes.
#ifndef ZORV_BENCH_RUN_H
#define ZORV_BENCH_RUN_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "event_util.h"
#include "zorv_daq_writer.h"

namespace zorv_bench {

double now_s();

// A group of channels of a run: name prefix, count and the settings of
// each (the writer's channel text after the name).
struct channel_group {
    const char* prefix;
    int count;
    const char* settings;
};

// A mix of channels with its default size and the targets of its figures
// (0: no target).
struct run_targets {
    double full_read = 0;      // full read / floor
    double one_channel = 0;    // one channel / full read
    double first_event = 0;    // first event / first file's floor
    double spread = 0;         // slowest / fastest full read
    double memory = 1.0;       // peak resident memory / bound
    double many_growth = 1.1;  // peak over many files / peak over a few
};
struct run_mix {
    const char* name;
    const char* description;
    std::vector<channel_group> groups;
    int files;
    int events;
    int repeat;  // full reads per figure
    run_targets targets;
};

// The mixes the harness knows, the standard run first.
const std::vector<run_mix>& run_mixes();
const run_mix* find_mix(const std::string& name);

// A run of `mix`: `files` files of `events` events each.
zorv::synthetic_run_config mix_run(const run_mix& mix, const std::string& dir,
                                   zorv::file_layout layout, int files, int events);

// The standard run: ~60 channels (zlib-compressed multi-member spectra,
// LZO-compressed spectra, toroids and a camera image, uncompressed BPMs,
// slow channels), `files` files of `events` events each.
zorv::synthetic_run_config standard_run(const std::string& dir, zorv::file_layout layout,
                                        int files, int events);
// The standard run's channel names, in declaration order.
std::vector<std::string> channel_names(const zorv::synthetic_run_config& cfg);

// One block of a file: where its sub-header lies in the mapped file.
struct block_ref {
    const unsigned char* subhead;
    uint32_t size;  // bytes of the block on file, sub-header included
};

// A file mapped read-only with the blocks of the selected channels (all when
// `channels` is empty), found through the file's tables.
class mapped_run_file {
public:
    mapped_run_file(const std::string& path, zorv::file_layout layout,
                    const std::vector<std::string>& channels);
    ~mapped_run_file();
    mapped_run_file(const mapped_run_file&) = delete;
    mapped_run_file& operator=(const mapped_run_file&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::vector<block_ref>& blocks() const { return blocks_; }
    zorv::file_layout layout() const { return layout_; }
    // Payload bytes once decompressed (sub-headers not counted).
    uint64_t decoded_bytes() const;

private:
    template <class L>
    void scan(std::string path, const std::vector<std::string>& channels);

    zorv::file_layout layout_;
    int fd_ = -1;
    unsigned char* map_ = nullptr;
    size_t len_ = 0;
    std::vector<block_ref> blocks_;
    std::string error_;
};

// Decompresses and converts every block of `files` with the library's codecs
// and conversion on `threads` threads, each reusing one output buffer.
// Returns the seconds taken, or a negative value when a block fails.
double decode_floor(const std::vector<const mapped_run_file*>& files, int threads);

// Decoded payload bytes of one block (0 when its header cannot be read).
uint64_t decoded_size(const block_ref& b, zorv::file_layout layout);

// Processor time and page faults of this process so far (every thread).
struct usage {
    double user_s = 0;
    double sys_s = 0;
    double minflt = 0;
    usage operator-(const usage& o) const { return {user_s - o.user_s, sys_s - o.sys_s, minflt - o.minflt}; }
};
usage self_usage();

// Counters of /proc/vmstat that tell whether fresh memory came in huge pages
// and what getting them cost, and what the kernel gave back to the host
// (0 where the kernel does not have one). They count the whole machine.
struct vm_counters {
    double thp_fault_alloc = 0;
    double thp_fault_fallback = 0;
    double compact_stall = 0;
    double pgfault = 0;
    // Free memory handed back to the hypervisor (free page reporting of a
    // virtual machine): memory touched after that comes back from the host.
    double reported_kib = 0;
    vm_counters operator-(const vm_counters& o) const {
        return {thp_fault_alloc - o.thp_fault_alloc, thp_fault_fallback - o.thp_fault_fallback,
                compact_stall - o.compact_stall, pgfault - o.pgfault, reported_kib - o.reported_kib};
    }
};
vm_counters read_vm_counters();

// Runs `fn` in a child process; returns what it wrote through its argument
// and the child's peak resident memory in bytes.
struct child_result {
    bool ok = false;
    std::vector<double> values;
    uint64_t peak_rss = 0;
    double cpu_s = 0;  // user and system time of the child
    usage use;         // the same split, and the child's page faults
    vm_counters vm;    // the machine's counters over the child's life
};
child_result in_child(const std::function<std::vector<double>()>& fn);

// The file and channel lists a reader's init takes, with the strings they
// point into: keep it alive as long as the reader.
struct reader_request {
    std::vector<std::string> names, chans;
    std::vector<char*> files;
    std::vector<daq_channel_entry> entries;
    std::vector<daq_channel_entry*> channels;

    reader_request(std::vector<std::string> paths, std::vector<std::string> channel_names)
        : names(std::move(paths)), chans(std::move(channel_names)), entries(chans.size()) {
        for (auto& n : names) files.push_back(n.data());
        for (size_t i = 0; i < chans.size(); ++i) {
            entries[i].name = chans[i].data();
            channels.push_back(&entries[i]);
        }
    }
    reader_request(const reader_request&) = delete;
    reader_request& operator=(const reader_request&) = delete;
};

}  // namespace zorv_bench

#endif
