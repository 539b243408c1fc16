// Event decoder: selection of a channel in an event's result list, layout and
// payload-kind recognition, header and value queries, spectra, regions of
// interest, images and the decoder's own dumps.
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

#include "zorv_daq_data.h"
#include "zorv_daq_data_impl.h"

using zorv::layout_current;
using zorv::layout_legacy;
namespace hl = zorv::hl;

namespace {

// Where the decoder keeps the headers of each layout, and the library's
// spectrum queries of that layout.
template <class L>
struct slots;

template <>
struct slots<layout_legacy> {
    static zorv_serv_block_subhead*& chan(zorv_daq_getdata& g) { return g.ChanHeader; }
    static zorv_serv_block_head*& srvb(zorv_daq_getdata& g) { return g.SrvbHeader; }
    static float* samples(const zorv_serv_block_subhead* h, int m) {
        return get_pointer_to_data_2009(h, m);
    }
    static bool params(const zorv_serv_block_subhead* h, float* start, float* inc, float** mean,
                       int* ndata, int*, float*, zorv_spect_statistics_2010**, int ch) {
        return get_spect_params_for_data_type_2009(h, start, inc, mean, ndata, ch);
    }
};

template <>
struct slots<layout_current> {
    static zorv_serv_block_subhead_2010*& chan(zorv_daq_getdata& g) { return g.ChanHeader_2010; }
    static zorv_serv_block_head_2010*& srvb(zorv_daq_getdata& g) { return g.SrvbHeader_2010; }
    static float* samples(const zorv_serv_block_subhead_2010* h, int m) {
        return get_pointer_to_data_2010(h, m);
    }
    static bool params(const zorv_serv_block_subhead_2010* h, float* start, float* inc,
                       float** mean, int* ndata, int* groups, float* groups_inc,
                       zorv_spect_statistics_2010** stat, int ch) {
        return get_spect_params_for_data_type_2010(h, start, inc, mean, ndata, groups, groups_inc,
                                                   stat, ch);
    }
};

// Runs f with the layout tag of the selected channel.
template <class F>
decltype(auto) in_layout(const zorv_daq_getdata& g, F&& f) {
    if (g.data_2010) return f(layout_current{});
    return f(layout_legacy{});
}

template <class L>
hl::block<L> selected_block(zorv_daq_getdata& g) {
    return hl::block<L>(slots<L>::chan(g));
}

template <class L>
hl::block<L> entry_block(const zorv_channel_entry_long* e) {
    return hl::block<L>(hl::at_address<void>(e->sbchdata[0].chhd));
}

// Payload kind of block type b in layout L.
template <class L>
int prop_type_of(int b) {
    if (b == ZORV_BLOCK_IMAGE || b == ZORV_BLOCK_IMAGE_EXT) return 4;
    if (b == ZORV_BLOCK_EQDATA) return 5;
    if (b <= ZORV_EOR_BLOCK || b == ZORV_BLOCK_NAME_VALUE) return 2;
    if (!L::legacy && b >= ZORV_UPD_BLOCK_2010 && b <= ZORV_EOR_BLOCK_2010) return 2;
    return 3;
}

// Member number a cut block's name ends in ("BPM3:1" gives 1); -1 when the
// name carries none (it may have been cut to the field).
int cut_member_index(const char* chname, size_t size) {
    const size_t len = strnlen(chname, size);
    const char* colon = static_cast<const char*>(std::memchr(chname, ':', len));
    if (!colon || colon + 1 == chname + len || chname + len - colon > 7) return -1;
    int v = 0;
    for (const char* c = colon + 1; c < chname + len; ++c) {
        if (*c < '0' || *c > '9') return -1;
        v = v * 10 + (*c - '0');
    }
    return v;
}

template <class T>
void put(T* dst, T v) {
    if (dst) *dst = v;
}

void print_select_refusal(const zorv_daq_getdata& g, const char* prefix) {
    std::cerr << prefix << g.Status << " Res= " << static_cast<const void*>(g.Res)
              << " Nchan= " << g.Nchan << std::endl;
}

// Image frame heads of the selected channel, when their whole head lies in
// the payload.
template <class L>
zorv_image_frame_head* legacy_frame(const hl::block<L>& b) {
    return b.type() == ZORV_BLOCK_IMAGE ? b.template record<zorv_image_frame_head>() : nullptr;
}
template <class L>
zorv_image_ext_frame_head* ext_frame(const hl::block<L>& b) {
    return b.type() == ZORV_BLOCK_IMAGE_EXT ? b.template record<zorv_image_ext_frame_head>()
                                            : nullptr;
}

// Geometry of an image block as the conversion reads it.
struct image_geometry {
    int64_t nx = 0, ny = 0, bpp = 0, len = 0;
    float xst = 0, xinc = 0, yst = 0, yinc = 0;
    const unsigned char* pixels = nullptr;
    size_t avail = 0;  // pixel bytes present in the payload
};

template <class L>
bool image_geometry_of(const hl::block<L>& b, image_geometry* g) {
    if (auto* h = legacy_frame(b)) {
        const uint32_t w = uint32_t(h->w), hh = uint32_t(h->h), bpp = uint32_t(h->bpp);
        g->nx = w & 0xFFFF;
        g->ny = hh & 0xFFFF;
        g->xst = float(w >> 16);
        g->yst = float(hh >> 16);
        g->bpp = (bpp & 0xF) ? (bpp & 0xF) : 1;
        g->len = h->length;
        g->pixels = reinterpret_cast<const unsigned char*>(h) + sizeof(zorv_image_frame_head);
        g->avail = b.payload_len() - sizeof(zorv_image_frame_head);
        return true;
    }
    if (auto* h = ext_frame(b)) {
        g->nx = h->aoi_width;
        g->ny = h->aoi_height;
        g->xst = float(h->x_start);
        g->xinc = float(h->hbin);
        g->yst = float(h->y_start);
        g->yinc = float(h->vbin);
        g->bpp = h->bpp;
        g->len = h->length;
        g->pixels = reinterpret_cast<const unsigned char*>(h) + sizeof(zorv_image_ext_frame_head);
        g->avail = b.payload_len() - sizeof(zorv_image_ext_frame_head);
        return true;
    }
    return false;
}

// Largest pixel a float image is built from: a pixel gathers into 32 bits.
constexpr int64_t max_pixel_bytes = 4;

}  // namespace

