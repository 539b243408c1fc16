// The run generator of the conservation test: a case from its seed, its
// runs written and broken, and the truth of what was written.
#include "run_generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "test_support.h"

namespace conservation {

double micros(const time_stamp& t) { return double(t.timeup) * 1e6 + t.timelow; }

// Number and time of event slot g of a run (g counts from the run's first event).
uint32_t slot_number(const zorv::synthetic_run_config& cfg, uint64_t g) {
    return cfg.first_event + uint32_t(g) + (cfg.gap_every ? uint32_t(g / uint64_t(cfg.gap_every)) * uint32_t(cfg.gap_size) : 0);
}
double slot_time_us(const zorv::synthetic_run_config& cfg, uint64_t g) {
    return double(cfg.start_time) * 1e6 + double(g) * kPeriodUs;
}

std::string conservation_case::describe() const {
    std::ostringstream d;
    d << "seed " << seed << ": " << (layout == file_layout::current ? "current" : "legacy") << ", "
      << (mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME ? "by time tol " + std::to_string(tolerance_us) + "us"
                                                 : std::string("by number"))
      << ", " << kSourceNames[int(from)] << ", channels";
    for (int c : selected) d << " " << kNames[c];
    for (const auto& r : runs) {
        d << "; run " << r.run << " at " << r.start_time << " first " << r.first_event << " files";
        for (int n : r.file_events) d << " " << n;
        d << " gaps " << r.gap_every << "/" << r.gap_size;
        for (const auto& c : r.channels) {
            if (!c.missing_files.empty()) {
                d << " " << c.name << " missing";
                for (int f : c.missing_files) d << " " << f;
            }
            if (c.offset_us) d << " " << c.name << " +" << c.offset_us << "us";
            if (c.every > 1) d << " " << c.name << " every " << c.every;
            for (uint32_t e : c.damaged_events) d << " " << c.name << " damaged@" << e;
        }
    }
    if (broken != breakage::none) d << "; file " << broken_file << " " << kBreakageNames[int(broken)];
    if (run_first) d << "; runs " << run_first << "-" << run_last;
    if (to_us > 0) d << "; window " << std::fixed << from_us / 1e6 << " to " << to_us / 1e6;
    return d.str();
}

// ---------------------------------------------------------------------------
// The run generator: a case from its seed.
// ---------------------------------------------------------------------------

std::string channel_text(file_layout layout) {
    const bool cur = layout == file_layout::current;
    return std::string("BPMA ") + (cur ? "38" : "6") + " ndata=2 comp=zlib;TORB " + (cur ? "42" : "10") +
           " ndata=2;BPMC " + (cur ? "38" : "6") + " ndata=2 comp=lzo;SLOWS " + (cur ? "33" : "1") +
           " evtype=5;EQD 23 ndata=3";
}

conservation_case make_case(uint64_t seed, const std::string& dir) {
    std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + 7);
    auto pick = [&](int lo, int hi) { return int(std::uniform_int_distribution<int>(lo, hi)(rng)); };
    conservation_case c;
    c.seed = seed;
    c.layout = seed % 2 ? file_layout::legacy : file_layout::current;
    c.mode = (seed / 2) % 2 ? ZORV_DAQ_SLICER_SYNCH_MODE_TIME : ZORV_DAQ_SLICER_SYNCH_MODE_EVID;
    c.from = source(pick(0, 4));
    const uint32_t tolerances[] = {20000, 45000, 70000};
    c.tolerance_us = tolerances[pick(0, 2)];

