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

// The texts and settings as a table: one row each, with its type, its name,
// the current layout's value and the legacy layout's value, so that the two
// layouts are read side by side. A null text is not printed.
#define ZORV_LAYOUT_TEXT_TABLE(ROW) \
    /* Class names the messages carry. */ \
    ROW(const char*, reader, "zorv_daq_reader_2010", "zorv_daq_reader") \
    /* Table set: failures of the library calls, the trailer mapping (null: */ \
    /* not printed) and the timing line. */ \
    ROW(const char*, ts_ref, "Failed to get file reference tabel (2010) err: %d\n", "Failed to get file reference tabel err: %d\n") \
    ROW(const char*, ts_eit, "Failed to get EIT (2010) err: %d\n", "Failed to get EIT err: %d\n") \
    ROW(const char*, ts_cdt, "Failed to get CDT (2010) err: %d\n", "Failed to get CDT err: %d\n") \
    ROW(const char*, ts_ecpt, "Failed to get ECPT (2010) err: %d\n", "Failed to get ECPT err: %d\n") \
    ROW(const char*, ts_ecpt_list, "Failed to get ECPT (with list 2010) err: %d\n", "Failed to get ECPT (with list) err: %d\n") \
    ROW(const char*, ts_eidt, "Failed to get EIDT (2010) err: %d\n", "Failed to get EIDT err: %d\n") \
    ROW(const char*, ts_xcd, "Failed to get XCD (2010) err: %d\n", "Failed to get XCD err: %d\n") \
    ROW(const char*, ts_load_xcd, "Failed to load XCD (2010) err: %d\n", "Failed to load XCD err: %d\n") \
    ROW(const char*, ts_tail_mapping, "Length: %ld offset: %ld  fd: %x\n", nullptr) \
    ROW(const char*, ts_timing, "GET ALL TABLES %f msec file:%s\n", "  GET ALL TABLES %f msec file: %s\n") \
    /* Channel reader. */ \
    ROW(const char*, rc_start_not_init, "zorv_daq_read_chan_2010:start() %s not initialized\n", "zorv_daq_read_chan:start() %s  not initialized\n") \
    ROW(const char*, rc_not_found, "zorv_daq_read_chan_2010: channel not found\n", "zorv_daq_read_chan: channel not found\n") \
    ROW(const char*, rc_get_not_init, "zorv_daq_read_chan_2010:get_chan_data() %s  not initialized\n", "zorv_daq_read_chan:get_chan_data() %s not initialized\n") \
    ROW(const char*, rc_cut_failed, "device_to_one_channel_2010() failed for %s:%d\n", "device_to_one_channel() failed for %s:%d\n") \
    /* A decompressed block that fails conversion is published silently. */ \
    ROW(const char*, rc_unzipped_convert_failed, nullptr, "Failed to convert unzipped err: %d  len: %ld %lu .. exiting\n") \
    /* Lookups: the current entry, the by-time step check, the search start */ \
    /* and the lookup debug lines exist; the own current entry is looked up */ \
    /* by number; an invalid reference is reported only with debug set. */ \
    ROW(bool, rc_current_lookup, true, false) \
    /* Reader: defaults, and its own messages. */ \
    ROW(const char*, default_ddir_base, "/daq/zorv_ext/", "") \
    ROW(const char*, default_ddir_sub, "LINAC/", "") \
    ROW(uint32_t, default_period_us, 100000, 200000) \
    ROW(uint32_t, default_time_diff_us, 50000, 95000) \
    ROW(bool, time_diff_from_env, true, false) \
    ROW(bool, check_close_time, true, false) \
    ROW(bool, search_catalogue_dir, true, false) \
    ROW(const char*, not_found_direct, "zorv_daq_reader_2010::add_file() file %s not found \n", "zorv_daq_reader::add_file() file %s not found\n") \
    ROW(const char*, candidate_malloc, "zorv_daq_reader_2010::add_file() Failed to malloc for file: %s\n", "Failed to malloc for file: %s\n") \
    ROW(const char*, null_chan_header, "zorv_daq_reader_2010::get_data() chan_header is NULL\n", "zorv_daq_reader::get_data() chan_header is NULL\n") \
    ROW(const char*, no_start_time, "zorv_daq_reader_2010::init() failed to extract start time locally\n", "zorv_daq_reader::init() failed to extract start time locally\n") \
    ROW(const char*, no_stop_time, "zorv_daq_reader_2010::init() failed to extract stop time locally\n", "zorv_daq_reader::init() failed to extract stop time locally\n") \
    ROW(const char*, run_time_failed, "----->%s::init() failed to extract time for run: %d trying locally\n", "%s::init() failed to extract time for run: %d trying locally\n") \
    /* Reader behaviour of this layout's generation of the reader. */ \
    /* synch_mode_get: null: silent */ \
    ROW(const char*, synch_mode_get, "SYNCH_MODE get: 0x%x\n", nullptr) \
    ROW(const char*, get_data_timing, "slicer_2010->get_data() %f msec\n", nullptr) \
    /* reports_without_debug: complaints only with debug set */ \
    ROW(bool, reports_without_debug, false, true) \
    ROW(bool, talks_with_debug, true, false) \
    ROW(bool, ddir_may_end_in_colon, true, false) \
    ROW(bool, window_from_run_catalogue, true, false) \
    ROW(bool, removes_last_match, true, false) \
    ROW(bool, checks_tables_after_channels, false, true) \
    ROW(bool, every_update_type_by_property, true, false) \
    ROW(bool, perror_on_realloc, true, false) \
    /* Discovery: any file name with a start second, run files of the */ \
    /* request's experiment only, a run file outside the window taken when */ \
    /* its tables overlap it, the file before the window taken as it is. */ \
    ROW(bool, raw_files_only, false, true) \
    ROW(bool, run_files_of_experiment, true, false) \
    ROW(bool, run_file_by_tables, true, false) \
    ROW(bool, fallback_by_tables, false, true) \
    /* Slicer. */ \
    ROW(uint32_t, slicer_tolerance_us, 50000, 95000) \
    ROW(uint32_t, slicer_step_us, 100000, 200000) \
    ROW(bool, slicer_detached_thread, false, true) \
    ROW(bool, slicer_timing, true, false) \
    ROW(const char*, slicer_init_file_alloc, "zorv_daq_slicer_2010::init() failed to malloc %d bytes for a file name %s\n", "zorv_daq_slicer::init() failed to malloc %d bytes for a file name %s\n") \
    ROW(const char*, slicer_init_chan_alloc, "zorv_daq_slicer_2010::init() failed to malloc channel entry for %s\n", "zorv_daq_slicer::init() failed to malloc channel entry for %s\n") \
    ROW(const char*, slicer_creating, "zorv_daq_slicer_2010::create_channel()CREATING CHANNEL: %s:%d file:%s\n", "zorv_daq_slicer::create_channel()CREATING CHANNEL: %s:%d WITH FILE %s\n") \
    /* Debug lines: the first entry asked for (given 0), an entry found at */ \
    /* the event (given whether it is the same), a channel moving on. */ \
    ROW(bool, slicer_says_empty_request_in_one_line, false, true) \
    ROW(bool, slicer_prints_input_event, false, true) \
    ROW(bool, slicer_shows_evh_base, false, true) \
    /* A channel that fails at the start is dropped and the others read on; */ \
    /* the table thread loads a bounded number of files ahead and drops a */ \
    /* table set it loaded while being stopped. */ \
    ROW(bool, slicer_drops_failed_channel, true, false) \
    ROW(bool, slicer_limits_tables_ahead, true, false) \
    /* High-level decoder. */ \
    ROW(const char*, hl_no_srvb, "zorv_daq_getdata::SetHead_2010: srvb pointer = NULL", "zorv_daq_getdata::SetHead: srvb pointer = NULL") \
    ROW(const char*, hl_no_chan_header, " ChanHeader_2010 == NULL", " ChanHeader == NULL") \