// ---------------------------------------------------------------------------
// Set-up.
// ---------------------------------------------------------------------------

zorv_daq_getdata::~zorv_daq_getdata() { Clean(); }

void zorv_daq_getdata::Clean() {
    std::free(ImageFloat);
    ImageFloat = nullptr;
    Status = 0;
    Res = nullptr;
    data_2010 = true;
    Nchan = NFast = NSlow = NImage = Ichan = 0;
    Nptr = 1;
    Nmemb = DataType = PropType = ChanType = 0;
    PropName = nullptr;
    EventHeader = nullptr;
    SrvbHeader = nullptr;
    ChanHeader = nullptr;
    SrvbHeader_2010 = nullptr;
    ChanHeader_2010 = nullptr;
    Data = nullptr;
    ImageXstart = ImageXinc = ImageYstart = ImageYinc = 0.0f;
    ImageNx = ImageNy = 0;
    name_copy_.clear();
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
            const hl::block<L> b = entry_block<L>(e);
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
    auto*& srvb = slots<L>::srvb(*this);
    auto*& chan = slots<L>::chan(*this);
    srvb = hl::at_address<typename L::sbhead>(ent->sbchdata[0].sbhd);
    if (!srvb) {
        std::cerr << hl::texts<L>::no_srvb << std::endl;
        return -3;
    }
    chan = hl::at_address<typename L::subhead>(ent->sbchdata[0].chhd);
    if (!chan) {
        std::cerr << "zorv_daq_getdata::SetHead: channel header pointer = NULL" << std::endl;
        return -4;
    }
    const hl::block<L> b(chan);
    DataType = chan->dtype;
    switch (get_event_struct_type(EventHeader->event_type)) {
        case ZORV_EV_STRUCT_GLOBAL: ChanType = 2; break;
        case ZORV_EV_STRUCT_LOCAL:
        case ZORV_EV_STRUCT_ML: ChanType = 1; break;
        default: std::printf("SetHead() unknown event structure\n");
    }

    const int type = b.type();
    PropType = prop_type_of<L>(type);
    Data = b.payload();  // null when ldata does not exceed the sub-header
    const bool samples = PropType == 3 || (PropType == 5 && L::legacy);
    if (Data && samples) {
        if (float* p = slots<L>::samples(chan, 0)) Data = reinterpret_cast<char*>(p);
    }

    // A slow channel is named by its update record, a fast one by its header;
    // a slow block without payload has no record and keeps its header's name.
    if (ChanType == 2 && b.payload())
        PropName = hl::terminated_text(b.payload(), L::upd_prop_len, b.payload_len(), &name_copy_);
    else
        PropName = hl::terminated_text(chan->chname, sizeof(chan->chname), sizeof(chan->chname),
                                       &name_copy_);
    Nmemb = get_channel_number(DataType, chan, hl::layout_sel<L>());
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
        const hl::block<L> b(slots<L>::chan(const_cast<zorv_daq_getdata&>(*this)));
        return b.payload() ? b.payload() + b.payload_len() : nullptr;
    });
}

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
    const hl::block<L> b = entry_block<L>(e);
    if (!b) return false;
    if (b.type() == L::upd_type)
        return hl::text_equals(b.payload(), L::upd_prop_len, b.payload_len(), name);
    return hl::text_equals(b.hdr->chname, sizeof(b.hdr->chname), sizeof(b.hdr->chname), name);
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

