// The messages and names each layout's reader stack prints, and the few
// defaults and habits that differ between the layouts' readers: the `text`
// member of the layout traits. The stack's code names a text by its role; the wording of each
// layout is kept here, word for word, since callers and scripts read it.
#ifndef ZORV_CORE_LAYOUT_TEXT_H
#define ZORV_CORE_LAYOUT_TEXT_H

#include <cstdint>
#include <cstdio>

#include "zorv_layout.h"

namespace zorv {

struct layout_current::text {
    // Class names the messages carry.
    static constexpr const char* reader = "zorv_daq_reader_2010";

    // Table set: failures of the library calls, the trailer mapping (null:
    // not printed) and the timing line.
    static constexpr const char* ts_ref = "Failed to get file reference tabel (2010) err: %d\n";
    static constexpr const char* ts_eit = "Failed to get EIT (2010) err: %d\n";
    static constexpr const char* ts_cdt = "Failed to get CDT (2010) err: %d\n";
    static constexpr const char* ts_ecpt = "Failed to get ECPT (2010) err: %d\n";
    static constexpr const char* ts_ecpt_list = "Failed to get ECPT (with list 2010) err: %d\n";
    static constexpr const char* ts_eidt = "Failed to get EIDT (2010) err: %d\n";
    static constexpr const char* ts_xcd = "Failed to get XCD (2010) err: %d\n";
    static constexpr const char* ts_load_xcd = "Failed to load XCD (2010) err: %d\n";
    static constexpr const char* ts_tail_mapping = "Length: %ld offset: %ld  fd: %x\n";
    static constexpr const char* ts_timing = "GET ALL TABLES %f msec file:%s\n";

    // Channel reader.
    static constexpr const char* rc_start_not_init = "zorv_daq_read_chan_2010:start() %s not initialized\n";
    static constexpr const char* rc_not_found = "zorv_daq_read_chan_2010: channel not found\n";
    static constexpr const char* rc_get_not_init = "zorv_daq_read_chan_2010:get_chan_data() %s  not initialized\n";
    static constexpr const char* rc_cut_failed = "device_to_one_channel_2010() failed for %s:%d\n";
    // A decompressed block that fails conversion is published silently.
    static constexpr const char* rc_unzipped_convert_failed = nullptr;
    static void rc_print_mmap_time(double ms, const char* file, uint32_t blen, unsigned long size, int count) {
        std::printf("START MMAP IN %f msec file:%s chbasket_size: %d  chn_base_size: %lu   entries: %d\n", ms,
                    file, static_cast<int>(blen), size, count);
    }
    // Lookups: the current entry, the by-time step check, the search start
    // and the lookup debug lines exist; the own current entry is looked up
    // by number; an invalid reference is reported only with debug set.
    static constexpr bool rc_current_lookup = true;

    // Reader: defaults, and its own messages.
    static constexpr const char* default_ddir_base = "/daq/zorv_ext/";
    static constexpr const char* default_ddir_sub = "LINAC/";
    static constexpr uint32_t default_period_us = 100000;
    static constexpr uint32_t default_time_diff_us = 50000;
    static constexpr bool time_diff_from_env = true;
    static constexpr bool check_close_time = true;
    static constexpr bool search_catalogue_dir = true;
    static constexpr const char* not_found_direct = "zorv_daq_reader_2010::add_file() file %s not found \n";
    static constexpr const char* candidate_malloc = "zorv_daq_reader_2010::add_file() Failed to malloc for file: %s\n";
    static constexpr const char* null_chan_header = "zorv_daq_reader_2010::get_data() chan_header is NULL\n";
    static constexpr const char* no_start_time = "zorv_daq_reader_2010::init() failed to extract start time locally\n";
    static constexpr const char* no_stop_time = "zorv_daq_reader_2010::init() failed to extract stop time locally\n";
    static constexpr const char* run_time_failed = "----->%s::init() failed to extract time for run: %d trying locally\n";
    static void print_params(const zorv_chan_prms& p) {
        std::printf("params:\tstart:%d\tsamples:%d\tinc:%d\ttstart:%f\ttsamples:%f\ttinc:%f\tfunc:0x%x\n", p.start,
                    p.length, p.inc, p.tstart, p.tlength, p.tinc, static_cast<unsigned>(p.func));
    }

