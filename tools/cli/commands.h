// Subcommands of the zorv-daq program. Each subcommand lives in its own file
// and registers itself with ZORV_CLI_COMMAND(fn), where fn(CLI::App& app)
// adds the subcommand to `app` (app.add_subcommand(...)) and sets its
// callback. main.cpp never needs editing to add a subcommand.
//
// A callback reports failure by throwing CLI::RuntimeError(exit_code) after
// printing its message on standard error.
#ifndef ZORV_CLI_COMMANDS_H
#define ZORV_CLI_COMMANDS_H

#include <CLI/CLI.hpp>

namespace zorv_cli {

using register_fn = void (*)(CLI::App&);

// Adds `fn` to the list main() runs; returns true (for static initialisers).
bool add_command(register_fn fn, const char* name);

// Calls every registered function, in the order of their names.
void register_all(CLI::App& app);

}  // namespace zorv_cli

#define ZORV_CLI_COMMAND(fn)                                                         \
    namespace {                                                                      \
    [[maybe_unused]] const bool zorv_cli_registered_##fn = zorv_cli::add_command(fn, #fn); \
    }

#endif
