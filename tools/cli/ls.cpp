// zorv-daq ls: the channels of one file, with their entries, data types,
// event types and, where the file describes them, property names and units.
#include <memory>
#include <string>

#include "cli_common.h"
#include "commands.h"
#include "decode.h"
#include "inspect.h"

namespace {

using namespace zorv_cli;

struct ls_options {
    std::string file;
    table_flags table;
};

template <class L>
json channel_record(const open_file<L>& f, int i, file_layout lay) {
    const auto& e = f.channel(i);
    const std::string name = f.channel_name(i);
    const chan_descr_2010* d = f.description(name);
    json types = json::array();
    for (int t : mask_types(e.dtype_mask, lay, d ? int(d->dtype) : 0)) types.push_back(type_name(t));
    json r = {{"name", name},
              {"key", e.key},
              {"entries", e.count},
              {"dtypes", types},
              {"event_types", event_type_names(e.ev_mask)}};
    if (d) {
        r["prop_name"] = d->prop_name;
        r["units"] = d->units;
    }
    return r;
}

void run_ls(const ls_options& o) {
    separate_data_output();
    inspect_file("ls", o.file, [&](auto& f) {
        record_writer out(o.table.format(), {"name", "key", "entries", "dtypes", "event_types", "prop_name", "units"});
        for (int i = 0; i < f.channel_count(); ++i) out.write(channel_record(f, i, f.layout));
    });
}

void add_ls_options(CLI::App* sub, ls_options* o) {
    sub->add_option("file", o->file, "DAQ raw file")->required();
    add_table_flags(sub, &o->table);
}

}  // namespace

ZORV_CLI_COMMAND(ls,
                 "list the channels of a DAQ file (either layout)",
                 add_ls_options, run_ls)
