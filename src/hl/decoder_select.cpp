// Event decoder: selection of a channel by position, kind or name.
//
// The layout of each channel is told by its event header's pattern; every
// per-layout step is written once as a template over the layout traits. The
// payload is reached only through views bounded by the block's `ldata`, and
// counts stored in payloads are checked against that length before use.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "hl/decoder_access.h"

using zorv::layout_current;
using zorv::layout_legacy;
namespace hl = zorv::hl;
using namespace zorv::hl;

// ---------------------------------------------------------------------------
// Selection.
// ---------------------------------------------------------------------------

bool zorv_daq_getdata::selectable(const char* prefix, int* code, int fail) const {
    if (Status == 1 && Res && Nchan > 0) return true;
    print_select_refusal(*this, prefix);
    *code = fail;
    return false;
}

int zorv_daq_getdata::SetNextChan() {
    int code = 0;
    if (!selectable("zorv_daq_getdata::SetNextChan: Status= ", &code, -1)) return code;
    if (Ichan + 1 >= Nchan) return 0;
    ++Ichan;
    const int r = SetHead();
    return r < 0 ? r : PropType;
}

int zorv_daq_getdata::SetChan(int ich) {
    int code = 0;
    if (!selectable("zorv_daq_getdata::SetChan: Status= ", &code, -1)) return code;
    if (ich < 0 || ich >= Nchan) return 0;
    Ichan = ich;
    const int r = SetHead();
    return r < 0 ? r : PropType;
}

template <class F>
int zorv_daq_getdata::next_matching(F is_wanted) {
    while (Ichan + 1 < Nchan) {
        ++Ichan;
        const int r = SetHead();
        if (r < 0) return r;
        if ((this->*is_wanted)()) return PropType;
    }
    return 0;
}

template <class F, class N>
int zorv_daq_getdata::nth_matching(int ich, int count, F is_wanted, N next) {
    if (ich < 0 || ich >= count) return 0;
    Ichan = 0;
    const int r = SetHead();
    if (r < 0) return r;
    int found = (this->*is_wanted)() ? 0 : -1;
    while (found < ich) {
        if ((this->*next)() < 1) return 0;
        ++found;
    }
    return PropType;
}

int zorv_daq_getdata::SetFastNext() {
    int code = 0;
    if (!selectable("zorv_daq_getdata::SetFastNext: Status= ", &code, -1)) return code;
    return next_matching(&zorv_daq_getdata::is_fast);
}

int zorv_daq_getdata::SetImageNext() {
    int code = 0;
    if (!selectable("zorv_daq_getdata::SetImageNext: Status= ", &code, -1)) return code;
    return next_matching(&zorv_daq_getdata::is_image);
}

int zorv_daq_getdata::SetSlowNext() {
    int code = 0;
    if (!selectable("zorv_daq_getdata::SetSlowNext: Status= ", &code, -1)) return code;
    return next_matching(&zorv_daq_getdata::is_slow);
}

int zorv_daq_getdata::SetFast(int ich) {
    int code = 0;
    if (!selectable("zorv_daq_getdata::SetFast: Status= ", &code, -1)) return code;
    return nth_matching(ich, NFast, &zorv_daq_getdata::is_fast, &zorv_daq_getdata::SetFastNext);
}

int zorv_daq_getdata::SetImage(int ich) {
    int code = 0;
    if (!selectable("zorv_daq_getdata::SetImage: Status= ", &code, -1)) return code;
    return nth_matching(ich, NImage, &zorv_daq_getdata::is_image,
                        &zorv_daq_getdata::SetImageNext);
}

int zorv_daq_getdata::SetSlow(int ich) {
    int code = 0;
    if (!selectable("zorv_daq_getdata::SetSlow: Status= ", &code, -1)) return code;
    return nth_matching(ich, NSlow, &zorv_daq_getdata::is_slow, &zorv_daq_getdata::SetSlowNext);
}

template <class L>
bool zorv_daq_getdata::entry_has_name(const zorv_channel_entry_long* e, const char* name) const {
    const zorv::block_view<L> b = entry_block<L>(e);
    if (!b) return false;
    if (b.type() == L::upd_type)
        return hl::text_equals(b.chars(), L::upd_prop_len, b.payload_len(), name);
    return hl::text_equals(b.head()->chname, sizeof(b.head()->chname), sizeof(b.head()->chname), name);
}

int zorv_daq_getdata::SetProp(char* propname) {
    int code = 0;
    if (!selectable("zorv_daq_getdata::SetProp: Status= ", &code, -10)) return code;
    if (!propname) return -11;
    for (int i = 0; i < Nchan; ++i) {
        const zorv_channel_entry_long* e = Res->at(size_t(i));
        if (!e || !e->sbchdata[0].chhd) continue;
        // Each entry's name is read in that entry's own layout.
        const bool legacy = hl::is_legacy_event(hl::event_header_of(e));
        const bool match = legacy ? entry_has_name<layout_legacy>(e, propname)
                                  : entry_has_name<layout_current>(e, propname);
        if (!match) continue;
        Ichan = i;
        const int r = SetHead();
        return r < 0 ? r : PropType;
    }
    return -11;
}
