// zorv-daq gen: writes a synthetic run (or the built-in sample run).
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>

#include "commands.h"
#include "zorv_daq_writer.h"

namespace {

struct gen_options {
    bool sample = false;
    std::string dir = ".";
    std::string cdir;
    std::string layout = "current";
    std::string comp = "none";
    std::string channels = "minimal";
    std::string start;
    int slow_every = 0;
    zorv::synthetic_run_config cfg;
};

// "1286193600" or "20101004T120000" (UTC).
bool parse_start(const std::string& s, uint32_t* out) {
    struct tm tmv {};
    if (s.size() == 15 && s[8] == 'T' &&
        std::sscanf(s.c_str(), "%4d%2d%2dT%2d%2d%2d", &tmv.tm_year, &tmv.tm_mon, &tmv.tm_mday,
                    &tmv.tm_hour, &tmv.tm_min, &tmv.tm_sec) == 6) {
        tmv.tm_year -= 1900;
        tmv.tm_mon -= 1;
        time_t t = timegm(&tmv);
        if (t < 0 || t > 0xFFFFFFFFll) return false;
        *out = static_cast<uint32_t>(t);
        return true;
    }
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    if (s.empty() || *end || v > 0xFFFFFFFFull) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

int run_gen(gen_options& o) {
    const zorv::file_layout layout =
        o.layout == "legacy" ? zorv::file_layout::legacy : zorv::file_layout::current;
    std::vector<std::string> files;
    std::string err;
    int rc;
    if (o.sample) {
        rc = zorv::write_sample_run(o.dir, layout, &files, &err);
    } else {
        zorv::synthetic_run_config& cfg = o.cfg;
        cfg.dir = o.dir;
        cfg.catalog_dir = o.cdir.empty() ? o.dir + "/catalog" : o.cdir;
        cfg.layout = layout;
        static const std::map<std::string, zorv::compression> comps = {
            {"none", zorv::compression::none},
            {"zlib", zorv::compression::zlib},
            {"lzo", zorv::compression::lzo}};
        cfg.comp = comps.at(o.comp);
        if (!o.start.empty() && !parse_start(o.start, &cfg.start_time)) {
            std::cerr << "gen: bad start time \"" << o.start
                      << "\" (seconds or YYYYMMDDTHHMMSS, UTC)\n";
            return 2;
        }
        if (zorv::synthetic_channels(o.channels, layout, &cfg.channels, &err) != 0) {
            std::cerr << "gen: " << err << "\n";
            return 2;
        }
        if (o.slow_every > 0)
            for (auto& c : cfg.channels)
                if (c.event_type != ZORV_EV_NORMAL) c.every = o.slow_every;
        rc = zorv::write_synthetic_run(cfg, &files, &err);
    }
    if (rc != 0) {
        std::cerr << "gen: " << err << "\n";
        return 1;
    }
    for (const auto& f : files) std::cout << f << "\n";
    return 0;
}

void register_gen(CLI::App& app) {
    auto o = std::make_shared<gen_options>();
    CLI::App* sub = app.add_subcommand(
        "gen", "write a synthetic run (files, run catalogue entry); the same seed gives the same bytes");
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
    sub->add_option("--start", o->start, "time of the first event: seconds or YYYYMMDDTHHMMSS (UTC)");
    sub->add_option("-r,--run", o->cfg.run, "run number")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    sub->add_option("--first-event", o->cfg.first_event, "number of the first event")
        ->capture_default_str();
    sub->add_option("--exp", o->cfg.experiment, "experiment name")->capture_default_str();
    sub->add_option("--stream", o->cfg.stream, "stream name")->capture_default_str();
    sub->add_option("-c,--channels", o->channels,
                    "channel preset (minimal, bpm, sample) or \"name dtype [comp=zlib|lzo|none "
                    "server=S ndata=N groups=G every=K evtype=E missing=1,3]; ...\"")
        ->capture_default_str();
    sub->add_option("--gap-every", o->cfg.gap_every, "leave an event-number gap after every N events")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--gap-size", o->cfg.gap_size, "event numbers skipped at each gap")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--slow-every", o->slow_every,
                    "slow channels (not on normal events) update every N events")
        ->check(CLI::PositiveNumber);
    sub->add_option("--seed", o->cfg.seed, "seed of the synthetic values")->capture_default_str();
    sub->callback([o]() {
        int rc = run_gen(*o);
        if (rc != 0) throw CLI::RuntimeError(rc);
    });
}

}  // namespace

ZORV_CLI_COMMAND(register_gen)
