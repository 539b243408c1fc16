// Legacy-layout table set and channel reader.
#include "zorv_daq_read_chan.h"

#include "zorv_table_set_impl.h"

// ===== table set (legacy layout) =====

template class zorv::table_set<zorv::layout_legacy>;

// ===== end of table set =====

// ===== channel reader and decompression workers (legacy layout) =====

// ===== end of channel reader =====
