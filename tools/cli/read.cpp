// zorv-daq read: events of one or more files, or of a request (runs or a
// time window), through the reader of the files' layout; one record per
// event with the decoded value of each selected channel.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "block_types.h"
#include "cli_common.h"
#include "commands.h"
#include "decode.h"
#include "inspect.h"
#include "read_output.h"
#include "select.h"
#include "timed_names.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace {

using namespace zorv_cli;

struct read_options {
    std::vector<std::string> files;
    std::string run;
    std::string from, to;
    std::string exp, stream, cdir, ddir;
    std::vector<std::string> chans;
    bool by_time = false;
    double tolerance_us = -1;
    std::string step;
    uint32_t start_event = 0, stop_event = 0;
    long long limit = -1;
    bool tsv = false;
    bool csv = false;
    bool samples = false;
    bool accept_open = false;
    int debug = 0;
    bool report = false;
};

using zorv_common::reader_for;

// The request and reader settings the options ask for, checked before any
// file is touched.
struct settings {
    bool request_mode = false;
    int run_first = 0, run_last = 0;
    zorv_time_id start{}, stop{};
    bool have_tolerance = false;
    time_stamp tolerance{};
    bool have_step = false;
    zorv_time_id step{};
    // --from/--to given as offsets: from the first event of the files, and
    // from the window's start; negative when not given so.
    double from_offset = -1, to_offset = -1;
    table_format format = table_format::json;
};

[[noreturn]] void bad(const std::string& what) { fail("read", exit_bad_input, what); }

bool parse_run(const std::string& text, int* first, int* last) {
    char* end = nullptr;
    const long a = std::strtol(text.c_str(), &end, 10);
    long b = a;
    if (end == text.c_str() || a < 0) return false;
    if (*end == '-') {
        const char* s = end + 1;
        b = std::strtol(s, &end, 10);
        if (end == s || b < a) return false;
    }
    if (*end || b > 0x7FFFFFFF) return false;
    *first = int(a);
    *last = int(b);
    return true;
}

// A window end: a time, or an offset ("+01:00") kept in `offset`.
void parse_window_end(const std::string& text, time_stamp* t, double* offset) {
    if (text.empty() || parse_time(text, t) || parse_offset(text, offset)) return;
    bad("bad time \"" + text + "\" (seconds, YYYYMMDDTHHMMSS or YYYY-MM-DDTHH:MM:SS[.ffffff][Z|+HH:MM], "
        "or an offset +HH:MM[:SS] or +Ns)");
}

// "N" events, or "Xs" seconds.
bool parse_step(const std::string& text, zorv_time_id* out) {
    char* end = nullptr;
    if (!text.empty() && text.back() == 's') {
        const double s = std::strtod(text.c_str(), &end);
        if (end != text.c_str() + text.size() - 1 || !(s > 0) || s > 1e6) return false;
        *out = {0, {uint32_t(s), uint32_t((s - uint32_t(s)) * 1e6 + 0.5) % 1000000u}};
        return true;
    }
    const unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end || n == 0 || n > 0xFFFFFFFFul) return false;
    *out = {uint32_t(n), {0, 0}};
    return true;
}

settings check_options(const read_options& o) {
    settings s;
    s.request_mode = o.files.empty();
    if (s.request_mode && o.run.empty() && o.from.empty())
        bad("give files, or a request with --run or --from");
    if (!s.request_mode && (!o.run.empty() || !o.exp.empty() || !o.cdir.empty() || !o.ddir.empty()))
        bad("--run, --exp, --cdir and --ddir describe a request; they do not go with files");
    if (!o.run.empty() && !parse_run(o.run, &s.run_first, &s.run_last))
        bad("bad run \"" + o.run + "\" (R or R1-R2)");
    parse_window_end(o.from, &s.start.time, &s.from_offset);
    parse_window_end(o.to, &s.stop.time, &s.to_offset);
    if (s.request_mode && s.from_offset >= 0)
        bad("--from as an offset counts from the first event of the files; give a time with a request");
    if (s.request_mode && s.to_offset >= 0 && o.from.empty())
        bad("--to as an offset counts from --from; give --from with a request");
    s.start.event_number = o.start_event;
    s.stop.event_number = o.stop_event;
    if (o.tolerance_us >= 0) {
        if (o.tolerance_us > 4e15) bad("tolerance too large");
        s.have_tolerance = true;
        const auto us = static_cast<uint64_t>(o.tolerance_us);
        s.tolerance = {uint32_t(us / 1000000u), uint32_t(us % 1000000u)};
    }
    if (!o.step.empty()) {
        if (!parse_step(o.step, &s.step)) bad("bad step \"" + o.step + "\" (N events or Xs seconds)");
        s.have_step = true;
        const bool in_seconds = s.step.event_number == 0;
        if (in_seconds && !o.by_time)
            bad("a step in seconds (\"" + o.step + "\") needs --by-time; without it the step is a number of events");
        if (!in_seconds && o.by_time)
            bad("with --by-time the step is a time, e.g. \"0.5s\", not a number of events");
    }
    if (o.csv && o.tsv) bad("--csv and --tsv exclude each other");
    s.format = o.csv || (o.samples && !o.tsv) ? table_format::csv : o.tsv ? table_format::tsv : table_format::json;
    return s;
}

