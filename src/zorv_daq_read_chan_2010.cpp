// Current-layout (_2010) table set and channel reader.
#include "zorv_daq_read_chan_2010.h"

#include "zorv_table_set_impl.h"

// ===== table set (current layout) =====

template class zorv::table_set<zorv::layout_current>;

// ===== end of table set =====

// ===== channel reader and decompression workers (current layout) =====

#include "zorv_read_chan_core_impl.h"

template class zorv::read_chan<zorv::layout_current>;

extern "C" void* unzip_thread_2010(void* prm) {
    return zorv::read_chan<zorv::layout_current>::worker_main(prm);
}

// ===== end of channel reader =====
