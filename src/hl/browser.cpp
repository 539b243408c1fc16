// Channel browser: the channel dictionary of one legacy file, read through a
// private reader that is never started.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "zorv_daq_data.h"
#include "zorv_daq_reader.h"

namespace {

// Bit number b (0..29) of a mask that is exactly 1 << b; 0 for any other mask.
int single_bit(int mask) {
    for (int b = 0; b < 30; ++b)
        if (uint32_t(mask) == (1u << b)) return b;
    return 0;
}

}  // namespace

zorv_daq_browser::~zorv_daq_browser() { Clean(); }

int zorv_daq_browser::Init(char* filename) {
    if (!filename) {
        std::cerr << "zorv_daq_browser::Init: no input filename" << std::endl;
        return -1;
    }
    const size_t len = std::strlen(filename);
    if (len < 2) {
        std::cerr << "zorv_daq_browser::Init: wrong filename len= " << len << std::endl;
        return -2;
    }
    // A browser initialised again without Clean starts over with a fresh
    // reader: nothing of the previous file's tables stays loaded or leaks.
    Clean();
    FileName = strdup(filename);
    Reader = new zorv_daq_reader();
    Status = 1;
    return 0;
}

int zorv_daq_browser::GetNchan() {
    if (Status != 1) {
        std::cerr << "zorv_daq_browser::GetNchan: wrong Status " << Status << std::endl;
        return -1;
    }
    int n = 0;
    if (Reader->get_number_of_channels(FileName, &n, 0) != 0) return -2;
    return n;
}

char* zorv_daq_browser::GetChanName(int ich, int* num, int* evtype, int* dtype) {
    if (Status != 1) {
        std::cerr << "zorv_daq_browser::GetNchan: wrong Status " << Status << std::endl;
        return nullptr;
    }
    int count = 0;
    char* name = Reader->get_channel_name(ich, &count, evtype, dtype);
    if (num) *num = count;
    return name && count >= 1 ? name : nullptr;
}

void zorv_daq_browser::ListChan() {
    if (Status != 1) {
        std::cerr << "zorv_daq_browser::ListChan: wrong Status " << Status << std::endl;
        return;
    }
    Reader->print_all_channels(FileName);
}

void zorv_daq_browser::PrintChan() {
    if (Status != 1) {
        std::cerr << "zorv_daq_browser::PrintChan: wrong Status " << Status << std::endl;
        return;
    }
    const int n = GetNchan();
    int count = 0;
    for (int ich = 0; ich < n; ++ich) {
        int num = 0, evtype = 0, dtype = 0;
        const char* name = GetChanName(ich, &num, &evtype, &dtype);
        if (num < 1 || !name) continue;
        std::printf("%d-%d %d  evtype: %d mask: %xd dtype: %d mask:%x %s\n", count, ich, num,
                    single_bit(evtype), unsigned(evtype), single_bit(dtype), unsigned(dtype),
                    name);
        ++count;
    }
    std::printf("collected %d-%d channels\n", count, n);
    std::fflush(stdout);
}

void zorv_daq_browser::Clean() {
    std::free(FileName);
    FileName = nullptr;
    if (Reader) {
        Reader->clean_up();
        delete Reader;
        Reader = nullptr;
    }
    Status = 0;
}