// A text cut to its field would name another experiment, stream or
// directory, so one that does not fit is refused.
void copy_text(char* field, size_t size, const std::string& text, const char* option) {
    if (text.size() >= size)
        bad(std::string(option) + " \"" + text + "\" is too long (at most " + std::to_string(size - 1) +
            " characters)");
    std::snprintf(field, size, "%s", text.c_str());
}

// A request with a catalogue but no data directory: the reader is given the
// directory the catalogue names, or several of them as a search list (with a
// ':' in the data directory the reader looks bare file names up in each
// entry, in both layouts). Without such directories the reader's own default
// stays.
void data_dirs_from_catalogue(zorv_daq_request* req) {
    std::string list;
    for (const auto& d : zorv_common::catalogue_dirs(*req)) list += (list.empty() ? "" : ":") + d;
    if (list.empty()) return;
    if (list.size() >= sizeof req->ddir) bad("the run catalogue names too long a list of data directories; give --ddir");
    copy_text(req->ddir, sizeof req->ddir, list, "--ddir");
}

// The files whose tables can be loaded, with the span their events cover;
// the others are reported (with what is wrong and where) and left out, so
// that the rest can still be read. A file whose name carries no start time
// is read through a name that does (`names`).
struct usable_set {
    std::vector<std::string> files;
    span covered;
};

template <class L>
usable_set usable_files(const std::vector<std::string>& files, timed_names* names, bool* dropped) {
    usable_set u;
    for (const auto& path : files) {
        open_file<L> f(path);
        std::vector<problem> problems;
        if (load(f, &problems)) {
            span s;
            event_counts(f, &s);
            if (s.first.timeup && (!u.covered.first.timeup || earlier(s.first, u.covered.first)))
                u.covered.first = s.first;
            if (earlier(u.covered.last, s.last)) u.covered.last = s.last;
            u.files.push_back(names->name_for(path, s.first));
            continue;
        }
        for (const auto& p : problems) warn("read", path + ": " + problem_text(p));
        warn("read", path + ": left out");
        *dropped = true;
    }
    if (u.files.empty()) fail("read", exit_problems, "no file can be read");
    return u;
}

// Offsets become times, and a window that misses the files' events is
// refused with the span they cover.
void fit_window(settings* s, const span& covered) {
    if (s->from_offset >= 0) s->start.time = add_seconds(covered.first, s->from_offset);
    if (s->to_offset >= 0)
        s->stop.time = add_seconds(s->start.time.timeup ? s->start.time : covered.first, s->to_offset);
    const bool have_start = s->start.time.timeup != 0, have_stop = s->stop.time.timeup != 0;
    if (!covered.first.timeup || !(have_start || have_stop)) return;
    if ((have_stop && earlier(s->stop.time, covered.first)) || (have_start && earlier(covered.last, s->start.time)))
        bad("the window " + (have_start ? time_text(s->start.time) : std::string("...")) + " to " +
            (have_stop ? time_text(s->stop.time) : std::string("...")) + " lies outside the data: the files cover " +
            time_text(covered.first) + " to " + time_text(covered.last));
}

