// Nothing is lost: seeded random runs written by the writer library, read
// back with random channel subsets, by event number and by time, from file
// lists and from run and period requests (run catalogue and local scan).
// The truth is what the writer wrote; for every case, each entry inside the
// request is handed out exactly once by a NEXT walk or counted in the
// delivery report with its reason, the events come in order, NEXT, PREV,
// FIRST and LAST mixed land on the NEXT walk's events, and a PREV walk from
// the last event gives the NEXT walk reversed.
//
// ZORV_CONSERVATION_SEED=n replays one seed; ZORV_CONSERVATION_SEEDS=a:b runs
// the seeds a to b-1 (the suite runs 0:kSuiteSeeds).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "zorv_daq_writer.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace {

using zorv::file_layout;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSuiteSeeds = 60;  // the sanitizer builds read the same cases, fewer of them
#else
constexpr int kSuiteSeeds = 200;
#endif
constexpr int kRate = 10;                     // events per second
constexpr uint32_t kPeriodUs = 1000000 / kRate;
constexpr int kMaxReported = 10;              // failing seeds reported in full

// The channels every run is written with; a case selects a subset.
enum { CH_A, CH_B, CH_C, CH_SLOW, CH_EQ, CH_COUNT };
const char* const kNames[CH_COUNT] = {"BPMA", "TORB", "BPMC", "SLOWS", "EQD"};
constexpr int kOffsetEventType = ZORV_EV_IMAGE;  // the event type of a channel with a time offset

enum class source { files, run_catalogue, run_scan, period_catalogue, period_scan };
const char* const kSourceNames[] = {"files", "run-catalogue", "run-scan", "period-catalogue",
                                    "period-scan"};

enum class breakage { none, tables, truncated, empty, directory, removed };
const char* const kBreakageNames[] = {"none", "damaged tables", "truncated", "emptied",
                                      "a directory", "removed"};

// One entry the writer wrote: channel, event number, event slot time, file.
struct entry {
    int ch;
    uint32_t number;
    double time_us;
    int file;  // index over all files of the case
    bool damaged;
};
using entry_key = std::pair<int, uint32_t>;

// A case: the runs, what is broken, what is read and how.
struct conservation_case {
    uint64_t seed = 0;
    file_layout layout = file_layout::current;
    int mode = ZORV_DAQ_SLICER_SYNCH_MODE_EVID;
    source from = source::files;
    uint32_t tolerance_us = 50000;
    std::vector<zorv::synthetic_run_config> runs;
    std::vector<int> selected;  // channel indices, in selection order
    int broken_file = -1;       // index over all files
    breakage broken = breakage::none;
    int run_first = 0, run_last = 0;      // run requests
    double from_us = 0, to_us = 0;        // period requests (0: no window)

    std::string describe() const;
};

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

// What the writer wrote for the selected channels over all runs: every
// entry in file order, the file of every event number, and which files hold
// which channels.
struct written {
    std::vector<entry> entries;
    std::map<uint32_t, int> file_of_event;
    std::set<std::pair<int, int>> holds;  // (file, channel)
};

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

// ---------------------------------------------------------------------------
// The walker.
// ---------------------------------------------------------------------------

struct current_traits {
    using reader_t = zorv_daq_reader_2010;
    static const float* samples(const void* block) {
        return get_pointer_to_data_2010(static_cast<const zorv_serv_block_subhead_2010*>(block), 0);
    }
};
struct legacy_traits {
    using reader_t = zorv_daq_reader;
    static const float* samples(const void* block) {
        return get_pointer_to_data_2009(static_cast<const zorv_serv_block_subhead*>(block), 0);
    }
};

// One delivered event: the fresh entries (channel, event number) in channel
// order, their times, and every selected channel's state.
struct event_seen {
    std::vector<entry_key> fresh;
    std::vector<double> times;
    std::vector<int> states;           // per selected channel
    std::vector<zorv_time_id> from;    // per selected channel: where a carried value came from
    bool operator==(const event_seen& o) const { return fresh == o.fresh; }
};

struct walk {
    std::vector<event_seen> events;
    int end_status = 0;
    zorv_daq_delivery_report report;
};

time_stamp stamp(double us) {
    return {uint32_t(us / 1e6), uint32_t(us - double(uint32_t(us / 1e6)) * 1e6)};
}

