// Payload conversion and the queries on converted blocks. Payloads are built
// as big-endian bytes, the way they stand in a file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "event_util.h"

namespace {

struct be_bytes {
    std::vector<unsigned char> b;
    be_bytes& u32(uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<unsigned char>(v >> s));
        return *this;
    }
    be_bytes& f32(float f) {
        uint32_t w;
        std::memcpy(&w, &f, 4);
        return u32(w);
    }
    be_bytes& text(const std::string& s, size_t field) {
        for (size_t i = 0; i < field; ++i) b.push_back(i < s.size() ? s[i] : 0);
        return *this;
    }
    be_bytes& raw(size_t n, unsigned char v) {
        b.insert(b.end(), n, v);
        return *this;
    }
    be_bytes& add(const be_bytes& o) {
        b.insert(b.end(), o.b.begin(), o.b.end());
        return *this;
    }
    be_bytes& floats(int n, float first) {
        for (int i = 0; i < n; ++i) f32(first + i);
        return *this;
    }
};

// Current spectrum head, statistics (mask = member) and samples m*100 + i.
be_bytes spect_current(int nmemb, int groups, int ndata, int descr = 0) {
    be_bytes p;
    p.f32(0.5f).f32(0.25f).u32(ndata).u32(groups).f32(2.0f).u32(nmemb).u32(descr);
    for (int m = 0; m < nmemb; ++m) p.u32(m).floats(32, float(m));
    for (int m = 0; m < nmemb; ++m) p.floats(groups * ndata, float(m * 100));
    return p;
}

be_bytes spect_legacy(int nmemb, int ndata) {
    be_bytes p;
    p.f32(1.0f).f32(0.1f).u32(ndata).u32(nmemb);
    for (int m = 0; m < nmemb; ++m) p.floats(ndata, float(m * 100));
    return p;
}

be_bytes update_record(const std::string& name, size_t field, int status, float value) {
    return be_bytes().text(name, field).u32(status).u32(100).u32(5).f32(value);
}

using block_ptr = std::unique_ptr<unsigned char, decltype(&std::free)>;

// A converted block: host-order sub-header of layout SH in front of the
// payload, converted with zorv_convert_data.
template <class SH>
block_ptr make_block(const char* name, int dtype, const be_bytes& payload) {
    const size_t total = sizeof(SH) + payload.b.size();
    block_ptr blk(static_cast<unsigned char*>(std::calloc(1, total)), &std::free);
    auto* h = reinterpret_cast<SH*>(blk.get());
    std::snprintf(h->chname, sizeof h->chname, "%s", name);
    h->dtype = dtype;
    h->ldata = int32_t(total);
    EXPECT_EQ(zorv_convert_data(payload.b.data(), blk.get() + sizeof(SH), dtype,
                                int(payload.b.size())),
              0);
    return blk;
}

using SHC = zorv_serv_block_subhead_2010;
using SHL = zorv_serv_block_subhead;

uint32_t host_word(const std::vector<unsigned char>& v, size_t off) {
    uint32_t w;
    std::memcpy(&w, v.data() + off, 4);
    return w;
}

}  // namespace

TEST(Payload, SwapFourCopiesOrSwapsInPlace) {
    const unsigned char src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char dst[8];
    zorv_swap4(src, dst, 2);
    EXPECT_EQ(0, std::memcmp(dst, "\4\3\2\1\10\7\6\5", 8));
    zorv_swap4(dst, dst, 2);
    EXPECT_EQ(0, std::memcmp(dst, src, 8));
}

