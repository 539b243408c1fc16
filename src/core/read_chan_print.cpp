// zorv::read_chan: the diagnostic printers.
#include <ctime>
#include <cstdio>
#include <string>

#include "core/read_chan_parts.h"

namespace zorv {


// ---------------------------------------------------------------------------
// Diagnostics.
// ---------------------------------------------------------------------------

template <class L>
void read_chan<L>::print_chan_descr() {
    if (!descr.prop_name[0]) {
        printf("%s NO DESCRIPTION SET\n", chan);
        return;
    }
    std::vector<chan_descr_2010*> one{&descr};
    print_zorv_chan_descr(&one);
}

template <class L>
void read_chan<L>::print_cdt_entry() {
    if (!cdt) {
        printf("print_cdt_entry(): CDT is not initialized\n");
        return;
    }
    std::string events;
    for (int e = 0; e < 32; ++e) {
        if (!(cdt->ev_mask & (1u << e))) continue;
        std::string piece = (events.empty() ? "" : ":") + std::string(event_name_itoa(e));
        if (events.size() + piece.size() > 255) break;
        events += piece;
    }
    printf("[%d]\tKey:%u\tChan:%.*s\tCount:%d\tEvents:%s\n", cdtl, cdt->key, int(sizeof cdt->chan_name),
           cdt->chan_name, cdt->count, events.c_str());
}

template <class L>
void read_chan<L>::print_time_limits() {
    auto line = [this](const char* label, const zorv_time_id& t) {
        if (subchan != -1) printf("%s:%d %s", chan, subchan, label);
        else printf("%s %s", chan, label);
        if (t.time.timeup == 0) {
            printf(" Unknown\n");
            return;
        }
        char text[64] = {};
        const time_t secs = t.time.timeup;
        if (ctime_r(&secs, text)) text[std::strcspn(text, "\n")] = '\0';
        printf(" EventID: %u Time: %s : %u\n", t.event_number, text, t.time.timelow);
    };
    line("First: ", event_first);
    line("Last : ", event_last);
}

template <class L>
void read_chan<L>::print_event_chan_pointers_entry() {
    if (!ecp_tab || !cdt_tab) return;
    printf("=================ECP=enrty= cdtl:%d  chn_base:%u======\n", cdtl,
           unsigned(reinterpret_cast<uintptr_t>(chn_base)));
    const int count = cdt ? cdt->count : 0;
    for (int i = 0; i < count; ++i) {
        const zorv_event_chan_ptr_entry* p = get_data_table_pointer(i);
        if (!p) break;
        printf("(%u %u %u %u) ", p->evhd, p->sbhd, p->chhd, p->data);
    }
    printf("==========END=OF=ECP=enrty=======\n");
}

// Prints every entry's identity and, for a finished entry, `dump` of its
// element 0 between the two frame lines.
template <class L>
template <class F>
void read_chan<L>::print_entries(const char* head, const char* tail, F&& dump) {
    if (!ecp_tab || !cdt_tab || !out) return;
    checked_lock lock(mx);
    printf("%s", head);
    for (int i = 0; i < out_total; ++i) {
        const zorv_channel_entry_long& e = out[i];
        printf("%d %d:%d\n", int(e.event_id.event_number), int(e.event_id.time.timeup), int(e.event_id.time.timelow));
        dump(e.sbchdata[0]);
    }
    printf("%s", tail);
}

template <class L>
void read_chan<L>::print_event_headers() {
    print_entries("=================EVENT HEADERS======\n", "==========END=OF=EVENT=HEADERS=======\n",
                  [](const zorv_event_chan_ptr_long_entry& p) {
                      if (p.evhd) dump_event_header_(reinterpret_cast<const zorv_eventheader*>(p.evhd));
                  });
}

template <class L>
void read_chan<L>::print_server_block_headers() {
    print_entries("=================SB HEADERS======\n", "==========END=OF=SB=HEADERS=======\n",
                  [](const zorv_event_chan_ptr_long_entry& p) {
                      if (p.sbhd) L::dump_sbhead(reinterpret_cast<const typename L::sbhead*>(p.sbhd));
                  });
}

template <class L>
void read_chan<L>::print_channel_headers() {
    print_entries("=================CHANNEL HEADERS======\n", "==========END=OF=CHANNEL=HEADERS=======\n",
                  [](const zorv_event_chan_ptr_long_entry& p) {
                      if (p.chhd) L::dump_chanhead(reinterpret_cast<const typename L::subhead*>(p.chhd));
                  });
}

template <class L>
void read_chan<L>::print_channel() {
    print_entries("=================CHANNEL======\n", "==========END=OF=CHANNEL========\n",
                  [](const zorv_event_chan_ptr_long_entry& p) {
                      if (p.chhd) L::print_data(reinterpret_cast<const typename L::subhead*>(p.chhd));
                  });
}

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_READ_CHAN_PRINT(L) \
    template void read_chan<L>::print_chan_descr(); \
    template void read_chan<L>::print_cdt_entry(); \
    template void read_chan<L>::print_time_limits(); \
    template void read_chan<L>::print_event_chan_pointers_entry(); \
    template void read_chan<L>::print_event_headers(); \
    template void read_chan<L>::print_server_block_headers(); \
    template void read_chan<L>::print_channel_headers(); \
    template void read_chan<L>::print_channel();
ZORV_READ_CHAN_PRINT(layout_current)
ZORV_READ_CHAN_PRINT(layout_legacy)
#undef ZORV_READ_CHAN_PRINT

}  // namespace zorv