template <class T>
class case_reader {
public:
    case_reader(const conservation_case& c, const std::vector<std::string>& files, const std::string& dir)
        : c_(c), files_(files), dir_(dir) {}

    // Starts the reader on the case's source; the problem in words, or "".
    std::string open(typename T::reader_t& r) {
        names_.clear();
        for (int ch : c_.selected) names_.push_back({const_cast<char*>(kNames[ch]), {}});
        std::vector<daq_channel_entry*> chans;
        for (auto& n : names_) chans.push_back(&n);
        const time_stamp tol{0, c_.tolerance_us};
        const zorv_time_id step{1, {0, kPeriodUs}};
        int s;
        if (c_.from == source::files) {
            std::vector<std::string> copy = files_;
            std::vector<char*> list;
            for (auto& f : copy) list.push_back(&f[0]);
            s = r.init(&list, &chans);
            if (s == 0) {
                r.set_synch_mode(c_.mode);
                r.request.time_diff = tol;  // the legacy reader has no setter
                r.set_period(&step);
            }
        } else {
            zorv_daq_request req{};
            std::strcpy(req.exp_name, "linac");
            std::strcpy(req.stream_name, "main");
            const bool catalogue = c_.from == source::run_catalogue || c_.from == source::period_catalogue;
            std::snprintf(req.cdir, sizeof req.cdir, "%s/%s", dir_.c_str(), catalogue ? "catalog" : "none");
            std::snprintf(req.ddir, sizeof req.ddir, "%s/", dir_.c_str());
            req.run_first = c_.run_first;
            req.run_last = c_.run_last;
            if (c_.to_us > 0) {
                req.start_time.time = stamp(c_.from_us);
                req.stop_time.time = stamp(c_.to_us);
            }
            req.time_diff = tol;
            req.period = step;
            req.synch_mode = c_.mode;
            s = r.init(&req, &chans);
        }
        if (s != 0) return "init gave " + std::to_string(s) + " \"" + r.get_last_error() + "\"";
        s = r.start();
        if (s != 0) return "start gave " + std::to_string(s) + " \"" + r.get_last_error() + "\"";
        return "";
    }

    bool by_time() const { return c_.mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME; }

    // One get_data; the event seen, or the status.
    int step(typename T::reader_t& r, int type, event_seen* ev, std::vector<std::string>* problems) {
        std::vector<zorv_channel_entry_long*> out;
        const int s = r.get_data(nullptr, &out, type);
        if (s != 0) return s;
        *ev = {};
        std::vector<std::pair<entry_key, double>> fresh;  // sorted by channel, with their times
        for (int i = 0; i < int(c_.selected.size()); ++i) {
            zorv_daq_chan_status st;
            if (r.get_chan_status(i, &st) != 0) st.state = -1;
            ev->states.push_back(st.state);
            ev->from.push_back(st.from);
            if (st.state != ZORV_DAQ_CHAN_FRESH) continue;
            const auto* rec = r.results[size_t(i)];
            const int ch = c_.selected[size_t(i)];
            const uint32_t number = rec->evhd.event_number;
            fresh.push_back({{ch, number}, micros(rec->evhd.event_time)});
            check_payload(ch, number, rec->data, problems);
        }
        std::sort(fresh.begin(), fresh.end());
        for (const auto& [key, time] : fresh) {
            ev->fresh.push_back(key);
            ev->times.push_back(time);
        }
        return 0;
    }

    // The NEXT walk to the end (at most `limit` events).
    walk next_walk(typename T::reader_t& r, size_t limit, std::vector<std::string>* problems) {
        walk w;
        event_seen ev;
        while ((w.end_status = step(r, ZORV_DAQ_READ_CHAN_EVENT_NEXT, &ev, problems)) == 0) {
            w.events.push_back(ev);
            if (w.events.size() > limit) {
                problems->push_back("the NEXT walk does not end");
                break;
            }
        }
        r.get_delivery_report(&w.report);
        return w;
    }

private:
    // A fresh spectrum entry carries its own channel's samples.
    void check_payload(int ch, uint32_t number, const void* block, std::vector<std::string>* problems) {
        if (ch != CH_A && ch != CH_B && ch != CH_C) return;
        const float* v = block ? T::samples(block) : nullptr;
        const float want = zorv::synthetic_sample(c_.runs.front(), ch, number, 0, 0);
        if (!v || *v != want)
            problems->push_back(std::string(kNames[ch]) + " event " + std::to_string(number) +
                                ": data not its own (" + (v ? std::to_string(*v) : "none") + ", want " +
                                std::to_string(want) + ")");
    }

