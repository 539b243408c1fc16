// zorv-daq gen: writes a synthetic run (or the built-in sample run).
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "cli_common.h"
#include "event_util.h"
#include "commands.h"
#include "zorv_daq_writer.h"

namespace {

using namespace zorv_cli;

struct gen_options {
    bool sample = false;
    std::string dir = ".";
    std::string cdir;
    std::string layout = "current";
    std::string comp = "none";
    std::string channels = "minimal";
    std::string start;
    int slow_every = 0;
    bool force = false;
    zorv::synthetic_run_config cfg;
};

// The start time in any form `read --from` takes, in whole seconds.
bool parse_start(const std::string& text, uint32_t* out) {
    time_stamp t{};
    if (!parse_time(text, &t) || t.timelow != 0) return false;
    *out = t.timeup;
    return true;
}

// The files and the catalogue entry the run would write; those that exist.
std::vector<std::string> existing_run(const zorv::synthetic_run_config& cfg) {
    std::vector<std::string> paths;
    for (int n = 1; n <= cfg.files; ++n) paths.push_back(cfg.dir + "/" + zorv::synthetic_file_name(cfg, n));
    if (!cfg.catalog_dir.empty())
        paths.push_back(cfg.catalog_dir + "/" + cfg.experiment + "/run" + std::to_string(cfg.run) + ".xml");
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& p : paths)
        if (std::filesystem::exists(p, ec)) found.push_back(p);
    return found;
}

zorv::synthetic_run_config run_config(gen_options& o, zorv::file_layout layout) {
    if (o.sample) return zorv::sample_run_config(o.dir, layout);
    zorv::synthetic_run_config& cfg = o.cfg;
    cfg.dir = o.dir;
    cfg.catalog_dir = o.cdir.empty() ? o.dir + "/catalog" : o.cdir;
    cfg.layout = layout;
    static const std::map<std::string, zorv::compression> comps = {
        {"none", zorv::compression::none}, {"zlib", zorv::compression::zlib}, {"lzo", zorv::compression::lzo}};
    cfg.comp = comps.at(o.comp);
    if (!o.start.empty() && !parse_start(o.start, &cfg.start_time))
        fail("gen", exit_bad_input,
             "bad start time \"" + o.start + "\" (seconds, YYYYMMDDTHHMMSS or YYYY-MM-DDTHH:MM:SS[Z|+HH:MM])");
    // A request names the experiment and stream in fields of their own: a
    // run whose names do not fit them could be written but never found.
    const zorv_daq_request req{};
    const struct {
        const char* option;
        const std::string& text;
        size_t field;
    } names[] = {{"--exp", cfg.experiment, sizeof req.exp_name}, {"--stream", cfg.stream, sizeof req.stream_name}};
    for (const auto& n : names)
        if (n.text.size() >= n.field)
            fail("gen", exit_bad_input,
                 std::string(n.option) + " \"" + n.text + "\" is too long (at most " + std::to_string(n.field - 1) +
                     " characters)");
    std::string err;
    if (zorv::synthetic_channels(o.channels, layout, &cfg.channels, &err) != 0) fail("gen", exit_bad_input, err);
    if (o.slow_every > 0)
        for (auto& c : cfg.channels)
            if (c.event_type != ZORV_EV_NORMAL) c.every = o.slow_every;
    return cfg;
}

void run_gen(gen_options& o) {
    const zorv::file_layout layout = o.layout == "legacy" ? zorv::file_layout::legacy : zorv::file_layout::current;
    const zorv::synthetic_run_config cfg = run_config(o, layout);
    const std::vector<std::string> existing = existing_run(cfg);
    if (!existing.empty() && !o.force)
        fail("gen", exit_bad_input,
             existing.front() + " exists (" + std::to_string(existing.size()) +
                 " file(s) of this run); give --force to overwrite the run");
    std::vector<std::string> files;
    std::string err;
    const int rc = o.sample ? zorv::write_sample_run(o.dir, layout, &files, &err)
                            : zorv::write_synthetic_run(cfg, &files, &err);
    if (rc != 0) fail("gen", exit_problems, err);
    for (const auto& f : files) std::cout << f << "\n";
}

void add_gen_options(CLI::App* sub, gen_options* o) {
    sub->add_flag("--sample", o->sample,
                  "write the built-in sample run (3 files of 50 events, every payload kind)");
    sub->add_option("-o,--dir", o->dir, "output directory")->capture_default_str();
    sub->add_option("--cdir", o->cdir, "run catalogue directory (default: <dir>/catalog)");
    sub->add_option("--layout", o->layout, "file layout")
        ->check(CLI::IsMember({"current", "legacy"}))
        ->capture_default_str();
    sub->add_option("-z,--compression", o->comp, "compression of channels that do not set one")
        ->check(CLI::IsMember({"none", "zlib", "lzo"}))
        ->capture_default_str();
    sub->add_option("-f,--files", o->cfg.files, "number of files")
        ->check(CLI::Range(1, 100000))
        ->capture_default_str();
    sub->add_option("-n,--events", o->cfg.events_per_file, "events per file")
        ->check(CLI::Range(1, 10000000))
        ->capture_default_str();
    sub->add_option("--rate", o->cfg.rate_hz, "event rate in Hz")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    sub->add_option("--start", o->start, "time of the first event: seconds, YYYYMMDDTHHMMSS or YYYY-MM-DDTHH:MM:SS (UTC, or with a zone Z/+HH:MM)");
    sub->add_option("-r,--run", o->cfg.run, "run number")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    sub->add_option("--first-event", o->cfg.first_event, "number of the first event")
        ->capture_default_str();
    sub->add_option("--exp", o->cfg.experiment, "experiment name")->capture_default_str();
    sub->add_option("--stream", o->cfg.stream, "stream name")->capture_default_str();
    sub->add_option("-c,--channels", o->channels,
                    "channel preset (minimal, bpm, sample) or \"name dtype [comp=zlib|lzo|none "
                    "server=S ndata=N groups=G members=M every=K evtype=E missing=1,3 damaged=EV1,EV2]; ...\"")
        ->capture_default_str();
    sub->add_option("--gap-every", o->cfg.gap_every, "leave an event-number gap after every N events")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--gap-size", o->cfg.gap_size, "event numbers skipped at each gap")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--slow-every", o->slow_every,
                    "slow channels (not on normal events) update every N events")
        ->check(CLI::PositiveNumber);
    sub->add_option("--seed", o->cfg.seed, "seed of the synthetic values")->capture_default_str();
    sub->add_flag("--force", o->force, "overwrite the files and catalogue entry of an existing run");
}

}  // namespace

ZORV_CLI_COMMAND(gen,
                 "write a synthetic run (files, run catalogue entry); the same seed gives the same bytes",
                 add_gen_options, run_gen)
