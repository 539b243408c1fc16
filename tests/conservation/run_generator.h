// The cases of the conservation test: seeded random runs the writer library
// writes, what of them a case reads and how, and what the writer wrote.
#ifndef ZORV_TEST_CONSERVATION_RUN_GENERATOR_H
#define ZORV_TEST_CONSERVATION_RUN_GENERATOR_H

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "zorv_daq_writer.h"
#include "zorv_daq_reader.h"

namespace conservation {

using zorv::file_layout;

constexpr int kRate = 10;                     // events per second
constexpr uint32_t kPeriodUs = 1000000 / kRate;

// The channels every run is written with; a case selects a subset.
enum { CH_A, CH_B, CH_C, CH_SLOW, CH_EQ, CH_COUNT };
const char* const kNames[CH_COUNT] = {"BPMA", "TORB", "BPMC", "SLOWS", "EQD"};
constexpr int kOffsetEventType = ZORV_EV_IMAGE;  // the event type of a channel with a time offset

enum class source { files, run_catalogue, run_scan, period_catalogue, period_scan };
const char* const kSourceNames[] = {"files", "run-catalogue", "run-scan", "period-catalogue",
                                    "period-scan"};

enum class breakage { none, tables, truncated, empty, directory, removed };
const char* const kBreakageNames[] = {"none", "damaged tables", "truncated", "emptied",
                                      "a directory", "removed"};

// One entry the writer wrote: channel, event number, event slot time, file.
struct entry {
    int ch;
    uint32_t number;
    double time_us;
    int file;  // index over all files of the case
    bool damaged;
};
using entry_key = std::pair<int, uint32_t>;

// A case: the runs, what is broken, what is read and how.
struct conservation_case {
    uint64_t seed = 0;
    file_layout layout = file_layout::current;
    int mode = ZORV_DAQ_SLICER_SYNCH_MODE_EVID;
    source from = source::files;
    uint32_t tolerance_us = 50000;
    std::vector<zorv::synthetic_run_config> runs;
    std::vector<int> selected;  // channel indices, in selection order
    int broken_file = -1;       // index over all files
    breakage broken = breakage::none;
    int run_first = 0, run_last = 0;      // run requests
    double from_us = 0, to_us = 0;        // period requests (0: no window)

    std::string describe() const;
};

double micros(const time_stamp& t);

// A case from its seed; its runs are written below `dir`.
conservation_case make_case(uint64_t seed, const std::string& dir);
// Writes the case's runs and breaks its broken file; returns all file paths in order.
std::vector<std::string> write_case(const conservation_case& c);

// What the writer wrote for the selected channels over all runs: every
// entry in file order, the file of every event number, and which files hold
// which channels.
struct written {
    std::vector<entry> entries;
    std::map<uint32_t, int> file_of_event;
    std::set<std::pair<int, int>> holds;  // (file, channel)
};

written written_entries(const conservation_case& c);
// The entries of `all` the case's request covers.
std::vector<entry> expected_entries(const conservation_case& c, const std::vector<entry>& all);
// Whether the broken file may be the first the request reads.
bool broken_file_may_lead(const conservation_case& c);
// For a period request: a window over the written events.
void choose_window(conservation_case& c, const std::vector<entry>& all, std::mt19937_64& rng);

}  // namespace conservation

#endif