    const conservation_case& c_;
    const std::vector<std::string>& files_;
    std::string dir_;
    std::vector<daq_channel_entry> names_;
};

// ---------------------------------------------------------------------------
// The checks.
// ---------------------------------------------------------------------------

std::string key_text(const entry_key& k) { return std::string(kNames[k.first]) + "@" + std::to_string(k.second); }
std::string event_text(const event_seen& ev) {
    std::string t;
    for (const auto& k : ev.fresh) t += (t.empty() ? "" : " ") + key_text(k);
    return t.empty() ? "nothing fresh" : t;
}

// Events in order: by number, each event one number; by time, increasing.
void check_order(const conservation_case& c, const walk& w, std::vector<std::string>* problems) {
    double last = -1;
    for (size_t i = 0; i < w.events.size(); ++i) {
        const auto& ev = w.events[i];
        if (ev.fresh.empty()) continue;
        double at = *std::min_element(ev.times.begin(), ev.times.end());
        const double spread = *std::max_element(ev.times.begin(), ev.times.end()) - at;
        if (c.mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME && spread > 2.0 * c.tolerance_us)
            problems->push_back("event " + std::to_string(i) + " (" + event_text(ev) + ") spans " +
                                std::to_string(spread) + " us");
        if (c.mode == ZORV_DAQ_SLICER_SYNCH_MODE_EVID) {
            for (const auto& k : ev.fresh)
                if (k.second != ev.fresh.front().second)
                    problems->push_back("event " + std::to_string(i) + " mixes " + key_text(ev.fresh.front()) +
                                        " and " + key_text(k));
            at = ev.fresh.front().second;
        }
        if (at <= last) problems->push_back("event " + std::to_string(i) + " (" + key_text(ev.fresh.front()) +
                                            ") does not follow the one before");
        last = at;
    }
}

// Only the slow channel carries a value, the one it last had fresh.
void check_carried(const conservation_case& c, const walk& w, std::vector<std::string>* problems) {
    std::map<int, std::pair<uint32_t, double>> last;  // channel -> number and time of its last fresh entry
    for (const auto& ev : w.events) {
        for (size_t k = 0; k < ev.fresh.size(); ++k) last[ev.fresh[k].first] = {ev.fresh[k].second, ev.times[k]};
        for (size_t i = 0; i < c.selected.size() && i < ev.states.size(); ++i) {
            if (ev.states[i] != ZORV_DAQ_CHAN_CARRIED) continue;
            const int ch = c.selected[i];
            const auto l = last.find(ch);
            const zorv_time_id& f = ev.from[i];
            const bool same = l != last.end() && (f.event_number ? f.event_number == l->second.first
                                                                 : micros(f.time) == l->second.second);
            if (ch == CH_SLOW && same) continue;
            problems->push_back(std::string(kNames[ch]) + " carried from event " + std::to_string(f.event_number) +
                                " in event " + event_text(ev));
            return;
        }
    }
}

// By number, a channel without fresh data says why: its entry of the event is
// damaged, the event's file does not hold it, or it has no entry there (a slow
// channel may carry its value instead).
void check_reasons(const conservation_case& c, const written& truth, const walk& w,
                   std::vector<std::string>* problems) {
    std::set<entry_key> damaged;
    for (const entry& e : truth.entries)
        if (e.damaged) damaged.insert({e.ch, e.number});
    for (const auto& ev : w.events) {
        if (ev.fresh.empty()) continue;
        const uint32_t number = ev.fresh.front().second;
        const auto f = truth.file_of_event.find(number);
        if (f == truth.file_of_event.end()) continue;
        for (size_t i = 0; i < c.selected.size() && i < ev.states.size(); ++i) {
            const int ch = c.selected[i], got = ev.states[i];
            if (got == ZORV_DAQ_CHAN_FRESH) continue;
            int want = ZORV_DAQ_CHAN_NO_ENTRY;
            if (damaged.count({ch, number})) want = ZORV_DAQ_CHAN_DAMAGED;
            else if (!truth.holds.count({f->second, ch})) want = ZORV_DAQ_CHAN_NOT_IN_FILE;
            if (got == want || (ch == CH_SLOW && got == ZORV_DAQ_CHAN_CARRIED)) continue;
            problems->push_back(key_text({ch, number}) + ": state \"" + zorv_daq_chan_state_word(got) +
                                "\", want \"" + zorv_daq_chan_state_word(want) + "\"");
            return;  // one is enough to show the fault
        }
    }
}

