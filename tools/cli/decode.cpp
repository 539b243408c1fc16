// Values of decoded channel blocks for the output of `read`, through the
// library's event decoder (slow values, name/value blocks, spectra, regions
// of interest, images) and, for the kinds it does not read, the payload
// queries of the event-format library. Every count and pointer is checked
// against the block's own length before it is used.
#include "decode.h"

#include <zlib.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "be_reader.h"
#include "block_view.h"
#include "block_types.h"
#include "event_util.h"
#include "zorv_daq_data.h"
#include "zorv_layout.h"

namespace zorv_cli {
namespace {


bool shared_code(int code) { return code == 13 || (code >= 22 && code <= 28); }

std::string text_of(const char* field, size_t len) { return std::string(field, strnlen(field, len)); }

using zorv::block_view;



}  // namespace

double tidy(float f) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf - 1, f);
    if (r.ec != std::errc()) return double(f);
    *r.ptr = '\0';
    return std::strtod(buf, nullptr);
}

namespace {

// A value's own time, written like the event's.
json time_json(const time_stamp& t) { return {{"time", time_text(t)}}; }

json update_json(const char* name, size_t len, int status, const time_stamp& t, float value) {
    json r = {{"prop", name ? text_of(name, len) : std::string()}, {"status", status}, {"value", tidy(value)}};
    r.update(time_json(t));
    return r;
}

// Every record of an update-kind block through the payload queries: the
// event decoder reads only the one record of an update block, not begin- or
// end-of-run blocks nor blocks of several records.
template <class L>
json decode_update_records(const block_view<L>& b) {
    json out = json::array();
    const int n = get_number_of_upd_channels(b.head(), L::payload_selector);
    for (int k = 0; k < n; ++k) {
        char* name = nullptr;
        int status = 0;
        time_stamp t{};
        float value = 0;
        if (get_update_params(b.head(), k, &name, &status, &t, &value, L::payload_selector)) break;
        out.push_back(update_json(name, L::upd_prop_len, status, t, value));
    }
    if (out.size() == 1) return out[0];
    return {{"records", out}};
}

// A slow value: value, status and seconds from the event decoder, the name
// and the microseconds from the update record it hands out.
template <class L>
json decode_update(zorv_daq_getdata& g, const block_view<L>& b) {
    float value = 0;
    int status = 0;
    time_t sec = 0;
    if (get_number_of_upd_channels(b.head(), L::payload_selector) != 1 || g.GetSlowPrm(&value, &status, &sec))
        return decode_update_records(b);
    const auto* upd = reinterpret_cast<const typename L::upd_block*>(g.GetData());
    return update_json(upd->upd_prop, L::upd_prop_len, status,
                       {uint32_t(sec), upd->upd_ch_time.timelow}, value);
}

template <class L>
json decode_env(const block_view<L>& b) {
    zorv_env_data_block e;
    if (!b.holds(0, sizeof e)) return {{"error", "environment value shorter than its record"}};
    std::memcpy(&e, b.payload(), sizeof e);
    json r = {{"index", e.env_ch_idx}, {"status", e.env_ch_status}, {"value", tidy(e.env_ch_data)}};
    r.update(time_json(e.env_ch_time));
    return r;
}

template <class L>
json decode_env_dict(const block_view<L>& b) {
    json entries = json::array();
    for (size_t off = 0; b.holds(off, sizeof(zorv_env_dict_entry)); off += sizeof(zorv_env_dict_entry)) {
        zorv_env_dict_entry e;
        std::memcpy(&e, b.payload() + off, sizeof e);
        entries.push_back({{"key", e.key}, {"name", text_of(e.name, sizeof e.name)}});
    }
    return {{"entries", entries}};
}

json decode_name_value(zorv_daq_getdata& g) {
    int id = 0, n = 0;
    char* comment = nullptr;
    zorv_name_value_channel* recs = nullptr;
    // The decoder hands out the block only when its count fits the payload.
    if (g.GetValNamPrm(nullptr, &id, &comment, &n, &recs))
        return {{"error", "name/value block does not hold its records"}};
    json pairs = json::array();
    for (int i = 0; i < n; ++i)
        pairs.push_back({{"name", text_of(recs[i].name, sizeof recs[i].name)}, {"value", tidy(recs[i].value)}});
    return {{"id", id}, {"comment", text_of(comment, sizeof zorv_name_value_block::comment)}, {"values", pairs}};
}

template <class L>
json decode_equipment(const block_view<L>& b) {
    json words = json::array();
    for (size_t off = 0; b.holds(off, 4); off += 4) {
        uint32_t w;
        std::memcpy(&w, b.payload() + off, 4);
        words.push_back(w);
    }
    return {{"words", words}};
}

// Every member of a spectrum or region of interest with its start and
// increment, as the event decoder reads them.
template <class L>
json decode_spectrum(zorv_daq_getdata& g, const block_view<L>& b, int subchan) {
    const int n = g.GetNmemb();
    json members = json::array();
    for (int m = 0; m < n; ++m) {
        float start = 0, inc = 0, groups_inc = 0;
        int ndata = 0, groups = 1;
        if (g.GetSpectPar(&start, &inc, nullptr, &ndata, m, &groups, &groups_inc, nullptr) != 0)
            return {{"error", "spectrum member " + std::to_string(m) + " unreadable"}};
        const float* s = g.GetSpect(m);
        const size_t count = size_t(ndata < 0 ? 0 : ndata) * size_t(groups > 0 ? groups : 1);
        const auto* bytes = reinterpret_cast<const unsigned char*>(s);
        if (!s || ndata < 0 || !b.contains(bytes, count * 4))
            return {{"error", "spectrum samples do not fit the block"}};
        json mj = {{"name", zorv_common::member_name(b.head()->dtype, n, m, subchan, g.GetMembName(m))},
                   {"start", tidy(start)},
                   {"inc", tidy(inc)},
                   {"ndata", ndata}};
        if (!L::legacy) mj.update({{"groups", groups}, {"groups_inc", tidy(groups_inc)}});
        std::vector<double> samples(count);
        for (size_t k = 0; k < count; ++k) samples[k] = tidy(s[k]);
        mj["samples"] = std::move(samples);
        members.push_back(mj);
    }
    return {{"members", members}};
}

// The image of the decoder's selected channel, its pixels checked to lie in
// the block and to cover width * height * bytes per pixel.
template <class L>
bool image_view_of(zorv_daq_getdata& g, const block_view<L>& b, image_view* out, std::string* why) {
    int length = 0;
    const int rc = g.GetImagePar(nullptr, nullptr, &out->bytes_per_pixel, &length);
    if (rc == -1) return *why = "block type " + type_name(b.type()) + " is no image", false;
    if (rc != 0) return *why = "image shorter than its frame head", false;
    int xstart = 0, ystart = 0;
    g.GetImageSize(&xstart, &out->hbin, &out->width, &ystart, &out->vbin, &out->height);
    const auto* px = reinterpret_cast<const unsigned char*>(g.GetImage());
    if (length < 0 || !px || !b.contains(px, size_t(length)))
        return *why = "image length " + std::to_string(length) + " runs past the block", false;
    out->pixels = px;
    out->length = size_t(length);
    const uint64_t need = uint64_t(out->width < 0 ? 0 : out->width) *
                          uint64_t(out->height < 0 ? 0 : out->height) *
                          uint64_t(out->bytes_per_pixel < 0 ? 0 : out->bytes_per_pixel);
    if (out->width <= 0 || out->height <= 0 || out->bytes_per_pixel <= 0 || need > out->length) {
        *why = "image of " + std::to_string(out->width) + "x" + std::to_string(out->height) + "x" +
               std::to_string(out->bytes_per_pixel) + " bytes does not fit its " +
               std::to_string(length) + " pixel bytes";
        return false;
    }
    return true;
}

template <class L>
json decode_image(zorv_daq_getdata& g, const block_view<L>& b) {
    image_view img;
    std::string why;
    if (!image_view_of(g, b, &img, &why)) return {{"error", why}};
    return {{"width", img.width},
            {"height", img.height},
            {"bytes_per_pixel", img.bytes_per_pixel},
            {"bytes", img.length},
            {"crc32", pixel_checksum(img)}};
}

// The event decoder on one result entry: true when it took the entry's
// headers and reads them in the file's layout.
template <class L>
bool decoder_on(zorv_daq_getdata& g, std::vector<zorv_channel_entry_long*>& one) {
    return g.SetRes(&one) > 0 && g.data_2010 == !L::legacy;
}

// Payload kinds the event decoder reads; the others are read here from the
// block's bytes.
bool decoder_reads(const std::string& kind) {
    return kind == "update" || kind == "name_value" || kind == "spectrum" || kind == "roi" || kind == "image";
}

template <class L>
json decode(const zorv_channel_entry_long& e, int subchan) {
    const block_view<L> b(reinterpret_cast<const void*>(e.sbchdata[0].chhd));
    const std::string kind = type_kind(b.type());
    std::vector<zorv_channel_entry_long*> one{const_cast<zorv_channel_entry_long*>(&e)};
    zorv_daq_getdata g;
    json v;
    if (decoder_reads(kind) && !decoder_on<L>(g, one)) v = {{"error", "event headers missing or of the other layout"}};
    else if (kind == "update") v = decode_update(g, b);
    else if (kind == "env") v = decode_env(b);
    else if (kind == "env_dict") v = decode_env_dict(b);
    else if (kind == "name_value") v = decode_name_value(g);
    else if (kind == "equipment") v = decode_equipment(b);
    else if (kind == "spectrum" || kind == "roi") v = decode_spectrum(g, b, subchan);
    else if (kind == "image") v = decode_image(g, b);
    else v = {{"bytes", b.payload_len()}};
    json out = {{"kind", kind}, {"dtype", b.head()->dtype & 0xFFFF}};
    if (b.head()->error & ~int32_t(ZORV_CHAN_ZIP_FLAG)) out["status"] = b.head()->error;
    out.update(v);
    return out;
}

}  // namespace