// ---------------------------------------------------------------------------
// Queries.
// ---------------------------------------------------------------------------

int zorv_daq_getdata::GetMembNumb(char* name) {
    if (!name) return -1;
    for (int i = 0; i < Nmemb; ++i) {
        const char* m = GetMembName(i);
        if (m && std::strcmp(m, name) == 0) return i;
    }
    return -1;
}

// Members are counted from the selected block (a generic spectrum says in
// its head how many it holds). A sub-channel cut out of a device block is
// that block's only member and is named as the member of the device it was
// cut from: the reader names the cut block "<name>:<member>".
char* zorv_daq_getdata::GetMembName(int imb) {
    if (imb < 0 || imb >= Nmemb) return nullptr;
    if (DataType >> 16 == 0) return const_cast<char*>(get_chan_name(DataType & 0xFFFF, imb));
    const int member = in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        const auto* h = slots<L>::chan(*this);
        return h ? cut_member_index(h->chname, sizeof(h->chname)) : -1;
    });
    return member < 0 ? nullptr : const_cast<char*>(get_chan_name(DataType & 0xFFFF, member));
}

int zorv_daq_getdata::GetEventInfo(unsigned* num, int* evtype, unsigned* len, unsigned* tup,
                                   unsigned* tlow, int* status, int* nsvrb) {
    if (Status != 1 || !EventHeader) {
        std::cerr << "zorv_daq_getdata::GetEventInfo: wrong Status= " << Status << " EventHeader "
                  << static_cast<const void*>(EventHeader) << std::endl;
        return -1;
    }
    const int keep = Ichan;
    auto restore = [&](int code) {
        Ichan = keep;
        SetHead();
        return code;
    };
    if (Nchan < 1) return restore(-1);

    const zorv_eventheader* best = nullptr;
    uint32_t maxnum = 0;
    for (int i = 0; i < Nchan; ++i) {
        Ichan = i;
        const int r = SetHead();
        if (r != 0) {
            std::cerr << "zorv_daq_getdata::GetEventInfo: failed to SetHead() for  " << i
                      << std::endl;
            return r;
        }
        const zorv_eventheader* h = EventHeader;
        const bool newer = maxnum < h->event_number ||
                           (maxnum == 0 && h->event_number == 0 && h->event_time.timeup != 0);
        if (!newer) continue;
        best = h;
        if (!is_slow_event(h->event_type)) break;
        maxnum = h->event_number;
    }
    if (!best) return restore(-1);
    put(num, unsigned(best->event_number));
    put(evtype, int(best->event_type));
    put(len, unsigned(best->event_length));
    put(tup, unsigned(best->event_time.timeup));
    put(tlow, unsigned(best->event_time.timelow));
    put(status, int(best->status));
    put(nsvrb, int(best->num_svr_block));
    return restore(0);
}

