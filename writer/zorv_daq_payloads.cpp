// Payload builders: the on-file bytes of every block kind.
#include <climits>
#include <cstdio>

#include "be_sink.h"

namespace zorv {

namespace {

// An empty payload of block type `dtype`.
payload blank(int dtype) {
    payload p;
    p.dtype = dtype;
    return p;
}

payload refuse(int dtype, const std::string& why) {
    payload p = blank(dtype);
    p.error = why;
    return p;
}

// A text field holds at most field - 1 characters and a terminating NUL.
bool fits(const std::string& s, size_t field) { return s.size() < field; }

std::string too_long(const char* what, const std::string& s, size_t field) {
    return std::string(what) + " \"" + s + "\" is longer than its field (" +
           std::to_string(field - 1) + " characters)";
}

struct member_count {
    int dtype;
    int members;
};

// Members of one device record per spectrum type; 0: taken from the block.
constexpr member_count kSpectrumTypes[] = {
    {6, 3},  {7, 3},  {8, 3},  {9, 1},  {10, 1}, {11, 2}, {12, 1}, {14, 4}, {15, 4},
    {16, 8}, {17, 8}, {18, 4}, {19, 2}, {20, 4}, {21, 4}, {24, 0}, {25, 0}, {26, 0},
    {28, 0}, {38, 3}, {39, 3}, {40, 3}, {41, 1}, {42, 1}, {43, 2}, {44, 1}, {45, 2},
    {46, 4}, {47, 4}, {48, 8}, {49, 8}, {50, 4}, {51, 2}, {52, 6}, {53, 8}, {60, 3},
    {61, 5}, {62, 7},
};

// Whether a spectrum of `dtype` in `layout` carries the current head.
bool current_head(int dtype, file_layout layout) {
    if (dtype >= 33) return true;
    if (dtype >= 24) return layout == file_layout::current;
    return false;
}

std::string check_spectrum(int dtype, const spectrum_data& s, bool current) {
    int want = spectrum_members(dtype);
    if (want < 0) return "block type " + std::to_string(dtype) + " is not a spectrum or roi type";
    if (s.members.empty()) return "a spectrum needs at least one member";
    if (want > 0 && static_cast<int>(s.members.size()) != want)
        return "block type " + std::to_string(dtype) + " has " + std::to_string(want) +
               " members, not " + std::to_string(s.members.size());
    if (s.ndata < 0 || s.groups < 1) return "spectrum ndata must be >= 0 and groups >= 1";
    if (!current && s.groups != 1) return "the legacy spectrum head has no groups";
    const uint64_t per_member = uint64_t(s.ndata) * uint64_t(s.groups);
    if (per_member * 4 * s.members.size() > INT32_MAX)
        return "spectrum samples exceed the block's size field";
    for (const auto& m : s.members)
        if (m.samples.size() != per_member)
            return "each spectrum member needs groups * ndata = " + std::to_string(per_member) +
                   " samples, one has " + std::to_string(m.samples.size());
    return {};
}

}  // namespace

int spectrum_members(int dtype) {
    for (const auto& t : kSpectrumTypes)
        if (t.dtype == dtype) return t.members;
    return -1;
}

payload make_spectrum(int dtype, const spectrum_data& s, file_layout layout) {
    const bool current = current_head(dtype, layout);
    std::string why = check_spectrum(dtype, s, current);
    if (!why.empty()) return refuse(dtype, why);
    payload p = blank(dtype);
    be_sink out(p.bytes);
    out.f32(s.start);
    out.f32(s.inc);
    out.i32(s.ndata);
    if (current) {
        out.i32(s.groups);
        out.f32(s.groups_inc);
        out.i32(static_cast<int32_t>(s.members.size()));
        out.i32(s.descr);
        for (const auto& m : s.members) {
            out.u32(m.stat_mask);
            for (float v : m.stat) out.f32(v);
        }
    } else {
        out.i32(static_cast<int32_t>(s.members.size()));
    }
    for (const auto& m : s.members)
        for (float v : m.samples) out.f32(v);
    return p;
}

payload make_update(int dtype, const std::vector<update_record>& records) {
    size_t field;
    if (dtype == ZORV_UPD_BLOCK || dtype == ZORV_BOR_BLOCK || dtype == ZORV_EOR_BLOCK)
        field = sizeof(zorv_upd_data_block::upd_prop);
    else if (dtype == ZORV_UPD_BLOCK_2010 || dtype == ZORV_BOR_BLOCK_2010 ||
             dtype == ZORV_EOR_BLOCK_2010)
        field = sizeof(zorv_upd_data_block_2010::upd_prop);
    else
        return refuse(dtype, "block type " + std::to_string(dtype) + " is not an update type");
    if (records.empty()) return refuse(dtype, "an update block needs at least one record");
    payload p = blank(dtype);
    be_sink out(p.bytes);
    for (const auto& r : records) {
        if (!fits(r.prop, field)) return refuse(dtype, too_long("update property", r.prop, field));
        out.chars(r.prop, field);
        out.i32(r.status);
        out.time(r.time);
        out.f32(r.value);
    }
    return p;
}

payload make_env_value(int dtype, const zorv_env_data_block& v) {
    if (dtype != ZORV_ENV_BLOCK && dtype != ZORV_ENV_BLOCK_2010)
        return refuse(dtype, "block type " + std::to_string(dtype) + " is not an env value type");
    payload p = blank(dtype);
    be_sink out(p.bytes);
    out.i32(v.env_ch_idx);
    out.i32(v.env_ch_status);
    out.time(v.env_ch_time);
    out.f32(v.env_ch_data);
    return p;
}

payload make_env_dict(int dtype, const std::vector<env_dict_record>& records) {
    if (dtype != ZORV_ENV_DICT_BLOCK && dtype != ZORV_ENV_DICT_BLOCK_2010)
        return refuse(dtype,
                      "block type " + std::to_string(dtype) + " is not an env dictionary type");
    constexpr size_t field = sizeof(zorv_env_dict_entry::name);
    payload p = blank(dtype);
    be_sink out(p.bytes);
    for (const auto& r : records) {
        if (!fits(r.name, field)) return refuse(dtype, too_long("env name", r.name, field));
        out.u32(r.key);
        out.chars(r.name, field);
    }
    return p;
}

payload make_name_value(int32_t id, const std::string& comment,
                        const std::vector<name_value_pair>& pairs) {
    constexpr int dtype = ZORV_BLOCK_NAME_VALUE;
    constexpr size_t cfield = sizeof(zorv_name_value_block::comment);
    constexpr size_t nfield = sizeof(zorv_name_value_channel::name);
    if (!fits(comment, cfield)) return refuse(dtype, too_long("comment", comment, cfield));
    payload p = blank(dtype);
    be_sink out(p.bytes);
    out.i32(id);
    out.chars(comment, cfield);
    out.i32(static_cast<int32_t>(pairs.size()));
    for (const auto& nv : pairs) {
        if (!fits(nv.name, nfield)) return refuse(dtype, too_long("value name", nv.name, nfield));
        out.chars(nv.name, nfield);
        out.f32(nv.value);
    }
    return p;
}

payload make_image(const zorv_image_frame_head& h, const std::vector<unsigned char>& pixels) {
    if (pixels.size() > INT32_MAX - 1024)
        return refuse(ZORV_BLOCK_IMAGE, "image pixels exceed the block's size field");
    payload p = blank(ZORV_BLOCK_IMAGE);
    be_sink out(p.bytes);
    for (int32_t w : {h.w, h.h, h.bpp, h.compr}) out.i32(w);
    out.u32(h.frame);
    out.u32(h.event_nm);
    out.i32(static_cast<int32_t>(pixels.size()));
    out.bytes(pixels.data(), pixels.size());
    return p;
}

payload make_image_ext(const zorv_image_ext_frame_head& h,
                       const std::vector<unsigned char>& pixels) {
    if (pixels.size() > INT32_MAX - 1024)
        return refuse(ZORV_BLOCK_IMAGE_EXT, "image pixels exceed the block's size field");
    payload p = blank(ZORV_BLOCK_IMAGE_EXT);
    be_sink out(p.bytes);
    for (int32_t w : {h.width, h.height, h.aoi_width, h.aoi_height, h.x_start, h.y_start, h.bpp,
                      h.ebitpp, h.hbin, h.vbin, h.source_format, h.image_format})
        out.i32(w);
    out.u32(h.frame);
    out.u32(h.event);
    for (float f : {h.scale_x, h.scale_y, h.image_rotation, h.fspare2, h.fspare3, h.fspare4})
        out.f32(f);
    for (int32_t w : {h.image_flags, h.ispare2, h.ispare3, h.ispare4}) out.i32(w);
    out.i32(static_cast<int32_t>(pixels.size()));
    out.bytes(pixels.data(), pixels.size());
    return p;
}

payload make_equipment(const std::vector<uint32_t>& words) {
    payload p = blank(ZORV_BLOCK_EQDATA);
    be_sink out(p.bytes);
    for (uint32_t w : words) out.u32(w);
    return p;
}

payload make_raw(int dtype, std::vector<unsigned char> bytes) {
    payload p = blank(dtype);
    p.bytes = std::move(bytes);
    return p;
}

}  // namespace zorv