#define ZORV_LAYOUT_TEXT_CURRENT(type, name, current, legacy) static constexpr type name = current;
#define ZORV_LAYOUT_TEXT_LEGACY(type, name, current, legacy) static constexpr type name = legacy;

struct layout_current::text {
    ZORV_LAYOUT_TEXT_TABLE(ZORV_LAYOUT_TEXT_CURRENT)

    // Timing of a channel reader's start, the parameters of a channel, and
    // the slicer's debug lines: the first entry asked for (given 0), an
    // entry found at the event (given whether it is the same), a channel
    // moving on to its next file.
    static void rc_print_mmap_time(double ms, const char* file, uint32_t blen, unsigned long size, int count) {
        std::printf("START MMAP IN %f msec file:%s chbasket_size: %d  chn_base_size: %lu   entries: %d\n", ms,
                    file, static_cast<int>(blen), size, count);
    }
    static void print_params(const zorv_chan_prms& p) {
        std::printf("params:\tstart:%d\tsamples:%d\tinc:%d\ttstart:%f\ttsamples:%f\ttinc:%f\tfunc:0x%x\n", p.start,
                    p.length, p.inc, p.tstart, p.tlength, p.tinc, static_cast<unsigned>(p.func));
    }
    static void slicer_print_start_up() { std::printf("Calling get_chan_data() start channel (up) ret:%d \n", 0); }
    static void slicer_print_found(bool) { std::printf("found: \n"); }
    static void slicer_print_switch(int i, const char*, int before) {
        std::printf("Channel[%d] switching to the next file fentry before: %d\n", i, before);
    }
};

struct layout_legacy::text {
    ZORV_LAYOUT_TEXT_TABLE(ZORV_LAYOUT_TEXT_LEGACY)

    static void rc_print_mmap_time(double ms, const char* file, uint32_t, unsigned long size, int count) {
        std::printf("START MMAP IN %f msec  file: %s chn_base_size: %lu  entries: %d\n", ms, file, size, count);
    }
    static void print_params(const zorv_chan_prms& p) {
        std::printf("params:\tstart:%d\tsamples:%d\tinc:%d\tfunc:0x%x\n", p.start, p.length, p.inc,
                    static_cast<unsigned>(p.func));
    }
    static void slicer_print_start_up() { std::printf("Calling get_chan_data() start channel (up)\n"); }
    static void slicer_print_found(bool same) { std::printf("found: %d\n", same ? 1 : 0); }
    static void slicer_print_switch(int, const char* name, int before) {
        std::printf("Channel %s switching to the next file fentry before: %d\n", name, before);
    }
};

#undef ZORV_LAYOUT_TEXT_LEGACY
#undef ZORV_LAYOUT_TEXT_CURRENT
#undef ZORV_LAYOUT_TEXT_TABLE

}  // namespace zorv

#endif