// Each fresh entry is one of the request's readable entries, handed out once.
std::map<entry_key, int> check_handed_once(const conservation_case& c, const std::vector<entry>& expected,
                                           const walk& w, std::vector<std::string>* problems) {
    std::map<entry_key, int> handed;
    for (const auto& ev : w.events)
        for (const auto& k : ev.fresh) ++handed[k];
    std::map<entry_key, const entry*> truth;
    for (const entry& e : expected) truth[{e.ch, e.number}] = &e;
    for (const auto& [k, n] : handed) {
        auto t = truth.find(k);
        if (t == truth.end()) problems->push_back(key_text(k) + " handed out but not in the request");
        else if (t->second->damaged) problems->push_back(key_text(k) + " handed out although its block is damaged");
        else if (t->second->file == c.broken_file) problems->push_back(key_text(k) + " handed out from the broken file");
        if (n > 1) problems->push_back(key_text(k) + " handed out " + std::to_string(n) + " times");
    }
    return handed;
}

// One channel's entries: handed out, or counted in its report line (by
// number exactly, and never as unmatched). Entries of the broken file may go
// uncounted. True when the channel has entries in the broken file.
bool check_channel_counts(const conservation_case& c, const std::vector<entry>& expected, int ch,
                          const zorv_daq_chan_delivery& rep, const std::map<entry_key, int>& handed,
                          std::vector<std::string>* problems) {
    long total = 0, damaged = 0, in_broken = 0, fresh = 0, missing = 0;
    std::string first_missing;
    for (const entry& e : expected) {
        if (e.ch != ch) continue;
        ++total;
        if (e.file == c.broken_file) ++in_broken;
        else if (e.damaged) ++damaged;
        else if (handed.count({ch, e.number})) ++fresh;
        else if (!missing++) first_missing = std::to_string(e.number);
    }
    const long counted = rep.delivered + rep.damaged + rep.unmatched + rep.in_skipped_files;
    std::ostringstream line;
    line << kNames[ch] << ": " << total << " in the request (" << damaged << " damaged, " << in_broken
         << " in the broken file), " << fresh << " handed out; report delivered " << rep.delivered
         << " damaged " << rep.damaged << " unmatched " << rep.unmatched << " in skipped files "
         << rep.in_skipped_files;
    auto say = [&](const std::string& why) { problems->push_back(line.str() + ": " + why); };
    if (rep.delivered != fresh) say("delivered is not what was handed out");
    if (counted > total || counted < total - in_broken)
        say("entries unaccounted for" + (missing ? ", first not handed out " + first_missing : ""));
    if (c.mode == ZORV_DAQ_SLICER_SYNCH_MODE_EVID && (missing || rep.unmatched || rep.damaged != damaged))
        say(missing ? "lost, first " + first_missing : "wrong reasons");
    return in_broken > 0;
}

// Every entry handed out once or counted with its reason; a broken file that
// held entries of the request is in the report's skipped files.
void check_conservation(const conservation_case& c, const std::vector<entry>& expected,
                        const std::vector<std::string>& files, const walk& w,
                        std::vector<std::string>* problems) {
    if (w.end_status != ZORV_DAQ_READER_OUT_OF_WINDOW)
        problems->push_back("the NEXT walk ended with " + std::to_string(w.end_status));
    const auto handed = check_handed_once(c, expected, w, problems);
    if (w.report.channels.size() != c.selected.size()) {
        problems->push_back("the report has " + std::to_string(w.report.channels.size()) + " channels");
        return;
    }
    bool broken_needed = false;
    for (size_t i = 0; i < c.selected.size(); ++i)
        broken_needed |= check_channel_counts(c, expected, c.selected[i], w.report.channels[i], handed, problems);
    for (const auto& s : w.report.skipped_files)
        if (s.reason.empty()) problems->push_back("skipped file " + s.file + " without a reason");
    if (!broken_needed) return;
    const std::string name = std::filesystem::path(files[size_t(c.broken_file)]).filename().string();
    bool listed = false;
    for (const auto& s : w.report.skipped_files) listed |= s.file.find(name) != std::string::npos;
    if (!listed) problems->push_back("the broken file " + name + " is not in the report's skipped files");
}

