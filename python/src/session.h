// A reader of either layout as the Python module uses it: opened on files or
// a request, inspected, started, read event by event into Python values or
// in bulk into stacked arrays. The interpreter lock is released while the
// reader reads and decodes.
#ifndef ZORVDAQ_PY_SESSION_H
#define ZORVDAQ_PY_SESSION_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "block_types.h"
#include "columns.h"
#include "decode_value.h"
#include "python_values.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace zorvpy {

// Failures the Python side sees as its own exception types.
struct reader_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct missing_file_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline void copy_text(char* field, size_t size, const std::string& text) {
    if (text.size() >= size) throw std::invalid_argument("\"" + text + "\" is too long");
    std::snprintf(field, size, "%s", text.c_str());
}

inline zorv_time_id time_id(uint32_t event, double seconds) {
    if (!(seconds >= 0) || seconds > 4294967295.0) throw std::invalid_argument("time out of range");
    const auto sec = uint32_t(seconds);
    auto usec = uint32_t((seconds - sec) * 1e6 + 0.5);
    if (usec > 999999) usec = 999999;
    return {event, {sec, usec}};
}

inline int64_t micros(const time_stamp& t) { return int64_t(t.timeup) * 1000000 + t.timelow; }

// The interpreter lock released for a scope. A thread that takes it back
// while the interpreter is shutting down (a daemon thread still reading when
// the program ends) is ended by the interpreter with pthread_exit, whose
// unwinding must pass through this destructor: pybind11's guard has a
// noexcept one, and the process would abort instead.
class gil_released {
public:
    gil_released() : state_(PyEval_SaveThread()) {}
    ~gil_released() noexcept(false) { PyEval_RestoreThread(state_); }
    gil_released(const gil_released&) = delete;
    gil_released& operator=(const gil_released&) = delete;

private:
    PyThreadState* state_;
};

// A session's lock, taken without the interpreter lock so that a thread
// holding the session (and waiting for the interpreter) and one waiting for
// the session (and holding the interpreter) cannot block each other. Every
// call on a session holds it: a run closed from one thread while another
// reads waits for that read to end instead of freeing the reader under it.
class session_lock {
public:
    explicit session_lock(std::mutex& m) : lock_(m, std::defer_lock) {
        const gil_released unlocked;
        lock_.lock();
    }

private:
    std::unique_lock<std::mutex> lock_;
};

template <class L>
class session {
public:
    using reader_type = typename zorv_common::reader_for<L>::type;

    ~session() { close_now(); }

    static bool legacy() { return L::legacy; }

    void init_files(const std::vector<std::string>& files) {
        const session_lock held(m_);
        std::vector<std::vector<char>> text;
        std::vector<char*> ptrs;
        for (const auto& f : files) {
            text.emplace_back(f.c_str(), f.c_str() + f.size() + 1);
            ptrs.push_back(text.back().data());
        }
        std::vector<daq_channel_entry*> none;
        int rc;
        {
            const gil_released unlocked;
            rc = r_.init(&ptrs, &none);
        }
        if (rc == 0 && r_.get_number_of_files() == 0) rc = ZORV_DAQ_READER_FILES_NOT_FOUND;
        if (rc != 0) fail_with(rc);
    }

