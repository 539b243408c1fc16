// Legacy-layout table set and channel reader, and the block decompressors
// make_zlib and make_lzo shared by both layouts.
#ifndef ZORV_DAQ_READ_CHAN_H
#define ZORV_DAQ_READ_CHAN_H

#include "event_util.h"
#include "zorv_export.h"
#include "zorv_layout.h"

// ===== block decompression =====

// ===== end of block decompression =====

// ===== table set (legacy layout) =====

// ===== end of table set =====

// ===== channel reader and decompression workers (legacy layout) =====

#include "zorv_read_chan_core.h"

class ZORV_EXPORT zorv_daq_read_chan : public zorv::read_chan<zorv::layout_legacy> {
public:
    using read_chan::read_chan;
};

// Entry function of a decompression worker; `prm` is the channel reader.
extern "C" ZORV_EXPORT void* unzip_thread(void* prm);

// ===== end of channel reader =====

#endif