// On a second reader, NEXT, PREV, FIRST and LAST mixed at random up to the
// last event of the NEXT walk, then a PREV walk from there: every step lands
// on an event of the NEXT walk (NEXT and PREV on the neighbour of the one
// before), and PREV before the first gives -3.
template <class T>
void check_mixed_walks(case_reader<T>& cr, const walk& forward, uint64_t seed,
                       std::vector<std::string>* problems) {
    const size_t n = forward.events.size();
    if (n == 0) return;
    typename T::reader_t r;
    const std::string failed = cr.open(r);
    if (!failed.empty()) {
        problems->push_back("second reader: " + failed);
        return;
    }
    std::mt19937_64 rng(seed);
    event_seen ev;
    auto lands = [&](const char* walk_name, int type, size_t at) {
        const int s = cr.step(r, type, &ev, problems);
        if (s == 0 && ev == forward.events[at]) return true;
        problems->push_back(std::string(walk_name) + ": event " + std::to_string(at) + " (" +
                            event_text(forward.events[at]) + ") came as " +
                            (s ? "status " + std::to_string(s) : event_text(ev)));
        return false;
    };
    size_t at = 0;
    if (!lands("mixed walk", ZORV_DAQ_READ_CHAN_EVENT_NEXT, 0)) return;
    // Mostly NEXT, a third PREV, and a few FIRST or LAST, which must land on
    // some event of the NEXT walk; the walk goes on from there.
    for (int jumps = 0; at + 1 < n;) {
        const unsigned roll = unsigned(rng() % 30);
        if (roll < 2 && jumps++ < 3) {
            const bool first = roll == 0;
            const int s = cr.step(r, first ? ZORV_DAQ_READ_CHAN_EVENT_FIRST : ZORV_DAQ_READ_CHAN_EVENT_LAST, &ev,
                                  problems);
            const auto found = std::find(forward.events.begin(), forward.events.end(), ev);
            if (s != 0 || found == forward.events.end()) {
                problems->push_back(std::string("mixed walk ") + (first ? "FIRST" : "LAST") + " after event " +
                                    std::to_string(at) + " came as " +
                                    (s ? "status " + std::to_string(s) : event_text(ev)) +
                                    ", no event of the NEXT walk");
                return;
            }
            at = size_t(found - forward.events.begin());
            // By time the walk forward is remembered: FIRST and LAST are its
            // first and last events.
            if (cr.by_time() && at != (first ? 0 : n - 1))
                problems->push_back(std::string("mixed walk ") + (first ? "FIRST" : "LAST") + " came as event " +
                                    std::to_string(at) + " of the NEXT walk");
            continue;
        }
        const bool back = at > 0 && roll % 3 == 0;
        at = back ? at - 1 : at + 1;
        if (!lands(back ? "mixed walk PREV" : "mixed walk NEXT",
                   back ? ZORV_DAQ_READ_CHAN_EVENT_PREV : ZORV_DAQ_READ_CHAN_EVENT_NEXT, at))
            return;
    }
    while (at-- > 0)
        if (!lands("PREV walk", ZORV_DAQ_READ_CHAN_EVENT_PREV, at)) return;
    const int s = cr.step(r, ZORV_DAQ_READ_CHAN_EVENT_PREV, &ev, problems);
    if (s != ZORV_DAQ_READER_OUT_OF_WINDOW)
        problems->push_back("PREV before the first event gave " + std::to_string(s));
    // Forward again to the end: every event was visited, most of them more
    // than once, and each entry still counts once.
    const walk again = cr.next_walk(r, n + 10, problems);
    for (size_t i = 0; i < again.report.channels.size() && i < forward.report.channels.size(); ++i) {
        const auto &got = again.report.channels[i], &want = forward.report.channels[i];
        if (got.delivered != want.delivered || got.damaged != want.damaged || got.unmatched != want.unmatched)
            problems->push_back("after the mixed walks channel " + std::to_string(i) + " has delivered " +
                                std::to_string(got.delivered) + " damaged " + std::to_string(got.damaged) +
                                " unmatched " + std::to_string(got.unmatched) + ", the NEXT walk " +
                                std::to_string(want.delivered) + " " + std::to_string(want.damaged) + " " +
                                std::to_string(want.unmatched));
    }
}