    // A request; false when its files are of the other layout.
    bool init_request(int run_first, int run_last, double start_s, double stop_s, const std::string& exp,
                      const std::string& stream, const std::string& cdir, const std::string& ddir) {
        const session_lock held(m_);
        zorv_daq_request req = r_.request;
        req.run_first = run_first;
        req.run_last = run_last;
        req.start_time = start_s > 0 ? time_id(0, start_s) : zorv_time_id{};
        req.stop_time = stop_s > 0 ? time_id(0, stop_s) : zorv_time_id{};
        if (!exp.empty()) copy_text(req.exp_name, sizeof req.exp_name, exp);
        if (!stream.empty()) copy_text(req.stream_name, sizeof req.stream_name, stream);
        if (!cdir.empty()) copy_text(req.cdir, sizeof req.cdir, cdir);
        if (!ddir.empty()) copy_text(req.ddir, sizeof req.ddir, ddir);
        std::vector<daq_channel_entry*> none;
        int rc;
        {
            const gil_released unlocked;
            // Without a data directory, the directories the catalogue names
            // are searched (several as a ':' list).
            if (ddir.empty() && !cdir.empty()) {
                std::string list;
                for (const auto& d : zorv_common::catalogue_dirs(req)) list += (list.empty() ? "" : ":") + d;
                if (!list.empty() && list.size() < sizeof req.ddir) copy_text(req.ddir, sizeof req.ddir, list);
            }
            rc = r_.init(&req, &none);
        }
        if (rc == ZORV_DAQ_READER_BAD_FILE_FORMAT) return false;
        if (rc == 0 && r_.get_number_of_files() == 0) rc = ZORV_DAQ_READER_FILES_NOT_FOUND;
        if (rc != 0) fail_with(rc);
        return true;
    }

    // The read window the request settled on (seconds; 0 for an open side),
    // which may be narrower than the one asked for (a run's own times).
    py::tuple window() {
        const session_lock held(m_);
        const auto sec = [](const zorv_time_id& t) { return double(micros(t.time)) / 1e6; };
        return py::make_tuple(sec(r_.request.start_time), sec(r_.request.stop_time));
    }

    std::vector<std::string> files() {
        const session_lock held(m_);
        std::vector<std::string> out;
        for (int i = 0; i < r_.get_number_of_files(); ++i) out.emplace_back(r_.get_file_name(i));
        return out;
    }

    // What a file holds, from its tables loaded once: its channel dictionary
    // as (name, entries, event mask, type mask), the channel descriptions by
    // DAQ name, and its event index summary (events per event type, first
    // and last event time in µs, lowest and highest event number). Raises
    // when the file does not load as a file of this layout. A file whose
    // descriptions alone cannot be read is still read (the reader does not
    // need them): it is listed without them.
    py::tuple inspect(const std::string& path) {
        const session_lock held(m_);
        int n = 0;
        int rc;
        {
            const gil_released unlocked;
            rc = r_.get_number_of_channels(path.c_str(), &n, 1);
            if (rc != 0) rc = r_.get_number_of_channels(path.c_str(), &n, 0);
        }
        if (rc) fail_with(rc);
        return py::make_tuple(listing(n), descriptions(), summary());
    }

private:
    py::list listing(int n) {
        py::list out;
        constexpr size_t field = sizeof(L::cdt_entry::chan_name);
        for (int i = 0; i < n; ++i) {
            int count = 0, ev = 0, types = 0;
            const char* name = r_.get_channel_name(i, &count, &ev, &types);
            if (!name) continue;
            out.append(py::make_tuple(std::string(name, strnlen(name, field)), count, uint32_t(ev), uint32_t(types)));
        }
        return out;
    }

    template <size_t N>
    static std::string text(const char (&field)[N]) {
        return std::string(field, strnlen(field, N));
    }

    py::dict descriptions() {
        py::dict out;
        std::vector<chan_descr_2010*>* list = r_.get_descr_list();
        if (!list) return out;
        for (const chan_descr_2010* d : *list) {
            if (!d) continue;
            py::dict e;
            e["property"] = text(d->prop_name);
            e["description"] = text(d->prop_desc);
            e["units"] = text(d->units);
            e["dtype"] = d->dtype & 0xFFFF;
            out[py::str(text(d->daq_name))] = e;
        }
        return out;
    }