    const int total_files = pick(1, 6);
    const int nruns = total_files > 1 && pick(0, 1) ? 2 : 1;
    const int run1_files = nruns == 1 ? total_files : pick(1, total_files - 1);
    uint32_t start = 1286193600 + uint32_t(pick(0, 1000));
    uint32_t first_event = uint32_t(pick(1, 5000));
    std::vector<zorv::synthetic_channel> chans;
    std::string err;
    zorv::synthetic_channels(channel_text(c.layout), c.layout, &chans, &err);
    chans[CH_SLOW].every = pick(2, 5);
    chans[CH_B].offset_us = pick(0, 1) ? pick(1, 4) * 10000 : 0;
    if (chans[CH_B].offset_us) chans[CH_B].event_type = kOffsetEventType;
    for (int r = 0; r < nruns; ++r) {
        zorv::synthetic_run_config cfg;
        cfg.dir = dir;
        cfg.catalog_dir = dir + "/catalog";
        cfg.run = 10 + r;
        cfg.layout = c.layout;
        cfg.rate_hz = kRate;
        cfg.seed = seed;
        cfg.files = r == 0 ? run1_files : total_files - run1_files;
        for (int f = 0; f < cfg.files; ++f) cfg.file_events.push_back(pick(3, 12));
        cfg.start_time = start;
        cfg.first_event = first_event;
        if (pick(0, 1)) {
            cfg.gap_every = pick(2, 6);
            cfg.gap_size = pick(1, 4);
        }
        cfg.channels = chans;
        // Channels absent from the first and from a middle file.
        for (auto& ch : cfg.channels) {
            if (pick(0, 3) == 0) ch.missing_files.push_back(1);
            if (cfg.files > 2 && pick(0, 2) == 0) ch.missing_files.push_back(pick(2, cfg.files - 1));
        }
        int events = 0;
        for (int n : cfg.file_events) events += n;
        if (pick(0, 1)) {
            const int ch = std::vector<int>{CH_A, CH_B, CH_C, CH_EQ}[size_t(pick(0, 3))];
            cfg.channels[size_t(ch)].damaged_events.push_back(slot_number(cfg, uint64_t(pick(0, events - 1))));
        }
        c.runs.push_back(cfg);
        start += uint32_t(events / kRate + pick(2, 20));
        first_event += uint32_t(events * 8 + 100);
    }
    if (total_files >= 3 && pick(0, 2) == 0) {
        c.broken_file = pick(1, total_files - 2);
        c.broken = breakage(pick(1, 5));
        // A file the run catalogue lists but that is gone: only a catalogue
        // request knows it should be there.
        if (c.broken == breakage::removed && c.from != source::run_catalogue && c.from != source::period_catalogue)
            c.broken = breakage::empty;
    }
    for (int ch = 0; ch < CH_COUNT; ++ch)
        if (pick(0, 1)) c.selected.push_back(ch);
    if (c.selected.empty()) c.selected.push_back(pick(0, CH_COUNT - 1));
    std::shuffle(c.selected.begin(), c.selected.end(), rng);
    if (c.from == source::run_catalogue || c.from == source::run_scan) {
        c.run_first = c.runs.front().run + pick(0, nruns - 1);
        c.run_last = pick(0, 1) ? c.runs.back().run : c.run_first;
        if (c.run_last < c.run_first) std::swap(c.run_first, c.run_last);
    }
    return c;
}

// Writes the case's runs and breaks its broken file; returns all file paths in order.
std::vector<std::string> write_case(const conservation_case& c) {
    std::vector<std::string> all;
    for (const auto& cfg : c.runs) {
        std::vector<std::string> files;
        std::string err;
        if (zorv::write_synthetic_run(cfg, &files, &err) != 0) {
            ADD_FAILURE() << c.describe() << ": writing the run failed: " << err;
            return {};
        }
        all.insert(all.end(), files.begin(), files.end());
    }
    if (c.broken == breakage::none) return all;
    const std::string& broken = all[size_t(c.broken_file)];
    if (c.broken == breakage::directory || c.broken == breakage::removed) {
        std::filesystem::remove(broken);
        if (c.broken == breakage::directory) std::filesystem::create_directory(broken);  // opens, cannot be read
        return all;
    }
    std::string bytes = zorv_test::read_file(broken);
    if (c.broken == breakage::tables)
        std::memset(&bytes[bytes.size() - 4], 0xFF, 4);  // the reference table lies beyond the end
    else
        bytes.resize(c.broken == breakage::truncated ? bytes.size() / 2 : 0);
    zorv_test::write_file(broken, bytes);
    return all;
}

