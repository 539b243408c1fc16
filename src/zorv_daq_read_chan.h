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

// ===== end of channel reader =====

#endif
