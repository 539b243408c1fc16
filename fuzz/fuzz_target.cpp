// One libFuzzer target per library fuzz entry: the build names the entry in
// ZORV_FUZZ_ENTRY (zorv_fuzz_<target>).
#include "zorv_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZORV_FUZZ_ENTRY(data, size);
    return 0;
}
