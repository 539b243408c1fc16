// Reader of legacy-layout DAQ files: the twin of zorv_daq_reader_2010 on the
// legacy stack, with the legacy record widths.
#ifndef ZORV_DAQ_READER_H
#define ZORV_DAQ_READER_H

#include "event_util.h"
#include "zorv_daq_read_chan.h"
#include "zorv_daq_slicer.h"
#include "zorv_export.h"
#include "zorv_layout.h"
#include "zorv_reader_core.h"

// One selected channel and its data for the current event (legacy widths).
struct zorv_daq_reader_result_entry {
    zorv_daq_chan_param chan;
    zorv_channel_entry_long res;
    zorv_eventheader evhd;
    zorv_serv_block_head sbhd;
    int32_t slow;
    int32_t updated;
    zorv_serv_block_subhead* data;  // malloc'd, owned
};

// The legacy reader has no time tolerance setter, no by-time fix and no
// per-channel dumps.
class ZORV_EXPORT zorv_daq_reader : public zorv::reader<zorv::layout_legacy> {
public:
    using reader::reader;
    int set_time_diff(const time_stamp*) = delete;
    time_stamp* get_time_diff() = delete;
    bool is_by_time_fix() const = delete;
    void set_by_time_fix(bool) = delete;
    void print_channel_event_headers(const char*, const char*) = delete;
    void print_channel_server_block_headers(const char*, const char*) = delete;
    void print_channel_channel_headers(const char*, const char*) = delete;
    void print_channel_channel(const char*, const char*) = delete;
};

#endif