TEST(Payload, ConversionValidatesEveryKind) {
    struct conv_case {
        const char* what;
        int dtype;
        be_bytes payload;
        int layout;
        bool ok;
    };
    be_bytes nv = be_bytes().u32(7).text("comment", 80).u32(2).text("A", 80).f32(1).text("B", 80).f32(2);
    be_bytes nv_short = be_bytes().u32(7).text("c", 80).u32(3).text("A", 80).f32(1);
    be_bytes nv_neg = be_bytes().u32(7).text("c", 80).u32(uint32_t(-1));
    be_bytes img = be_bytes().u32(2).u32(1).u32(1).u32(0).u32(9).u32(10).u32(3).raw(3, 0xAB);
    be_bytes img_long = be_bytes().u32(2).u32(1).u32(1).u32(0).u32(9).u32(10).u32(4).raw(3, 0xAB);
    be_bytes ext = be_bytes().raw(96, 0).u32(2).raw(2, 0x11);
    be_bytes ext_neg = be_bytes().raw(96, 0).u32(uint32_t(-2));
    be_bytes huge = be_bytes().f32(0).f32(0).u32(0x7fffffff).u32(0x7fffffff).f32(0).u32(0x7fffffff).u32(0);
    be_bytes grp0 = spect_current(1, 1, 2);
    grp0.b[15] = 0;  // groups = 0
    const std::vector<conv_case> cases = {
        {"current update", ZORV_UPD_BLOCK_2010, update_record("P", 256, 7, 1.5f), 0, true},
        {"two legacy updates", ZORV_BOR_BLOCK,
         update_record("P", 80, 1, 1).add(update_record("Q", 80, 2, 2)), 0, true},
        {"update, half record", ZORV_UPD_BLOCK, be_bytes().text("P", 48), 0, false},
        {"update, empty", ZORV_EOR_BLOCK_2010, be_bytes(), 0, false},
        {"env value", ZORV_ENV_BLOCK_2010, be_bytes().u32(1).u32(2).u32(3).u32(4).f32(5), 0, true},
        {"env value, not words", ZORV_ENV_BLOCK, be_bytes().raw(21, 0), 0, false},
        {"env value, partial record", ZORV_ENV_BLOCK, be_bytes().raw(24, 0), 0, false},
        {"env dictionary", ZORV_ENV_DICT_BLOCK, be_bytes().u32(9).text("KEY", 60), 0, true},
        {"name/value", ZORV_BLOCK_NAME_VALUE, nv, 0, true},
        {"name/value, count too big", ZORV_BLOCK_NAME_VALUE, nv_short, 0, false},
        {"name/value, negative count", ZORV_BLOCK_NAME_VALUE, nv_neg, 0, false},
        {"image, odd pixel bytes", ZORV_BLOCK_IMAGE, img, 0, true},
        {"image, length past end", ZORV_BLOCK_IMAGE, img_long, 0, false},
        {"image_ext", ZORV_BLOCK_IMAGE_EXT, ext, 0, true},
        {"image_ext, negative length", ZORV_BLOCK_IMAGE_EXT, ext_neg, 0, false},
        {"equipment words", ZORV_BLOCK_EQDATA, be_bytes().u32(1).u32(2), 0, true},
        {"equipment, not words", ZORV_BLOCK_EQDATA, be_bytes().raw(6, 0), 0, false},
        {"current spectrum", ZORV_BLOCK_BPM_2010, spect_current(3, 2, 2), 0, true},
        {"current spectrum, extra word", ZORV_BLOCK_BPM_2010, spect_current(3, 2, 2).u32(0), 0, false},
        {"current spectrum, no groups", ZORV_BLOCK_1CHAN_2010, grp0, 0, false},
        {"current spectrum, overflowing counts", ZORV_BLOCK_8CHAN_2010, huge, 0, false},
        {"legacy spectrum", ZORV_BLOCK_BPM, spect_legacy(3, 2), 0, true},
        {"legacy spectrum, extra word", ZORV_BLOCK_MCP, spect_legacy(4, 3).u32(0), 0, false},
        {"roi, legacy head, auto", ZORV_BLOCK_IMG_ROI1, spect_legacy(1, 4), 0, true},
        {"roi, current head, auto", ZORV_BLOCK_IMG_ROI2, spect_current(1, 1, 4), 0, true},
        {"roi, legacy head, current asked", ZORV_BLOCK_IMG_ROI3, spect_legacy(1, 4),
         ZORV_LAYOUT_CURRENT, false},
        {"generic, legacy head, legacy asked", ZORV_BLOCK_GENERIC_SPECT, spect_legacy(5, 1),
         ZORV_LAYOUT_LEGACY, true},
        {"unknown 0", 0, be_bytes().u32(0), 0, false},
        {"unknown 29", 29, be_bytes().u32(0), 0, false},
        {"unknown 31", ZORV_UPD_BLOCK_DONT_USE_31, be_bytes().raw(96, 0), 0, false},
        {"unknown 56", 56, be_bytes().u32(0), 0, false},
        {"unknown 64", 64, be_bytes().u32(0), 0, false},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> out(c.payload.b.size() + 1, 0xEE);
        const int rc = zorv_convert_data(c.payload.b.data(), out.data(), c.dtype,
                                         int(c.payload.b.size()), c.layout);
        EXPECT_EQ(rc == 0, c.ok) << c.what;
        if (!c.ok) {
            EXPECT_EQ(out[0], 0xEE) << c.what << ": destination written on failure";
        }
    }
}

