// The built-in sample run and small custom runs for tests. The files are
// written by the writer library at test time (never committed).
#ifndef ZORV_TEST_SAMPLE_RUN_H
#define ZORV_TEST_SAMPLE_RUN_H

#include <string>
#include <vector>

#include "event_util.h"
#include "zorv_daq_writer.h"

namespace zorv_test {

// The sample run in `layout`, written once per process into a temporary
// directory that is removed at exit. Returns the paths of its three files in
// file order; fails the calling test (and returns an empty list) when the run
// cannot be written.
const std::vector<std::string>& sample_run(zorv::file_layout layout = zorv::file_layout::current);
// Directory of the sample run's files; its run catalogue is "<dir>/catalog".
std::string sample_run_dir(zorv::file_layout layout = zorv::file_layout::current);
// The configuration the sample run was written with (channels, times, events).
zorv::synthetic_run_config sample_config(zorv::file_layout layout = zorv::file_layout::current);

// Writes a custom run with `cfg` (cfg.dir must exist) and returns its file
// paths; fails the calling test when the run cannot be written.
std::vector<std::string> write_run(const zorv::synthetic_run_config& cfg);

// A small run in `dir`: `files` files of `events` events each, with the
// channels of `channels` (a preset name or a channel text, see
// zorv::synthetic_channels).
zorv::synthetic_run_config small_run_config(const std::string& dir, int files, int events,
                                            const std::string& channels = "minimal",
                                            zorv::file_layout layout = zorv::file_layout::current);

// A request for runs first..last of experiment "linac", stream "main", by
// event number one event at a time, through catalogue `cdir` and data
// directory `ddir`.
zorv_daq_request run_request(int first, int last, const std::string& cdir, const std::string& ddir);

}  // namespace zorv_test

#endif
