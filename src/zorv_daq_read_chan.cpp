// Legacy-layout table set and channel reader.
#include "zorv_daq_read_chan.h"

// ===== table set (legacy layout) =====

// ===== end of table set =====

// ===== channel reader and decompression workers (legacy layout) =====

// ===== end of channel reader =====
