// Payload handling of the event-format library: word swapping, conversion of
// every payload kind to host order, and the queries that read converted
// blocks (member counts and names, spectrum heads, update records, image
// heads, cutting one member out of a device record).
//
// Every property of a block type lives in one table indexed by the type code
// (payload_types.h).
// Every query bounds what it reads by the sub-header's `ldata`, so a
// malformed block yields a failure status, never a read outside the buffer.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "be_reader.h"
#include "block_view.h"
#include "event_util.h"
#include "payload_types.h"
#include "zorv_layout.h"

namespace {

using namespace zorv::payload_types;

// ---------------------------------------------------------------------------
// Word access. Payload bytes are read either big-endian (before conversion)
// or host order (after it).
// ---------------------------------------------------------------------------

uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }

uint32_t host_word(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void put_host_word(unsigned char* p, uint32_t v) { std::memcpy(p, &v, 4); }

float host_float(const unsigned char* p) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
}

uint32_t word_at(const unsigned char* p, bool big_endian) {
    return big_endian ? zorv::load_be32(p) : host_word(p);
}

void swap_words_in_place(unsigned char* p, size_t nwords) {
    for (size_t i = 0; i < nwords; ++i) put_host_word(p + 4 * i, swap32(host_word(p + 4 * i)));
}

bool mul_fits(uint64_t a, uint64_t b, uint64_t* out) { return !__builtin_mul_overflow(a, b, out); }

// ---------------------------------------------------------------------------
// Spectrum heads.
// ---------------------------------------------------------------------------

constexpr size_t head_current = sizeof(zorv_spect_head_2010);
constexpr size_t head_legacy = sizeof(zorv_spect_head);
constexpr size_t stat_size = sizeof(zorv_spect_statistics_2010);

// Shape of a spectrum payload whose counts fit its length exactly.
struct spect_shape {
    bool current = false;
    uint32_t ndata = 0;
    uint32_t groups = 1;
    uint32_t nmemb = 0;
    size_t stats_off = 0;        // offset of the statistics (current)
    size_t samples_off = 0;      // offset of member 0's samples
    size_t member_samples = 0;   // samples per member
};

bool fit_current(const unsigned char* p, size_t len, bool be, spect_shape* s) {
    if (len < head_current) return false;
    const int32_t ndata = static_cast<int32_t>(word_at(p + 8, be));
    const int32_t groups = static_cast<int32_t>(word_at(p + 12, be));
    const int32_t nmemb = static_cast<int32_t>(word_at(p + 20, be));
    if (ndata < 0 || groups < 1 || nmemb < 0) return false;
    uint64_t per_member = 0, samples = 0, stats = 0, bytes = 0;
    if (!mul_fits(uint64_t(ndata), uint64_t(groups), &per_member) ||
        !mul_fits(per_member, uint64_t(nmemb), &samples) || !mul_fits(samples, 4, &bytes) ||
        !mul_fits(uint64_t(nmemb), stat_size, &stats))
        return false;
    const uint64_t rest = len - head_current;
    if (stats > rest || bytes != rest - stats) return false;
    s->current = true;
    s->ndata = uint32_t(ndata);
    s->groups = uint32_t(groups);
    s->nmemb = uint32_t(nmemb);
    s->stats_off = head_current;
    s->samples_off = head_current + size_t(stats);
    s->member_samples = size_t(per_member);
    return true;
}

bool fit_legacy(const unsigned char* p, size_t len, bool be, spect_shape* s) {
    if (len < head_legacy) return false;
    const int32_t ndata = static_cast<int32_t>(word_at(p + 8, be));
    const int32_t nmemb = static_cast<int32_t>(word_at(p + 12, be));
    if (ndata < 0 || nmemb < 0) return false;
    uint64_t samples = 0, bytes = 0;
    if (!mul_fits(uint64_t(ndata), uint64_t(nmemb), &samples) || !mul_fits(samples, 4, &bytes) ||
        bytes != len - head_legacy)
        return false;
    s->current = false;
    s->ndata = uint32_t(ndata);
    s->groups = 1;
    s->nmemb = uint32_t(nmemb);
    s->samples_off = head_legacy;
    s->member_samples = size_t(ndata);
    return true;
}