int zorv_daq_getdata::GetServBlockInfo(unsigned* tup, unsigned* tlow, int* ltot, int* mpulse,
                                       int* tmask, int* status, int* nchan) {
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        const auto* h = slots<L>::srvb(*this);
        if (Status != 1 || !h) {
            std::cerr << "zorv_daq_getdata::GetServBlockInfo: wrong Status= " << Status
                      << " SrvbHeader " << static_cast<const void*>(h) << std::endl;
            return -1;
        }
        put(tup, unsigned(h->time.timeup));
        put(tlow, unsigned(h->time.timelow));
        put(ltot, int(h->ltotal));
        put(mpulse, int(h->mpulse));
        put(tmask, int(h->tmask));
        put(status, int(h->status));
        put(nchan, int(h->nchan));
        return 0;
    });
}

int zorv_daq_getdata::GetChanInfo(char** name, int* dtype, int* error, int* ldata) {
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        auto* h = slots<L>::chan(*this);
        if (Status != 1 || !h) {
            std::cerr << "zorv_daq_getdata::GetChanInfo: wrong Status= " << Status
                      << " ChanHeader " << static_cast<const void*>(h) << std::endl;
            return -1;
        }
        if (name)
            *name = hl::terminated_text(h->chname, sizeof(h->chname), sizeof(h->chname),
                                        &text_copy_);
        put(dtype, int(h->dtype));
        put(error, int(h->error));
        put(ldata, int(h->ldata));
        return 0;
    });
}

char* zorv_daq_getdata::GetString(int, int* len) {
    if (Status != 1 || data_2010 || !ChanHeader || !Data) {
        std::cerr << "zorv_daq_getdata::GetString: " << Status;
        return nullptr;
    }
    const size_t avail = size_t(payload_end() - Data);
    put(len, int(hl::text_len(Data, avail, avail)));
    return Data;
}

bool zorv_daq_getdata::GetSlowPrm(float* dt, int* sts, time_t* tml) {
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        const auto* upd = selected_block<L>(*this).update();
        if (Status != 1 || !Data || !upd) return true;
        put(dt, upd->upd_ch_data);
        put(sts, int(upd->upd_ch_status));
        put(tml, time_t(upd->upd_ch_time.timeup));
        return false;
    });
}

bool zorv_daq_getdata::GetValNamPrm(zorv_name_value_block** blk, int* id, char** comment,
                                    int* ndata, zorv_name_value_channel** data) {
    if (Status != 1) return true;
    zorv_name_value_block* nv = in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        return hl::name_value_of(selected_block<L>(*this));
    });
    if (!nv) return true;
    put(blk, nv);
    put(id, int(nv->id));
    put(comment, nv->comment);
    put(ndata, int(nv->ndata));
    put(data, nv->data);
    return false;
}

bool zorv_daq_getdata::GetValNamChan(char** name, float* dt, int imb) {
    const bool missing = in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        if (slots<L>::chan(*this)) return false;
        std::cerr << "zorv_daq_getdata::GetValNamChan() " << Status << hl::texts<L>::no_chan_header;
        return true;
    });
    if (missing) return true;
    if (Status != 1 || (DataType & 0xFFFF) != ZORV_BLOCK_NAME_VALUE) {
        std::cerr << "zorv_daq_getdata::GetValNamChan() " << Status << " DType" << DataType;
        return true;
    }
    int n = 0;
    zorv_name_value_channel* recs = nullptr;
    if (GetValNamPrm(nullptr, nullptr, nullptr, &n, &recs)) return true;
    if (imb < 0) {
        std::cerr << "zorv_daq_getdata::GetValNamChan()  channel is negative " << imb;
        return true;
    }
    if (imb >= n) {
        std::cerr << "zorv_daq_getdata::GetValNamChan()  channel is too big " << imb
                  << " max: " << n;
        return true;
    }
    put(dt, recs[imb].value);
    if (name)
        *name = hl::terminated_text(recs[imb].name, sizeof(recs[imb].name),
                                    sizeof(recs[imb].name), &text_copy_);
    return false;
}

