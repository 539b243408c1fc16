// zorv::read_chan: looking entries up by event number or by time, and
// stepping from the current one.
#include <cmath>
#include <cstdio>

#include "core/read_chan_parts.h"

namespace zorv {


// ---------------------------------------------------------------------------
// Entry lookup.
// ---------------------------------------------------------------------------

namespace read_chan_detail {

// The identity a request starts from and how it is to be searched.
struct lookup_ref {
    zorv_time_id id{};
    bool by_number = false;
    bool valid = false;
};

inline bool is_unfinished(const zorv_channel_entry_long& e) {
    return e.event_id.event_number == 0xFFFFFFFFu;
}

// A finished entry without a time (its event header was unreadable) has no
// place in a time search and is passed over.
inline bool is_timeless(const zorv_channel_entry_long& e) { return e.event_id.time.timeup == 0; }

}  // namespace read_chan_detail

template <class L>
int read_chan<L>::get_chan_data(zorv_time_id* id, zorv_channel_entry_long** res, int op) {
    if (!basket_loaded()) {
        printf(L::text::rc_get_not_init, chan);
        return ZORV_DAQ_READ_CHAN_NOT_INIT;
    }
    if (!res || op < ZORV_DAQ_READ_CHAN_EVENT_FIRST || op > ZORV_DAQ_READ_CHAN_EVENT_LAST)
        return ZORV_DAQ_READ_CHAN_INV_PARAM;

    read_chan_detail::lookup_ref ref;
    bool from_cur = false;
    ref.valid = true;
    if (id) {
        ref.id = *id;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_FIRST) {
        ref.id = event_first;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_LAST) {
        ref.id = event_last;
    } else if (out_cur) {
        ref.id = out_cur->event_id;
        from_cur = true;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_PREV) {
        ref.id = event_last;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_NEXT) {
        ref.id = event_first;
    } else {
        ref.valid = false;
    }
    const uint32_t n = ref.id.event_number;
    const bool has_time = ref.id.time.timeup != 0;
    if constexpr (L::text::rc_current_lookup) {
        ref.valid = ref.valid && (n != 0 || has_time);
        ref.by_number = n != 0 && (id || op == ZORV_DAQ_READ_CHAN_EVENT_FIRST ||
                                   op == ZORV_DAQ_READ_CHAN_EVENT_CUR || op == ZORV_DAQ_READ_CHAN_EVENT_LAST);
    } else {
        ref.by_number = id && n != 0;
        ref.valid = ref.valid && (ref.by_number || has_time || (from_cur && n != 0));
    }
    if (!ref.valid) {
        if (!L::text::rc_current_lookup || debug_level() != 0) printf("Start channel is we are here   %d@%d\n", 0, 0);
        return ZORV_DAQ_READ_CHAN_INV_PARAM;
    }

    int status = ZORV_DAQ_READ_CHAN_NO_DATA;
    zorv_channel_entry_long* e;
    {
        checked_lock lock(mx);
        e = ref.by_number ? lookup_by_number(n, op, &status) : lookup_by_time(ref.id.time, op, &status);
    }
    if (!e) return status;
    if constexpr (L::text::rc_current_lookup) event_cur = e->event_id;
    *res = e;
    return status;
}

// Steps by event number and checks the window; FIRST, PREV and LAST are
// looked up even beyond the last event. Steps that would wrap around the
// 32-bit event number count as leaving the window.
template <class L>
zorv_channel_entry_long* read_chan<L>::lookup_by_number(uint32_t n, int op, int* status) {
    const uint32_t step = event_step.event_number;
    const bool cur_or_next = op == ZORV_DAQ_READ_CHAN_EVENT_CUR || op == ZORV_DAQ_READ_CHAN_EVENT_NEXT;
    bool outside = false;
    if (op == ZORV_DAQ_READ_CHAN_EVENT_PREV) {
        outside = n < step || n - step < event_first.event_number;
        n -= step;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_NEXT) {
        outside = n > std::numeric_limits<uint32_t>::max() - step;
        n += step;
    } else if (op == ZORV_DAQ_READ_CHAN_EVENT_CUR) {
        outside = n < event_first.event_number;
    }
    if (outside || (n > event_last.event_number && cur_or_next)) {
        *status = ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW;
        return nullptr;
    }
    return find_entry_by_event_id(n, op, status);
}

template <class L>
zorv_channel_entry_long* read_chan<L>::lookup_by_time(time_stamp t, int op, int* status) {
    if (op == ZORV_DAQ_READ_CHAN_EVENT_PREV) t = read_chan_detail::step_back(t, event_step.time);
    else if (op == ZORV_DAQ_READ_CHAN_EVENT_NEXT) t = read_chan_detail::step_forward(t, event_step.time);

    int cmp = 0;
    if (!zorv_time_stamp_eq(&t, &event_first.time, time_diff, &cmp, nullptr) && cmp < 0 &&
        (op == ZORV_DAQ_READ_CHAN_EVENT_PREV || op == ZORV_DAQ_READ_CHAN_EVENT_CUR)) {
        *status = ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW;
        return nullptr;
    }
    if (!zorv_time_stamp_eq(&event_last.time, &t, time_diff, &cmp, nullptr) && cmp < 0 &&
        (op == ZORV_DAQ_READ_CHAN_EVENT_CUR || op == ZORV_DAQ_READ_CHAN_EVENT_NEXT)) {
        *status = ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW;
        return nullptr;
    }
    zorv_channel_entry_long* e = find_entry_by_time(&t, op, status);
    if constexpr (L::text::rc_current_lookup) {
        if (e && by_time_fix && (op == ZORV_DAQ_READ_CHAN_EVENT_PREV || op == ZORV_DAQ_READ_CHAN_EVENT_NEXT))
            return step_check(e, op, status, t);
    }
    return e;
}

// A time step that lands on the same or the adjacent event is accepted; one
// that skips events or goes the wrong way is replaced by a step of
// event_step.event_number events from the current event. A step of no
// events replaces nothing: the time part alone steps, as it must when it is
// coarser than the events' spacing (a zero-event step would end the read).
template <class L>
zorv_channel_entry_long* read_chan<L>::step_check(zorv_channel_entry_long* e, int op, int* status,
                                                   const time_stamp& target) {
    const uint32_t cur = event_cur.event_number;
    const uint32_t found = e->event_id.event_number;
    const uint32_t step = event_step.event_number;
    const bool next = op == ZORV_DAQ_READ_CHAN_EVENT_NEXT;
    // Nothing handed out yet: there is no current event to step from.
    if (cur == 0 && event_cur.time.timeup == 0 && event_cur.time.timelow == 0) return e;
    if (step == 0) return e;
    if ((next ? found - cur : cur - found) <= 1) return e;
    if (debug_level() > 0) printf("Double check instead of time -> by EvID\n");
    const bool outside = next ? (cur > std::numeric_limits<uint32_t>::max() - step ||
                                 cur + step > event_last.event_number)
                              : (cur < step || cur - step < event_first.event_number);
    if (outside) {
        *status = ZORV_DAQ_READ_CHAN_OUT_OF_WINDOW;
        return e;
    }
    zorv_channel_entry_long* r = find_entry_by_event_id(next ? cur + step : cur - step, op, status);
    // When the time step found no entry at the stepped time, only the
    // nearest one beyond it, a step by number must not land short of the
    // stepped time: that entry lies between two events of the grid, and a
    // step in the other direction would not take it either.
    const double want = read_chan_detail::micros(target);
    const bool matched = std::abs(read_chan_detail::micros(e->event_id.time) - want) <= time_diff;
    const double got = r ? read_chan_detail::micros(r->event_id.time) : 0.0;
    if (r && !matched && (next ? got < want - time_diff : got > want + time_diff)) {
        out_cur = e;
        return e;
    }
    return r ? r : e;
}

template <class L>
zorv_channel_entry_long* read_chan<L>::find_entry_by_event_id(uint32_t id, int op, int* sts) {
    using read_chan_detail::is_unfinished;
    int dummy;
    int& status = sts ? *sts : dummy;
    if (id == 0) return status = ZORV_DAQ_READ_CHAN_INV_PARAM, nullptr;
    if (!out) return status = ZORV_DAQ_READ_CHAN_NOT_INIT, nullptr;
    if (out_total == 0) return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
    status = ZORV_DAQ_READ_CHAN_OK;
    const sys::stopwatch sw(L::text::rc_current_lookup && debug_level() < 0);

    auto number = [this](int k) { return out[k].event_id.event_number; };
    int found = -1;
    // Unfinished entries carry the largest number and so sort last.
    for (int lo = 0, hi = out_total - 1; lo <= hi && id != unfinished;) {
        const int mid = lo + (hi - lo) / 2;
        if (number(mid) == id) {
            found = mid;
            break;
        }
        if (number(mid) < id) lo = mid + 1;
        else hi = mid - 1;
    }
    for (int k = 0; found < 0 && k < out_total; ++k) {
        if (is_unfinished(out[k])) {
            if (L::text::rc_current_lookup && debug_level() != 0) printf("HERE STATUS NO_DATA...\n");
            return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
        }
        if (number(k) == id) found = k;
    }
    // Not there: the nearest entry in the asked direction, the first on a tie.
    if (found < 0 && (op == ZORV_DAQ_READ_CHAN_EVENT_PREV || op == ZORV_DAQ_READ_CHAN_EVENT_NEXT)) {
        const bool prev = op == ZORV_DAQ_READ_CHAN_EVENT_PREV;
        int best = -1;
        for (int k = 0; k < out_total; ++k) {
            const uint32_t v = number(k);
            const bool candidate = prev ? (v > 0 && v < id) : v > id;
            if (candidate && (best < 0 || (prev ? v > number(best) : v < number(best)))) best = k;
        }
        found = best;
    }
    if (found < 0) {
        status = ZORV_DAQ_READ_CHAN_NO_DATA;
    } else {
        if (L::text::rc_current_lookup) index_to_start_search = found;
        out_cur = &out[found];
    }
    if (L::text::rc_current_lookup && debug_level() < 0 && sw.micros() > 1000.0)
        printf("get_by_event_id()  %f msec event_id:%d\n", sw.millis(), int(id));
    return found < 0 ? nullptr : out_cur;
}

// From entry k, the neighbour nearer to ts as long as there is one; the
// entries are in ascending time.
template <class L>
int read_chan<L>::nearest_around(int k, const time_stamp& ts) const {
    using read_chan_detail::is_timeless;
    using read_chan_detail::is_unfinished;
    const double t = read_chan_detail::micros(ts);
    auto dist = [&](int j) { return std::abs(t - read_chan_detail::micros(out[j].event_id.time)); };
    auto usable = [&](int j) { return j >= 0 && j < out_total && !is_unfinished(out[j]) && !is_timeless(out[j]); };
    for (int dir : {-1, 1})
        while (usable(k + dir) && dist(k + dir) < dist(k)) k += dir;
    return k;
}

template <class L>
zorv_channel_entry_long* read_chan<L>::find_entry_by_time(time_stamp* ts, int op, int* sts) {
    using read_chan_detail::is_timeless;
    using read_chan_detail::is_unfinished;
    int dummy;
    int& status = sts ? *sts : dummy;
    if (!ts) return status = ZORV_DAQ_READ_CHAN_INV_PARAM, nullptr;
    if (!out) return status = ZORV_DAQ_READ_CHAN_NOT_INIT, nullptr;
    if (out_total == 0) return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
    status = ZORV_DAQ_READ_CHAN_OK;

    // cmp: where ts lies against entry k (0 within the tolerance).
    auto compare = [&](int k, int& cmp) {
        const time_stamp& t = out[k].event_id.time;
        return zorv_time_stamp_eq(ts, &t) || zorv_time_stamp_eq(ts, &t, time_diff, &cmp, nullptr);
    };
    int found = -1;
    int cmp = 0;
    for (int lo = 0, hi = out_total - 1; lo <= hi;) {
        const int mid = lo + (hi - lo) / 2;
        if (is_unfinished(out[mid])) return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
        if (is_timeless(out[mid])) break;
        cmp = 0;
        if (compare(mid, cmp)) {
            found = mid;
            break;
        }
        if (cmp < 0) hi = mid - 1;
        else lo = mid + 1;
    }
    for (int k = 0; found < 0 && k < out_total; ++k) {
        if (is_unfinished(out[k])) return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
        if (!is_timeless(out[k]) && compare(k, cmp)) found = k;
    }
    // Of the entries within the tolerance the nearest one: a tolerance of
    // more than half the spacing holds two, and the search may meet either.
    if (found >= 0) found = nearest_around(found, *ts);
    if (found < 0 && (op == ZORV_DAQ_READ_CHAN_EVENT_PREV || op == ZORV_DAQ_READ_CHAN_EVENT_NEXT)) {
        const int want = op == ZORV_DAQ_READ_CHAN_EVENT_PREV ? 1 : -1;
        double best = 0;
        for (int k = 0; k < out_total; ++k) {
            if (is_timeless(out[k]) || compare(k, cmp) || cmp != want) continue;
            const double dist = std::abs(read_chan_detail::micros(*ts) - read_chan_detail::micros(out[k].event_id.time));
            if (found < 0 || dist < best) {
                found = k;
                best = dist;
            }
        }
    }
    if (found < 0) return status = ZORV_DAQ_READ_CHAN_NO_DATA, nullptr;
    out_cur = &out[found];
    return out_cur;
}

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_READ_CHAN_LOOKUP(L) \
    template int read_chan<L>::get_chan_data(zorv_time_id*, zorv_channel_entry_long**, int); \
    template zorv_channel_entry_long* read_chan<L>::lookup_by_number(uint32_t, int, int*); \
    template zorv_channel_entry_long* read_chan<L>::lookup_by_time(time_stamp, int, int*); \
    template zorv_channel_entry_long* read_chan<L>::step_check(zorv_channel_entry_long*, int, int*, const time_stamp&); \
    template zorv_channel_entry_long* read_chan<L>::find_entry_by_event_id(uint32_t, int, int*); \
    template int read_chan<L>::nearest_around(int, const time_stamp&) const; \
    template zorv_channel_entry_long* read_chan<L>::find_entry_by_time(time_stamp*, int, int*);
ZORV_READ_CHAN_LOOKUP(layout_current)
ZORV_READ_CHAN_LOOKUP(layout_legacy)
#undef ZORV_READ_CHAN_LOOKUP

}  // namespace zorv
