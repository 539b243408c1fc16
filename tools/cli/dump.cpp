// zorv-daq dump: the library's text dumps of one channel of one file: its
// event headers, server-block headers, channel headers or decoded data.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "cli_common.h"
#include "commands.h"
#include "inspect.h"
#include "select.h"
#include "zorv_daq_data.h"

namespace {

using namespace zorv_cli;

struct dump_options {
    std::string file;
    std::string channel;
    std::string what = "data";
};

// The channel reader's printer for each --what.
template <class L>
void print(zorv::read_chan<L>& r, const std::string& what) {
    using printer = void (zorv::read_chan<L>::*)();
    static const std::map<std::string, printer> printers = {
        {"events", &zorv::read_chan<L>::print_event_headers},
        {"servers", &zorv::read_chan<L>::print_server_block_headers},
        {"headers", &zorv::read_chan<L>::print_channel_headers},
        {"data", &zorv::read_chan<L>::print_channel},
    };
    (r.*printers.at(what))();
}

// Every entry of the channel through the event decoder's dumps: the event
// header, then the channel's headers and its values (each member's first
// samples, slow and name/value values, image sizes).
template <class L>
void print_values(zorv::read_chan<L>& r) {
    for (int i = 0; i < r.out_total; ++i) {
        std::vector<zorv_channel_entry_long*> one{&r.out[i]};
        zorv_daq_getdata g;
        if (!r.out[i].sbchdata[0].chhd || g.SetRes(&one) <= 0) {
            std::printf("entry %d of event %u cannot be decoded\n", i, r.out[i].event_id.event_number);
            continue;
        }
        g.PrintEvent();
        g.PrintProp(0);
        std::fflush(stdout);
    }
}

// Entries whose block could not be decoded (they have no headers).
template <class L>
int damaged_entries(const zorv::read_chan<L>& r) {
    int n = 0;
    for (int i = 0; i < r.out_total; ++i) n += !r.out[i].sbchdata[0].chhd;
    return n;
}

void run_dump(const dump_options& o) {
    separate_data_output();
    inspect_file("dump", o.file, [&](auto& f) {
        using L = typename std::decay_t<decltype(f)>::layout_type;
        const std::vector<known_channel> known = known_channels({o.file}, f.layout);
        std::vector<chosen_channel> chosen;
        std::string why;
        if (o.channel.find_first_of("*?[;") != std::string::npos)
            fail("dump", exit_bad_input, "bad channel \"" + o.channel + "\" (NAME or NAME:MEMBER)");
        if (!choose_channels({o.channel}, known, &chosen, &why)) fail("dump", exit_bad_input, why);
        const chosen_channel& c = chosen.front();
        decoded_channel<L> ch(&f.tables, c.channel->name, c.member);
        if (const int rc = ch.start())
            fail("dump", exit_problems,
                 "channel " + c.channel->name + " cannot be read (status " + std::to_string(rc) + ")");
        with_library_on_data([&] {
            if (o.what == "data") print_values(ch.reader());
            else print(ch.reader(), o.what);
        });
        if (const int n = damaged_entries(ch.reader()))
            fail("dump", exit_problems, "channel " + c.key + ": " + std::to_string(n) + " damaged entries");
    });
}

void add_dump_options(CLI::App* sub, dump_options* o) {
    sub->add_option("file", o->file, "DAQ raw file")->required();
    sub->add_option("channel", o->channel, "channel NAME, or NAME:MEMBER (member name or number)")->required();
    sub->add_option("--what", o->what,
                    "events: event headers; servers: server-block headers; headers: channel "
                    "headers; data: each entry's headers and values")
        ->check(CLI::IsMember({"events", "servers", "headers", "data"}))
        ->capture_default_str();
}

}  // namespace

ZORV_CLI_COMMAND(dump,
                 "print one channel of a DAQ file with the library's dumps",
                 add_dump_options, run_dump)
