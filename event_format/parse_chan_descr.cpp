// Loading, copying, releasing and printing channel descriptions from the XML
// channel description table.
//
// A description is allocated with new; its bit and statistics records are
// malloc'd plain records; its dimension records are malloc'd too but hold a
// vector, so they are constructed in place and destroyed before free.
#include <pugixml.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "event_util.h"
#include "parse_chan_descr.h"
#include "xml_text.h"

namespace {

// Copies `text` into a field of N bytes, cut to N - 1 bytes. A cut never
// splits a UTF-8 character: one that does not fit whole is left out.
template <size_t N>
void set_text(char (&field)[N], const char* text) {
    size_t n = strnlen(text, N - 1);
    if (n == N - 1)
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(field, text, n);
    std::memset(field + n, 0, N - n);
}

// Decimal (optionally signed) or 0x-hex, with blanks around it allowed as
// XML writers leave them; missing or unreadable text is 0.
long long parse_number(const char* s) {
    if (!s) return 0;
    s = zorv::skip_xml_space(s);
    if (!*s) return 0;
    const bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    char* end = nullptr;
    const long long v = hex ? static_cast<long long>(std::strtoull(s + 2, &end, 16))
                            : std::strtoll(s, &end, 10);
    return end && *zorv::skip_xml_space(end) == '\0' ? v : 0;
}

const char* text_attr(const pugi::xml_node& n, const char* name) { return n.attribute(name).value(); }

int32_t int_attr(const pugi::xml_node& n, const char* name) {
    return static_cast<int32_t>(parse_number(text_attr(n, name)));
}

uint32_t uint_attr(const pugi::xml_node& n, const char* name) {
    return static_cast<uint32_t>(parse_number(text_attr(n, name)));
}

template <class T>
T* alloc_plain() {
    return static_cast<T*>(std::calloc(1, sizeof(T)));
}

dim_descr* alloc_dim() {
    void* p = std::calloc(1, sizeof(dim_descr));
    return p ? new (p) dim_descr() : nullptr;
}

void free_dim(dim_descr* d) {
    if (!d) return;
    for (stat_descr* s : d->stats) std::free(s);
    d->~dim_descr();
    std::free(d);
}

struct descr_deleter {
    void operator()(chan_descr_2010* d) const { zorv_free_chan_descr(d); }
};
using descr_ptr = std::unique_ptr<chan_descr_2010, descr_deleter>;

// Every field but the record vectors.
void copy_plain_fields(const chan_descr_2010& s, chan_descr_2010* d) {
    d->stream = s.stream;
    d->ev_type = s.ev_type;
    d->count = s.count;
    d->dtype = s.dtype;
    d->db_key = s.db_key;
    std::memcpy(d->prop_name, s.prop_name, sizeof d->prop_name);
    std::memcpy(d->daq_name, s.daq_name, sizeof d->daq_name);
    std::memcpy(d->prop_desc, s.prop_desc, sizeof d->prop_desc);
    std::memcpy(d->units, s.units, sizeof d->units);
    d->max_size = s.max_size;
    d->nbits = s.nbits;
    d->ndims = s.ndims;
    std::memcpy(d->sb_name, s.sb_name, sizeof d->sb_name);
    d->set_point = s.set_point;
    std::memcpy(d->subsystem, s.subsystem, sizeof d->subsystem);
}

chan_descr_2010* new_descr() {
    auto* d = new (std::nothrow) chan_descr_2010();
    return d;
}

// Reads every `tag` child of `parent` into a record of its own, made by
// `alloc` and appended to `list` (which owns it from then on), then filled
// by `fill`; `count` is set to the list's length once all are read.
template <class R, class Fill>
bool load_records(const pugi::xml_node& parent, const char* tag, R* (*alloc)(), std::vector<R*>* list,
                  int32_t* count, Fill fill) {
    for (const pugi::xml_node& x : parent.children(tag)) {
        R* rec = alloc();
        if (!rec) return false;
        list->push_back(rec);
        if (!fill(x, rec)) return false;
    }
    *count = static_cast<int32_t>(list->size());
    return true;
}

// The attributes bit, statistics and dimension records share: their number,
// in the attribute named after the element, their name and their text.
template <size_t N, size_t D>
void load_head(const pugi::xml_node& x, const char* tag, int32_t* number, char (&name)[N], char (&desc)[D]) {
    *number = int_attr(x, tag);
    set_text(name, text_attr(x, "name"));
    set_text(desc, text_attr(x, "desc"));
}

bool load_bits(const pugi::xml_node& ch, chan_descr_2010* d) {
    return load_records(ch, "bit", &alloc_plain<bit_descr>, &d->bits, &d->nbits,
                        [](const pugi::xml_node& b, bit_descr* rec) {
                            load_head(b, "bit", &rec->bit, rec->bit_name, rec->bit_desc);
                            return true;
                        });
}

bool load_stats(const pugi::xml_node& dim, dim_descr* d) {
    return load_records(dim, "stat", &alloc_plain<stat_descr>, &d->stats, &d->nstats,
                        [](const pugi::xml_node& s, stat_descr* rec) {
                            load_head(s, "stat", &rec->stat, rec->stat_name, rec->stat_desc);
                            set_text(rec->units, text_attr(s, "units"));
                            return true;
                        });
}

bool load_dims(const pugi::xml_node& ch, chan_descr_2010* d) {
    return load_records(ch, "dim", &alloc_dim, &d->dims, &d->ndims, [](const pugi::xml_node& x, dim_descr* rec) {
        load_head(x, "dim", &rec->dim, rec->dim_name, rec->dim_desc);
        set_text(rec->units, text_attr(x, "units"));
        return load_stats(x, rec);
    });
}

descr_ptr load_channel(const pugi::xml_node& ch) {
    descr_ptr d(new_descr());
    if (!d) return d;
    d->stream = int_attr(ch, "stream");
    d->ev_type = uint_attr(ch, "ev_type");
    d->count = 0;
    d->dtype = uint_attr(ch, "dtype");
    d->db_key = int_attr(ch, "db_key");
    d->max_size = int_attr(ch, "max_size");
    d->set_point = int_attr(ch, "set_point");
    set_text(d->prop_name, text_attr(ch, "prop_name"));
    set_text(d->daq_name, text_attr(ch, "daq_name"));
    set_text(d->prop_desc, text_attr(ch, "prop_desc"));
    set_text(d->units, text_attr(ch, "units"));
    set_text(d->sb_name, text_attr(ch, "sb_name"));
    set_text(d->subsystem, text_attr(ch, "subsystem"));
    if (!load_bits(ch, d.get()) || !load_dims(ch, d.get())) d.reset();
    return d;
}

int load_text(const char* xml, size_t len, std::vector<chan_descr_2010*>* list) {
    if (!xml || !list) return 1;
    pugi::xml_document doc;
    if (!doc.load_buffer(xml, len)) return 1;
    const pugi::xml_node root = doc.document_element();
    if (std::strcmp(root.name(), "channels") != 0) return 1;

    std::vector<descr_ptr> loaded;
    for (const pugi::xml_node& ch : root.children("channel")) {
        descr_ptr d = load_channel(ch);
        if (!d) return 1;
        loaded.push_back(std::move(d));
    }
    list->reserve(list->size() + loaded.size());
    for (auto& d : loaded) list->push_back(d.release());
    return 0;
}

}  // namespace