    py::tuple summary() {
        py::dict counts;
        int64_t first = 0, last = 0;
        uint32_t low = 0, high = 0;
        const auto* eit = r_.get_tables.get_eit_table();
        if (!eit) return py::make_tuple(counts, first, last, low, high);
        const auto* base = reinterpret_cast<const unsigned char*>(eit);
        size_t off = offsetof(typename L::eit, entry);
        constexpr int head = int(offsetof(zorv_event_index_entry, event_info));
        // The loader checked every entry's length against the table.
        for (int k = 0; k < eit->nevent_types && k < 64; ++k) {
            const auto* e = reinterpret_cast<const zorv_event_index_entry*>(base + off);
            if (e->length < head) break;
            const int count = (e->length - head) / int(sizeof(zorv_event_info));
            counts[py::str(event_name_itoa(e->event_type))] = count;
            if (count > 0) {
                const int64_t a = micros(e->event_time_first), b = micros(e->event_time_last);
                if (a && (!first || a < first)) first = a;
                if (b > last) last = b;
                if (!low || e->event_number_first < low) low = e->event_number_first;
                if (e->event_number_last > high) high = e->event_number_last;
            }
            off += size_t(e->length);
        }
        return py::make_tuple(counts, first, last, low, high);
    }

public:
    void select(const std::vector<std::string>& chans) {
        const session_lock held(m_);
        for (const auto& c : chans) {
            std::vector<char> text(c.c_str(), c.c_str() + c.size() + 1);
            daq_channel_entry e{text.data(), {}};
            if (r_.add_channel(&e) != 0) throw std::invalid_argument("channel \"" + c + "\": " + r_.get_last_error());
        }
    }

    // Synchronisation and window. Negative tolerance keeps the reader's own;
    // zero steps and bounds mean none.
    void configure(bool by_time, double tolerance_us, uint32_t step_events, double step_s, uint32_t start_event,
                   uint32_t stop_event, double start_s, double stop_s) {
        const session_lock held(m_);
        if (by_time) r_.request.synch_mode = ZORV_DAQ_SLICER_SYNCH_MODE_TIME;
        if (tolerance_us >= 0) {
            if (tolerance_us > 4e15) throw std::invalid_argument("tolerance too large");
            const auto us = uint64_t(tolerance_us);
            r_.request.time_diff = {uint32_t(us / 1000000u), uint32_t(us % 1000000u)};
        }
        const double tolerance_s = double(micros(r_.request.time_diff)) / 1e6;
        // By time, a step within the matching tolerance finds the event it
        // steps from again; the reader refuses it at start, and this says why.
        if (by_time && step_s > 0 && step_s <= tolerance_s) {
            char why[200];
            std::snprintf(why, sizeof why,
                          "a step by time of %g s does not pass the matching tolerance of %g s: the read would end "
                          "at its first event",
                          step_s, tolerance_s);
            throw std::invalid_argument(why);
        }
        if (step_events || step_s > 0) r_.request.period = time_id(step_events, step_s);
        // By time without a step, the reader's own step (0.2 s in the legacy
        // layout) passes over events closer than it: a step just past the
        // matching tolerance delivers every event, as the program reads.
        else if (by_time) r_.request.period = time_id(1, tolerance_s + 1e-6);
        bound(&r_.request.start_time, start_event, start_s);
        bound(&r_.request.stop_time, stop_event, stop_s);
    }

    // Sets the parts of a read's bound that are given (an event number, a
    // time) and keeps the other: an event bound set after the time window
    // does not open the window (a read by time goes by the time alone).
    static void bound(zorv_time_id* b, uint32_t event, double seconds) {
        if (event) b->event_number = event;
        if (seconds > 0) b->time = time_id(0, seconds).time;
    }

    std::vector<std::string> keys() {
        const session_lock held(m_);
        std::vector<std::string> out;
        for (int i = 0; i < r_.nchans; ++i) out.push_back(key_of(*r_.results[i]));
        return out;
    }

