// Diagnostics of zorv::reader<L>: the file and channel lists, a file's event
// index table, and the per-channel dumps of one file's event headers,
// server-block headers, channel headers and channel data. The dumps open the
// file with the reader's own table set and a private channel reader, apart
// from any running slicer.

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "event_util.h"
#include "core/reader_parts.h"
#include "zorv_read_chan_core.h"

namespace zorv {
namespace diagnostics_detail {

// Prints one event-type entry as a table of its own, so that the library's
// table printer shows exactly that entry.
inline void print_eit_entry(uint32_t pattern, const zorv_event_index_entry* e) {
    const size_t n = offsetof(zorv_event_index_table_2010, entry) + static_cast<size_t>(e->length);
    std::unique_ptr<unsigned char, void (*)(void*)> buf(
        static_cast<unsigned char*>(std::calloc(1, n)), std::free);
    if (!buf) return;
    auto* one = reinterpret_cast<zorv_event_index_table_2010*>(buf.get());
    one->pattern = pattern;
    one->nevent_types = 1;
    std::memcpy(one->entry, e, static_cast<size_t>(e->length));
    print_zorv_event_index_table(one);
}

}  // namespace diagnostics_detail

template <class L>
void reader<L>::print_files() {
    std::printf("========== READER files ==============\n");
    for (size_t i = 0; i < files.size(); ++i) std::printf("[%d] %s\n", static_cast<int>(i + 1), files[i]);
    std::printf("========== READER files END ==========\n");
}

template <class L>
void reader<L>::print_channels() {
    std::printf("========== READER channels ==============\n");
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& c = results[i]->chan;
        const int pos = static_cast<int>(i + 1);
        if (c.nname[0])
            std::printf("[%d] %s:%d -> %s\t", pos, c.name, c.subchan, c.nname);
        else
            std::printf("[%d] %s:%d\t", pos, c.name, c.subchan);
        L::text::print_params(c.prms);
    }
    std::printf("========== READER channels END ==========\n");
}

template <class L>
int reader<L>::print_event_index_table(const char* file, int type) {
    if (!file || !*file) return set_error(ZORV_DAQ_READER_INV_PARAM);
    get_tables.clean_up();
    int rc = add_file(file, true);
    if (rc != 0) return rc;
    char* listed = nullptr;
    for (char* p : files)
        if (std::strstr(p, file)) {
            listed = p;
            break;
        }
    if (!listed) return ZORV_DAQ_READER_INTERN_ERROR;
    std::string path = listed;
    rc = get_tables.get_all_tables(&path[0], 0, nullptr);
    remove_file(path.c_str());
    // The table set stays loaded for later inspection, but its name would
    // outlive `path`.
    get_tables.file_name = nullptr;
    if (rc != 0) return set_error(ZORV_DAQ_READER_NO_DATA);
    const auto* eit = get_tables.eit_tab;
    if (!eit) {
        std::printf("No event index table\n");
        return set_error(ZORV_DAQ_READER_INTERN_ERROR);
    }
    if (eit->pattern != L::pattern_eit) {
        std::printf("Wrong pattern for index table\n");
        return set_error(ZORV_DAQ_READER_INTERN_ERROR);
    }
    if (eit->nevent_types <= 0) {
        std::printf("No events in event index table\n");
        return set_error(ZORV_DAQ_READER_NO_DATA);
    }
    reader_detail::any_eit_entry(eit, [&](const zorv_event_index_entry* e) {
        if (type < 0 || type == e->event_type)
            diagnostics_detail::print_eit_entry(eit->pattern, e);
        return false;
    });
    return set_error(ZORV_DAQ_READER_OK);
}

