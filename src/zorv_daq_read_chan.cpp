// Legacy-layout table set and channel reader.
#include "zorv_daq_read_chan.h"

#include "zorv_table_set_impl.h"

// ===== table set (legacy layout) =====

template class zorv::table_set<zorv::layout_legacy>;

// ===== end of table set =====

// ===== channel reader and decompression workers (legacy layout) =====

#include "zorv_read_chan_core_impl.h"

template class zorv::read_chan<zorv::layout_legacy>;

extern "C" void* unzip_thread(void* prm) {
    return zorv::read_chan<zorv::layout_legacy>::worker_main(prm);
}

// ===== end of channel reader =====
