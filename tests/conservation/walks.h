// The walker of the conservation test: a case's reader opened on its source,
// walks over its events, and the checks of what a walk delivered.
#ifndef ZORV_TEST_CONSERVATION_WALKS_H
#define ZORV_TEST_CONSERVATION_WALKS_H

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "run_generator.h"
#include "layout_cases.h"
#include "test_support.h"
#include "zorv_daq_reader_2010.h"

namespace conservation {

using zorv_test::current_case;
using zorv_test::legacy_case;

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

inline time_stamp stamp(double us) {
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
    const conservation_case& the_case() const { return c_; }

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
        const float* v = block ? T::samples(block, 0) : nullptr;
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
// The checks: each adds what it finds wrong to `problems`.
// ---------------------------------------------------------------------------

std::string event_text(const event_seen& ev);
void check_order(const conservation_case& c, const walk& w, std::vector<std::string>* problems);
void check_carried(const conservation_case& c, const walk& w, std::vector<std::string>* problems);
// A value carried into an event came with that event or an earlier one,
// whichever way the walk came to it.
void check_carried_from_before(const conservation_case& c, const event_seen& ev, const std::string& where,
                               std::vector<std::string>* problems);
// By number, a channel without fresh data must say why.
void check_reasons(const conservation_case& c, const written& truth, const walk& w,
                   std::vector<std::string>* problems);
// Every entry handed out once or counted with its reason; a broken file that
// held entries of the request is in the report's skipped files.
void check_conservation(const conservation_case& c, const std::vector<entry>& expected,
                        const std::vector<std::string>& files, const walk& w,
                        std::vector<std::string>* problems);

}  // namespace conservation

#endif