// ---------------------------------------------------------------------------
// The oracle: the entries the writer wrote, inside the request.
// ---------------------------------------------------------------------------
written written_entries(const conservation_case& c) {
    written out;
    int file = 0;
    for (const auto& cfg : c.runs) {
        uint64_t g = 0;
        for (int f = 1; f <= cfg.files; ++f, ++file) {
            for (int ch : c.selected) {
                const auto& miss = cfg.channels[size_t(ch)].missing_files;
                if (std::find(miss.begin(), miss.end(), f) == miss.end()) out.holds.insert({file, ch});
            }
            for (int k = 0; k < cfg.file_events[size_t(f - 1)]; ++k, ++g) {
                const uint32_t number = slot_number(cfg, g);
                const double t = slot_time_us(cfg, g);
                out.file_of_event[number] = file;
                for (int ch : c.selected) {
                    const auto& sc = cfg.channels[size_t(ch)];
                    if (!out.holds.count({file, ch}) || g % uint64_t(sc.every)) continue;
                    const bool bad = std::count(sc.damaged_events.begin(), sc.damaged_events.end(), number) > 0;
                    out.entries.push_back({ch, number, t, file, bad});
                }
            }
        }
    }
    return out;
}

// The entries the request covers: its runs, or its window.
std::vector<entry> expected_entries(const conservation_case& c, const std::vector<entry>& all) {
    std::vector<entry> out;
    std::vector<int> run_of_file;
    for (const auto& cfg : c.runs) run_of_file.insert(run_of_file.end(), size_t(cfg.files), cfg.run);
    for (const entry& e : all) {
        const int run = run_of_file[size_t(e.file)];
        if (c.run_first && (run < c.run_first || run > c.run_last)) continue;
        if (c.to_us > 0 && (e.time_us < c.from_us || e.time_us > c.to_us)) continue;
        out.push_back(e);
    }
    return out;
}

// Run and event span of every file of the case, in file order.
struct file_span {
    int run;
    double first_us, last_us;
};
std::vector<file_span> file_spans(const conservation_case& c) {
    std::vector<file_span> out;
    for (const auto& cfg : c.runs) {
        uint64_t g = 0;
        for (int n : cfg.file_events) {
            out.push_back({cfg.run, slot_time_us(cfg, g), slot_time_us(cfg, g + uint64_t(n) - 1)});
            g += uint64_t(n);
        }
    }
    return out;
}

// Whether the broken file may stand first in the request's file list, where
// the reader's check of the first file's tables rightly refuses the request:
// the first file of the first run asked for, or a file that starts before
// the window or within its first second.
bool broken_file_may_lead(const conservation_case& c) {
    if (c.broken_file < 0) return false;
    const auto spans = file_spans(c);
    const file_span& b = spans[size_t(c.broken_file)];
    if (c.run_first) return b.run == c.run_first && (c.broken_file == 0 || spans[size_t(c.broken_file - 1)].run != b.run);
    if (c.to_us > 0) return std::floor(b.first_us / 1e6) <= std::floor(c.from_us / 1e6);
    return c.broken_file == 0;
}

// A period request: a window from half a period before one event slot to
// half a period after a later one, so that no entry (offsets stay below half
// a period) lies on a bound.
void choose_window(conservation_case& c, const std::vector<entry>& all, std::mt19937_64& rng) {
    std::set<double> times;
    for (const entry& e : all) times.insert(e.time_us);
    if (times.empty()) {
        c.from_us = double(c.runs.front().start_time) * 1e6;
        c.to_us = c.from_us + 1e6;
        return;
    }
    std::vector<double> t(times.begin(), times.end());
    size_t a = std::uniform_int_distribution<size_t>(0, t.size() - 1)(rng);
    size_t b = std::uniform_int_distribution<size_t>(0, t.size() - 1)(rng);
    if (b < a) std::swap(a, b);
    c.from_us = t[a] - kPeriodUs / 2;
    c.to_us = t[b] + kPeriodUs / 2;
}

}  // namespace conservation
