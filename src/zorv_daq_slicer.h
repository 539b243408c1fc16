// Slicer of the legacy layout: many channels over many files served as one
// stream of events.
#ifndef ZORV_DAQ_SLICER_H
#define ZORV_DAQ_SLICER_H

#include "zorv_export.h"
#include "zorv_slicer_core.h"

using get_tables_task = zorv::tables_task<zorv::layout_legacy>;

class ZORV_EXPORT zorv_daq_slicer : public zorv::slicer<zorv::layout_legacy> {
public:
    using slicer::slicer;
};

// Entry of the (detached) table thread; 0 after an orderly end, 1 after a
// table set failed to load.
ZORV_EXPORT int get_table_thread(get_tables_task* task);

#endif
