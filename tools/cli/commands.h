// Subcommands of the zorv-daq program. Each subcommand lives in its own file
// and registers itself with ZORV_CLI_COMMAND(name, about, add_options, run):
// `add_options(sub, o)` declares the subcommand's options into its options
// record `o`, and once the command line is parsed `run(*o)` runs with them.
// main.cpp never needs editing to add a subcommand.
//
// A subcommand reports failure by throwing CLI::RuntimeError(exit_code)
// after printing its message on standard error.
#ifndef ZORV_CLI_COMMANDS_H
#define ZORV_CLI_COMMANDS_H

#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace zorv_cli {

using register_fn = void (*)(CLI::App&);

// Adds `fn` to the list main() runs; returns true (for static initialisers).
bool add_command(register_fn fn, const char* name);

// Calls every registered function, in the order of their names.
void register_all(CLI::App& app);

// Adds the subcommand `name`, which owns a record of its options of type O:
// `add_options` declares the options into it, and once the command line is
// parsed `run` runs with them.
template <class O, class Run>
void add_subcommand_with(CLI::App& app, const char* name, const std::string& about,
                         void (*add_options)(CLI::App*, O*), Run run) {
    auto o = std::make_shared<O>();
    CLI::App* sub = app.add_subcommand(name, about);
    add_options(sub, o.get());
    sub->callback([o, run]() { run(*o); });
}

// The DAQ raw files a subcommand reads, one at least.
inline void add_files_argument(CLI::App* sub, std::vector<std::string>* files) {
    sub->add_option("files", *files, "DAQ raw files")->required();
}

}  // namespace zorv_cli

#define ZORV_CLI_COMMAND(name, about, add_options, run)                                          \
    namespace {                                                                                  \
    [[maybe_unused]] const bool zorv_cli_registered_##name = zorv_cli::add_command(              \
        [](CLI::App& app) { zorv_cli::add_subcommand_with(app, #name, about, add_options, run); }, \
        #name);                                                                                  \
    }

#endif
