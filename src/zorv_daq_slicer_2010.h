// Slicer of the current (_2010) layout: many channels over many files served
// as one stream of events.
#ifndef ZORV_DAQ_SLICER_2010_H
#define ZORV_DAQ_SLICER_2010_H

#include "zorv_export.h"
#include "zorv_slicer_core.h"

using get_tables_task_2010 = zorv::tables_task<zorv::layout_current>;

class ZORV_EXPORT zorv_daq_slicer_2010 : public zorv::slicer<zorv::layout_current> {
public:
    using slicer::slicer;

    // Handed to every channel reader created from now on.
    void set_by_time_fix(bool fix) { by_time_fix = fix; }
    bool is_by_time_fix() const { return by_time_fix; }
};

// Entry of the table thread: loads the table sets of the task's files into
// its slots. 0 after an orderly end, 1 after a table set failed to load.
ZORV_EXPORT int get_table_thread_2010(get_tables_task_2010* task);

#endif
