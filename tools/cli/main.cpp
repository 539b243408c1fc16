// The zorv-daq program: one command with subcommands (see commands.h).
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli_common.h"
#include "commands.h"
#include "select.h"

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

namespace {

// A first word that names no subcommand (a typing error, mostly) is refused
// with the closest subcommand, instead of the parser's "A subcommand is
// required". Returns true when it refused.
bool refuse_unknown_subcommand(const CLI::App& app, int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') return false;
    const std::string word = argv[1];
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands({})) names.push_back(sub->get_name());
    if (std::find(names.begin(), names.end(), word) != names.end()) return false;
    const std::vector<std::string> close = zorv_cli::closest_names(word, names);
    std::fprintf(stderr, "zorv-daq: unknown subcommand '%s'", word.c_str());
    if (!close.empty()) std::fprintf(stderr, "; did you mean '%s'?", close.front().c_str());
    std::fprintf(stderr, "\nRun with --help for the subcommands.\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zorv-daq: reads, inspects and writes DAQ raw files"};
    app.set_version_flag("--version", std::string("zorv-daq ") + ZORV_DAQ_VERSION);
    app.require_subcommand(1);
    zorv_cli::register_all(app);
    if (refuse_unknown_subcommand(app, argc, argv)) return zorv_cli::exit_bad_input;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help, version and the subcommands' own endings (CLI::RuntimeError,
        // message already given) go through the parser's exit.
        const bool own = dynamic_cast<const CLI::RuntimeError*>(&e) || dynamic_cast<const CLI::CallForHelp*>(&e) ||
                         dynamic_cast<const CLI::CallForAllHelp*>(&e) || dynamic_cast<const CLI::CallForVersion*>(&e);
        if (own) return app.exit(e);
        // A command line that cannot be parsed is bad input, said like every
        // other message of the subcommand.
        const std::string sub = argc > 1 && argv[1][0] != '-' ? std::string(" ") + argv[1] : std::string();
        std::fprintf(stderr, "zorv-daq%s: %s\nRun 'zorv-daq%s --help' for more information.\n", sub.c_str(),
                     e.what(), sub.c_str());
        return zorv_cli::exit_bad_input;
    }
    return 0;
}