namespace diagnostics_detail {

// Opens `file` through the reader's file list and table set, runs a private
// channel reader on `channel` and prints with it. The reader's own channel
// list is left as it is; the table set is emptied afterwards, so that it
// keeps no pointer into this function's strings. `print` is the channel
// reader's printer to call.
template <class L>
void dump_channel(reader<L>& r, const char* op, const char* file, const char* channel,
                  void (read_chan<L>::*print)()) {
    const char* cls = L::text::reader;
    if (!file || !*file || !channel) {
        std::printf("%s::%s() check input parameters\n", cls, op);
        return;
    }
    r.get_tables.clean_up();
    if (r.add_file(file, true) != 0) {
        std::printf("%s::%s() check if file: %s accesible\n", cls, op, file);
        return;
    }
    const char* listed = nullptr;
    for (const char* p : r.files)
        if (std::strstr(p, file)) {
            listed = p;
            break;
        }
    if (!listed) {
        std::printf("%s::%s() something wrong with file: %s\n", cls, op, file);
        return;
    }
    std::string path = listed;
    std::string name = channel;
    std::vector<char*> wanted{&name[0]};
    int rc = r.get_tables.get_all_tables(&path[0], 0, &wanted);
    r.remove_file(file);
    typename L::cdt_entry* entry = nullptr;
    if (rc != 0 || L::find_channel_by_name(r.get_tables.get_cdt_table(), &name[0], &entry) < 0) {
        std::printf("%s::%s() channel: %s not found in file: %s\n", cls, op, channel, file);
        r.get_tables.clean_up();
        return;
    }
    {
        read_chan<L> rd(&r.get_tables, &name[0], -1, nullptr);
        if (rd.start(nullptr, nullptr, nullptr) != 0) {
            std::printf("%s::%s() failed to initialize channel: %s\n", cls, op, channel);
        } else {
            rd.wait_decoded();
            (rd.*print)();
        }
    }
    r.get_tables.clean_up();
}

}  // namespace diagnostics_detail

namespace diagnostics_detail {

// The per-channel dumps, by reader<L>::channel_part: the public call's name
// for the messages and the channel reader's printer.
template <class L>
struct channel_dump {
    const char* op;
    void (read_chan<L>::*print)();
};
template <class L>
constexpr channel_dump<L> channel_dumps[] = {
    {"print_channel_event_headers", &read_chan<L>::print_event_headers},
    {"print_channel_server_block_headers", &read_chan<L>::print_server_block_headers},
    {"print_channel_channel_headers", &read_chan<L>::print_channel_headers},
    {"print_channel_channel", &read_chan<L>::print_channel},
};

}  // namespace diagnostics_detail

template <class L>
void reader<L>::print_channel_part(channel_part part, const char* file, const char* channel) {
    const auto& d = diagnostics_detail::channel_dumps<L>[static_cast<int>(part)];
    diagnostics_detail::dump_channel(*this, d.op, file, channel, d.print);
}

// Out of line, so that the library keeps exporting them.
template <class L>
void reader<L>::print_channel_event_headers(const char* file, const char* channel) {
    print_channel_part(channel_part::event_headers, file, channel);
}

template <class L>
void reader<L>::print_channel_server_block_headers(const char* file, const char* channel) {
    print_channel_part(channel_part::server_block_headers, file, channel);
}

template <class L>
void reader<L>::print_channel_channel_headers(const char* file, const char* channel) {
    print_channel_part(channel_part::channel_headers, file, channel);
}

template <class L>
void reader<L>::print_channel_channel(const char* file, const char* channel) {
    print_channel_part(channel_part::channel, file, channel);
}

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_READER_DIAGNOSTICS(L) \
    template void reader<L>::print_files(); \
    template void reader<L>::print_channels(); \
    template int reader<L>::print_event_index_table(const char* file, int type); \
    template void reader<L>::print_channel_part(channel_part part, const char* file, const char* channel); \
    template void reader<L>::print_channel_event_headers(const char* file, const char* channel); \
    template void reader<L>::print_channel_server_block_headers(const char* file, const char* channel); \
    template void reader<L>::print_channel_channel_headers(const char* file, const char* channel); \
    template void reader<L>::print_channel_channel(const char* file, const char* channel);
ZORV_READER_DIAGNOSTICS(layout_current)
ZORV_READER_DIAGNOSTICS(layout_legacy)
#undef ZORV_READER_DIAGNOSTICS


}  // namespace zorv