float zorv_daq_getdata::GetSingle(int imb) {
    const bool missing = in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        if (slots<L>::chan(*this)) return false;
        std::cerr << "zorv_daq_getdata::GetSingle: " << Status << hl::texts<L>::no_chan_header;
        return true;
    });
    if (missing) return 0.0f;
    const int type = DataType & 0xFFFF;
    const int upd_type = data_2010 ? ZORV_UPD_BLOCK_2010 : ZORV_UPD_BLOCK;
    if (Status != 1 || (type != ZORV_BLOCK_NAME_VALUE && type != upd_type)) {
        std::cerr << "zorv_daq_getdata::GetSingle: " << Status << " DType" << DataType;
        return 0.0f;
    }
    if (type == upd_type) {
        float v = 0.0f;
        return GetSlowPrm(&v, nullptr, nullptr) ? 0.0f : v;
    }
    int n = 0;
    zorv_name_value_channel* recs = nullptr;
    if (GetValNamPrm(nullptr, nullptr, nullptr, &n, &recs)) return 0.0f;
    if (imb < 0) {
        std::cerr << "zorv_daq_getdata::GetSingle: member number is negative " << imb;
        return 0.0f;
    }
    if (imb >= n) {
        std::cerr << "zorv_daq_getdata::GetSingle: member number is too big " << imb
                  << " max: " << n;
        return 0.0f;
    }
    return recs[imb].value;
}

// ---------------------------------------------------------------------------
// Spectra and regions of interest.
// ---------------------------------------------------------------------------

float* zorv_daq_getdata::GetSpect(int memb) {
    if (memb >= Nmemb || memb < 0) {
        std::printf("GetSpect() invalid memb:%d  max: %d\n", memb, Nmemb);
        return nullptr;
    }
    if (!Data) return nullptr;
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        return slots<L>::samples(slots<L>::chan(*this), memb);
    });
}

int zorv_daq_getdata::GetSpectPar(float* start, float* inc, float** mean, int* ndata, int ch,
                                  int* groups, float* groups_inc,
                                  zorv_spect_statistics_2010** stat) {
    if (!Data) return -2;
    put(groups, 1);
    put(groups_inc, 0.0f);
    const bool failed = in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        return slots<L>::params(slots<L>::chan(*this), start, inc, mean, ndata, groups,
                                groups_inc, stat, ch);
    });
    if (!failed) return 0;
    std::cerr << "zorv_daq_getdata::GetSpectPar: error datatype:" << DataType
              << " data_2010: " << (data_2010 ? 1 : 0) << std::endl;
    return -1;
}

float zorv_daq_getdata::GetSpectVal(int imb, int i) {
    int ndata = 0, groups = 1;
    if (GetSpectPar(nullptr, nullptr, nullptr, &ndata, imb, &groups, nullptr, nullptr) != 0)
        return 0.0f;
    if (groups == 0) groups = 1;
    if (i < 0 || int64_t(i) >= int64_t(groups) * ndata) {
        std::printf("GetSpectVal() index is too big: %d max: %d\n", i, ndata);
        return 0.0f;
    }
    const float* p = GetSpect(imb);
    return p ? p[i] : 0.0f;
}

int zorv_daq_getdata::GetDataPtrs(char* name, float* dt, float** arr, int subchan) {
    if (Status != 1) {
        std::cerr << "zorv_daq_getdata::GetDataPtrs: wrong status= " << Status << std::endl;
        return -1;
    }
    if (!Data) return -2;
    if (name && SetProp(name) <= 0) return 3;
    switch (PropType) {
        case 2:
            if (ChanType == 1) {
                if ((DataType & 0xFFFF) != ZORV_BLOCK_NAME_VALUE) return 3;
                int n = 0;
                zorv_name_value_channel* recs = nullptr;
                if (GetValNamPrm(nullptr, nullptr, nullptr, &n, &recs)) return 2;
                if (subchan < 0 || subchan >= n) return 2;  // no such record
                put(dt, recs[subchan].value);
                return 0;
            }
            {
                float v = 0.0f;
                const bool failed = in_layout(*this, [&](auto tag) {
                    using L = decltype(tag);
                    const auto* upd =
                        selected_block<L>(*this).template record<typename L::upd_block>();
                    if (!Data || !upd) return true;
                    v = upd->upd_ch_data;
                    return false;
                });
                if (failed) return 2;
                put(dt, v);
                return 0;
            }
        case 3: {
            float start = 0.0f, inc = 0.0f;
            int ndata = 0;
            GetSpectPar(&start, &inc, nullptr, &ndata, 0, nullptr, nullptr, nullptr);
            put(arr, GetSpect(subchan));
            return 0;
        }
        case 1:
        case 4: return 3;
        default: return 4;
    }
}

