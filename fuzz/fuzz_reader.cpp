#include "zorv_daq_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zorv_fuzz_reader(data, size);
    return 0;
}
