#include "zorv_daq_reader_2010.h"

#include "zorv_reader_core_impl.h"
#include "zorv_reader_discovery_impl.h"

template class zorv::reader<zorv::layout_current>;

const char* zorv_daq_chan_state_word(int state) {
    static const char* const words[] = {"fresh", "carried", "no entry", "not in file", "damaged", "file skipped"};
    if (state < 0 || state >= static_cast<int>(sizeof words / sizeof words[0])) return "unknown";
    return words[state];
}