int zorv_daq_getdata::GetDescr() {
    if (!Data) return -2;
    if (!data_2010) return -1;
    return get_spect_code_description_2010(ChanHeader_2010);
}

int zorv_daq_getdata::GetRoiPar(void** blk, float* start, float* inc, float** mean, int* ndata,
                                int ch) {
    const int type = DataType & 0xFFFF;
    const bool roi = type >= ZORV_BLOCK_IMG_ROI1 && type <= ZORV_BLOCK_IMG_ROI3;
    bool failed = false;
    if (!data_2010) {
        if (!ChanHeader) {
            std::cerr << "zorv_daq_getdata::GetRoiPrm: " << Status << " ChanHeader == NULL";
            return -1;
        }
        if (Status != 1 || !roi) {
            std::cerr << "zorv_daq_getdata::GetRoiPrm: " << Status << " DType" << DataType;
            return -1;
        }
        if (!Data) return -2;
        failed = get_spect_params_for_data_type_2009(ChanHeader, start, inc, mean, ndata, ch);
        if (!failed) put(blk, static_cast<void*>(ChanHeader + 1));
    } else {
        if (Status != 1 || !ChanHeader_2010 || !roi) return -1;
        if (!Data) return -2;
        failed = get_spect_params_for_data_type_2010(ChanHeader_2010, start, inc, mean, ndata,
                                                     nullptr, nullptr, nullptr, ch);
        if (!failed) put(blk, static_cast<void*>(ChanHeader_2010 + 1));
    }
    if (!failed) return 0;
    std::cerr << "zorv_daq_getdata::GetSpectPar: error datatype" << DataType << std::endl;
    return -1;
}

// ---------------------------------------------------------------------------
// Images.
// ---------------------------------------------------------------------------

int zorv_daq_getdata::GetImagePar(int* nframe, int* compr, int* bpp, int* len) {
    if (!Data) return -2;
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        const hl::block<L> b = selected_block<L>(*this);
        if (b.type() != ZORV_BLOCK_IMAGE && b.type() != ZORV_BLOCK_IMAGE_EXT) return -1;
        if (const auto* h = legacy_frame(b)) {
            put(nframe, int(h->frame));
            put(compr, int(h->compr));
            put(bpp, (h->bpp & 0xF) ? (h->bpp & 0xF) : 1);
            put(len, int(h->length));
            return 0;
        }
        if (const auto* h = ext_frame(b)) {
            put(nframe, int(h->frame));
            put(compr, 0);
            put(bpp, int(h->bpp));
            put(len, int(h->length));
            return 0;
        }
        return -2;  // the frame head is cut short
    });
}

int zorv_daq_getdata::GetImageSize(int* xstart, int* xinc, int* nx, int* ystart, int* yinc,
                                   int* ny) {
    if (!Data) return -2;
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        const hl::block<L> b = selected_block<L>(*this);
        if (b.type() != ZORV_BLOCK_IMAGE && b.type() != ZORV_BLOCK_IMAGE_EXT) return -1;
        if (const auto* h = legacy_frame(b)) {
            const uint32_t w = uint32_t(h->w), hh = uint32_t(h->h), bpp = uint32_t(h->bpp);
            put(xstart, int(w >> 16));
            put(xinc, int(bpp >> 18));
            put(nx, int(w & 0xFFFF));
            put(ystart, int(hh >> 16));
            put(yinc, int((bpp >> 4) & 0x3FFF));
            put(ny, int(hh & 0xFFFF));
            return int(h->length);
        }
        if (const auto* h = ext_frame(b)) {
            put(xstart, int(h->x_start));
            put(xinc, int(h->hbin));
            put(nx, int(h->aoi_width));
            put(ystart, int(h->y_start));
            put(yinc, int(h->vbin));
            put(ny, int(h->aoi_height));
            return int(h->length);
        }
        return -2;
    });
}