template <class T>
std::vector<std::string> run_case(conservation_case& c, const std::string& dir) {
    std::vector<std::string> problems;
    const std::vector<std::string> files = write_case(c);
    if (files.empty()) return {"no files written"};
    const written truth = written_entries(c);
    const std::vector<entry>& all = truth.entries;
    if (c.from == source::period_catalogue || c.from == source::period_scan) {
        std::mt19937_64 rng(c.seed);
        choose_window(c, all, rng);
    }
    const std::vector<entry> expected = expected_entries(c, all);
    case_reader<T> cr(c, files, dir);
    typename T::reader_t r;
    const std::string failed = cr.open(r);
    if (!failed.empty()) {
        // Refusing a read is right only when a selected channel has nothing to
        // give outside the broken file, or when the request's first file cannot
        // be read.
        bool absent = broken_file_may_lead(c);
        for (int ch : c.selected)
            absent |= std::none_of(expected.begin(), expected.end(),
                                   [&](const entry& e) { return e.ch == ch && e.file != c.broken_file; });
        if (!absent) problems.push_back(failed);
        return problems;
    }
    const walk w = cr.next_walk(r, expected.size() + 10, &problems);
    check_order(c, w, &problems);
    check_carried(c, w, &problems);
    if (c.mode == ZORV_DAQ_SLICER_SYNCH_MODE_EVID) check_reasons(c, truth, w, &problems);
    check_conservation(c, expected, files, w, &problems);
    check_mixed_walks(cr, w, c.seed, &problems);
    return problems;
}

std::pair<uint64_t, uint64_t> seed_range() {
    if (const char* one = std::getenv("ZORV_CONSERVATION_SEED")) {
        const uint64_t s = std::strtoull(one, nullptr, 10);
        return {s, s + 1};
    }
    if (const char* range = std::getenv("ZORV_CONSERVATION_SEEDS")) {
        char* end = nullptr;
        const uint64_t a = std::strtoull(range, &end, 10);
        const uint64_t b = *end == ':' ? std::strtoull(end + 1, nullptr, 10) : a + 1;
        return {a, b};
    }
    return {0, kSuiteSeeds};
}

// Runs the seeds and reports those that fail (the first few in full).
void expect_seeds_pass(const std::vector<uint64_t>& seeds) {
    zorv_test::scoped_env fresh_files("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1");
    std::vector<uint64_t> failing;
    for (uint64_t seed : seeds) {
        zorv_test::temp_dir dir;
        conservation_case c = make_case(seed, dir.path());
        const auto problems = c.layout == file_layout::current ? run_case<current_traits>(c, dir.path())
                                                               : run_case<legacy_traits>(c, dir.path());
        if (problems.empty()) continue;
        failing.push_back(seed);
        if (failing.size() > size_t(kMaxReported)) continue;
        std::ostringstream msg;
        msg << c.describe();
        for (const auto& p : problems) msg << "\n    " << p;
        ADD_FAILURE() << msg.str();
    }
    std::ostringstream list;
    for (uint64_t s : failing) list << " " << s;
    EXPECT_TRUE(failing.empty()) << failing.size() << " of " << seeds.size()
                                 << " seeds fail (replay one with ZORV_CONSERVATION_SEED=n):" << list.str();
}

TEST(Conservation, EveryEntryIsDeliveredOnceOrAccountedFor) {
    const auto [first, last] = seed_range();
    std::vector<uint64_t> seeds;
    for (uint64_t seed = first; seed < last; ++seed) seeds.push_back(seed);
    expect_seeds_pass(seeds);
}

// Seeds of the long runs that once failed, read on every run of the suite:
// by time with a tolerance above half the spacing and a channel offset in
// time, walks that turn back, go forward past the events seen so far, or ask
// for the last event before the walk forward got there.
TEST(Conservation, SeedsThatOnceFailed) {
    expect_seeds_pass({523, 550, 694, 734, 775, 887, 1154, 1354, 1362, 1554});
}

}  // namespace
