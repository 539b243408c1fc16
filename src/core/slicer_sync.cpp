// zorv::slicer: event synchronisation: get_data, the walk forward and the
// way back, and the choice of each event's entries by number or time.
#include "core/slicer_parts.h"

namespace zorv {

// ---------------------------------------------------------------------------
// Event synchronisation
// ---------------------------------------------------------------------------

template <class L>
bool slicer<L>::is_event_id_eq(const zorv_time_id* a, const zorv_time_id* b, int* sign) const {
    int s = 0;
    if (a && b && a->event_number != 0 && b->event_number != 0) {
        s = a->event_number < b->event_number ? -1 : a->event_number > b->event_number ? 1 : 0;
    } else if (a && b) {
        zorv_time_stamp_eq(&a->time, &b->time, time_diff, &s, nullptr);
    }
    if (sign) *sign = s;
    return s == 0;
}

template <class L>
bool slicer<L>::before(const zorv_time_id& a, const zorv_time_id& b) const {
    int s = 0;
    is_event_id_eq(&a, &b, &s);
    return s < 0;
}

// Where the channel's file stands against the wanted event: 0 when the
// event may be in it; -1 when the file lies wholly behind the event in the
// direction of a NEXT or PREV step (the channel's entry is in a file further
// on, so it moves there); 1 when the channel sits out the event.
template <class L>
int slicer<L>::side_of_file(reader_t* r, int request, const zorv_time_id& target) const {
    zorv_time_id first{}, last{};
    r->get_time_limits(&first, &last);
    switch (request) {
        case ZORV_DAQ_READ_CHAN_EVENT_CUR:
            return before(target, first) || before(last, target) ? 1 : 0;
        case ZORV_DAQ_READ_CHAN_EVENT_NEXT:
            return before(last, target) ? -1 : 0;
        case ZORV_DAQ_READ_CHAN_EVENT_PREV:
            return before(target, first) ? -1 : 0;
        case ZORV_DAQ_READ_CHAN_EVENT_LAST:
            return before(last, target) ? 1 : 0;
        default:
            return before(target, first) ? 1 : 0;
    }
}

// The way from the channel's file to a given event it does not reach: NEXT
// when the event lies after the file's last entry, PREV when before its
// first, 0 when the file spans it.
template <class L>
int slicer<L>::way_to(reader_t* r, const zorv_time_id& target) const {
    zorv_time_id first{}, last{};
    r->get_time_limits(&first, &last);
    if (before(last, target)) return ZORV_DAQ_READ_CHAN_EVENT_NEXT;
    if (before(target, first)) return ZORV_DAQ_READ_CHAN_EVENT_PREV;
    return 0;
}

namespace slicer_detail {

struct failing_status {
    int status;
    int result;
    const char* message;
};

// Channel reader answers that end get_data at once.
constexpr failing_status failing_statuses[] = {
    {ZORV_DAQ_READ_CHAN_NOT_READY, ZORV_DAQ_SLICER_NOT_READY, "Channel[%d] %s ZORV_DAQ_READ_CHAN_NOT_READY\n"},
    {ZORV_DAQ_READ_CHAN_NOT_INIT, ZORV_DAQ_SLICER_INTERN_ERROR, "Channel[%d] %s ZORV_DAQ_READ_CHAN_NOT_INIT\n"},
    {ZORV_DAQ_READ_CHAN_NOT_FOUND, ZORV_DAQ_SLICER_INTERN_ERROR, "Channel[%d] %s  ZORV_DAQ_READ_CHAN_NOT_FOUND\n"},
    {ZORV_DAQ_READ_CHAN_INTERN_ERROR, ZORV_DAQ_SLICER_INTERN_ERROR,
     "Channel[%d] %s  ZORV_DAQ_READ_CHAN_INTERN_ERROR\n"},
    {ZORV_DAQ_READ_CHAN_INV_PARAM, ZORV_DAQ_SLICER_INTERN_ERROR, "Channel[%d] %s  ZORV_DAQ_READ_CHAN_INV_PARAM\n"},
};

// Whether an entry may win a tie in time against an equal candidate for the
// last event: slow values may not, and neither may an entry whose data
// failed conversion (it has no sub-header to tell its type).
template <class L>
bool may_win_last_tie(const zorv_channel_entry_long* e) {
    uint64_t chhd = e->sbchdata[0].chhd;
    if (chhd == 0) return false;
    auto* sh = reinterpret_cast<const typename L::subhead*>(static_cast<uintptr_t>(chhd));
    return (sh->dtype & 0xFFFF) != L::upd_type;
}

}  // namespace slicer_detail

template <class L>
int slicer<L>::get_data(zorv_time_id* id, entry_vector* result, int request) {
    if (!slicer_detail::valid_request(request) || !result) return ZORV_DAQ_SLICER_INV_PARAM;
    const bool by_time = synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME;
    if (by_time) current_event_id.event_number = 0;
    if (L::text::slicer_prints_input_event && debug > 0)
        printf("current_event_id.event_number (input): %d:%d_%d  synch_mode:%d\n",
               current_event_id.event_number, current_event_id.time.timeup,
               current_event_id.time.timelow, synch_mode);
    // By time LAST is the data's last event, the end of the walk forward; as
    // the first request too: the walk starts at the first event and goes there.
    if (by_time && first_event && !id && request == ZORV_DAQ_READ_CHAN_EVENT_LAST) {
        const int s = get_data(nullptr, result, ZORV_DAQ_READ_CHAN_EVENT_CUR);
        if (s != ZORV_DAQ_SLICER_OK || first_event) return s;
        return get_data(nullptr, result, request);
    }
    const int r = first_event ? static_cast<int>(ZORV_DAQ_READ_CHAN_EVENT_CUR) : request;
    result->clear();
    // In time synchronisation the walk forward is remembered: a step onto
    // one of its events gives that event again as it was, and a step
    // forward past them goes on from where the walk forward stopped.
    const bool remembered = by_time && !id && !first_event;
    if (remembered) {
        bool before_start = false;
        const walk_event* again = revisit(r, &before_start);
        if (before_start) return ZORV_DAQ_SLICER_OUT_OF_WINDOW;
        if (!again && r == ZORV_DAQ_READ_CHAN_EVENT_LAST && walk_to_end()) again = &history_.back();
        if (again) return serve_remembered(*again, result);
        const bool at_end = history_at_ >= 0 && size_t(history_at_) + 1 == history_.size();
        if (r == ZORV_DAQ_READ_CHAN_EVENT_NEXT && at_end && history_complete_) return ZORV_DAQ_SLICER_OUT_OF_WINDOW;
        if (r == ZORV_DAQ_READ_CHAN_EVENT_NEXT && at_end && !at_frontier_) restore_frontier();
    }
    at_frontier_ = false;
    zorv_time_id target = id ? *id : current_event_id;
    if (by_time) target.event_number = 0;
    walking_forward_ = r == ZORV_DAQ_READ_CHAN_EVENT_NEXT || (first_event && !id);
    candidate c;
    const double t0 = timing_clock_us(debug < 0);
    short_of_event_.clear();
    for (int i = 0; read_chans && i < nchans; ++i) {
        int s = serve_channel(i, r, target, id != nullptr, c, t0);
        if (s != 0) return s;
    }
    // The first event of the channels' files: the walk forward's event there.
    if (remembered && r == ZORV_DAQ_READ_CHAN_EVENT_FIRST && c.set)
        if (const walk_event* h = walk_event_from(c.id)) return serve_remembered(*h, result);
    double dt = timing_clock_us(debug < 0) - t0;
    if (L::text::slicer_timing && debug < 0 && dt > 1000.0) printf("get_data() middle %f msec\n", dt / 1000.0);
    // No channel offers an entry in this direction: the data ends here.
    // current_event_id stays where it was, so the caller may still turn back.
    if (!c.set) {
        if (by_time && r == ZORV_DAQ_READ_CHAN_EVENT_NEXT && history_at_ >= 0 &&
            size_t(history_at_) + 1 == history_.size())
            history_complete_ = true;
        // Walking forward, what is left in the channels' files was passed.
        for (int i = 0; read_chans && i < nchans; ++i)
            if (read_chans[i]) count_passed(i, read_chans[i]->out_total);
        return ZORV_DAQ_SLICER_OUT_OF_WINDOW;
    }
    for (const auto& [i, p] : short_of_event_)
        if (read_chans[i]) restore_position(i, p);
    current_event_id = c.id;
    if (by_time) current_event_id.event_number = 0;
    int with_reader = collect(result, r, static_cast<const tables_t*>(c.file));
    event_refused_ = false;
    if (by_time) note_walk(r, id != nullptr);
    first_event = 0;
    start_next_file_ahead();
    if (debug > 0)
        printf("current_event_id.event_number (output): %d:%d_%d res.size():%d\n",
               current_event_id.event_number, current_event_id.time.timeup,
               current_event_id.time.timelow, static_cast<int>(result->size()));
    return with_reader > 0 ? ZORV_DAQ_SLICER_OK : ZORV_DAQ_SLICER_OUT_OF_WINDOW;
}

// The event of the walk forward a request comes to, when the walk had it:
// NEXT and PREV from the current event, FIRST when the walk began at the
// data's first event, LAST once it reached the end. Null otherwise. A step
// back from the data's first event finds nothing (before_start).
template <class L>
const typename slicer<L>::walk_event* slicer<L>::revisit(int request, bool* before_start) const {
    if (history_.empty()) return nullptr;
    const bool inside = history_at_ >= 0;
    const size_t at = size_t(history_at_);
    switch (request) {
        case ZORV_DAQ_READ_CHAN_EVENT_NEXT:
            return inside && at + 1 < history_.size() ? &history_[at + 1] : nullptr;
        case ZORV_DAQ_READ_CHAN_EVENT_PREV:
            *before_start = inside && at == 0 && history_from_start_;
            return inside && at > 0 ? &history_[at - 1] : nullptr;
        case ZORV_DAQ_READ_CHAN_EVENT_FIRST:
            return history_from_start_ ? &history_.front() : nullptr;
        case ZORV_DAQ_READ_CHAN_EVENT_LAST:
            return history_complete_ ? &history_.back() : nullptr;
        default:
            return nullptr;
    }
}

// The walk forward's first event not earlier than `id` by more than the
// tolerance; null when the walk forward has none.
template <class L>
const typename slicer<L>::walk_event* slicer<L>::walk_event_from(const zorv_time_id& id) const {
    const double t = slicer_detail::exact_us(id) - time_diff;
    auto k = std::lower_bound(history_.begin(), history_.end(), t,
                              [](const walk_event& h, double v) { return slicer_detail::exact_us(h.id) < v; });
    return k == history_.end() ? nullptr : &*k;
}

// The last event of the data is the walk forward's last one: the walk goes
// on to the end, as far as its memory reaches. False when it cannot
// remember that far.
template <class L>
bool slicer<L>::walk_to_end() {
    if (history_.empty()) return false;
    history_at_ = long(history_.size()) - 1;
    entry_vector scratch;
    while (!history_complete_) {
        const size_t had = history_.size();
        const int s = get_data(nullptr, &scratch, ZORV_DAQ_READ_CHAN_EVENT_NEXT);
        if (history_complete_) break;
        if ((s != ZORV_DAQ_SLICER_OK && s != ZORV_DAQ_SLICER_OUT_OF_WINDOW) || history_.size() == had) return false;
    }
    return true;
}

// Where channel i stands now, to be kept with the event just given.
template <class L>
typename slicer<L>::chan_pos slicer<L>::position_of(int i) const {
    chan_pos p;
    if (size_t(i) >= track_.size()) return p;
    const chan_track& t = track_[size_t(i)];
    p.state = t.state;
    const reader_t* r = read_chans ? read_chans[i] : nullptr;
    if (!r || t.reader != r) return p;
    p.file = t.file;
    p.cur = slicer_detail::index_in(r, r->out_cur);
    p.given = slicer_detail::index_in(r, t.given);
    p.last = t.last;
    p.event_cur = r->event_cur;
    return p;
}

// Moves channel i's reader straight to files[file], which it read before;
// false when it cannot get there.
template <class L>
bool slicer<L>::move_to_file(int i, int file) {
    if (!read_chans[i] || size_t(i) >= track_.size()) return false;
    const int p = track_[size_t(i)].file;
    if (p == file) return true;
    const int way = p < file ? ZORV_DAQ_READ_CHAN_EVENT_NEXT : ZORV_DAQ_READ_CHAN_EVENT_PREV;
    return p >= 0 && switch_file(i, way, file) && track_[size_t(i)].file == file;
}

// Puts channel i back where it stood after an event of the walk forward:
// on the same file, entries and marks.
template <class L>
void slicer<L>::restore_position(int i, const chan_pos& p) {
    if (size_t(i) >= track_.size()) return;
    chan_track& t = track_[size_t(i)];
    t.given = t.given_before = nullptr;
    t.state = p.state;
    if (p.file < 0 || !read_chans[i]) return;
    if (!move_to_file(i, p.file)) {
        printf("Channel %s cannot go back to %s\n", chan_name(i), files[size_t(p.file)]);
        t.state = ZORV_DAQ_CHAN_FILE_SKIPPED;
        return;
    }
    reader_t* r = read_chans[i];
    {
        checked_lock lk(r->mx);
        r->out_cur = slicer_detail::entry_at(r, p.cur);
        r->event_cur = p.event_cur;
    }
    t.given = slicer_detail::entry_at(r, p.given);
    t.last = p.last;
}

// Gives event h of the walk forward again: every channel back where it stood
// after it, handing out what it handed out then. Nothing is counted again.
template <class L>
int slicer<L>::serve_remembered(const walk_event& h, entry_vector* result) {
    walking_forward_ = false;
    at_frontier_ = false;
    int with_reader = 0;
    for (int i = 0; read_chans && i < nchans && size_t(i) < h.pos.size(); ++i) {
        restore_position(i, h.pos[size_t(i)]);
        if (!read_chans[i]) continue;
        ++with_reader;
        if (const zorv_channel_entry_long* e = track_[size_t(i)].given)
            result->push_back(const_cast<zorv_channel_entry_long*>(e));
    }
    current_event_id = h.id;
    history_at_ = &h - history_.data();
    release_spare_memory();
    return with_reader > 0 ? ZORV_DAQ_SLICER_OK : ZORV_DAQ_SLICER_OUT_OF_WINDOW;
}

// Every channel back where the walk forward left it after its last
// remembered event, so that the next step forward is the one it would have
// taken from there.
template <class L>
void slicer<L>::restore_frontier() {
    walking_forward_ = false;  // the files the channels pass on the way were counted before
    const walk_event& h = history_.back();
    for (int i = 0; read_chans && i < nchans && size_t(i) < h.pos.size(); ++i) restore_position(i, h.pos[size_t(i)]);
    current_event_id = h.id;
}

// Keeps the walk forward's events from the first one on, and where in them
// the walk now is.
template <class L>
void slicer<L>::note_walk(int request, bool explicit_target) {
    const bool extends = first_event || (request == ZORV_DAQ_READ_CHAN_EVENT_NEXT && history_at_ >= 0 &&
                                           size_t(history_at_) + 1 == history_.size());
    if (first_event) {
        history_.clear();
        history_complete_ = false;
        history_from_start_ = !explicit_target;
    }
    const size_t per_event = sizeof(walk_event) + sizeof(chan_pos) * size_t(nchans > 0 ? nchans : 1) + 32;
    const size_t room = std::max(slicer_detail::history_min_events, slicer_detail::history_bytes / per_event);
    if (!extends || history_.size() >= room) {
        // Elsewhere: back in the history only on one of its events.
        const double t = slicer_detail::exact_us(current_event_id);
        auto k = std::lower_bound(history_.begin(), history_.end(), t, [](const walk_event& h, double v) {
            return slicer_detail::exact_us(h.id) < v;
        });
        history_at_ = k != history_.end() && slicer_detail::same_id(k->id, current_event_id) ? long(k - history_.begin()) : -1;
        return;
    }
    walk_event h;
    h.id = current_event_id;
    h.pos.reserve(size_t(nchans));
    for (int i = 0; i < nchans; ++i) h.pos.push_back(position_of(i));
    history_.push_back(std::move(h));
    history_at_ = long(history_.size()) - 1;
    at_frontier_ = true;
}

// A given event that another file holds: channel i moves file by file
// towards it. When none of its files spans the event (it falls between two
// files, or beyond the channel's first or last one), the channel goes back
// where it stood and false tells it to sit the event out. The last of its
// files short of the event is kept in short_of_event_: once the event is
// found the channel waits there, where a step from the event finds its
// entries next to it (from where it stood, a step would pass over the files
// in between).
template <class L>
bool slicer<L>::move_towards(int i, const zorv_time_id& target) {
    const int way = way_to(read_chans[i], target);
    if (way == 0) return true;
    const chan_pos was = position_of(i);
    chan_pos nearest = was;
    for (size_t round = 0; round < files.size() && read_chans[i]; ++round) {
        if (!switch_file(i, way)) break;
        const int now = way_to(read_chans[i], target);
        if (now == 0) return true;
        if (now != way) break;
        nearest = position_of(i);
    }
    if (read_chans[i]) restore_position(i, was);
    if (nearest.file != was.file) short_of_event_.emplace_back(i, nearest);
    return false;
}

// Looks channel i up for the event and offers its entry to the candidate;
// a channel whose file does not reach the event is moved to the neighbouring
// file and looked up again (towards a given event, to the file that spans
// it). Returns 0, or the status that ends get_data.
template <class L>
int slicer<L>::serve_channel(int i, int request, const zorv_time_id& target, bool given, candidate& c, double t0) {
    const bool step = request == ZORV_DAQ_READ_CHAN_EVENT_NEXT || request == ZORV_DAQ_READ_CHAN_EVENT_PREV;
    const bool known = target.event_number != 0 || target.time.timeup != 0;
    if (given && !step && known && read_chans[i] && !move_towards(i, target)) return 0;
    // A switch that lands on a file the channel cannot use either is not
    // retried more often than there are files.
    for (size_t round = 0; round <= files.size(); ++round) {
        reader_t* r = read_chans[i];
        if (!r) return 0;
        if (debug == -2) {
            printf("Channel %d %u\n", i, slicer_detail::identity(r));
            r->print_time_limits();
            printf("lop: %d\n", request);
        }
        const int side = side_of_file(r, request, target);
        if (side > 0 || (side < 0 && !switch_file(i, request))) return 0;
        if (side < 0) continue;
        if (debug > 0) printf("Calling %d with:%d\n", i, request);
        if (debug > 1) printf("Calling get_chan_data() get_data()\n");
        double dt = timing_clock_us(debug < 0) - t0;
        if (L::text::slicer_timing && debug < 0 && dt > 1000.0) printf("get_data() start %f msec\n", dt / 1000.0);

        zorv_time_id q = target;
        zorv_channel_entry_long* e = nullptr;
        int s = r->get_chan_data(&q, &e, request);
        if (debug > 1 && e)
            printf("Got from get_chan_data() get_data() %d:%d_%d (have already %d:%d_%d)\n", e->event_id.event_number,
                   e->event_id.time.timeup, e->event_id.time.timelow, c.id.event_number, c.id.time.timeup,
                   c.id.time.timelow);
        if (debug > 1 && !e) printf("rs NULL\n");
        if (debug == -2) printf("NEXT %d %d\n", request, s);

        if (s == ZORV_DAQ_READ_CHAN_OK) {
            // A step that finds only the file's edge entry, and that one no
            // step (a tolerance wider than the step reaches back to it): the
            // channel's next entry is in the neighbouring file.
            if (e && slicer_detail::at_file_edge(r, e, request) && no_step(i, request, target, e)) {
                if (!switch_file(i, request)) return 0;
                continue;
            }
            if (e) offer(i, request, target, e, c);
            return 0;
        }
        if (s == ZORV_DAQ_READ_CHAN_NO_DATA) {
            printf("Channel[%d] %s  ZORV_DAQ_READ_CHAN_NO_DATA\n", i, chan_name(i));
            return 0;
        }
        if (s == ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW) {
            if (offer_near_edge(i, request, target, c)) return 0;
            if (!switch_file(i, request)) return 0;
            continue;
        }
        for (const auto& f : slicer_detail::failing_statuses) {
            if (f.status != s) continue;
            printf(f.message, i, chan_name(i));
            return f.result;
        }
        return 0;
    }
    return 0;
}

// A step whose target lies beyond the file on the side it steps from (a
// PREV after the file's last entry, a NEXT before its first: the channel
// waits in the file nearest to the target) finds no entry within a step of
// the target, but the file's edge entry is the channel's nearest one in
// that direction: it is offered, and the channel stays. Switching files the
// way of the step would take the channel further from the target and pass
// over the entries of this file. False when the target is not beyond.
template <class L>
bool slicer<L>::offer_near_edge(int i, int request, const zorv_time_id& target, candidate& c) {
    reader_t* r = read_chans[i];
    const int way = way_to(r, target);
    const bool prev_beyond = request == ZORV_DAQ_READ_CHAN_EVENT_PREV && way == ZORV_DAQ_READ_CHAN_EVENT_NEXT;
    const bool next_beyond = request == ZORV_DAQ_READ_CHAN_EVENT_NEXT && way == ZORV_DAQ_READ_CHAN_EVENT_PREV;
    if (!prev_beyond && !next_beyond) return false;
    zorv_channel_entry_long* e = nullptr;
    const int edge = prev_beyond ? ZORV_DAQ_READ_CHAN_EVENT_LAST : ZORV_DAQ_READ_CHAN_EVENT_FIRST;
    if (r->get_chan_data(nullptr, &e, edge) == ZORV_DAQ_READ_CHAN_OK && e) offer(i, request, target, e, c);
    return true;
}

// Moves channel i file by file in the direction of the request until its
// new reader starts; false when the channel has no further usable file. The
// first move may go straight to files[to] instead of the neighbour.
template <class L>
bool slicer<L>::switch_file(int i, int request, int to) {
    // Whether the channel's reader is one whose start failed: it cannot stay
    // once no further file can take its place.
    bool broken = false;
    for (;;) {
        jump_to_ = std::exchange(to, -1);
        const int c = change_config(i, request, 1);
        jump_to_ = -1;
        const int s = c == 0 ? start_channel(i, request) : c;
        release_spare_memory();
        if (c != 0) {
            if (debug > 0) printf("NO CONGIGS ANY MORE for %s:%d \n", chan_name(i), chan_sub(i));
            if (broken) {
                if (debug > 0) printf("NO DATA  ANY MORE for %s removing\n", chan_name(i));
                remove_channel(i);
            }
            return false;
        }
        if (s == 0) return true;
        broken = true;
        // The channel's part of this file cannot be read: it goes on with
        // the next file, and the file is reported for it.
        if (!slicer_detail::file_lacks_channel(s))
            note_channel_skip(i, static_cast<tables_t*>(read_chans[i]->get_cfg()), s);
    }
}

// Channel i cannot be read from table set t (its basket or blocks are
// damaged): the file is reported for the channel, and its entries there are
// counted as lost.
template <class L>
void slicer<L>::note_channel_skip(int i, tables_t* t, int status) {
    const char* file = slicer_detail::file_of(t);
    std::string why = std::string("channel ") + chan_name(i) + " cannot be read (error " + std::to_string(status) + ")";
    for (const auto& k : chan_skips_)
        if (k.first == file && k.second == why) return;
    printf("Skipping file %s: %s\n", file, why.c_str());
    chan_skips_.emplace_back(file, why);
    if (size_t(i) >= track_.size()) return;
    track_[size_t(i)].failed_files.emplace_back(file);
    typename L::cdt_entry* e = nullptr;
    const auto* cdt = t ? t->get_cdt_table() : nullptr;
    if (cdt && L::find_channel_by_name(cdt, chans[i]->name, &e) >= 0 && e && e->count > 0)
        track_[size_t(i)].in_skipped += e->count;
}

// In time synchronisation a step's lookup may find the entry the channel
// handed out at the event it steps from, or one no later (earlier) than it:
// that is no step at all and cannot be the next event. An entry beyond it is
// a step even when it lies within the tolerance, as every neighbour does once
// the tolerance reaches the events' spacing; refusing those would end the
// read at its first event.
template <class L>
bool slicer<L>::no_step(int i, int request, const zorv_time_id& target, const zorv_channel_entry_long* e) const {
    if (synch_mode != ZORV_DAQ_SLICER_SYNCH_MODE_TIME) return false;
    const double step_us = slicer_detail::exact_us(e->event_id) - slicer_detail::exact_us(target);
    const bool handed_here = size_t(i) < track_.size() && track_[size_t(i)].given == e;
    return handed_here || (request == ZORV_DAQ_READ_CHAN_EVENT_PREV && step_us >= 0) ||
           (request == ZORV_DAQ_READ_CHAN_EVENT_NEXT && step_us <= 0);
}

template <class L>
void slicer<L>::offer(int i, int request, const zorv_time_id& target, const zorv_channel_entry_long* e,
                      candidate& c) const {
    const zorv_time_id& id = e->event_id;
    const bool by_time = synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME;
    auto take = [&](bool say) {
        c.id = id;
        c.set = true;
        c.file = read_chans[i]->get_cfg();
        if (say && debug > 0) printf("Copying temp evid: %d (from:%d)\n", c.id.event_number, i);
        if (by_time) c.id.event_number = 0;
    };
    const bool refused = no_step(i, request, target, e);
    if (!c.set) {
        if (!refused) take(true);
        return;
    }
    int d = 0;
    is_event_id_eq(&target, &id, &d);
    if (debug > 0) printf("Diff: %d\n", d);
    switch (request) {
        case ZORV_DAQ_READ_CHAN_EVENT_CUR:
            if (d == 0) {
                c.id = id;
                c.file = read_chans[i]->get_cfg();
            }
            return;
        case ZORV_DAQ_READ_CHAN_EVENT_PREV:
            // The latest entry before the target; in time synchronisation an
            // equal entry with a later exact time wins, the mirror of NEXT,
            // so that a step back lands where the step forward did.
            if (before(id, target) &&
                (before(c.id, id) || (by_time && is_event_id_eq(&id, &c.id, nullptr) &&
                                      slicer_detail::exact_us(c.id) < slicer_detail::exact_us(id))))
                take(false);
            return;
        case ZORV_DAQ_READ_CHAN_EVENT_FIRST:
            if (before(id, target) && before(id, c.id)) take(false);
            return;
        default:
            break;
    }
    // NEXT and LAST: the earliest entry after the target; in time
    // synchronisation an equal entry with an earlier exact time wins.
    const bool next = request == ZORV_DAQ_READ_CHAN_EVENT_NEXT;
    if (!before(target, id)) return;
    if (before(id, c.id)) {
        take(next);
        return;
    }
    if (by_time && is_event_id_eq(&id, &c.id, nullptr) &&
        slicer_detail::exact_us(c.id) > slicer_detail::exact_us(id) &&
        (next || slicer_detail::may_win_last_tie<L>(e)))
        take(true);
}

// Appends the current entry of every channel that has the chosen event;
// returns the number of channels that still have a reader.
template <class L>
int slicer<L>::collect(entry_vector* result, int request, const tables_t* event_file) {
    int with_reader = 0;
    const bool by_time = synch_mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME;
    const bool step = request == ZORV_DAQ_READ_CHAN_EVENT_NEXT || request == ZORV_DAQ_READ_CHAN_EVENT_PREV;
    std::vector<zorv_channel_entry_long*> at(size_t(nchans), nullptr);
    for (int i = 0; i < nchans; ++i) {
        reader_t* r = read_chans[i];
        if (size_t(i) < track_.size()) {
            chan_track& t = track_[size_t(i)];
            t.state = missing_state(i, event_file);
            t.given_before = t.given;
            t.given = nullptr;
        }
        if (!r) continue;
        ++with_reader;
        if (debug > 1) printf("Calling get_chan_data() gete_data() end\n");
        zorv_channel_entry_long* e = nullptr;
        int s = r->get_chan_data(nullptr, &e, ZORV_DAQ_READ_CHAN_EVENT_CUR);
        if (debug > 2) printf("CURRENT %d\n", s);
        if (s != 0 || !e) continue;
        bool same = is_event_id_eq(&current_event_id, &e->event_id, nullptr);
        if (debug > 2) L::text::slicer_print_found(same);
        // In time synchronisation a step may land on the entry the channel
        // handed out at the event before: it is not fresh again.
        if (same && by_time && step && size_t(i) < track_.size() && e == track_[size_t(i)].given_before) continue;
        if (same) {
            at[size_t(i)] = e;
        } else if (debug > 1) {
            // The legacy slicer names the mapped event-header area, the
            // current one the event-header basket.
            tables_t* t = static_cast<tables_t*>(r->get_cfg());
            const void* evh = !t ? nullptr
                              : L::text::slicer_shows_evh_base ? static_cast<const void*>(t->get_evh_base())
                                          : static_cast<const void*>(t->get_evh_basket());
            printf("EMPTY %s %d:%d_%d  %d:%d_%d  cfg_status:%x\n", chan_name(i), current_event_id.event_number,
                   current_event_id.time.timeup, current_event_id.time.timelow, e->event_id.event_number,
                   e->event_id.time.timeup, e->event_id.time.timelow, slicer_detail::identity(evh));
        }
    }
    // With a tolerance above half the spacing an entry may be within it of
    // this event and of the next: it goes with the nearer one.
    if (by_time)
        for (int i = 0; i < nchans; ++i)
            if (at[size_t(i)] && nearer_elsewhere(i, *at[size_t(i)], at)) at[size_t(i)] = nullptr;
    for (int i = 0; i < nchans; ++i) {
        zorv_channel_entry_long* e = at[size_t(i)];
        if (!e) continue;
        result->push_back(e);
        if (size_t(i) >= track_.size()) continue;
        chan_track& t = track_[size_t(i)];
        const reader_t* r = read_chans[i];
        const int k = r->out && e >= r->out && e < r->out + r->out_total ? int(e - r->out) : -1;
        t.given = e;
        if (k >= 0 && t.reader == r) {
            count_passed(i, k);
            t.last = k;
        }
        t.state = e->sbchdata[0].chhd ? ZORV_DAQ_CHAN_FRESH : ZORV_DAQ_CHAN_DAMAGED;
    }
    return with_reader;
}

// Whether another channel has an entry, not part of this event, that lies
// within the tolerance of e and nearer to it than this event is.
template <class L>
bool slicer<L>::nearer_elsewhere(int i, const zorv_channel_entry_long& e,
                                 const std::vector<zorv_channel_entry_long*>& at) const {
    const double te = slicer_detail::exact_us(e.event_id);
    const double d = std::abs(te - slicer_detail::exact_us(current_event_id));
    for (int j = 0; j < nchans; ++j) {
        const reader_t* r = read_chans[j];
        if (j == i || !r || !r->out || r->out_total <= 0) continue;
        const zorv_channel_entry_long* first = r->out;
        const zorv_channel_entry_long* end = r->out + r->out_total;
        const zorv_channel_entry_long* k = std::lower_bound(
            first, end, te, [](const zorv_channel_entry_long& x, double t) { return slicer_detail::exact_us(x.event_id) < t; });
        for (const zorv_channel_entry_long* x : {k - 1, k}) {
            if (x < first || x >= end || x == at[size_t(j)] || x->event_id.time.timeup == 0) continue;
            const double dx = std::abs(slicer_detail::exact_us(x->event_id) - te);
            if (dx < d && dx <= time_diff) return true;
        }
    }
    return false;
}

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_SLICER_SYNC(L) \
    template bool slicer<L>::is_event_id_eq(const zorv_time_id* a, const zorv_time_id* b, int* sign) const; \
    template bool slicer<L>::before(const zorv_time_id& a, const zorv_time_id& b) const; \
    template int slicer<L>::side_of_file(reader_t* r, int request, const zorv_time_id& target) const; \
    template int slicer<L>::get_data(zorv_time_id* id, entry_vector* result, int request); \
    template const typename slicer<L>::walk_event* slicer<L>::revisit(int request, bool* before_start) const; \
    template const typename slicer<L>::walk_event* slicer<L>::walk_event_from(const zorv_time_id& id) const; \
    template bool slicer<L>::walk_to_end(); \
    template typename slicer<L>::chan_pos slicer<L>::position_of(int i) const; \
    template bool slicer<L>::move_to_file(int i, int file); \
    template void slicer<L>::restore_position(int i, const chan_pos& p); \
    template int slicer<L>::serve_remembered(const walk_event& h, entry_vector* result); \
    template void slicer<L>::restore_frontier(); \
    template void slicer<L>::note_walk(int request, bool explicit_target); \
    template int slicer<L>::way_to(reader_t* r, const zorv_time_id& target) const; \
    template bool slicer<L>::move_towards(int i, const zorv_time_id& target); \
    template bool slicer<L>::offer_near_edge(int i, int request, const zorv_time_id& target, candidate& c); \
    template int slicer<L>::serve_channel(int i, int request, const zorv_time_id& target, bool given, candidate& c, \
                                          double t0); \
    template bool slicer<L>::switch_file(int i, int request, int to); \
    template void slicer<L>::note_channel_skip(int i, tables_t* t, int status); \
    template bool slicer<L>::no_step(int i, int request, const zorv_time_id& target, const zorv_channel_entry_long* e) const; \
    template void slicer<L>::offer(int i, int request, const zorv_time_id& target, const zorv_channel_entry_long* e, candidate& c) const; \
    template int slicer<L>::collect(entry_vector* result, int request, const tables_t* event_file); \
    template bool slicer<L>::nearer_elsewhere(int i, const zorv_channel_entry_long& e, const std::vector<zorv_channel_entry_long*>& at) const;
ZORV_SLICER_SYNC(layout_current)
ZORV_SLICER_SYNC(layout_legacy)
#undef ZORV_SLICER_SYNC


}  // namespace zorv
