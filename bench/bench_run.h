// Shared pieces of the benchmarks: the standard run, the blocks of a written
// file, the decode floor, a stopwatch and measurements in child processes.
#ifndef ZORV_BENCH_RUN_H
#define ZORV_BENCH_RUN_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zorv_daq_writer.h"

namespace zorv_bench {

double now_s();

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

// Runs `fn` in a child process; returns what it wrote through its argument
// and the child's peak resident memory in bytes.
struct child_result {
    bool ok = false;
    std::vector<double> values;
    uint64_t peak_rss = 0;
    double cpu_s = 0;  // user and system time of the child
};
child_result in_child(const std::function<std::vector<double>()>& fn);

}  // namespace zorv_bench

#endif