int zorv_load_chan_descr(const zorv_xml_chan_descr_header_2010* xcd,
                         std::vector<chan_descr_2010*>* list) {
    if (!xcd || xcd->length <= 8) return 1;
    // The text is NUL-terminated in memory; never look past the table.
    const size_t room = size_t(xcd->length) - 8;
    return load_text(xcd->xml, strnlen(xcd->xml, room), list);
}

int zorv_load_chan_descr_text(const char* xml, std::vector<chan_descr_2010*>* list) {
    return xml ? load_text(xml, std::strlen(xml), list) : 1;
}

void zorv_free_chan_descr(chan_descr_2010* d) {
    if (!d) return;
    for (bit_descr* b : d->bits) std::free(b);
    for (dim_descr* x : d->dims) free_dim(x);
    delete d;
}

chan_descr_2010* zorv_copy_chan_descr(const chan_descr_2010* src) {
    if (!src) return nullptr;
    descr_ptr d(new_descr());
    if (!d) return nullptr;
    copy_plain_fields(*src, d.get());
    try {
        for (const bit_descr* b : src->bits) {
            auto* rec = alloc_plain<bit_descr>();
            if (!rec) return nullptr;
            if (b) *rec = *b;
            d->bits.push_back(rec);
        }
        for (const dim_descr* x : src->dims) {
            dim_descr* rec = alloc_dim();
            if (!rec) return nullptr;
            d->dims.push_back(rec);
            if (!x) continue;
            rec->dim = x->dim;
            set_text(rec->dim_name, x->dim_name);
            set_text(rec->dim_desc, x->dim_desc);
            set_text(rec->units, x->units);
            rec->nstats = x->nstats;
            for (const stat_descr* s : x->stats) {
                auto* st = alloc_plain<stat_descr>();
                if (!st) return nullptr;
                if (s) *st = *s;
                rec->stats.push_back(st);
            }
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return d.release();
}

// A character field printed with "%.*s", never past its end.
#define ZORV_FIELD(f) int(sizeof(f)), (f)

void print_zorv_chan_descr(const chan_descr_2010* d) {
    if (!d) {
        printf("channel description: none\n");
        return;
    }
    printf("channel %.*s (property %.*s)\n", ZORV_FIELD(d->daq_name), ZORV_FIELD(d->prop_name));
    printf("  description: %.*s\n", ZORV_FIELD(d->prop_desc));
    printf("  stream %d  event type 0x%x  data type %u  key %d  entries %d\n", d->stream,
           d->ev_type, d->dtype, d->db_key, d->count);
    printf("  units '%.*s'  max size %d  set point %d  server block %.*s  subsystem %.*s\n",
           ZORV_FIELD(d->units), d->max_size, d->set_point, ZORV_FIELD(d->sb_name),
           ZORV_FIELD(d->subsystem));
    printf("  %d bit(s):\n", d->nbits);
    for (const bit_descr* b : d->bits)
        if (b)
            printf("    bit %2d  %-20.*s %.*s\n", b->bit, ZORV_FIELD(b->bit_name),
                   ZORV_FIELD(b->bit_desc));
    printf("  %d dimension(s):\n", d->ndims);
    for (const dim_descr* x : d->dims) {
        if (!x) continue;
        printf("    dim %d  %-20.*s %.*s [%.*s], %d statistic(s)\n", x->dim, ZORV_FIELD(x->dim_name),
               ZORV_FIELD(x->dim_desc), ZORV_FIELD(x->units), x->nstats);
        for (const stat_descr* s : x->stats)
            if (s)
                printf("      stat %d  %-18.*s %.*s [%.*s]\n", s->stat, ZORV_FIELD(s->stat_name),
                       ZORV_FIELD(s->stat_desc), ZORV_FIELD(s->units));
    }
}

void print_zorv_chan_descr(const std::vector<chan_descr_2010*>* list) {
    if (!list) return;
    printf("%zu channel description(s)\n", list->size());
    for (const chan_descr_2010* d : *list) print_zorv_chan_descr(d);
}
