// Event decoder: its own dumps of the selected channel and the event.
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
            const auto* h = chan_slot<L>(*this);
            if (!spect_params(h, nullptr, nullptr, nullptr, &ndata, &groups, nullptr, nullptr, m))
                samples = member_samples(h, m);
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
