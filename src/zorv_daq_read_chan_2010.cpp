// Current-layout (_2010) table set and channel reader.
#include "zorv_daq_read_chan_2010.h"

// ===== table set (current layout) =====

// ===== end of table set =====

// ===== channel reader and decompression workers (current layout) =====

// ===== end of channel reader =====