TEST(Payload, ConversionSwapsNumbersAndKeepsTextAndPixels) {
    std::vector<unsigned char> upd = update_record("BPM.X", 256, 7, 1.5f).b;
    ASSERT_EQ(zorv_convert_data(upd.data(), upd.data(), ZORV_UPD_BLOCK_2010, int(upd.size())), 0);
    zorv_upd_data_block_2010 u;
    std::memcpy(&u, upd.data(), sizeof u);
    EXPECT_STREQ(u.upd_prop, "BPM.X");
    EXPECT_EQ(u.upd_ch_status, 7);
    EXPECT_EQ(u.upd_ch_time.timeup, 100u);
    EXPECT_EQ(u.upd_ch_data, 1.5f);

    std::vector<unsigned char> img =
        be_bytes().u32(2).u32(1).u32(2).u32(0).u32(9).u32(10).u32(2).raw(1, 1).raw(1, 2).b;
    ASSERT_EQ(zorv_convert_data(img.data(), img.data(), ZORV_BLOCK_IMAGE, int(img.size())), 0);
    EXPECT_EQ(host_word(img, 20), 10u);
    EXPECT_EQ(img[28], 1);
    EXPECT_EQ(img[29], 2);

    std::vector<unsigned char> nv = be_bytes().u32(3).text("c", 80).u32(1).text("N", 80).f32(4.5f).b;
    ASSERT_EQ(zorv_convert_data(nv.data(), nv.data(), ZORV_BLOCK_NAME_VALUE, int(nv.size())), 0);
    zorv_name_value_block b;
    std::memcpy(&b, nv.data(), sizeof b);
    EXPECT_EQ(b.ndata, 1);
    EXPECT_STREQ(b.data[0].name, "N");
    EXPECT_EQ(b.data[0].value, 4.5f);
}

TEST(Payload, MemberCountsAndNames) {
    EXPECT_EQ(get_channel_number(ZORV_BLOCK_BPM_2010, nullptr), 3);
    EXPECT_EQ(get_channel_number(ZORV_BLOCK_7CHAN_2010, nullptr), 7);
    EXPECT_EQ(get_channel_number(ZORV_BLOCK_WSS_COR, nullptr), 4);
    EXPECT_EQ(get_channel_number(ZORV_BLOCK_IMAGE_EXT, nullptr), 1);
    EXPECT_EQ(get_channel_number(57, nullptr), 1);
    EXPECT_STREQ(get_chan_name(ZORV_BLOCK_WS_2010, 0), "POS");
    EXPECT_STREQ(get_chan_name(ZORV_BLOCK_RF_250K, 1), "PHASE");
    EXPECT_STREQ(get_chan_name(ZORV_UPD_BLOCK_2010, 0), "VALUE");
    EXPECT_EQ(get_chan_name(ZORV_BLOCK_WS_2010, 4), nullptr);
    EXPECT_EQ(get_chan_name(ZORV_BLOCK_BPM, -1), nullptr);

    auto gen = make_block<SHC>("GEN", ZORV_BLOCK_GENERIC_SPECT, spect_current(5, 1, 2));
    EXPECT_EQ(get_channel_number(ZORV_BLOCK_GENERIC_SPECT, gen.get()), 5);
    auto lgen = make_block<SHL>("GEN", ZORV_BLOCK_GENERIC_SPECT, spect_legacy(6, 2));
    EXPECT_EQ(get_channel_number(ZORV_BLOCK_GENERIC_SPECT, lgen.get()), 6);
    EXPECT_STREQ(get_chan_name(ZORV_BLOCK_GENERIC_SPECT, 4), "CH5");
}

