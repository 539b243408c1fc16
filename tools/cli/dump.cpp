// zorv-daq dump: the library's text dumps of one channel of one file: its
// event headers, server-block headers, channel headers or decoded data.
#include <map>
#include <memory>
#include <string>

#include "cli_common.h"
#include "commands.h"
#include "inspect.h"

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

void run_dump(const dump_options& o) {
    separate_data_output();
    std::string name;
    int subchan = -1;
    if (!split_channel(o.channel, &name, &subchan))
        fail("dump", exit_bad_input, "bad channel \"" + o.channel + "\" (NAME or NAME:SUB)");
    inspect_file("dump", o.file, [&](auto& f) {
        if (f.find_channel(name) < 0)
            fail("dump", exit_bad_input, "channel " + name + " not found in " + o.file);
        decoded_channel<typename std::decay_t<decltype(f)>::layout_type> ch(&f.tables, name, subchan);
        if (const int rc = ch.start())
            fail("dump", exit_problems, "channel " + name + " cannot be read (status " + std::to_string(rc) + ")");
        with_library_on_data([&] { print(ch.reader(), o.what); });
    });
}

void register_dump(CLI::App& app) {
    auto o = std::make_shared<dump_options>();
    CLI::App* sub = app.add_subcommand("dump", "print one channel of a DAQ file with the library's dumps");
    sub->add_option("file", o->file, "DAQ raw file")->required();
    sub->add_option("channel", o->channel, "channel name, NAME or NAME:SUB")->required();
    sub->add_option("--what", o->what,
                    "events: event headers; servers: server-block headers; headers: channel "
                    "headers; data: decoded data")
        ->check(CLI::IsMember({"events", "servers", "headers", "data"}))
        ->capture_default_str();
    sub->callback([o]() { run_dump(*o); });
}

}  // namespace

ZORV_CLI_COMMAND(register_dump)