// Finds the head layout of a spectrum payload of type `t`: the code's own
// layout, or for shared codes the preferred layout first, then the other.
bool fit_spectrum(const type_info& t, const unsigned char* p, size_t len, bool be,
                  zorv_layout_sel prefer, spect_shape* s) {
    switch (t.fmt) {
        case head_fmt::current: return fit_current(p, len, be, s);
        case head_fmt::legacy: return fit_legacy(p, len, be, s);
        case head_fmt::shared:
            if (prefer == ZORV_LAYOUT_LEGACY)
                return fit_legacy(p, len, be, s) || fit_current(p, len, be, s);
            return fit_current(p, len, be, s) || fit_legacy(p, len, be, s);
        case head_fmt::none: break;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Conversion.
// ---------------------------------------------------------------------------

bool valid_records(const type_info& t, size_t len) {
    return len % t.rec_size == 0 && len / t.rec_size >= t.min_records;
}

void swap_records(const type_info& t, unsigned char* p, size_t len) {
    for (size_t r = 0; r + t.rec_size <= len; r += t.rec_size) {
        for (size_t off = 0; off < t.rec_size; off += 4) {
            if (off >= t.text_off && off < size_t(t.text_off) + t.text_len) continue;
            swap_words_in_place(p + r + off, 1);
        }
    }
}

constexpr size_t nv_head = offsetof(zorv_name_value_block, data);
constexpr size_t nv_pair = sizeof(zorv_name_value_channel);

bool valid_name_value(const unsigned char* src, size_t len) {
    if (len < nv_head) return false;
    const int32_t n = static_cast<int32_t>(zorv::load_be32(src + offsetof(zorv_name_value_block, ndata)));
    uint64_t bytes = 0;
    return n >= 0 && mul_fits(uint64_t(n), nv_pair, &bytes) && bytes == len - nv_head;
}

void swap_name_value(unsigned char* p, size_t len) {
    swap_words_in_place(p + offsetof(zorv_name_value_block, id), 1);
    swap_words_in_place(p + offsetof(zorv_name_value_block, ndata), 1);
    for (size_t off = nv_head; off + nv_pair <= len; off += nv_pair)
        swap_words_in_place(p + off + offsetof(zorv_name_value_channel, value), 1);
}

// An image payload: a head of words whose last word is the pixel byte count.
bool valid_image(const unsigned char* src, size_t len, size_t head) {
    if (len < head) return false;
    const int32_t pixels = static_cast<int32_t>(zorv::load_be32(src + head - 4));
    return pixels >= 0 && uint64_t(pixels) == len - head;
}

size_t image_head_size(kind k) {
    return k == kind::image ? sizeof(zorv_image_frame_head) : sizeof(zorv_image_ext_frame_head);
}

bool valid_payload(const type_info& t, const unsigned char* src, size_t len, zorv_layout_sel sel) {
    switch (t.k) {
        case kind::records: return valid_records(t, len);
        case kind::spectrum: {
            spect_shape s;
            if (t.fmt == head_fmt::shared && sel == ZORV_LAYOUT_CURRENT)
                return fit_current(src, len, true, &s);
            if (t.fmt == head_fmt::shared && sel == ZORV_LAYOUT_LEGACY)
                return fit_legacy(src, len, true, &s);
            return fit_spectrum(t, src, len, true, ZORV_LAYOUT_AUTO, &s);
        }
        case kind::image:
        case kind::image_ext: return valid_image(src, len, image_head_size(t.k));
        case kind::name_value: return valid_name_value(src, len);
        case kind::none: break;
    }
    return false;
}

void swap_payload(const type_info& t, unsigned char* p, size_t len) {
    switch (t.k) {
        case kind::records: swap_records(t, p, len); break;
        case kind::spectrum: swap_words_in_place(p, len / 4); break;
        case kind::image:
        case kind::image_ext: swap_words_in_place(p, image_head_size(t.k) / 4); break;
        case kind::name_value: swap_name_value(p, len); break;
        case kind::none: break;
    }
}

// ---------------------------------------------------------------------------
// Converted blocks (block_view.h).
// ---------------------------------------------------------------------------

using zorv::block_view;

// A block whose length covers its sub-header, as a view.
template <class L>
bool open_block(const void* hdr, block_view<L>* b) {
    *b = block_view<L>(hdr);
    return b->whole();
}

// Opens a spectrum or roi block and finds its shape.
template <class L>
bool open_spectrum(const void* hdr, block_view<L>* b, spect_shape* s) {
    if (!open_block(hdr, b) || info_of(b->type()).k != kind::spectrum) return false;
    return fit_spectrum(info_of(b->type()), b->payload(), b->payload_len(), false,
                        static_cast<zorv_layout_sel>(L::payload_selector), s);
}

// A sub-header handed over without its layout. Bytes 32..43 are a legacy
// header's dtype, error and ldata, and part of a current header's name, which
// is printable text padded with NULs. So the header is legacy when the word at
// 32 holds a legacy type code (1..31 in its low 16 bits: control characters,
// never name text), or when its 32-byte name ends early and the word at 40
// (legacy ldata) is not padding.
bool looks_legacy(const void* hdr) {
    const auto* p = static_cast<const unsigned char*>(hdr);
    const uint32_t low = uint32_t(p[32]) | (uint32_t(p[33]) << 8);
    if (low >= 1 && low <= 31) return true;
    const bool short_name = std::memchr(p, 0, 32) != nullptr;
    return short_name && (p[40] | p[41] | p[42] | p[43]) != 0;
}

bool is_legacy_header(const void* hdr, int layout) {
    if (layout == ZORV_LAYOUT_LEGACY) return true;
    if (layout == ZORV_LAYOUT_CURRENT) return false;
    return looks_legacy(hdr);
}

// ---------------------------------------------------------------------------
// Cutting one member out of a device record.
// ---------------------------------------------------------------------------

template <class L>
void name_the_cut(typename L::subhead* h, int sub) {
    constexpr size_t field = sizeof(h->chname);
    char name[field + 1];
    const size_t n = strnlen(h->chname, field);
    std::memcpy(name, h->chname, n);
    name[n] = '\0';
    char out[field + 16];
    std::snprintf(out, sizeof out, "%s:%d", name, sub);
    std::memset(h->chname, 0, field);
    std::memcpy(h->chname, out, std::min(strlen(out), field - 1));
}

template <class L>
bool cut_member(const void* block, int sub, void** one) {
    using SH = typename L::subhead;
    if (!one) return true;
    *one = nullptr;
    block_view<L> b;
    spect_shape s;
    if (!open_spectrum(block, &b, &s) || sub < 0 || uint32_t(sub) >= s.nmemb) return true;

    const size_t head = s.current ? head_current : head_legacy;
    const size_t stats = s.current ? stat_size : 0;
    const size_t samples = s.member_samples * 4;
    const size_t total = sizeof(SH) + head + stats + samples;
    auto* out = static_cast<unsigned char*>(std::malloc(total));
    if (!out) return true;

    std::memcpy(out, b.bytes(), sizeof(SH));
    auto* h = reinterpret_cast<SH*>(out);
    h->ldata = int32_t(total);
    name_the_cut<L>(h, sub);

    unsigned char* p = out + sizeof(SH);
    std::memcpy(p, b.payload(), head);
    put_host_word(p + (s.current ? offsetof(zorv_spect_head_2010, nmemb)
                                 : offsetof(zorv_spect_head, nmemb)),
                  1);
    if (stats) std::memcpy(p + head, b.payload() + s.stats_off + size_t(sub) * stat_size, stats);
    std::memcpy(p + head + stats, b.payload() + s.samples_off + size_t(sub) * samples, samples);
    *one = out;
    return false;
}

// ---------------------------------------------------------------------------
// Spectrum queries shared by both sub-header layouts.
// ---------------------------------------------------------------------------

template <class L>
float* member_data(const void* hdr, int m) {
    block_view<L> b;
    spect_shape s;
    if (!open_spectrum(hdr, &b, &s) || m < 0 || uint32_t(m) >= s.nmemb) return nullptr;
    return reinterpret_cast<float*>(b.payload() + s.samples_off + size_t(m) * s.member_samples * 4);
}

struct spect_params {
    float start = 0, inc = 0, groups_inc = 0;
    int ndata = 0, groups = 1;
    zorv_spect_statistics_2010* stat = nullptr;
};

template <class L>
bool read_spect_params(const void* hdr, int ch, spect_params* out) {
    block_view<L> b;
    spect_shape s;
    if (!open_spectrum(hdr, &b, &s) || ch < 0 || uint32_t(ch) >= s.nmemb) return false;
    const unsigned char* p = b.payload();
    out->start = host_float(p);
    out->inc = host_float(p + 4);
    out->ndata = int(s.ndata);
    out->groups = int(s.groups);
    if (s.current) {
        out->groups_inc = host_float(p + offsetof(zorv_spect_head_2010, groups_inc));
        out->stat = reinterpret_cast<zorv_spect_statistics_2010*>(b.payload() + s.stats_off +
                                                                  size_t(ch) * stat_size);
    }
    return true;
}

template <class T>
void put(T* dst, T v) {
    if (dst) *dst = v;
}

// ---------------------------------------------------------------------------
// Update records.
// ---------------------------------------------------------------------------

template <class L>
int update_count(const void* hdr) {
    block_view<L> b;
    if (!open_block(hdr, &b) || !info_of(b.type()).is_update) return 0;
    return int(b.payload_len() / info_of(b.type()).rec_size);
}

// Text of a record's name field. A name that fills its field without a NUL is
// handed out as a terminated copy, so callers never read past the field.
char* terminated(char* field, size_t len) {
    if (strnlen(field, len) < len) return field;
    thread_local char copy[256 + 1];
    const size_t n = std::min(len, sizeof copy - 1);
    std::memcpy(copy, field, n);
    copy[n] = '\0';
    return copy;
}

template <class L>
bool update_params(const void* hdr, int k, char** name, int* status, time_stamp* time,
                   float* value) {
    block_view<L> b;
    if (!open_block(hdr, &b) || k < 0) return true;
    const type_info& t = info_of(b.type());
    if (!t.is_update) return true;
    if (uint64_t(k) >= b.payload_len() / t.rec_size) return true;
    unsigned char* rec = b.payload() + size_t(k) * t.rec_size;
    const size_t prop = t.text_len;  // status, time and value follow the name
    put(name, terminated(reinterpret_cast<char*>(rec), prop));
    put(status, static_cast<int>(host_word(rec + prop)));
    put(time, time_stamp{host_word(rec + prop + 4), host_word(rec + prop + 8)});
    put(value, host_float(rec + prop + 12));
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public operations.
// ---------------------------------------------------------------------------

void zorv_swap4(const void* src, void* dst, int n) {
    if (!src || !dst || n <= 0) return;
    const auto* s = static_cast<const unsigned char*>(src);
    auto* d = static_cast<unsigned char*>(dst);
    for (int i = 0; i < n; ++i) put_host_word(d + 4 * i, swap32(host_word(s + 4 * i)));
}

int zorv_convert_data(const void* src, void* dst, int dtype, int len, int layout) {
    const type_info& t = info_of(dtype);
    if (!src || !dst || len < 0 || t.k == kind::none) return 1;
    const size_t n = size_t(len);
    const bool pixels = t.k == kind::image || t.k == kind::image_ext;
    if (!pixels && n % 4 != 0) return 1;
    const auto* s = static_cast<const unsigned char*>(src);
    if (!valid_payload(t, s, n, static_cast<zorv_layout_sel>(layout))) return 1;
    auto* d = static_cast<unsigned char*>(dst);
    if (d != s) std::memmove(d, s, n);
    swap_payload(t, d, n);
    return 0;
}

int get_channel_number(int type, const void* hdr, int layout) {
    const type_info& t = info_of(type);
    if (t.k == kind::none) return 1;
    if (hdr && t.k == kind::spectrum) {
        spect_shape s;
        bool ok = false;
        if (is_legacy_header(hdr, layout)) {
            block_view<zorv::layout_legacy> b;
            ok = open_spectrum(hdr, &b, &s) && b.type() == (type & 0xFFFF);
        } else {
            block_view<zorv::layout_current> b;
            ok = open_spectrum(hdr, &b, &s) && b.type() == (type & 0xFFFF);
        }
        if (ok && s.nmemb >= 1) return int(s.nmemb);
    }
    return t.nmemb;
}

const char* get_chan_name(int type, int i) {
    const type_info& t = info_of(type);
    if (t.k == kind::none || i < 0) return nullptr;
    if (t.from_block) {
        static const auto generic = [] {
            std::array<std::array<char, 8>, generic_name_max> n{};
            for (int k = 0; k < generic_name_max; ++k) std::snprintf(n[k].data(), 8, "CH%d", k + 1);
            return n;
        }();
        return i < generic_name_max ? generic[size_t(i)].data() : nullptr;
    }
    return i < t.nmemb ? t.names[i] : nullptr;
}

bool device_to_one_channel_2010(const void* block, int sub, int, int, void** one) {
    return cut_member<zorv::layout_current>(block, sub, one);
}

bool device_to_one_channel_2009(const void* block, int sub, int, int, void** one) {
    return cut_member<zorv::layout_legacy>(block, sub, one);
}

bool device_to_one_channel(const void* block, int sub, int a, int b, void** one) {
    return device_to_one_channel_2009(block, sub, a, b, one);
}

float* get_pointer_to_data_2010(const zorv_serv_block_subhead_2010* hdr, int m) {
    return member_data<zorv::layout_current>(hdr, m);
}

float* get_pointer_to_data_2009(const zorv_serv_block_subhead* hdr, int m) {
    return member_data<zorv::layout_legacy>(hdr, m);
}

bool get_spect_params_for_data_type_2010(const zorv_serv_block_subhead_2010* hdr, float* start,
                                         float* inc, float** mean, int* ndata, int* groups,
                                         float* groups_inc, zorv_spect_statistics_2010** stat,
                                         int ch) {
    spect_params p;
    if (!read_spect_params<zorv::layout_current>(hdr, ch, &p)) return true;
    put(start, p.start);
    put(inc, p.inc);
    put(mean, p.stat ? p.stat->val : static_cast<float*>(nullptr));
    put(ndata, p.ndata);
    put(groups, p.groups);
    put(groups_inc, p.groups_inc);
    put(stat, p.stat);
    return false;
}

bool get_spect_params_for_data_type_2009(const zorv_serv_block_subhead* hdr, float* start,
                                         float* inc, float** mean, int* ndata, int ch) {
    spect_params p;
    if (!read_spect_params<zorv::layout_legacy>(hdr, ch, &p)) return true;
    put(start, p.start);
    put(inc, p.inc);
    put(mean, static_cast<float*>(nullptr));
    put(ndata, p.ndata * p.groups);
    return false;
}

int get_spect_code_description_2010(const zorv_serv_block_subhead_2010* hdr) {
    block_view<zorv::layout_current> b;
    spect_shape s;
    if (!open_spectrum(hdr, &b, &s) || !s.current) return -1;
    return static_cast<int>(host_word(b.payload() + offsetof(zorv_spect_head_2010, descr)));
}

int get_number_of_upd_channels(const void* hdr, int layout) {
    if (!hdr) return 0;
    return is_legacy_header(hdr, layout) ? update_count<zorv::layout_legacy>(hdr)
                             : update_count<zorv::layout_current>(hdr);
}

bool get_update_params(const void* hdr, int k, char** name, int* status, time_stamp* time,
                       float* value, int layout) {
    if (!hdr) return true;
    return is_legacy_header(hdr, layout)
               ? update_params<zorv::layout_legacy>(hdr, k, name, status, time, value)
               : update_params<zorv::layout_current>(hdr, k, name, status, time, value);
}

bool get_image_params(const zorv_image_frame_head* head, int* x, int* y, int* bpp,
                      uint32_t* evnum, char* text) {
    if (!head) return true;
    const uint32_t w = uint32_t(head->w), h = uint32_t(head->h), b = uint32_t(head->bpp);
    const int bytes = (b & 0xF) ? int(b & 0xF) : 1;
    put(x, int(w & 0xFFFF));
    put(y, int(h & 0xFFFF));
    put(bpp, bytes);
    put(evnum, head->event_nm);
    if (text)
        std::snprintf(text, 256,
                      "frame %u compression %d start %u,%u binning %ux%u %d byte(s)/pixel, "
                      "%d pixel bytes",
                      head->frame, head->compr, w >> 16, h >> 16, b >> 18, (b >> 4) & 0x3FFF, bytes,
                      head->length);
    return false;
}

bool get_image_ext_params(const zorv_image_ext_frame_head* head, zorv_image_ext_frame_head* out,
                          uint32_t* evnum, char* text) {
    if (!head) return true;
    put(out, *head);
    put(evnum, head->event);
    if (text)
        std::snprintf(text, 256,
                      "frame %u %dx%d of %dx%d at %d,%d binning %dx%d %d byte(s)/pixel "
                      "(%d bits) source format %d image format %d",
                      head->frame, head->aoi_width, head->aoi_height, head->width, head->height,
                      head->x_start, head->y_start, head->hbin, head->vbin, head->bpp,
                      head->ebitpp, head->source_format, head->image_format);
    return false;
}
