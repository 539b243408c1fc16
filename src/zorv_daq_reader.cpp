#include "zorv_daq_reader.h"

#include "zorv_reader_core_impl.h"
#include "zorv_reader_discovery_impl.h"

template class zorv::reader<zorv::layout_legacy>;
