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

namespace {

// Copies `text` into a field of N bytes, cut to N - 1 characters.
template <size_t N>
void set_text(char (&field)[N], const char* text) {
    const size_t n = strnlen(text, N - 1);
    std::memcpy(field, text, n);
    std::memset(field + n, 0, N - n);
}

// Decimal (optionally signed) or 0x-hex; missing or unreadable text is 0.
long long parse_number(const char* s) {
    if (!s || !*s) return 0;
    const bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    char* end = nullptr;
    const long long v = hex ? static_cast<long long>(std::strtoull(s + 2, &end, 16))
                            : std::strtoll(s, &end, 10);
    return end && *end == '\0' ? v : 0;
}

int32_t int_attr(const pugi::xml_node& n, const char* name) {
    return static_cast<int32_t>(parse_number(n.attribute(name).value()));
}

uint32_t uint_attr(const pugi::xml_node& n, const char* name) {
    return static_cast<uint32_t>(parse_number(n.attribute(name).value()));
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

bool load_bits(const pugi::xml_node& ch, chan_descr_2010* d) {
    for (const pugi::xml_node& b : ch.children("bit")) {
        auto* rec = alloc_plain<bit_descr>();
        if (!rec) return false;
        rec->bit = int_attr(b, "bit");
        set_text(rec->bit_name, b.attribute("name").value());
        set_text(rec->bit_desc, b.attribute("desc").value());
        d->bits.push_back(rec);
    }
    d->nbits = static_cast<int32_t>(d->bits.size());
    return true;
}

bool load_stats(const pugi::xml_node& dim, dim_descr* d) {
    for (const pugi::xml_node& s : dim.children("stat")) {
        auto* rec = alloc_plain<stat_descr>();
        if (!rec) return false;
        rec->stat = int_attr(s, "stat");
        set_text(rec->stat_name, s.attribute("name").value());
        set_text(rec->stat_desc, s.attribute("desc").value());
        set_text(rec->units, s.attribute("units").value());
        d->stats.push_back(rec);
    }
    d->nstats = static_cast<int32_t>(d->stats.size());
    return true;
}

bool load_dims(const pugi::xml_node& ch, chan_descr_2010* d) {
    for (const pugi::xml_node& x : ch.children("dim")) {
        dim_descr* rec = alloc_dim();
        if (!rec) return false;
        d->dims.push_back(rec);
        rec->dim = int_attr(x, "dim");
        set_text(rec->dim_name, x.attribute("name").value());
        set_text(rec->dim_desc, x.attribute("desc").value());
        set_text(rec->units, x.attribute("units").value());
        if (!load_stats(x, rec)) return false;
    }
    d->ndims = static_cast<int32_t>(d->dims.size());
    return true;
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
    set_text(d->prop_name, ch.attribute("prop_name").value());
    set_text(d->daq_name, ch.attribute("daq_name").value());
    set_text(d->prop_desc, ch.attribute("prop_desc").value());
    set_text(d->units, ch.attribute("units").value());
    set_text(d->sb_name, ch.attribute("sb_name").value());
    set_text(d->subsystem, ch.attribute("subsystem").value());
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
