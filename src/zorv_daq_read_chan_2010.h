// Current-layout (_2010) table set and channel reader.
#ifndef ZORV_DAQ_READ_CHAN_2010_H
#define ZORV_DAQ_READ_CHAN_2010_H

#include "event_util.h"
#include "zorv_export.h"
#include "zorv_layout.h"

// ===== table set (current layout) =====

// ===== end of table set =====

// ===== channel reader and decompression workers (current layout) =====

// ===== end of channel reader =====

#endif
