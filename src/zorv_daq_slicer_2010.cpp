#include "zorv_daq_slicer_2010.h"

#include "zorv_slicer_core_impl.h"

template class zorv::slicer<zorv::layout_current>;

int get_table_thread_2010(get_tables_task_2010* task) {
    return task ? zorv::slicer<zorv::layout_current>::table_thread(task) : 1;
}