    void start() {
        const session_lock held(m_);
        if (closed_) throw reader_error("the run is closed");
        started_by_ = getpid();
        int rc;
        {
            const gil_released unlocked;
            rc = r_.start();
        }
        if (rc == ZORV_DAQ_READER_NOT_FOUND || rc == ZORV_DAQ_READER_INV_PARAM)
            throw std::invalid_argument(r_.get_last_error());
        if (rc != 0) throw reader_error(r_.get_last_error());
        started_ = true;
    }

    // The next event as (number, time in µs, [(state, from event, value)]),
    // or None at the end of the read.
    py::object next_event() {
        const session_lock held(m_);
        if (!advance()) return py::none();
        caches_.resize(size_t(r_.nchans));
        py::list chans;
        value_view v;
        for (int i = 0; i < r_.nchans; ++i) {
            const auto& c = *r_.results[i];
            zorv_daq_chan_status st;
            r_.get_chan_status(i, &st);
            py::object value = py::none();
            if (has_value(c, st)) {
                decode_value(c.res, L::legacy, c.chan.subchan, &v);
                if (!v.error.empty()) st.state = ZORV_DAQ_CHAN_DAMAGED;
                value = value_object(v, caches_[size_t(i)]);
            }
            chans.append(py::make_tuple(st.state, st.from.event_number, value));
        }
        const zorv_time_id id = event_id();
        return py::make_tuple(id.event_number, micros(id.time), chans);
    }

    // The next event as (number, time in µs, values, reasons), or None at the
    // end of the read; the loop over the channels runs here, where it costs
    // least. `values` maps each channel's key to what makers[kind] makes of
    // its decoded block (a field name picks that field of the block's dict, a
    // callable is called with the dict, the channel's state and the event
    // its value was carried from), or None without a value; `reasons` maps
    // those keys to words[state], or to the decoder's message for a damaged
    // block.
    py::object next_values(const py::dict& makers, const py::tuple& words) {
        const session_lock held(m_);
        if (!advance()) return py::none();
        caches_.resize(size_t(r_.nchans));
        // The keys are made once: their hashes are kept with them.
        if (keys_.size() != size_t(r_.nchans)) {
            keys_.clear();
            for (int i = 0; i < r_.nchans; ++i) keys_.push_back(py::str(key_of(*r_.results[i])));
        }
        py::dict values, reasons;
        value_view v;
        for (int i = 0; i < r_.nchans; ++i) {
            const auto& c = *r_.results[i];
            const py::str& k = keys_[size_t(i)];
            zorv_daq_chan_status st;
            r_.get_chan_status(i, &st);
            const bool has_block = has_value(c, st);
            if (has_block) decode_value(c.res, L::legacy, c.chan.subchan, &v);
            py::object value = py::none();
            if (!has_block) {
                reasons[k] = size_t(st.state) < words.size() ? words[size_t(st.state)] : py::str("unknown");
            } else if (!v.error.empty()) {
                reasons[k] = v.error;
            } else {
                const py::dict d = value_object(v, caches_[size_t(i)]);
                const py::handle maker = PyDict_GetItem(makers.ptr(), kind_key(v.k).ptr());
                if (!maker) value = d;
                else if (PyUnicode_Check(maker.ptr())) value = d[maker];
                else value = maker(d, int(st.state), st.from.event_number);
            }
            values[k] = value;
        }
        const zorv_time_id id = event_id();
        return py::make_tuple(id.event_number, micros(id.time), values, reasons);
    }

    // Reads up to `limit` events (all when negative) into stacked arrays.
    // `progress` (or None) is called with the events read so far every
    // `every` events. Between batches the interpreter handles its signals,
    // so that a long read can be interrupted.
    py::dict read_arrays(long long limit, py::object progress, long long every, long long expected) {
        const session_lock held(m_);
        const size_t hint = size_t(expected > 0 && expected < (1LL << 32) ? expected : 0);
        stacked out(size_t(r_.nchans), limit >= 0 && size_t(limit) < hint ? size_t(limit) : hint);
        const size_t batch = every > 0 ? size_t(every) : 1024;
        const auto wanted = [&] { return limit < 0 || (long long)out.events.size() < limit; };
        bool more = true;
        while (more && wanted()) {
            {
                const gil_released unlocked;
                const size_t stop = out.events.size() + batch;
                while (wanted() && out.events.size() < stop && (more = advance_unlocked())) take_event(&out);
            }
            if (failed_) fail_read(out.events.size());
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (!progress.is_none()) progress(out.events.size());
        }
        return out.to_python();
    }

