// Event decoder: header and value queries of the selected channel (members,
// names, slow values, name/value records, single values).
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
        const auto* h = chan_slot<L>(*this);
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
        const auto* h = srvb_slot<L>(*this);
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
        auto* h = chan_slot<L>(*this);
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
        if (chan_slot<L>(*this)) return false;
        std::cerr << "zorv_daq_getdata::GetValNamChan() " << Status << L::text::hl_no_chan_header;
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
        if (chan_slot<L>(*this)) return false;
        std::cerr << "zorv_daq_getdata::GetSingle: " << Status << L::text::hl_no_chan_header;
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
