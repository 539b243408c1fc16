// zorv::reader: the start of the slicer, the event loop that hands out one
// result record per channel for each event, and the record of what was
// delivered.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/reader_parts.h"

namespace zorv {

// ===================== start and event loop =====================

template <class L>
int reader<L>::start() {
    const bool talk = debug != 0 && L::text::talks_with_debug;
    if (slicer) {
        if (talk) {
            std::printf("We have already slicer\n");
            std::fflush(stdout);
        }
        return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    }
    int r = check_request();
    if (r != 0) {
        if (talk) {
            std::printf("Request is not OK ret:%d\n", r);
            std::fflush(stdout);
        }
        return set_error(r);
    }
    // Stepping by event number, a step of no events would give the same
    // event for ever. By time the time part steps, and a step that does not
    // pass the matching tolerance finds the event it steps from again, which
    // would end the read after its first event.
    if (request.synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_EVID && request.period.event_number == 0) {
        if (talk) std::printf("The period steps by no events\n");
        return set_error(ZORV_DAQ_READER_INV_PARAM);
    }
    if (request.synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME &&
        sys::to_micros(request.period.time) <= sys::to_micros(request.time_diff)) {
        if (talk) std::printf("The period steps by no more than the time tolerance\n");
        return set_error(ZORV_DAQ_READER_INV_PARAM);
    }
    slicer = new slicer_type();
    if (debug != 0) slicer->set_debug(debug);
    if constexpr (L::has_time_fix) slicer->set_by_time_fix(by_time_fix);

    std::vector<chan_param*> params;
    for (result_entry* rec : results)
        if (rec) params.push_back(&rec->chan);
    auto fail = [&](int code, const char* fmt, auto... args) {
        if (debug != 0) {
            std::printf(fmt, args...);
            std::fflush(stdout);
        }
        return set_error(code);
    };
    if ((r = slicer->init(&files, &params, 0)) != 0) return fail(r, "Failed to init slicer error:%d\n", r);
    if ((r = slicer->set_synch_mode(request.synch_mode)) != 0)
        return fail(r, "Failed to set synch mode:%d at the slicer error:%d\n", request.synch_mode, r);
    if ((r = slicer->set_time_diff(&request.time_diff)) != 0)
        return fail(r, "Failed to set time diff erro:%d\n", r);
    if ((r = slicer->set_event_step(&request.period)) != 0)
        return fail(r, "Failed to set event step error:%d\n", r);
    slicer->set_count_window(time_start, time_stop);
    if ((r = slicer->start()) != 0) {
        fail(r, "Failed to start slicer error:%d\n", r);
        last_error += ":";
        last_error += reader_detail::text_of(slicer->get_not_found_channels());
        return r;
    }
    return set_error(ZORV_DAQ_READER_OK);
}

// One round with the slicer; its status, with the timing line when asked.
template <class L>
int reader<L>::ask_slicer(zorv_time_id* id, int type) {
    const double t0 = sys::timing_clock_us(debug < 0);
    const int s = slicer->get_data(id, &cur_res, type);
    if constexpr (L::text::get_data_timing != nullptr) {
        if (debug < 0) {
            const double dt = wall_clock_us() - t0;
            if (dt > 1000.0) std::printf(L::text::get_data_timing, dt / 1000.0);
        }
    }
    if (debug > 1) std::printf("reader.get_data() CUR_RES.SIZE(): %d  STATUS: %d\n", int(cur_res.size()), s);
    return s;
}

// Block types whose entries name their channel by the property at the head of
// the payload and do not stand for an event: the update, begin-of-run and
// end-of-run blocks; in the legacy layout the update block alone.
template <class L>
bool reader<L>::matched_by_property(int type) {
    return L::text::every_update_type_by_property ? L::is_update_type(type) : type == L::upd_type;
}

// The entry that stands for the event: the first with a channel header that
// is not an update, begin-of-run or end-of-run block; else the first entry.
template <class L>
const zorv_channel_entry_long* reader<L>::reference_entry() const {
    const zorv_channel_entry_long* first = nullptr;
    for (const zorv_channel_entry_long* e : cur_res) {
        if (!e) continue;
        if (!first) first = e;
        const auto* sh = reinterpret_cast<const subhead*>(e->sbchdata[0].chhd);
        if (!sh) {
            if (debug > 0 || L::text::reports_without_debug) std::printf("%s", L::text::null_chan_header);
            continue;
        }
        if (!matched_by_property(sh->dtype & 0xFFFF)) return e;
    }
    return first;
}

// Where the event stands against the window: 0 inside, -1 before its start,
// +1 after its stop.
template <class L>
int reader<L>::window_side(const zorv_channel_entry_long* ref) const {
    const double t = reader_detail::micros(ref->event_id.time);
    const uint32_t ev = ref->event_id.event_number;
    bool ok_from = time_start == 0.0 || t >= time_start;
    bool ok_to = time_stop == 0.0 || t <= time_stop;
    if (request.synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_EVID) {
        const uint32_t from = request.start_time.event_number;
        const uint32_t to = request.stop_time.event_number;
        if (from != 0) ok_from = from <= ev;
        if (to != 0) ok_to = to >= ev;
    }
    return !ok_from ? -1 : (!ok_to ? 1 : 0);
}

// Index of the result record that an entry belongs to, or -1. Update blocks
// are matched by the property name at the head of their payload. The search
// starts at `from` and wraps: the slicer hands entries out in the order of
// the channels, so the record after the last match is nearly always the one.
// Keys are unique (add_channel refuses a channel twice), so the wrapped
// search finds the same record; property names are not (two sub-channels
// of one channel share theirs), so those are searched from the first.
template <class L>
int reader<L>::find_result_for(const zorv_channel_entry_long* e, const subhead* sh, int from) {
    const bool by_property = matched_by_property(sh->dtype & 0xFFFF);
    const long payload = long(sh->ldata) - long(sizeof(subhead));
    const char* data = reinterpret_cast<const char*>(e->sbchdata[0].data);
    const int n = std::min(nchans, static_cast<int>(std::min(results.size(), keys_.size())));
    if (by_property || from < 0 || from >= n) from = 0;
    for (int step = 0; step < n; ++step) {
        const int i = (from + step) % n;
        const result_entry* r = results[i];
        if (!r) continue;
        int c = 1;
        if (by_property) {
            if (data && payload > 0) {
                const long field = payload < L::upd_prop_len ? payload : L::upd_prop_len;
                c = reader_detail::field_cmp(data, size_t(field), r->chan.name);
            }
        } else {
            c = reader_detail::field_cmp(sh->chname, sizeof sh->chname, keys_[i].c_str());
        }
        if (debug > 1) std::printf("reader.get_data() FOUND: %d\n", c);
        if (c == 0) return i;
    }
    return -1;
}

// Copies an entry's headers and data into the record and points the record's
// result at the copies, so that it outlives the slicer's entry.
template <class L>
int reader<L>::copy_into_result(result_entry* r, const zorv_channel_entry_long* e, const subhead* sh) {
    const int dt = sh->dtype & 0xFFFF;
    if (dt == L::upd_type) r->slow = 1;
    const long sh_size = long(sizeof(subhead));
    const long ldata = sh->ldata;
    // A length shorter than the sub-header carries no payload.
    const long payload = ldata > sh_size ? ldata - sh_size : 0;
    const long need = sh_size + payload;
    if (!r->data || r->data->ldata < ldata || r->data->ldata < sh_size) {
        void* grown = std::realloc(r->data, size_t(need));
        if (!grown) {
            std::printf("Failed to realloc %d of data for %s\n", sh->ldata, channel_key(r).c_str());
            if (L::text::perror_on_realloc) std::perror("realloc");
            return ZORV_DAQ_READER_INTERN_ERROR;
        }
        r->data = static_cast<subhead*>(grown);
    }
    if (const auto* eh = reinterpret_cast<const zorv_eventheader*>(e->sbchdata[0].evhd))
        r->evhd = *eh;
    else
        std::memset(&r->evhd, 0, sizeof r->evhd);
    if (const auto* bh = reinterpret_cast<const sbhead*>(e->sbchdata[0].sbhd))
        r->sbhd = *bh;
    else
        std::memset(&r->sbhd, 0, sizeof r->sbhd);
    std::memcpy(r->data, sh, sizeof(subhead));
    const void* src = reinterpret_cast<const void*>(e->sbchdata[0].data);
    if (payload > 0 && src) std::memcpy(reinterpret_cast<char*>(r->data) + sh_size, src, size_t(payload));
    if (ldata < sh_size) r->data->ldata = static_cast<int32_t>(sh_size);
    if (debug > 1) std::printf("UPDATED %s\n", channel_key(r).c_str());

    r->updated = 1;
    r->res = *e;
    auto& p = r->res.sbchdata[0];
    p.evhd = reinterpret_cast<uint64_t>(&r->evhd);
    p.sbhd = reinterpret_cast<uint64_t>(&r->sbhd);
    p.chhd = reinterpret_cast<uint64_t>(r->data);
    p.data = reinterpret_cast<uint64_t>(r->data) + uint64_t(sh_size);
    return ZORV_DAQ_READER_OK;
}

// Copies every entry of the current event into its channel's record.
template <class L>
int reader<L>::take_event() {
    ++evs;
    for (int i = 0; i < nchans && i < static_cast<int>(results.size()); ++i)
        if (results[i]) results[i]->updated = 0;
    if (keys_.size() != results.size()) {
        keys_.clear();
        for (const result_entry* r : results) keys_.push_back(r ? channel_key(r) : std::string());
    }
    int next = 0;
    for (const zorv_channel_entry_long* e : cur_res) {
        if (!e) continue;
        current_event_id = e->event_id;
        const auto* sh = reinterpret_cast<const subhead*>(e->sbchdata[0].chhd);
        if (!sh) continue;
        const int k = find_result_for(e, sh, next);
        if (k < 0) continue;
        next = k + 1;
        const int r = copy_into_result(results[k], e, sh);
        if (r != 0) return r;
    }
    return ZORV_DAQ_READER_OK;
}

// Whether the record's slow value is carried into the current event: one
// that did not come with it, and came with an event at or before it (a walk
// that turned back to an earlier event does not get a later value).
template <class L>
bool reader<L>::carries_value(const result_entry* r) const {
    if (!r->slow || r->updated) return false;
    int sign = 0;
    if (slicer) slicer->is_event_id_eq(&r->res.event_id, &slicer->current_event_id, &sign);
    return sign <= 0;
}

template <class L>
int reader<L>::get_data(zorv_time_id* id, std::vector<zorv_channel_entry_long*>* out, int type) {
    if (!slicer) return ZORV_DAQ_READER_NOT_INIT;
    if (!out) return set_error(ZORV_DAQ_READER_INV_PARAM);
    cur_res.clear();
    out->clear();
    // Asking again after a rejected event only helps when the slicer moves
    // on by itself: a NEXT or PREV from its own position. Any other request
    // answers the same event again, so the loop ends there instead.
    bool moves_on = id == nullptr && (type == ZORV_DAQ_READ_CHAN_EVENT_NEXT || type == ZORV_DAQ_READ_CHAN_EVENT_PREV);
    const bool step = moves_on;
    // The first (last) event of the data may lie before (after) the window,
    // or hand out nothing: the first (last) event of the read is then found
    // by stepping inwards from it.
    auto step_inwards = [&](int side) {
        const bool first = type == ZORV_DAQ_READ_CHAN_EVENT_FIRST && side <= 0;
        const bool last = type == ZORV_DAQ_READ_CHAN_EVENT_LAST && side >= 0;
        if (id || (!first && !last)) return false;
        type = first ? ZORV_DAQ_READ_CHAN_EVENT_NEXT : ZORV_DAQ_READ_CHAN_EVENT_PREV;
        moves_on = true;
        return true;
    };
    bool have_last = false;
    zorv_time_id last_seen{};
    for (;;) {
        const int s = ask_slicer(id, type);
        // Recorded, so that a read that has ended never still says "OK".
        if (s == ZORV_DAQ_READER_INV_PARAM || s == ZORV_DAQ_READER_INTERN_ERROR || s == ZORV_DAQ_READER_NOT_READY ||
            s == ZORV_DAQ_READER_OUT_OF_WINDOW)
            return set_error(s);
        if (s != 0) {
            std::printf("Unexpected return code %d\n", s);
            return set_error(s);
        }
        if (cur_res.empty()) {
            ++evs_empty;
            if (debug >= 1) std::printf("BREAKING HERE 1 mode: %d \n", request.synch_mode);
            if (!moves_on && !step_inwards(0)) return set_error(ZORV_DAQ_READER_OUT_OF_WINDOW);
            continue;
        }
        const zorv_channel_entry_long* ref = reference_entry();
        if (request.synch_mode != ZORV_DAQ_SLICER_SYNCH_MODE_EVID && request.synch_mode != ZORV_DAQ_SLICER_SYNCH_MODE_TIME) {
            std::printf("Unknown synch mode %d\n", request.synch_mode);
            return set_error(ZORV_DAQ_READER_INTERN_ERROR);
        }
        const int side = window_side(ref);
        if (side == 0) break;
        if (debug > 1) std::printf("reader.get_data() BELONG: %d\n", 0);
        // Events come in order: once a NEXT is past the stop, or a PREV
        // before the start, no later answer can fall inside the window.
        const bool past = (type == ZORV_DAQ_READ_CHAN_EVENT_NEXT && side > 0) ||
                          (type == ZORV_DAQ_READ_CHAN_EVENT_PREV && side < 0);
        const bool repeated = have_last && std::memcmp(&last_seen, &ref->event_id, sizeof last_seen) == 0;
        // What the slicer gave with the event is not handed out: the report
        // counts it.
        slicer->refuse_event(past);
        if (!moves_on && step_inwards(side)) continue;
        if (!moves_on || past || repeated) return set_error(ZORV_DAQ_READER_OUT_OF_WINDOW);
        last_seen = ref->event_id;
        have_last = true;
    }
    if (debug > 1) std::printf("reader.get_data() BELONG: %d\n", 1);
    const int r = take_event();
    if (r != 0) return r;
    count_delivery(step);
    for (int i = 0; i < nchans && i < static_cast<int>(results.size()); ++i) {
        result_entry* rec = results[i];
        if (rec && (rec->updated || carries_value(rec))) out->push_back(&rec->res);
    }
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
double reader<L>::get_time_period_us() {
    using reader_detail::file_start;
    if (time_stop != 0.0 && time_start != 0.0) return time_stop - time_start;
    if (files.empty()) return -1.0;
    uint32_t first = 0, last = 0;
    if (files.size() > 1) {
        if (!file_start(files.front(), &first)) return -1.0;
        if (!file_start(files.back(), &last)) return 0.0;
        if (last < first) return -4.0;  // names out of order: no estimate
        last = last + (last - first) / static_cast<uint32_t>(files.size() - 1);
    } else {
        get_tables.clean_up();
        if (get_tables.get_all_tables(files[0], 0, &chans) != 0) {
            set_error(ZORV_DAQ_READER_BAD_FILE_FORMAT);
            return -2.0;
        }
        const auto* eit = get_tables.get_eit_table();
        if (!eit || eit->nevent_types <= 0) {
            if (debug != 0 || L::text::reports_without_debug) std::printf("No events in event index table\n");
            get_tables.clean_up();
            set_error(ZORV_DAQ_READER_NO_DATA);
            return -3.0;
        }
        time_stamp t_first{}, t_last{};
        const auto* entry = reinterpret_cast<const unsigned char*>(&eit->entry[0]);
        for (int k = 0; k < eit->nevent_types; ++k) {
            const auto* e = reinterpret_cast<const zorv_event_index_entry*>(entry);
            int cmp = 0;
            if (e->event_time_first.timeup != 0 &&
                (t_first.timeup == 0 || (zorv_time_stamp_eq(&e->event_time_first, &t_first, 0, &cmp, nullptr), cmp < 0)))
                t_first = e->event_time_first;
            if (e->event_time_last.timeup != 0 &&
                (t_last.timeup == 0 || (zorv_time_stamp_eq(&e->event_time_last, &t_last, 0, &cmp, nullptr), cmp > 0)))
                t_last = e->event_time_last;
            // An entry shorter than its own head would not advance.
            if (e->length < int(offsetof(zorv_event_index_entry, event_info))) break;
            entry += e->length;
        }
        get_tables.clean_up();
        first = t_first.timeup;
        last = t_last.timeup;
    }
    if (first == last || last == 0 || first == 0) return -4.0;
    return double(last - first) * 1e6;
}

// ===================== what was delivered =====================

// An event the read had before (a walk that turns back, or comes forward
// again) is not counted again: each entry counts once.
template <class L>
void reader<L>::count_delivery(bool step) {
    const zorv_time_id& at = slicer->current_event_id;
    const double key = slicer->get_synch_mode() == ZORV_DAQ_SLICER_SYNCH_MODE_TIME
                           ? double(at.time.timeup) * 1e6 + double(at.time.timelow)
                           : double(at.event_number);
    const bool fresh_event = walked_.visit(key, step);
    const size_t n = static_cast<size_t>(nchans) < results.size() ? size_t(nchans) : results.size();
    if (delivery_.size() != n) {
        delivery_.assign(n, zorv_daq_chan_delivery{});
        for (size_t i = 0; i < n; ++i)
            if (results[i]) delivery_[i].channel = channel_key(results[i]);
    }
    for (size_t i = 0; i < n && fresh_event; ++i) {
        const result_entry* rec = results[i];
        if (!rec) continue;
        // An entry the slicer gave as fresh but that no record took (its
        // block had no header, or one naming no selected channel) is lost
        // to the caller: damaged, as its per-event state says.
        const int state = slicer ? slicer->chan_state(int(i)) : int(ZORV_DAQ_CHAN_NO_ENTRY);
        if (rec->updated)
            ++delivery_[i].delivered;
        else if (state == ZORV_DAQ_CHAN_DAMAGED || state == ZORV_DAQ_CHAN_FRESH)
            ++delivery_[i].damaged;
        else if (carries_value(rec))
            ++delivery_[i].carried;
    }
}

template <class L>
int reader<L>::get_chan_status(int i, zorv_daq_chan_status* out) const {
    if (!out || i < 0 || i >= nchans || i >= static_cast<int>(results.size()) || !results[size_t(i)])
        return ZORV_DAQ_READER_INV_PARAM;
    const result_entry* rec = results[size_t(i)];
    *out = zorv_daq_chan_status{};
    const int missing = slicer ? slicer->chan_state(i) : int(ZORV_DAQ_CHAN_NO_ENTRY);
    if (rec->updated) {
        out->state = ZORV_DAQ_CHAN_FRESH;
    } else if (carries_value(rec) && missing != ZORV_DAQ_CHAN_DAMAGED && missing != ZORV_DAQ_CHAN_FRESH) {
        out->state = ZORV_DAQ_CHAN_CARRIED;
        out->from = rec->res.event_id;
    } else {
        // Fresh at the slicer but not taken here: its block had no header.
        out->state = missing == ZORV_DAQ_CHAN_FRESH ? int(ZORV_DAQ_CHAN_DAMAGED) : missing;
    }
    return ZORV_DAQ_READER_OK;
}

template <class L>
int reader<L>::get_delivery_report(zorv_daq_delivery_report* out) const {
    if (!out) return ZORV_DAQ_READER_INV_PARAM;
    out->channels = delivery_;
    if (out->channels.size() < results.size()) {
        // Channels selected but not read yet still get their row.
        for (size_t i = out->channels.size(); i < results.size() && i < size_t(nchans); ++i) {
            out->channels.emplace_back();
            if (results[i]) out->channels.back().channel = channel_key(results[i]);
        }
    }
    out->skipped_files = skipped_files_;
    if (slicer) {
        for (size_t i = 0; i < out->channels.size(); ++i) {
            out->channels[i].unmatched = slicer->unmatched_entries(int(i));
            out->channels[i].in_skipped_files = slicer->entries_in_skipped_files(int(i));
            out->channels[i].damaged += slicer->entries_without_event(int(i));
        }
        for (auto& f : slicer->get_skipped_files()) out->skipped_files.push_back({f.first, f.second});
    }
    out->tolerance_us = double(request.time_diff.timeup) * 1e6 + double(request.time_diff.timelow);
    return ZORV_DAQ_READER_OK;
}

template <class L>
void reader<L>::clean_up() {
    if (slicer) {
        slicer->clean_up();
        delete slicer;
        slicer = nullptr;
    }
    free_files();
    cur_res.clear();
    free_results();
    current_event_id = zorv_time_id{};
    time_start = time_stop = 0.0;
    evs = evs_empty = 0;
    delivery_.clear();
    walked_.clear();
    skipped_files_.clear();
    set_default_request();
    get_tables.clean_up();
    inspected_path_.reset();
}

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_READER(L) \
    template int reader<L>::start(); \
    template int reader<L>::ask_slicer(zorv_time_id* id, int type); \
    template bool reader<L>::matched_by_property(int type); \
    template const zorv_channel_entry_long* reader<L>::reference_entry() const; \
    template int reader<L>::window_side(const zorv_channel_entry_long* ref) const; \
    template int reader<L>::find_result_for(const zorv_channel_entry_long* e, const subhead* sh, int from); \
    template int reader<L>::copy_into_result(result_entry* r, const zorv_channel_entry_long* e, const subhead* sh); \
    template int reader<L>::take_event(); \
    template int reader<L>::get_data(zorv_time_id* id, std::vector<zorv_channel_entry_long*>* out, int type); \
    template double reader<L>::get_time_period_us(); \
    template void reader<L>::count_delivery(bool step); \
    template int reader<L>::get_chan_status(int i, zorv_daq_chan_status* out) const; \
    template int reader<L>::get_delivery_report(zorv_daq_delivery_report* out) const; \
    template bool reader<L>::carries_value(const result_entry* r) const; \
    template void reader<L>::clean_up();
ZORV_READER(layout_current)
ZORV_READER(layout_legacy)
#undef ZORV_READER


}  // namespace zorv

const char* zorv_daq_chan_state_word(int state) {
    static const char* const words[] = {"fresh", "carried", "no entry", "not in file", "damaged", "file skipped"};
    if (state < 0 || state >= static_cast<int>(sizeof words / sizeof words[0])) return "unknown";
    return words[state];
}