    py::dict report() {
        const session_lock held(m_);
        zorv_daq_delivery_report rep;
        py::dict out;
        if (r_.get_delivery_report(&rep) != 0) return out;
        py::list chans, skipped;
        for (const auto& c : rep.channels) {
            py::dict d;
            d["channel"] = c.channel;
            d["delivered"] = c.delivered;
            d["carried"] = c.carried;
            d["damaged"] = c.damaged;
            d["unmatched"] = c.unmatched;
            d["in_skipped_files"] = c.in_skipped_files;
            chans.append(d);
        }
        for (const auto& f : rep.skipped_files) skipped.append(py::make_tuple(f.file, f.reason));
        out["channels"] = chans;
        out["skipped_files"] = skipped;
        out["tolerance_us"] = rep.tolerance_us;
        out["complete"] = rep.complete();
        return out;
    }

    void close() {
        const session_lock held(m_);
        close_now();
    }

private:
    void close_now() {
        if (closed_) return;
        closed_ = true;
        started_ = false;
        // A process forked from the one that started the reader has none of
        // its threads, and its locks may be held for ever: cleaning the
        // reader would wait for them. Its copy of the reader is left as it is.
        if (forked()) {
            (void)owned_.release();
            return;
        }
        r_.clean_up();
    }

    // Whether the reader was started in another process, this one being
    // forked from it since.
    bool forked() const { return started_by_ != 0 && started_by_ != getpid(); }

    [[noreturn]] void fail_with(int rc) {
        const std::string words = r_.error_i2a(rc);
        if (rc == ZORV_DAQ_READER_FILES_NOT_FOUND || rc == ZORV_DAQ_READER_NOT_FOUND) throw missing_file_error(words);
        if (rc == ZORV_DAQ_READER_INV_PARAM) throw std::invalid_argument(words);
        throw reader_error(words);
    }

    [[noreturn]] void fail_read(size_t events) {
        failed_ = false;
        throw reader_error("reading stopped after " + std::to_string(events) + " events: " + r_.error_i2a(fail_rc_));
    }

    // The events of a bulk read: their numbers and times, and a column per
    // selected channel.
    struct stacked {
        std::vector<uint32_t> events;
        std::vector<int64_t> times;
        std::vector<column> cols;

        stacked(size_t nchans, size_t rows) {
            events.reserve(rows);
            times.reserve(rows);
            cols.reserve(nchans);
            for (size_t i = 0; i < nchans; ++i) cols.emplace_back(rows);
        }

        py::dict to_python() {
            py::dict out;
            const auto n = py::ssize_t(events.size());
            out["event"] = owned_array(std::move(events), py::dtype("u4"), {n});
            out["time_us"] = owned_array(std::move(times), py::dtype("i8"), {n});
            py::list chans;
            for (auto& c : cols) chans.append(column_object(c, n));
            out["channels"] = chans;
            return out;
        }
    };

    // Appends the reader's current event to a bulk read.
    void take_event(stacked* out) {
        const zorv_time_id id = event_id();
        out->events.push_back(id.event_number);
        out->times.push_back(micros(id.time));
        for (int i = 0; i < r_.nchans; ++i) {
            const auto& c = *r_.results[i];
            zorv_daq_chan_status st;
            r_.get_chan_status(i, &st);
            const bool has = has_value(c, st);
            if (has) decode_value(c.res, L::legacy, c.chan.subchan, &view_);
            out->cols[size_t(i)].push(has ? &view_ : nullptr, st.state);
        }
    }

