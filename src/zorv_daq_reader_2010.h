// Reader of current-layout (_2010) DAQ files: the request front end that
// selects files and channels, starts the slicer and hands out one result
// record per channel for each event.
#ifndef ZORV_DAQ_READER_2010_H
#define ZORV_DAQ_READER_2010_H

#include "event_util.h"
#include "zorv_daq_read_chan_2010.h"
#include "zorv_daq_slicer_2010.h"
#include "zorv_export.h"
#include "zorv_layout.h"
#include "zorv_reader_core.h"

// One selected channel and its data for the current event. `res` is what a
// caller receives; its first pointer set points at the copies held here
// (`evhd`, `sbhd`, and `data`: the sub-header followed by the payload).
struct zorv_daq_reader_result_entry_2010 {
    zorv_daq_chan_param_2010 chan;
    zorv_channel_entry_long res;
    zorv_eventheader evhd;
    zorv_serv_block_head_2010 sbhd;
    int32_t slow;     // 1 once an update value arrived; reported in every later event
    int32_t updated;  // 1 when filled for the current event
    zorv_serv_block_subhead_2010* data;  // malloc'd, owned
};

class ZORV_EXPORT zorv_daq_reader_2010 : public zorv::reader<zorv::layout_current> {
public:
    using reader::reader;
};

#endif