// The reader of layout L, given its files or its request; exits on failure
// with the reader's words. False when a request finds files of the other
// layout (the caller then tries that layout's reader).
template <class L>
bool open_reader(typename reader_for<L>::type& r, const read_options& o, const settings& s) {
    std::vector<daq_channel_entry*> none;
    int rc;
    if (s.request_mode) {
        zorv_daq_request req = r.request;  // the reader's defaults
        req.run_first = s.run_first;
        req.run_last = s.run_last;
        req.start_time = s.start;
        req.stop_time = s.stop;
        if (!o.exp.empty()) copy_text(req.exp_name, sizeof req.exp_name, o.exp, "--exp");
        if (!o.stream.empty()) copy_text(req.stream_name, sizeof req.stream_name, o.stream, "--stream");
        if (!o.cdir.empty()) copy_text(req.cdir, sizeof req.cdir, o.cdir, "--cdir");
        if (!o.ddir.empty()) copy_text(req.ddir, sizeof req.ddir, o.ddir, "--ddir");
        else if (!o.cdir.empty()) data_dirs_from_catalogue(&req);
        rc = r.init(&req, &none);
        if (rc == ZORV_DAQ_READER_BAD_FILE_FORMAT) return false;
    } else {
        c_strings names(o.files);
        rc = r.init(&names.ptrs, &none);
        if (rc == 0) {
            r.request.start_time = s.start;
            r.request.stop_time = s.stop;
        }
    }
    if (rc == 0 && r.get_number_of_files() == 0) rc = ZORV_DAQ_READER_FILES_NOT_FOUND;
    if (rc != 0) {
        std::string hint;
        if (rc == ZORV_DAQ_READER_FILES_NOT_FOUND && !std::getenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME"))
            hint = " (files changed in the last 30 seconds count as still being written: see "
                   "--accept-open-files)";
        bad(std::string(r.error_i2a(rc)) + hint);
    }
    if (o.by_time) r.request.synch_mode = ZORV_DAQ_SLICER_SYNCH_MODE_TIME;
    if (s.have_tolerance) r.request.time_diff = s.tolerance;
    if (s.have_step) r.request.period = s.step;
    // A time step within the tolerance finds the event it starts from again:
    // the reader refuses it at start; the program says why before that.
    if (o.by_time && s.have_step && !earlier(r.request.time_diff, r.request.period.time))
        bad("with --by-time the step (\"" + o.step + "\") must be longer than the time tolerance (" +
            std::to_string(uint64_t(r.request.time_diff.timeup) * 1000000u + r.request.time_diff.timelow) +
            " us; see --tolerance)");
    return true;
}

// The files the reader reads.
template <class R>
std::vector<std::string> reader_files(R& r) {
    std::vector<std::string> files;
    for (int i = 0; i < r.get_number_of_files(); ++i) files.push_back(r.get_file_name(i));
    return files;
}

// The channels asked for (every channel of the files when none is), checked
// against the files and given to the reader.
template <class R>
std::vector<chosen_channel> select_channels(R& r, const std::vector<known_channel>& known,
                                            const std::vector<std::string>& asked) {
    if (known.empty()) fail("read", exit_problems, "no channels can be read in the files");
    std::vector<std::string> selectors = asked;
    if (selectors.empty())
        for (const auto& k : known) selectors.push_back(k.name);
    std::vector<chosen_channel> chosen;
    std::string why;
    if (!choose_channels(selectors, known, &chosen, &why)) bad(why);
    for (const auto& c : chosen) {
        std::vector<char> text(c.request.c_str(), c.request.c_str() + c.request.size() + 1);
        daq_channel_entry e{text.data(), {}};
        if (r.add_channel(&e) != 0) bad("channel \"" + c.key + "\": " + r.get_last_error());
    }
    return chosen;
}

// A decoded value of each chosen channel, from the first file that holds
// it: the columns of a table are fixed before the first event.
template <class L>
std::vector<output_channel> output_channels(const std::vector<chosen_channel>& chosen,
                                            const std::vector<std::string>& files, bool want_examples) {
    std::vector<output_channel> out;
    for (const auto& c : chosen) {
        output_channel o{c.key, c.channel->units, nullptr};
        for (size_t i = 0; want_examples && i < files.size() && o.example.is_null(); ++i) {
            open_file<L> f(files[i]);
            std::vector<problem> problems;
            if (!load(f, &problems) || f.find_channel(c.channel->name) < 0) continue;
            decoded_channel<L> ch(&f.tables, c.channel->name, c.member);
            if (ch.start() != 0) continue;
            const auto& rd = ch.reader();
            for (int k = 0; k < rd.out_total && o.example.is_null(); ++k)
                if (rd.out[k].sbchdata[0].chhd) o.example = decode_entry(rd.out[k], f.layout, c.member);
        }
        out.push_back(std::move(o));
    }
    return out;
}

// Shows how far the read has come, by the files' start times.
class file_progress {
public:
    template <class R>
    explicit file_progress(R& r) : bar_("read", size_t(r.get_number_of_files())) {
        for (int i = 0; i < r.get_number_of_files(); ++i) {
            time_t t = 0;
            starts_.push_back(get_time_from_file_name(r.get_file_name(i), &t) ? 0 : uint32_t(t));
        }
    }
    void update(const time_stamp& t, long long events) {
        if (++calls_ % 64) return;
        size_t done = 0;
        while (done + 1 < starts_.size() && starts_[done + 1] && starts_[done + 1] <= t.timeup) ++done;
        bar_.update(done, std::to_string(events) + " events");
    }

private:
    progress bar_;
    std::vector<uint32_t> starts_;
    unsigned calls_ = 0;
};

// The entry that names the event: the first channel updated in it that is
// no slow value, else the first channel updated in it.
template <class L, class R>
const zorv_channel_entry_long* reference_entry(const R& r) {
    const zorv_channel_entry_long* first = nullptr;
    for (int i = 0; i < r.nchans; ++i) {
        const auto& rec = *r.results[i];
        if (!rec.updated || !rec.data) continue;
        if (!L::is_update_type(rec.data->dtype & 0xFFFF)) return &rec.res;
        if (!first) first = &rec.res;
    }
    return first;
}

// ----- what the reader could not deliver -----

// {"reasons": {key: word}} for the channels without fresh data at this event:
// a carried slow value, or why there is nothing.
template <class R>
void add_reasons(const R& r, const std::vector<chosen_channel>& chosen, json* rec) {
    json reasons = json::object();
    for (int i = 0; i < r.nchans && size_t(i) < chosen.size(); ++i) {
        zorv_daq_chan_status st;
        if (r.get_chan_status(i, &st) != 0 || st.state == ZORV_DAQ_CHAN_FRESH) continue;
        reasons[chosen[size_t(i)].key] = zorv_daq_chan_state_word(st.state);
    }
    if (!reasons.empty()) (*rec)["reasons"] = std::move(reasons);
}

// True when a file had problems: one was skipped, or entries of a channel
// could not be decoded. (Entries a coarse step passes over are no problem.)
bool files_had_problems(const zorv_daq_delivery_report& rep) {
    if (!rep.skipped_files.empty()) return true;
    for (const auto& c : rep.channels)
        if (c.damaged || c.in_skipped_files) return true;
    return false;
}

// Without --step every entry is meant to make an event of its own: entries
// no event took were lost (by time, a tolerance wider than the events'
// spacing joins neighbouring events into one). They are warned per channel.
bool entries_passed_over(const zorv_daq_delivery_report& rep, const read_options& o) {
    if (!o.step.empty()) return false;
    bool any = false;
    for (const auto& c : rep.channels) {
        if (!c.unmatched) continue;
        warn("read", "channel " + c.channel + ": " + std::to_string(c.unmatched) +
                         " entries matched no event (is the time tolerance wider than the events' spacing?)");
        any = true;
    }
    return any;
}

// The delivery report on standard error (with --report), and the exit status
// of a read that went through: 1 when a file had problems.
template <class R>
void finish_read(const R& r, const read_options& o) {
    zorv_daq_delivery_report rep;
    if (r.get_delivery_report(&rep) != 0) return;
    if (o.report) {
        for (const auto& c : rep.channels)
            std::fprintf(stderr, "channel %s: delivered %ld carried %ld damaged %ld unmatched %ld in skipped files %ld\n",
                         c.channel.c_str(), c.delivered, c.carried, c.damaged, c.unmatched, c.in_skipped_files);
        for (const auto& f : rep.skipped_files)
            std::fprintf(stderr, "skipped file %s: %s\n", f.file.c_str(), f.reason.c_str());
        if (r.request.synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME)
            std::fprintf(stderr, "time tolerance %.0f us\n", rep.tolerance_us);
        std::fprintf(stderr, "read %s\n", rep.complete() ? "complete" : "incomplete");
    }
    for (const auto& c : rep.channels)
        if (c.damaged) warn("read", "channel " + c.channel + ": " + std::to_string(c.damaged) + " damaged entries");
    const bool passed_over = entries_passed_over(rep, o);
    if (files_had_problems(rep) || passed_over) throw CLI::RuntimeError(exit_problems);
}

// One event: {"event", "time", "channels": {key: value}, "reasons": ...}.
template <class L, class R>
json event_record(const R& r, const std::vector<chosen_channel>& chosen) {
    constexpr file_layout lay = L::legacy ? file_layout::legacy : file_layout::current;
    const zorv_channel_entry_long* ref = reference_entry<L>(r);
    const zorv_time_id id = ref ? ref->event_id : r.current_event_id;
    json rec = {{"event", id.event_number}, {"time", time_text(id.time)}};
    json chans = json::object();
    for (int i = 0; i < r.nchans && size_t(i) < chosen.size(); ++i) {
        const auto& c = *r.results[i];
        if (!(c.updated || c.slow) || !c.data) continue;
        json v = decode_entry(c.res, lay, c.chan.subchan);
        if (!c.updated) v["carried"] = true;
        if (c.res.event_id.event_number != id.event_number) v["event"] = c.res.event_id.event_number;
        chans[chosen[size_t(i)].key] = std::move(v);
    }
    rec["channels"] = std::move(chans);
    add_reasons(r, chosen, &rec);
    return rec;
}

template <class R>
std::vector<std::string> channel_states(const R& r) {
    std::vector<std::string> states;
    for (int i = 0; i < r.nchans; ++i) {
        zorv_daq_chan_status st;
        states.push_back(r.get_chan_status(i, &st) == 0 ? zorv_daq_chan_state_word(st.state) : "unknown");
    }
    return states;
}

// True when `now` lies after `before`: by event number when both have one
// and the read goes by number, else by time.
bool advanced(const zorv_time_id& before, const zorv_time_id& now, bool by_time) {
    if (!by_time && before.event_number && now.event_number) return now.event_number > before.event_number;
    return earlier(before.time, now.time);
}

template <class L>
void read_events(typename reader_for<L>::type& r, const read_options& o, const settings& s,
                 const std::vector<chosen_channel>& chosen) {
    if (const int rc = r.start()) {
        const int status = rc == ZORV_DAQ_READER_NOT_FOUND || rc == ZORV_DAQ_READER_INV_PARAM
                               ? exit_bad_input
                               : exit_problems;
        fail("read", status, r.get_last_error());
    }
    const bool wide = s.format != table_format::json && !o.samples;
    event_output out(s.format, o.samples, output_channels<L>(chosen, reader_files(r), wide));
    file_progress bar(r);
    std::vector<zorv_channel_entry_long*> res;
    long long events = 0;
    int rc = 0;
    zorv_time_id last{};
    while ((o.limit < 0 || events < o.limit) &&
           (rc = r.get_data(nullptr, &res, ZORV_DAQ_READ_CHAN_EVENT_NEXT)) == 0) {
        // A step that does not move the read on would give the same events
        // again and again.
        if (events > 0 && !advanced(last, r.current_event_id, o.by_time))
            fail("read", exit_problems,
                 "reading stopped after " + std::to_string(events) + " events: the step does not advance past event " +
                     std::to_string(last.event_number) + " at " + time_text(last.time) +
                     (o.by_time ? " (is the step finer than the events' spacing?)" : ""));
        last = r.current_event_id;
        out.write(event_record<L>(r, chosen), channel_states(r));
        ++events;
        bar.update(r.current_event_id.time, events);
    }
    if (rc != 0 && rc != ZORV_DAQ_READER_OUT_OF_WINDOW)
        fail("read", exit_problems, std::string("reading stopped after ") + std::to_string(events) +
                                        " events: " + r.error_i2a(rc));
    finish_read(r, o);
    if (!out.complete()) throw CLI::RuntimeError(exit_problems);
}

// By time, the reader's own step skips events closer than it (the legacy
// reader's is 0.2 s): the program steps just past the matching tolerance, so
// that every event is delivered in both layouts.
template <class R>
void default_time_step(R& r) {
    r.request.period = zorv_time_id{1, add_seconds(r.request.time_diff, 1e-6)};
}

void run_read(const read_options& o) {
    separate_data_output();
    settings s = check_options(o);
    if (o.accept_open) setenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1", 1);
    file_layout lay = file_layout::current;
    for (size_t i = 0; i < o.files.size(); ++i) {
        file_layout l;
        std::string why;
        if (!detect_layout(o.files[i], &l, &why)) bad(o.files[i] + ": " + why);
        if (i > 0 && l != lay) bad("the files are of both layouts; read each layout on its own");
        lay = l;
    }
    read_options opts = o;
    bool dropped = false;
    timed_names names;
    auto run = [&](auto tag) {
        using L = decltype(tag);
        if (!s.request_mode) {
            const usable_set u = usable_files<L>(o.files, &names, &dropped);
            opts.files = u.files;
            fit_window(&s, u.covered);
        } else if (s.to_offset >= 0) {
            s.stop.time = add_seconds(s.start.time, s.to_offset);
        }
        typename reader_for<L>::type r;
        r.set_debug(o.debug);
        if (!open_reader<L>(r, opts, s)) return false;
        if (o.by_time && !s.have_step) default_time_step(r);
        const std::vector<known_channel> known = known_channels(reader_files(r), open_file<L>::layout);
        const std::vector<chosen_channel> chosen = select_channels(r, known, o.chans);
        read_events<L>(r, o, s, chosen);
        return true;
    };
    if (!with_layout(lay, run)) {
        // A request whose files are not of the layout tried first.
        if (!with_layout(file_layout::legacy, run))
            bad("none of the request's files can be read (their tables are damaged, or they are no DAQ raw files)");
    }
    if (dropped) throw CLI::RuntimeError(exit_problems);
}

void add_read_options(CLI::App* sub, read_options* o) {
    sub->add_option("files", o->files, "DAQ raw files (either layout, not mixed)");
    sub->add_option("--run", o->run, "run number R, or runs R1-R2");
    sub->add_option("--from", o->from,
                    "start time: seconds, YYYYMMDDTHHMMSS or YYYY-MM-DDTHH:MM:SS[.ffffff] (UTC, or with a "
                    "zone Z/+HH:MM), or an offset +HH:MM[:SS] or +Ns from the first event of the files");
    sub->add_option("--to", o->to, "stop time, same forms; an offset counts from --from");
    sub->add_option("--exp", o->exp, "experiment name of a request (reader default: linac)");
    sub->add_option("--stream", o->stream, "stream name of a request (reader default: main)");
    sub->add_option("--cdir", o->cdir, "run catalogue directory of a request");
    sub->add_option("--ddir", o->ddir,
                    "data directory of a request (default with --cdir: the directories the catalogue names)");
    sub->add_option("-c,--chan", o->chans,
                    "channel NAME, NAME:MEMBER (member name or number) or a glob (BPM*), with ;NICK to "
                    "rename it; repeat the option for more (default: every channel of the files)")
        ->allow_extra_args(false);
    sub->add_flag("--by-time", o->by_time, "match channels by time instead of by event number");
    sub->add_option("--tolerance", o->tolerance_us, "time matching tolerance in microseconds")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--step", o->step,
                    "step between events: N events, or Xs seconds with --by-time (default: every event)");
    sub->add_option("--start-event", o->start_event, "first event number");
    sub->add_option("--stop-event", o->stop_event, "last event number");
    sub->add_option("-n,--limit", o->limit, "at most this many events")->check(CLI::Range(0LL, LLONG_MAX));
    sub->add_flag("--tsv", o->tsv, "a tab-separated table under a header instead of JSON lines");
    sub->add_flag("--csv", o->csv,
                  "a comma-separated table: one row per event, scalar values and per-member mean, min and "
                  "max as plain columns (units in the header), channels without data in \"missing\"");
    sub->add_flag("--samples", o->samples,
                  "the table in long form (CSV unless --tsv): one row per sample with event, time, "
                  "channel, member, index, value, unit and state");
    sub->add_flag("--accept-open-files", o->accept_open,
                  "also read files changed in the last 30 seconds (still being written)");
    sub->add_option("--debug", o->debug, "the reader's debug level (its messages go to standard error)");
    sub->add_flag("--report", o->report,
                  "at the end, what each channel got (delivered, carried, damaged, unmatched, in skipped files) and "
                  "the skipped files, on standard error");
}

}  // namespace

ZORV_CLI_COMMAND(read,
                 "read events of DAQ files, or of a request (--run or --from/--to), as JSON lines (one record per "
                 "event with each channel's decoded value) or as a table (--csv, --tsv, --samples)",
                 add_read_options, run_read)