    // Whether a selected channel's record holds its value at the current
    // event: a fresh entry, or a slow value carried forward. A slow channel
    // whose entry at this event is damaged still holds the earlier value,
    // which is not this event's.
    template <class Rec>
    static bool has_value(const Rec& c, const zorv_daq_chan_status& st) {
        return c.data && (c.updated || st.state == ZORV_DAQ_CHAN_CARRIED);
    }

    // One get_data without the interpreter lock held by the caller; false at
    // the end of the read or on a failure (kept in failed_).
    bool advance_unlocked() {
        if (!started_ || closed_) return false;
        std::vector<zorv_channel_entry_long*> res;
        const int rc = r_.get_data(nullptr, &res, ZORV_DAQ_READ_CHAN_EVENT_NEXT);
        if (rc == 0) return true;
        started_ = false;
        if (rc != ZORV_DAQ_READER_OUT_OF_WINDOW) failed_ = true, fail_rc_ = rc;
        return false;
    }

    bool advance() {
        if (closed_) throw reader_error("the run is closed");
        if (forked())
            throw reader_error("the read was started in the process this one was forked from; start a read in this "
                               "process instead");
        bool ok;
        {
            const gil_released unlocked;
            ok = advance_unlocked();
        }
        if (failed_) fail_read(size_t(r_.get_number_of_events()));
        return ok;
    }

    // The event's identity: that of the first channel updated in it that is
    // no slow value, else of the first updated one, else the reader's.
    zorv_time_id event_id() const {
        const zorv_channel_entry_long* first = nullptr;
        for (int i = 0; i < r_.nchans; ++i) {
            const auto& rec = *r_.results[i];
            if (!rec.updated || !rec.data) continue;
            if (!L::is_update_type(rec.data->dtype & 0xFFFF)) return rec.res.event_id;
            if (!first) first = &rec.res;
        }
        return first ? first->event_id : r_.current_event_id;
    }

    // A selected channel's key: its nickname, else NAME[:SUB].
    template <class Rec>
    static std::string key_of(const Rec& rec) {
        if (rec.chan.nname[0]) return std::string(rec.chan.nname, strnlen(rec.chan.nname, sizeof rec.chan.nname));
        std::string k(rec.chan.name, strnlen(rec.chan.name, sizeof rec.chan.name));
        if (rec.chan.subchan >= 0) k += ":" + std::to_string(rec.chan.subchan);
        return k;
    }

    static py::dict column_object(column& c, py::ssize_t n) {
        py::dict d;
        d["kind"] = kind_word(c.value_kind());
        d["damaged"] = c.damaged();
        d["first_error"] = c.first_error();
        d["state"] = owned_array(std::move(c.states()), py::dtype("i1"), {n});
        if (c.element() != elem::none) {
            std::vector<py::ssize_t> shape{n};
            for (size_t s : c.row_shape()) shape.push_back(py::ssize_t(s));
            d["values"] = owned_array(std::move(c.data()), py::dtype(elem_dtype(c.element())), shape);
        }
        if (c.element() == elem::f8) d["time_us"] = owned_array(std::move(c.times_us()), py::dtype("i8"), {n});
        if (c.value_kind() == kind::spectrum || c.value_kind() == kind::roi) d.attr("update")(member_params(c.members()));
        else d["members"] = c.names();
        return d;
    }

    std::mutex m_;
    std::vector<member_cache> caches_;  // per selected channel, for next_event
    std::vector<py::str> keys_;         // per selected channel, for next_values
    value_view view_;                   // reused by take_event
    // The reader, on the heap so that a forked process can leave it alone.
    std::unique_ptr<reader_type> owned_ = std::make_unique<reader_type>();
    reader_type& r_ = *owned_;
    pid_t started_by_ = 0;  // the process that started the reader
    bool started_ = false;
    bool closed_ = false;
    bool failed_ = false;
    int fail_rc_ = 0;
};
}  // namespace zorvpy

#endif
