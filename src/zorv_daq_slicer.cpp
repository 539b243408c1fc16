#include "zorv_daq_slicer.h"

#include "zorv_slicer_core_impl.h"

template class zorv::slicer<zorv::layout_legacy>;

int get_table_thread(get_tables_task* task) {
    return task ? zorv::slicer<zorv::layout_legacy>::table_thread(task) : 1;
}