zorv_image_ext_frame_head* zorv_daq_getdata::GetImageHeader() {
    if (!Data) return nullptr;
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        return ext_frame(selected_block<L>(*this));
    });
}

char* zorv_daq_getdata::GetImage() {
    if (!Data) return nullptr;
    return in_layout(*this, [&](auto tag) -> char* {
        using L = decltype(tag);
        image_geometry g;
        if (!image_geometry_of(selected_block<L>(*this), &g)) return nullptr;
        return reinterpret_cast<char*>(const_cast<unsigned char*>(g.pixels));
    });
}

float* zorv_daq_getdata::ConvertImage() {
    if (!Data) return nullptr;
    image_geometry g;
    const bool found = in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        return image_geometry_of(selected_block<L>(*this), &g);
    });
    if (!found || !g.pixels) return nullptr;
    // Pixels wider than 32 bits cannot be gathered into one value: refused.
    if (g.bpp > max_pixel_bytes) {
        std::cerr << "zorv_daq_getdata::ConvertImage: unsupported bytes per pixel " << g.bpp
                  << std::endl;
        return nullptr;
    }
    // The pixel count must match the head and the bytes must be present; a
    // head without pixels of at least one byte never matches its length. The
    // product is formed unsigned: both sides can be near 2^31.
    if (g.len < 1 || g.bpp < 1 || g.nx < 1 || g.ny < 1 ||
        uint64_t(g.len) != uint64_t(g.nx) * uint64_t(g.bpp) * uint64_t(g.ny) ||
        uint64_t(g.len) > g.avail)
        return nullptr;

    const int64_t size = g.nx * g.ny;
    auto* img = static_cast<float*>(std::calloc(size_t(size), sizeof(float)));
    if (!img) return nullptr;
    std::free(ImageFloat);
    ImageFloat = img;
    for (int64_t ix = 0; ix < g.nx; ++ix) {
        for (int64_t iy = 0; iy < g.ny; ++iy) {
            const int64_t s = (iy * g.nx + ix) * g.bpp;
            if (s < 0 || s + g.bpp > g.len) {
                std::cerr << "*** error: idx2 " << s << " len " << g.len << " ix " << ix << " iy "
                          << iy << " bpp " << g.bpp << std::endl;
                return nullptr;
            }
            uint32_t v = 0;
            for (int64_t k = 0; k < g.bpp; ++k) v = (v << 8) | g.pixels[s + k];
            const int64_t d = iy * g.nx + ix;
            if (d >= size) {
                std::cerr << "*** error: idx1 " << d << " size " << size << " ix " << ix << " iy "
                          << iy << " nx " << g.nx << " ny " << g.ny << std::endl;
                return nullptr;
            }
            img[d] += float(v);
        }
    }
    ImageNx = int(g.nx);
    ImageXstart = g.xst;
    ImageNy = int(g.ny);
    ImageXinc = g.xinc;
    ImageYstart = g.yst;
    ImageYinc = g.yinc;
    return ImageFloat;
}

// ---------------------------------------------------------------------------
// Dumps.
// ---------------------------------------------------------------------------

// Value of member m of a channel with directly stored values: the update
// value, or name/value record m; 0 when there is none.
float zorv_daq_getdata::member_value(int m) {
    float v = 0.0f;
    const int type = DataType & 0xFFFF;
    if (type == ZORV_BLOCK_NAME_VALUE) {
        int n = 0;
        zorv_name_value_channel* recs = nullptr;
        if (!GetValNamPrm(nullptr, nullptr, nullptr, &n, &recs) && m >= 0 && m < n)
            v = recs[m].value;
        return v;
    }
    if (m == 0 && !GetSlowPrm(&v, nullptr, nullptr)) return v;
    return 0.0f;
}