std::string type_name(int dtype) {
    const char* name = zorv_common::block_type_name(dtype);
    return name ? name : std::to_string(dtype & 0xFFFF);
}

std::string type_kind(int dtype) {
    const char* kind = zorv_common::block_type_kind(dtype);
    return kind ? kind : "unknown";
}

std::vector<int> mask_types(uint32_t dtype_mask, file_layout l, int hint) {
    std::vector<int> out;
    hint &= 0xFFFF;
    for (int bit = 0; bit < 32; ++bit) {
        if (!((dtype_mask >> bit) & 1u)) continue;
        const bool current_code = zorv_common::block_type_name(bit + 32) != nullptr;
        int code = bit;
        if (l == file_layout::current && current_code && !(shared_code(bit) && hint == bit))
            code = bit + 32;
        out.push_back(code);
    }
    return out;
}

json decode_entry(const zorv_channel_entry_long& e, file_layout l, int subchan) {
    if (!e.sbchdata[0].chhd) return {{"error", "no data"}};
    return with_layout(l, [&](auto tag) { return decode<decltype(tag)>(e, subchan); });
}

bool image_of(const zorv_channel_entry_long& e, file_layout l, image_view* out, std::string* why) {
    if (!e.sbchdata[0].chhd) return *why = "no data", false;
    return with_layout(l, [&](auto tag) {
        using L = decltype(tag);
        std::vector<zorv_channel_entry_long*> one{const_cast<zorv_channel_entry_long*>(&e)};
        zorv_daq_getdata g;
        if (!decoder_on<L>(g, one)) return *why = "event headers missing or of the other layout", false;
        return image_view_of(g, block_view<L>(reinterpret_cast<const void*>(e.sbchdata[0].chhd)), out, why);
    });
}

std::string pixel_checksum(const image_view& img) {
    uLong crc = crc32(0L, Z_NULL, 0);
    const unsigned char* p = img.pixels;
    for (size_t left = img.length; left > 0;) {
        const uInt chunk = left > (1u << 30) ? (1u << 30) : static_cast<uInt>(left);
        crc = crc32(crc, p, chunk);
        p += chunk;
        left -= chunk;
    }
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08lx", static_cast<unsigned long>(crc));
    return buf;
}

}  // namespace zorv_cli
