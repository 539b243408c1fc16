// Subcommands of the zorv-daq program. Each subcommand lives in its own file
// and registers itself with ZORV_CLI_COMMAND(fn), where fn(CLI::App& app)
// adds the subcommand to `app` (app.add_subcommand(...)) and sets its
// callback. main.cpp never needs editing to add a subcommand.
//
// A callback reports failure by throwing CLI::RuntimeError(exit_code) after
// printing its message on standard error.
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

// Adds the subcommand `name`: its options fill the shared `o`, and once the
// command line is parsed `run` runs with them. Returns the subcommand, for
// its options.
template <class O>
CLI::App* add_subcommand_with(CLI::App& app, const std::shared_ptr<O>& o, const char* name,
                              const std::string& about, void (*run)(const O&)) {
    CLI::App* sub = app.add_subcommand(name, about);
    sub->callback([o, run]() { run(*o); });
    return sub;
}

// The DAQ raw files a subcommand reads, one at least.
inline void add_files_argument(CLI::App* sub, std::vector<std::string>* files) {
    sub->add_option("files", *files, "DAQ raw files")->required();
}

}  // namespace zorv_cli

#define ZORV_CLI_COMMAND(fn)                                                         \
    namespace {                                                                      \
    [[maybe_unused]] const bool zorv_cli_registered_##fn = zorv_cli::add_command(fn, #fn); \
    }

#endif