// One line per member with its first five samples. The payload stores the
// members one after the other, so each member's samples are read from its
// own place; samples past the member or the block are not printed.
void zorv_daq_getdata::print_spectrum_members() {
    const char* end = payload_end();
    for (int m = 0; m < Nmemb; ++m) {
        const char* nm = GetMembName(m);
        std::cout << "           " << m << " " << (nm ? nm : "") << ":";
        const float* samples = nullptr;
        int ndata = 0, groups = 1;
        in_layout(*this, [&](auto tag) {
            using L = decltype(tag);
            const auto* h = slots<L>::chan(*this);
            if (!slots<L>::params(h, nullptr, nullptr, nullptr, &ndata, &groups, nullptr, nullptr, m))
                samples = slots<L>::samples(h, m);
        });
        const int64_t count = int64_t(ndata < 0 ? 0 : ndata) * (groups > 1 ? groups : 1);
        for (int64_t k = 0; samples && end && k < 5 && k < count; ++k) {
            const char* at = reinterpret_cast<const char*>(samples + k);
            if (at + sizeof(float) > end) break;
            float v;
            std::memcpy(&v, at, sizeof v);
            std::cout << " " << v;
        }
        std::cout << std::endl;
    }
}

void zorv_daq_getdata::PrintProp(int ich) {
    if (Status != 1) {
        std::cerr << "zorv_daq_getdata::PrintProp: wrong Status= " << Status << std::endl;
        return;
    }
    if (ich < 0 || ich >= Nchan) {
        std::cerr << "zorv_daq_getdata::PrintProp: wrong ich= " << ich << " Nchan= " << Nchan
                  << std::endl;
        return;
    }
    const int pt = SetChan(ich);
    if (pt < 0) return;  // headers of this channel are incomplete
    int error = 0, ldata = 0, mpulse = 0, tmask = 0, sstatus = 0;
    unsigned tup = 0, tlow = 0;
    GetChanInfo(nullptr, nullptr, &error, &ldata);
    GetServBlockInfo(&tup, &tlow, nullptr, &mpulse, &tmask, &sstatus, nullptr);

    std::cout << " channel " << ich << " " << (PropName ? PropName : "") << " dtype "
              << (DataType & 0xFFFF) << " error " << error << " proptype " << pt << " mpls "
              << mpulse << std::endl;
    char line[96];
    std::snprintf(line, sizeof line, " tmask(hex) %x status(hex) %x\n", unsigned(tmask),
                  unsigned(sstatus));
    std::cout << "          " << line << std::flush;
    std::cout << "          " << " time " << tup << "-" << tlow << " Ldata " << ldata
              << " Nmemb= " << Nmemb;

    if (pt == 2 && Nmemb > 0) {
        for (int m = 0; m < Nmemb; ++m) {
            const char* nm = GetMembName(m);
            std::cout << " : " << m << " " << (nm ? nm : "") << " value= " << member_value(m);
        }
        std::cout << std::endl;
    } else if (pt == 3 && Nmemb > 0) {
        float start = 0.0f, inc = 0.0f, gi = 0.0f;
        float* mean = nullptr;
        int ndata = 0, groups = 0;
        if (GetSpectPar(&start, &inc, &mean, &ndata, 0, &groups, &gi, nullptr) == 0) {
            std::cout << " start " << start << " inc " << inc << " ndata " << ndata;
            if (groups > 0) std::cout << " groups " << groups;
            if (gi > 0.0f) std::cout << " groups_inc " << gi;
            std::cout << std::endl;
        }
        print_spectrum_members();
    } else if (pt == 4 && Nmemb == 1) {
        std::cout << std::endl;
        int xs = 0, xi = 0, nx = 0, ys = 0, yi = 0, ny = 0;
        const int len = GetImageSize(&xs, &xi, &nx, &ys, &yi, &ny);
        std::cout << " xstart " << xs << " xinc " << xi << " ystart " << ys << " yinc " << yi
                  << " nx " << nx << " ny " << ny << " len " << len << std::endl;
    }
}

void zorv_daq_getdata::PrintEvent() {
    if (Status != 1 || !EventHeader) {
        std::cerr << "zorv_daq_getdata::PrintEvent: wrong Status= " << Status << std::endl;
        return;
    }
    const zorv_eventheader* h = EventHeader;
    char tail[48];
    std::snprintf(tail, sizeof tail, "status(hex) %x \n", unsigned(h->status));
    std::cout << "event " << h->event_number << " evtype " << h->event_type << " len "
              << h->event_length << " time " << h->event_time.timeup << "-"
              << h->event_time.timelow << " Nsvrb " << h->num_svr_block << " " << tail << std::flush;
}
