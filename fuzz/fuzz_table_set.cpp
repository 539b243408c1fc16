#include "zorv_daq_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zorv_fuzz_table_set(data, size);
    return 0;
}
