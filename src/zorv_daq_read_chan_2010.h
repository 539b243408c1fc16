// Current-layout (_2010) table set and channel reader.
#ifndef ZORV_DAQ_READ_CHAN_2010_H
#define ZORV_DAQ_READ_CHAN_2010_H

#include "event_util.h"
#include "zorv_daq_read_chan.h"
#include "zorv_export.h"
#include "zorv_layout.h"
#include "zorv_table_set.h"

// ===== table set (current layout) =====

// Table set of one open current-layout DAQ file.
class ZORV_EXPORT zorv_file_get_tables_2010 : public zorv::table_set<zorv::layout_current> {
public:
    using table_set::table_set;
};

// ===== end of table set =====

// ===== channel reader and decompression workers (current layout) =====

#include "zorv_read_chan_core.h"

class ZORV_EXPORT zorv_daq_read_chan_2010 : public zorv::read_chan<zorv::layout_current> {
public:
    using read_chan::read_chan;
};

// Entry function of a decompression worker; `prm` is the channel reader.
extern "C" ZORV_EXPORT void* unzip_thread_2010(void* prm);

// ===== end of channel reader =====

#endif
