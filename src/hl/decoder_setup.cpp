// Event decoder: set-up on an event's result list and the selected
// channel's headers, layout and payload kind.
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
// Set-up.
// ---------------------------------------------------------------------------

zorv_daq_getdata::~zorv_daq_getdata() { Clean(); }

void zorv_daq_getdata::Clean() {
    static_cast<zorv_daq_getdata_state&>(*this) = zorv_daq_getdata_state();
    text_copy_.clear();
}

int zorv_daq_getdata::SetRes(std::vector<zorv_channel_entry_long*>* res) {
    if (!res || res->empty()) {
        Res = nullptr;
        Nchan = 0;
        return res ? -11 : -12;
    }
    Res = res;
    Nchan = static_cast<int>(res->size());
    Ichan = 0;
    const int r = SetHead();
    if (r < 0) return r;
    for (const zorv_channel_entry_long* e : *res) {
        // Each entry is read in its own layout, so that a list mixing layouts
        // never reads a header at the other layout's offsets.
        if (hl::is_legacy_event(hl::event_header_of(e)))
            count_entry<layout_legacy>(e);
        else
            count_entry<layout_current>(e);
    }
    return Nchan;
}

template <class L>
void zorv_daq_getdata::count_entry(const zorv_channel_entry_long* e) {
    const zorv_eventheader* h = hl::event_header_of(e);
    if (!h) return;  // incomplete entries are not counted
    switch (get_event_struct_type(h->event_type)) {
        case ZORV_EV_STRUCT_GLOBAL: ++NSlow; return;
        case ZORV_EV_STRUCT_LOCAL:
        case ZORV_EV_STRUCT_ML: {
            const zorv::block_view<L> b = entry_block<L>(e);
            if (!b) return;
            if (b.type() == ZORV_BLOCK_IMAGE || b.type() == ZORV_BLOCK_IMAGE_EXT)
                ++NImage;
            else
                ++NFast;
            return;
        }
        default: std::printf("Unknown event structure !!!! %d\n", h->event_type);
    }
}

int zorv_daq_getdata::SetHead() {
    zorv_channel_entry_long* ent = Res ? Res->at(size_t(Ichan)) : nullptr;
    if (!ent) {
        std::cerr << "zorv_daq_getdata::SetHead: ent = NULL" << std::endl;
        return -1;
    }
    if (Nptr < 1) return -4;
    EventHeader = hl::at_address<zorv_eventheader>(ent->sbchdata[0].evhd);
    if (!EventHeader) {
        std::cerr << "zorv_daq_getdata::SetHead: event header pointer = NULL" << std::endl;
        return -2;
    }
    data_2010 = !hl::is_legacy_event(EventHeader);
    return data_2010 ? set_head_in<layout_current>() : set_head_in<layout_legacy>();
}

template <class L>
int zorv_daq_getdata::set_head_in() {
    const zorv_channel_entry_long* ent = Res->at(size_t(Ichan));
    auto*& srvb = srvb_slot<L>(*this);
    auto*& chan = chan_slot<L>(*this);
    srvb = hl::at_address<typename L::sbhead>(ent->sbchdata[0].sbhd);
    if (!srvb) {
        std::cerr << L::text::hl_no_srvb << std::endl;
        return -3;
    }
    chan = hl::at_address<typename L::subhead>(ent->sbchdata[0].chhd);
    if (!chan) {
        std::cerr << "zorv_daq_getdata::SetHead: channel header pointer = NULL" << std::endl;
        return -4;
    }
    const zorv::block_view<L> b(chan);
    DataType = chan->dtype;
    switch (get_event_struct_type(EventHeader->event_type)) {
        case ZORV_EV_STRUCT_GLOBAL: ChanType = 2; break;
        case ZORV_EV_STRUCT_LOCAL:
        case ZORV_EV_STRUCT_ML: ChanType = 1; break;
        default: std::printf("SetHead() unknown event structure\n");
    }

    const int type = b.type();
    PropType = prop_type_of<L>(type);
    Data = b.chars();  // null when ldata does not exceed the sub-header
    const bool samples = PropType == 3 || (PropType == 5 && L::legacy);
    if (Data && samples) {
        if (float* p = member_samples(chan, 0)) Data = reinterpret_cast<char*>(p);
    }

    // A slow channel is named by its update record, a fast one by its header;
    // a slow block without payload has no record and keeps its header's name.
    // A name that fills its field is handed out as a terminated copy, held
    // by the state so that a copy of the state keeps the name it saw.
    std::string copy;
    char* name = ChanType == 2 && b.chars()
                     ? hl::terminated_text(b.chars(), L::upd_prop_len, b.payload_len(), &copy)
                     : hl::terminated_text(chan->chname, sizeof(chan->chname), sizeof(chan->chname), &copy);
    prop_name_.reset();
    if (name && !copy.empty() && name == &copy[0]) {
        prop_name_ = std::make_shared<std::string>(std::move(copy));
        name = &(*prop_name_)[0];
    }
    PropName = name;
    Nmemb = get_channel_number(DataType, chan, L::payload_selector);
    Status = 1;
    if (L::legacy) {
        SrvbHeader_2010 = nullptr;
        ChanHeader_2010 = nullptr;
    } else {
        SrvbHeader = nullptr;
        ChanHeader = nullptr;
    }
    return 0;
}

// End of the selected channel's block (one past its last byte).
char* zorv_daq_getdata::payload_end() const {
    return in_layout(*this, [&](auto tag) -> char* {
        using L = decltype(tag);
        const zorv::block_view<L> b(chan_slot<L>(const_cast<zorv_daq_getdata&>(*this)));
        return b.chars() ? b.chars() + b.payload_len() : nullptr;
    });
}
