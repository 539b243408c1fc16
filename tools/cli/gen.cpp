// zorv-daq gen: writes a synthetic run (placeholder).
#include "commands.h"

namespace {
void register_gen(CLI::App& app) {
    app.add_subcommand("gen", "write a synthetic run");
}
}  // namespace
ZORV_CLI_COMMAND(register_gen)
