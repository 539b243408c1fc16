// Diagnostic printers of the event-format library: headers, tables and data
// types as readable lines on standard output. Character fields are printed
// with a bound, so a name that fills its field is never read past its end.
#include <cstdio>
#include <ctime>

#include "event_util.h"
#include "block_type_names.h"

namespace {

#define ZORV_FIELD(f) int(sizeof(f)), (f)

// "Mon Oct  4 12:00:00 2010.000123" or "not set" for a zero time.
void print_time(const char* label, const time_stamp& t) {
    if (t.timeup == 0) {
        printf("%s not set\n", label);
        return;
    }
    char buf[32] = "";
    const time_t s = time_t(t.timeup);
    struct tm tm {};
    if (gmtime_r(&s, &tm)) strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    printf("%s %s.%06u UTC (%u.%06u)\n", label, buf, t.timelow, t.timeup, t.timelow);
}

const char* zip_method(uint32_t flags) {
    if (flags & 1u) return "zlib";
    if (flags & 2u) return "LZO1X";
    return "unknown";
}

template <class Table, class Entry>
void print_cdt(const Table* cdt) {
    if (!cdt) {
        printf("channel dictionary: none\n");
        return;
    }
    const int n = cdt->length >= 8 ? int((size_t(cdt->length) - 8) / sizeof(Entry)) : 0;
    printf("channel dictionary: pattern 0x%08x, %d bytes, %d channel(s)\n", cdt->pattern,
           cdt->length, n);
    printf("  %5s %10s %10s %10s %8s  %s\n", "#", "key", "ev_mask", "dtype_mask", "entries",
           "name");
    for (int i = 0; i < n; ++i) {
        const Entry& e = cdt->entry[i];
        printf("  %5d %10u 0x%08x 0x%08x %8d  %.*s\n", i, e.key, e.ev_mask, e.dtype_mask, e.count,
               ZORV_FIELD(e.chan_name));
    }
}

template <class Head>
void print_server_block(const Head* h) {
    if (!h) {
        printf("server block header: none\n");
        return;
    }
    printf("server block header: server %.*s\n", ZORV_FIELD(h->server));
    print_time("  time", h->time);
    printf("  total length %d, macro pulse %d, %d channel(s), tmask 0x%x, status 0x%x\n", h->ltotal,
           h->mpulse, h->nchan, h->tmask, h->status);
}

void print_error_word(uint32_t error) {
    if (error == 0) {
        printf("  error word 0 (ok)\n");
        return;
    }
    printf("  error word 0x%08x%s\n", error,
           (error & ZORV_CHAN_ZIP_FLAG) ? " (data compressed)" : "");
}

template <class Sub>
void print_channel_head(const Sub* h) {
    if (!h) {
        printf("channel header: none\n");
        return;
    }
    const uint32_t dtype = uint32_t(h->dtype);
    printf("channel header: %.*s\n", ZORV_FIELD(h->chname));
    printf("  data type %u", dtype & 0xFFFF);
    if (dtype >> 16) printf(" cut out of device type %u", dtype >> 16);
    printf(", %d bytes with header\n", h->ldata);
    print_error_word(uint32_t(h->error));
}

void print_type(int dtype) {
    const int type = dtype & 0xFFFF;
    const char* name = zorv::block_type_name(type);
    printf("data type %d: %s, %s payload, %d member(s)", type, name ? name : "unknown",
           zorv::block_kind_name(type), get_channel_number(type, nullptr));
    const int device = int(uint32_t(dtype) >> 16);
    if (device) {
        const char* dname = zorv::block_type_name(device);
        printf(", one member of a %s record", dname ? dname : "unknown");
    }
    printf("\n");
}

}  // namespace

void print_zorv_zip_header(const zorv_zip_header* h) {
    if (!h) {
        printf("zip header: none\n");
        return;
    }
    printf("zip header: flags 0x%x (%s), original %u bytes, compressed %u bytes\n", h->zip_flags,
           zip_method(h->zip_flags), h->orig_length, h->zipp_length);
}

void print_zorv_channel_dictionary_table(const zorv_chan_dictionary_table_2010* cdt) {
    print_cdt<zorv_chan_dictionary_table_2010, zorv_chan_dictionary_entry_2010>(cdt);
}

void print_zorv_channel_dictionary_table(const zorv_chan_dictionary_table* cdt) {
    print_cdt<zorv_chan_dictionary_table, zorv_chan_dictionary_entry>(cdt);
}

void print_zorv_event_index_table(const zorv_event_index_table_2010* eit) {
    if (!eit) {
        printf("event index: none\n");
        return;
    }
    printf("event index: pattern 0x%08x, %d event type(s)\n", eit->pattern, eit->nevent_types);
    const auto* p = reinterpret_cast<const unsigned char*>(eit->entry);
    for (int i = 0; i < eit->nevent_types; ++i) {
        const auto* e = reinterpret_cast<const zorv_event_index_entry*>(p);
        // Entries are walked by their own length; a length that is not a
        // whole entry ends the walk.
        if (e->length < 32 || (e->length - 32) % 16 != 0) {
            printf("  entry %d: bad length %d, stopping\n", i, e->length);
            return;
        }
        printf("  type %d (%s): %d event(s), numbers %u .. %u\n", e->event_type,
               event_name_itoa(e->event_type), (e->length - 32) / 16, e->event_number_first,
               e->event_number_last);
        print_time("    first", e->event_time_first);
        print_time("    last ", e->event_time_last);
        p += e->length;
    }
}

void dump_event_header_(const zorv_eventheader* h) {
    if (!h) {
        printf("event header: none\n");
        return;
    }
    printf("event %u: type %d (%s), %u bytes, %d server block(s), pattern 0x%08x\n",
           h->event_number, h->event_type, event_name_itoa(h->event_type), h->event_length,
           h->num_svr_block, h->pattern);
    print_time("  time", h->event_time);
    printf("  tmask 0x%x, status 0x%x\n", h->tmask, h->status);
}

void dump_event_subheader_2010(const zorv_serv_block_head_2010* h) { print_server_block(h); }
void dump_event_subheader(const zorv_serv_block_head* h) { print_server_block(h); }
void dump_event_chanhead_2010(const zorv_serv_block_subhead_2010* h) { print_channel_head(h); }
void dump_event_chanhead(const zorv_serv_block_subhead* h) { print_channel_head(h); }

void print_data_type_2010(const zorv_serv_block_subhead_2010* h) {
    if (h) print_type(h->dtype);
}

void print_data_type(const zorv_serv_block_subhead* h) {
    if (h) print_type(h->dtype);
}
