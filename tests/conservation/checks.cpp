// The checks of the conservation test over a walk's events and report.
#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "walks.h"

namespace conservation {

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

void check_carried_from_before(const conservation_case& c, const event_seen& ev, const std::string& where,
                               std::vector<std::string>* problems) {
    if (ev.fresh.empty()) return;
    const bool by_time = c.mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME;
    const double latest = *std::max_element(ev.times.begin(), ev.times.end()) + c.tolerance_us;
    for (size_t i = 0; i < c.selected.size() && i < ev.states.size(); ++i) {
        if (ev.states[i] != ZORV_DAQ_CHAN_CARRIED) continue;
        const zorv_time_id& f = ev.from[i];
        const bool later = by_time ? micros(f.time) > latest : f.event_number > ev.fresh.front().second;
        if (later)
            problems->push_back(where + ": " + kNames[c.selected[i]] + " carried from event " +
                                std::to_string(f.event_number) + " into the earlier event " + event_text(ev));
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
}  // namespace conservation
