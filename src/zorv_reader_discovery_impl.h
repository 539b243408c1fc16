// Member definitions of zorv::reader<L> for finding the files of a request
// (run catalogue and data directory scans) and for the diagnostic printers.
// Included by the two reader units after zorv_reader_core_impl.h.
#ifndef ZORV_READER_DISCOVERY_IMPL_H
#define ZORV_READER_DISCOVERY_IMPL_H

#include "zorv_reader_core_impl.h"

namespace zorv {

// ===================== init with a request =====================

template <class L>
int reader<L>::init(zorv_daq_request* req, std::vector<daq_channel_entry*>* channels) {
    (void)req;
    (void)channels;
    return set_error(ZORV_DAQ_READER_NOT_INIT);
}

// ===================== diagnostics =====================

template <class L>
void reader<L>::print_files() {}

template <class L>
void reader<L>::print_channels() {}

template <class L>
int reader<L>::print_event_index_table(const char* file, int type) {
    (void)file;
    (void)type;
    return set_error(ZORV_DAQ_READER_NOT_INIT);
}

template <class L>
void reader<L>::print_channel_event_headers(const char* file, const char* channel) {
    (void)file;
    (void)channel;
}

template <class L>
void reader<L>::print_channel_server_block_headers(const char* file, const char* channel) {
    (void)file;
    (void)channel;
}

template <class L>
void reader<L>::print_channel_channel_headers(const char* file, const char* channel) {
    (void)file;
    (void)channel;
}

template <class L>
void reader<L>::print_channel_channel(const char* file, const char* channel) {
    (void)file;
    (void)channel;
}

}  // namespace zorv

#endif