TEST(Payload, SpectrumQueriesOnBothLayouts) {
    auto c = make_block<SHC>("BPM", ZORV_BLOCK_BPM_2010, spect_current(3, 2, 2, 42));
    const auto* ch = reinterpret_cast<const SHC*>(c.get());
    const float* d = get_pointer_to_data_2010(ch, 2);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d[0], 200.0f);
    EXPECT_EQ(d[3], 203.0f);
    EXPECT_EQ(get_pointer_to_data_2010(ch, 3), nullptr);
    float start = 0, inc = 0, ginc = 0, *mean = nullptr;
    int ndata = 0, groups = 0;
    zorv_spect_statistics_2010* st = nullptr;
    EXPECT_FALSE(get_spect_params_for_data_type_2010(ch, &start, &inc, &mean, &ndata, &groups,
                                                     &ginc, &st, 1));
    EXPECT_EQ(start, 0.5f);
    EXPECT_EQ(ndata, 2);
    EXPECT_EQ(groups, 2);
    EXPECT_EQ(ginc, 2.0f);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->mask, 1u);
    EXPECT_EQ(mean, st->val);
    EXPECT_EQ(get_spect_code_description_2010(ch), 42);
    EXPECT_TRUE(get_spect_params_for_data_type_2010(ch, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr, nullptr, nullptr, 3));

    auto l = make_block<SHL>("BPM", ZORV_BLOCK_BPM, spect_legacy(3, 4));
    const auto* lh = reinterpret_cast<const SHL*>(l.get());
    EXPECT_FALSE(get_spect_params_for_data_type_2009(lh, &start, &inc, &mean, &ndata, 0));
    EXPECT_EQ(ndata, 4);
    EXPECT_EQ(mean, nullptr);
    ASSERT_NE(get_pointer_to_data_2009(lh, 1), nullptr);
    EXPECT_EQ(get_pointer_to_data_2009(lh, 1)[3], 103.0f);

    // A block whose ldata does not cover what its head claims is refused.
    reinterpret_cast<SHC*>(c.get())->ldata -= 4;
    EXPECT_EQ(get_pointer_to_data_2010(ch, 0), nullptr);
    EXPECT_EQ(get_channel_number(ZORV_BLOCK_BPM_2010, ch), 3);
    reinterpret_cast<SHC*>(c.get())->ldata = 3;
    EXPECT_TRUE(get_spect_params_for_data_type_2010(ch, &start, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr, nullptr, 0));
    // Non-spectrum types have no samples.
    auto img = make_block<SHC>("CAM", ZORV_BLOCK_IMAGE_EXT, be_bytes().raw(96, 0).u32(0));
    EXPECT_EQ(get_pointer_to_data_2010(reinterpret_cast<const SHC*>(img.get()), 0), nullptr);
}

