// zorv-daq info: one record per file: layout, time span, events per event
// type, channels, file size, and the bytes of channel data as stored and
// once decompressed.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "be_reader.h"
#include "cli_common.h"
#include "commands.h"
#include "inspect.h"

namespace {

using namespace zorv_cli;

struct info_options {
    std::vector<std::string> files;
    table_flags table;
};

struct byte_counts {
    uint64_t stored = 0;
    uint64_t original = 0;
};

// Payload bytes of every block as stored and after decompression, read from
// the sub-headers and zip headers the event-channel pointers locate.
template <class L>
byte_counts data_bytes(const open_file<L>& f) {
    using subhead = typename L::subhead;
    byte_counts b;
    const auto* ecp = f.tables.ecp_tab;
    if (!ecp || !f.map.ok()) return b;
    zorv::be_reader r(f.map.data(), f.map.size());
    for (int c = 0; c < f.channel_count(); ++c) {
        const int count = f.channel(c).count;
        for (int i = 0; i < count && i < ecp->maxev; ++i) {
            const uint32_t chhd = ecp->chptr[size_t(c) * size_t(ecp->maxev) + size_t(i)].chhd;
            const uint32_t error = r.u32(uint64_t(chhd) + offsetof(subhead, error));
            const int32_t ldata = r.i32(uint64_t(chhd) + offsetof(subhead, ldata));
            if (error & ZORV_CHAN_ZIP_FLAG) {
                b.original += r.u32(uint64_t(chhd) + L::subhead_size + 4);
                b.stored += r.u32(uint64_t(chhd) + L::subhead_size + 8);
            } else if (ldata > L::subhead_size) {
                b.original += uint64_t(ldata - L::subhead_size);
                b.stored += uint64_t(ldata - L::subhead_size);
            }
        }
    }
    return b;
}

template <class L>
json file_record(const open_file<L>& f) {
    span s;
    json events = event_counts(f, &s);
    const byte_counts b = data_bytes(f);
    json r = {{"file", f.path}, {"layout", layout_name(f.layout)}};
    r["first"] = s.first.timeup ? json(time_text(s.first)) : json();
    r["last"] = s.last.timeup ? json(time_text(s.last)) : json();
    r["seconds"] = s.first.timeup ? (double(s.last.timeup) - s.first.timeup) +
                                        (double(s.last.timelow) - s.first.timelow) / 1e6
                                  : 0.0;
    r["events"] = events;
    r["channels"] = f.channel_count();
    r["size"] = f.map.size();
    r["compressed_bytes"] = b.stored;
    r["uncompressed_bytes"] = b.original;
    return r;
}

void run_info(const info_options& o) {
    separate_data_output();
    record_writer out(o.table.format(), {"file", "layout", "first", "last", "seconds", "events", "channels",
                              "size", "compressed_bytes", "uncompressed_bytes"});
    const int status = check_each_file("info", o.files, [&](const std::string& path) {
        return try_inspect("info", path, [&](auto& f) { out.write(file_record(f)); });
    });
    if (status) throw CLI::RuntimeError(status);
}

void add_info_options(CLI::App* sub, info_options* o) {
    add_files_argument(sub, &o->files);
    add_table_flags(sub, &o->table);
}

}  // namespace

ZORV_CLI_COMMAND(info,
                 "summarise DAQ files: layout, time span, events per event type, channels, size, and the "
                 "channel data's bytes as stored (compressed_bytes) and decompressed (uncompressed_bytes)",
                 add_info_options, run_info)
