// The zorv-daq program: one command with subcommands (see commands.h).
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"

namespace zorv_cli {
namespace {

std::vector<std::pair<std::string, register_fn>>& registry() {
    static std::vector<std::pair<std::string, register_fn>> r;
    return r;
}

}  // namespace

bool add_command(register_fn fn, const char* name) {
    registry().emplace_back(name, fn);
    return true;
}

void register_all(CLI::App& app) {
    auto& r = registry();
    std::sort(r.begin(), r.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& entry : r) entry.second(app);
}

}  // namespace zorv_cli

int main(int argc, char** argv) {
    CLI::App app{"zorv-daq: reads, inspects and writes DAQ raw files"};
    app.require_subcommand(1);
    zorv_cli::register_all(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        // A command line that cannot be parsed is bad input (status 2); the
        // subcommands end with their own status through CLI::RuntimeError.
        if (rc != 0 && !dynamic_cast<const CLI::RuntimeError*>(&e)) return 2;
        return rc;
    }
    return 0;
}