    // Reader behaviour of this layout's generation of the reader.
    static constexpr const char* synch_mode_get = "SYNCH_MODE get: 0x%x\n";  // null: silent
    static constexpr const char* get_data_timing = "slicer_2010->get_data() %f msec\n";
    static constexpr bool reports_without_debug = false;  // complaints only with debug set
    static constexpr bool talks_with_debug = true;
    static constexpr bool ddir_may_end_in_colon = true;
    static constexpr bool has_time_fix = true;
    static constexpr bool window_from_run_catalogue = true;
    static constexpr bool removes_last_match = true;
    static constexpr bool checks_tables_after_channels = false;
    static constexpr bool every_update_type_by_property = true;
    static constexpr bool perror_on_realloc = true;
    // Discovery: any file name with a start second, run files of the
    // request's experiment only, a run file outside the window taken when
    // its tables overlap it, the file before the window taken as it is.
    static constexpr bool raw_files_only = false;
    static constexpr bool run_files_of_experiment = true;
    static constexpr bool run_file_by_tables = true;
    static constexpr bool fallback_by_tables = false;

    // Slicer.
    static constexpr uint32_t slicer_tolerance_us = 50000;
    static constexpr uint32_t slicer_step_us = 100000;
    static constexpr bool slicer_detached_thread = false;
    static constexpr bool slicer_timing = true;
    static constexpr const char* slicer_init_file_alloc =
        "zorv_daq_slicer_2010::init() failed to malloc %d bytes for a file name %s\n";
    static constexpr const char* slicer_init_chan_alloc =
        "zorv_daq_slicer_2010::init() failed to malloc channel entry for %s\n";
    static constexpr const char* slicer_creating =
        "zorv_daq_slicer_2010::create_channel()CREATING CHANNEL: %s:%d file:%s\n";
    // Debug lines: the first entry asked for (given 0), an entry found at
    // the event (given whether it is the same), a channel moving on.
    static void slicer_print_start_up() { std::printf("Calling get_chan_data() start channel (up) ret:%d \n", 0); }
    static void slicer_print_found(bool) { std::printf("found: \n"); }
    static void slicer_print_switch(int i, const char*, int before) {
        std::printf("Channel[%d] switching to the next file fentry before: %d\n", i, before);
    }
    static constexpr bool slicer_says_empty_request_in_one_line = false;
    static constexpr bool slicer_prints_input_event = false;
    static constexpr bool slicer_shows_evh_base = false;
    // A channel that fails at the start is dropped and the others read on;
    // the table thread loads a bounded number of files ahead and drops a
    // table set it loaded while being stopped.
    static constexpr bool slicer_drops_failed_channel = true;
    static constexpr bool slicer_limits_tables_ahead = true;

    // High-level decoder.
    static constexpr const char* hl_no_srvb = "zorv_daq_getdata::SetHead_2010: srvb pointer = NULL";
    static constexpr const char* hl_no_chan_header = " ChanHeader_2010 == NULL";
};

struct layout_legacy::text {
    static constexpr const char* reader = "zorv_daq_reader";

    static constexpr const char* ts_ref = "Failed to get file reference tabel err: %d\n";
    static constexpr const char* ts_eit = "Failed to get EIT err: %d\n";
    static constexpr const char* ts_cdt = "Failed to get CDT err: %d\n";
    static constexpr const char* ts_ecpt = "Failed to get ECPT err: %d\n";
    static constexpr const char* ts_ecpt_list = "Failed to get ECPT (with list) err: %d\n";
    static constexpr const char* ts_eidt = "Failed to get EIDT err: %d\n";
    static constexpr const char* ts_xcd = "Failed to get XCD err: %d\n";
    static constexpr const char* ts_load_xcd = "Failed to load XCD err: %d\n";
    static constexpr const char* ts_tail_mapping = nullptr;
    static constexpr const char* ts_timing = "  GET ALL TABLES %f msec file: %s\n";