TEST(Payload, DeviceCutKeepsOneMember) {
    auto c = make_block<SHC>("BPM", ZORV_BLOCK_BPM_2010, spect_current(3, 2, 2));
    void* one = nullptr;
    ASSERT_FALSE(device_to_one_channel_2010(c.get(), 2, 0, 0, &one));
    block_ptr cut(static_cast<unsigned char*>(one), &std::free);
    const auto* h = reinterpret_cast<const SHC*>(one);
    EXPECT_STREQ(h->chname, "BPM:2");
    EXPECT_EQ(h->ldata, int(sizeof(SHC) + 28 + 132 + 16));
    EXPECT_EQ(get_channel_number(ZORV_BLOCK_BPM_2010, h), 1);
    zorv_spect_statistics_2010* st = nullptr;
    EXPECT_FALSE(get_spect_params_for_data_type_2010(h, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                     nullptr, &st, 0));
    EXPECT_EQ(st->mask, 2u);
    EXPECT_EQ(get_pointer_to_data_2010(h, 0)[3], 203.0f);
    EXPECT_TRUE(device_to_one_channel_2010(c.get(), 3, 0, 0, &one));
    EXPECT_TRUE(device_to_one_channel_2010(c.get(), -1, 0, 0, &one));

    const std::string long_name(40, 'N');
    auto l = make_block<SHL>(long_name.c_str(), ZORV_BLOCK_WS_FAST, spect_legacy(4, 3));
    ASSERT_FALSE(device_to_one_channel(l.get(), 1, 0, 0, &one));
    block_ptr lcut(static_cast<unsigned char*>(one), &std::free);
    const auto* lh = reinterpret_cast<const SHL*>(one);
    EXPECT_EQ(std::string(lh->chname, strnlen(lh->chname, 32)), std::string(31, 'N'));
    EXPECT_EQ(lh->ldata, int(sizeof(SHL) + 16 + 12));
    EXPECT_EQ(get_pointer_to_data_2009(lh, 0)[2], 102.0f);

    auto upd = make_block<SHL>("U", ZORV_UPD_BLOCK, update_record("U", 80, 0, 1));
    EXPECT_TRUE(device_to_one_channel_2009(upd.get(), 0, 0, 0, &one));
}

TEST(Payload, UpdateRecordsOfBothLayouts) {
    be_bytes two = update_record("A", 80, 3, 1.0f).add(update_record("B", 80, 4, 2.0f));
    auto l = make_block<SHL>("SLOW", ZORV_BOR_BLOCK, two);
    EXPECT_EQ(get_number_of_upd_channels(l.get()), 2);
    char* name = nullptr;
    int status = 0;
    time_stamp t{};
    float v = 0;
    EXPECT_FALSE(get_update_params(l.get(), 1, &name, &status, &t, &v));
    EXPECT_STREQ(name, "B");
    EXPECT_EQ(status, 4);
    EXPECT_EQ(t.timelow, 5u);
    EXPECT_EQ(v, 2.0f);
    EXPECT_TRUE(get_update_params(l.get(), 2, &name, &status, &t, &v));

    const std::string full(256, 'P');  // fills the field, no terminator
    auto c = make_block<SHC>(std::string(100, 'C').c_str(), ZORV_UPD_BLOCK_2010,
                             update_record(full, 256, 9, 3.0f));
    EXPECT_EQ(get_number_of_upd_channels(c.get()), 1);
    EXPECT_FALSE(get_update_params(c.get(), 0, &name, nullptr, nullptr, &v));
    EXPECT_EQ(std::string(name), full);
    EXPECT_EQ(v, 3.0f);

    auto spec = make_block<SHC>("S", ZORV_BLOCK_1CHAN_2010, spect_current(1, 1, 1));
    EXPECT_EQ(get_number_of_upd_channels(spec.get()), 0);
}

TEST(Payload, ImageHeads) {
    zorv_image_frame_head h{};
    h.w = (16 << 16) | 512;
    h.h = (8 << 16) | 256;
    h.bpp = (1 << 18) | (2 << 4) | 2;
    h.event_nm = 77;
    int x = 0, y = 0, bpp = 0;
    uint32_t ev = 0;
    char text[256];
    EXPECT_FALSE(get_image_params(&h, &x, &y, &bpp, &ev, text));
    EXPECT_EQ(x, 512);
    EXPECT_EQ(y, 256);
    EXPECT_EQ(bpp, 2);
    EXPECT_EQ(ev, 77u);
    EXPECT_LT(strlen(text), 256u);
    h.bpp = 0;
    EXPECT_FALSE(get_image_params(&h, nullptr, nullptr, &bpp, nullptr, nullptr));
    EXPECT_EQ(bpp, 1);

    zorv_image_ext_frame_head e{}, out{};
    e.aoi_width = 4;
    e.event = 5;
    EXPECT_FALSE(get_image_ext_params(&e, &out, &ev, text));
    EXPECT_EQ(out.aoi_width, 4);
    EXPECT_EQ(ev, 5u);
    EXPECT_TRUE(get_image_ext_params(nullptr, &out, &ev, text));
}