    static constexpr const char* rc_start_not_init = "zorv_daq_read_chan:start() %s  not initialized\n";
    static constexpr const char* rc_not_found = "zorv_daq_read_chan: channel not found\n";
    static constexpr const char* rc_get_not_init = "zorv_daq_read_chan:get_chan_data() %s not initialized\n";
    static constexpr const char* rc_cut_failed = "device_to_one_channel() failed for %s:%d\n";
    static constexpr const char* rc_unzipped_convert_failed =
        "Failed to convert unzipped err: %d  len: %ld %lu .. exiting\n";
    static void rc_print_mmap_time(double ms, const char* file, uint32_t, unsigned long size, int count) {
        std::printf("START MMAP IN %f msec  file: %s chn_base_size: %lu  entries: %d\n", ms, file, size, count);
    }
    // Lookups by number only for a given identity with a number; everything
    // else by time; no step check; every invalid reference is reported.
    static constexpr bool rc_current_lookup = false;

    static constexpr const char* default_ddir_base = "";
    static constexpr const char* default_ddir_sub = "";
    static constexpr uint32_t default_period_us = 200000;
    static constexpr uint32_t default_time_diff_us = 95000;
    static constexpr bool time_diff_from_env = false;
    static constexpr bool check_close_time = false;
    static constexpr bool search_catalogue_dir = false;
    static constexpr const char* not_found_direct = "zorv_daq_reader::add_file() file %s not found\n";
    static constexpr const char* candidate_malloc = "Failed to malloc for file: %s\n";
    static constexpr const char* null_chan_header = "zorv_daq_reader::get_data() chan_header is NULL\n";
    static constexpr const char* no_start_time = "zorv_daq_reader::init() failed to extract start time locally\n";
    static constexpr const char* no_stop_time = "zorv_daq_reader::init() failed to extract stop time locally\n";
    static constexpr const char* run_time_failed = "%s::init() failed to extract time for run: %d trying locally\n";
    static void print_params(const zorv_chan_prms& p) {
        std::printf("params:\tstart:%d\tsamples:%d\tinc:%d\tfunc:0x%x\n", p.start, p.length, p.inc,
                    static_cast<unsigned>(p.func));
    }

    static constexpr const char* synch_mode_get = nullptr;
    static constexpr const char* get_data_timing = nullptr;
    static constexpr bool reports_without_debug = true;
    static constexpr bool talks_with_debug = false;
    static constexpr bool ddir_may_end_in_colon = false;
    static constexpr bool has_time_fix = false;
    static constexpr bool window_from_run_catalogue = false;
    static constexpr bool removes_last_match = false;
    static constexpr bool checks_tables_after_channels = true;
    static constexpr bool every_update_type_by_property = false;
    static constexpr bool perror_on_realloc = false;
    static constexpr bool raw_files_only = true;
    static constexpr bool run_files_of_experiment = false;
    static constexpr bool run_file_by_tables = false;
    static constexpr bool fallback_by_tables = true;

    static constexpr uint32_t slicer_tolerance_us = 95000;
    static constexpr uint32_t slicer_step_us = 200000;
    static constexpr bool slicer_detached_thread = true;
    static constexpr bool slicer_timing = false;
    static constexpr const char* slicer_init_file_alloc =
        "zorv_daq_slicer::init() failed to malloc %d bytes for a file name %s\n";
    static constexpr const char* slicer_init_chan_alloc =
        "zorv_daq_slicer::init() failed to malloc channel entry for %s\n";
    static constexpr const char* slicer_creating =
        "zorv_daq_slicer::create_channel()CREATING CHANNEL: %s:%d WITH FILE %s\n";
    static void slicer_print_start_up() { std::printf("Calling get_chan_data() start channel (up)\n"); }
    static void slicer_print_found(bool same) { std::printf("found: %d\n", same ? 1 : 0); }
    static void slicer_print_switch(int, const char* name, int before) {
        std::printf("Channel %s switching to the next file fentry before: %d\n", name, before);
    }
    static constexpr bool slicer_says_empty_request_in_one_line = true;
    static constexpr bool slicer_prints_input_event = true;
    static constexpr bool slicer_shows_evh_base = true;
    static constexpr bool slicer_drops_failed_channel = false;
    static constexpr bool slicer_limits_tables_ahead = false;

    static constexpr const char* hl_no_srvb = "zorv_daq_getdata::SetHead: srvb pointer = NULL";
    static constexpr const char* hl_no_chan_header = " ChanHeader == NULL";
};

}  // namespace zorv

#endif
