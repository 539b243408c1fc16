// Event decoder on hand-built result lists of both layouts, and on results of
// the current-layout reader.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sample_run.h"
#include "zorv_daq_data.h"
#include "zorv_daq_reader_2010.h"
#include "zorv_daq_writer.h"

namespace {

using zorv::payload;

// One event's result list built from writer payloads, converted to host
// order the way the readers leave them.
struct event_list {
    struct entry {
        zorv_channel_entry_long e{};
        zorv_eventheader evh{};
        zorv_serv_block_head_2010 sbh{};  // large enough for either layout
        std::vector<unsigned char> block;
    };
    std::vector<std::unique_ptr<entry>> store;
    std::vector<zorv_channel_entry_long*> list;

    entry& add(bool legacy, int evtype, uint32_t evnum, const std::string& name,
               const payload& p, bool raw = false) {
        EXPECT_TRUE(p.ok()) << p.error;
        auto x = std::make_unique<entry>();
        const size_t hs = legacy ? 44 : 268;
        x->block.assign(hs + p.bytes.size(), 0);
        std::memcpy(x->block.data(), name.data(), name.size());
        int32_t words[3] = {p.dtype, 0, int32_t(x->block.size())};
        std::memcpy(x->block.data() + hs - 12, words, 12);
        if (raw)
            std::memcpy(x->block.data() + hs, p.bytes.data(), p.bytes.size());
        else if (!p.bytes.empty()) {
            EXPECT_EQ(zorv_convert_data(p.bytes.data(), x->block.data() + hs, p.dtype,
                                        int(p.bytes.size()),
                                        legacy ? ZORV_LAYOUT_LEGACY : ZORV_LAYOUT_CURRENT),
                      0);
        }
        x->evh.pattern = legacy ? 0xFFEEFFEEu : 0xFFEE2010u;
        x->evh.event_number = evnum;
        x->evh.event_type = evtype;
        x->evh.event_time = {1000 + evnum, 5};
        x->e.event_id = {evnum, x->evh.event_time};
        x->e.sbchdata[0] = {uint64_t(uintptr_t(&x->evh)), uint64_t(uintptr_t(&x->sbh)),
                            uint64_t(uintptr_t(x->block.data())),
                            uint64_t(uintptr_t(x->block.data() + hs))};
        list.push_back(&x->e);
        store.push_back(std::move(x));
        return *store.back();
    }
};

zorv::spectrum_data spectrum(int members, int ndata, int groups = 1) {
    zorv::spectrum_data s;
    s.start = 2.0f;
    s.inc = 0.5f;
    s.ndata = ndata;
    s.groups = groups;
    s.descr = 7;
    for (int m = 0; m < members; ++m) {
        zorv::spectrum_member mem;
        for (int i = 0; i < ndata * groups; ++i) mem.samples.push_back(float(100 * m + i));
        s.members.push_back(mem);
    }
    return s;
}

payload update(int dtype, const std::string& prop, float value, int status = 3) {
    return zorv::make_update(dtype, {{prop, status, {4242, 17}, value}});
}

payload name_values(int n) {
    std::vector<zorv::name_value_pair> pairs;
    for (int i = 0; i < n; ++i) pairs.push_back({"NV" + std::to_string(i), 1.5f * float(i)});
    return zorv::make_name_value(9, "comment", pairs);
}

payload legacy_image(int w, int h, int bpp_word, std::vector<unsigned char> px) {
    zorv_image_frame_head head{};
    head.w = w;
    head.h = h;
    head.bpp = bpp_word;
    head.frame = 11;
    return zorv::make_image(head, px);
}

TEST(GetData, ClassifiesEachChannelByLayoutAndBlockType) {
    const zorv::file_layout L = zorv::file_layout::legacy, C = zorv::file_layout::current;
    struct row {
        bool legacy;
        int evtype;
        payload p;
        int prop_type, chan_type, nmemb;
    } rows[] = {
        {true, ZORV_EV_UPD, update(1, "SLOWL", 1.0f), 2, 2, 1},
        {true, ZORV_EV_NORMAL, zorv::make_spectrum(6, spectrum(3, 4), L), 3, 1, 3},
        {true, ZORV_EV_NORMAL, name_values(2), 2, 1, 1},
        {true, ZORV_EV_NORMAL, zorv::make_equipment({1, 2}), 5, 1, 1},
        {true, ZORV_EV_IMAGE, legacy_image(2, 1, 1, {1, 2}), 4, 1, 1},
        {false, ZORV_EV_UPD, update(33, "SLOWC", 1.0f), 2, 2, 1},
        {false, ZORV_EV_WS, zorv::make_spectrum(43, spectrum(2, 3, 2), C), 3, 1, 2},
        {false, ZORV_EV_NORMAL, zorv::make_spectrum(24, spectrum(1, 5), C), 3, 1, 1},
        {false, ZORV_EV_NORMAL, zorv::make_equipment({1}), 5, 1, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.p.dtype);
        event_list ev;
        ev.add(r.legacy, r.evtype, 5, "CH", r.p);
        zorv_daq_getdata g;
        ASSERT_EQ(g.SetRes(&ev.list), 1);
        EXPECT_EQ(g.data_2010, !r.legacy);
        EXPECT_EQ(g.GetPropType(), r.prop_type);
        EXPECT_EQ(g.GetChanType(), r.chan_type);
        EXPECT_EQ(g.GetNmemb(), r.nmemb);
        EXPECT_EQ(g.GetChanHead() != nullptr, r.legacy);
        EXPECT_EQ(g.GetChanHead_2010() != nullptr, !r.legacy);
        ASSERT_NE(g.GetData(), nullptr);
        if (r.prop_type == 3) {
            EXPECT_EQ(*reinterpret_cast<float*>(g.GetData()), 0.0f);
        }
        if (r.chan_type == 2) {
            EXPECT_STREQ(g.GetPropName(), r.legacy ? "SLOWL" : "SLOWC");
        }
    }
}

// image, fast, slow, name/value and extended image, in a current-layout
// list followed by a legacy entry.
struct mixed_event : event_list {
    mixed_event() {
        add(false, ZORV_EV_IMAGE, 20, "CAM", legacy_image(1, 1, 1, {7}));
        add(false, ZORV_EV_NORMAL, 20, "BPM", zorv::make_spectrum(38, spectrum(3, 2)));
        add(false, ZORV_EV_UPD, 12, "SLOWX", update(33, "SLOW1", 4.5f));
        add(false, ZORV_EV_NORMAL, 20, "NV", name_values(5));
        zorv_image_ext_frame_head h{};
        h.aoi_width = h.aoi_height = 1;
        h.bpp = 1;
        add(false, ZORV_EV_IMAGE, 20, "CAMX", zorv::make_image_ext(h, {9}));
        add(true, ZORV_EV_NORMAL, 20, "OLD", zorv::make_equipment({1}));
    }
};

TEST(GetData, SelectsChannelsByKindIndexAndName) {
    mixed_event ev;
    zorv_daq_getdata g;
    EXPECT_EQ(g.SetNextChan(), -1);  // nothing selected yet
    EXPECT_EQ(g.SetProp(const_cast<char*>("BPM")), -10);
    EXPECT_EQ(g.SetRes(nullptr), -12);
    std::vector<zorv_channel_entry_long*> empty;
    EXPECT_EQ(g.SetRes(&empty), -11);

    ASSERT_EQ(g.SetRes(&ev.list), 6);
    EXPECT_EQ(g.Get_NFast(), 3);  // BPM, NV and the legacy equipment block
    EXPECT_EQ(g.Get_NSlow(), 1);
    EXPECT_EQ(g.Get_NImage(), 2);

    EXPECT_EQ(g.SetFast(0), 3);  // channel 0 is an image: the first fast one follows
    EXPECT_EQ(g.Ichan, 1);
    EXPECT_EQ(g.SetFast(1), 2);
    EXPECT_EQ(g.Ichan, 3);
    EXPECT_EQ(g.SetFast(3), 0);
    EXPECT_EQ(g.SetImage(1), 4);
    EXPECT_EQ(g.Ichan, 4);
    EXPECT_EQ(g.SetSlow(0), 2);
    EXPECT_EQ(g.Ichan, 2);
    EXPECT_EQ(g.SetChan(5), 5);
    EXPECT_FALSE(g.data_2010);
    EXPECT_EQ(g.SetNextChan(), 0);
    EXPECT_EQ(g.Ichan, 5);
    EXPECT_EQ(g.SetChan(6), 0);

    EXPECT_EQ(g.SetProp(const_cast<char*>("SLOW1")), 2);  // a slow channel by its property
    EXPECT_EQ(g.Ichan, 2);
    EXPECT_EQ(g.SetProp(const_cast<char*>("SLOWX")), -11);
    EXPECT_EQ(g.Ichan, 2);
    EXPECT_EQ(g.SetProp(const_cast<char*>("OLD")), 5);

    g.SetRes(&ev.list);  // counts go on from the previous event
    EXPECT_EQ(g.Get_NFast(), 6);
    EXPECT_EQ(g.Get_NImage(), 4);
    g.Clean();
    EXPECT_EQ(g.Get_NFast(), 0);
}

TEST(GetData, EventInfoPrefersTheFirstFastHeaderNewerThanTheSlowOnes) {
    event_list slow;
    slow.add(true, ZORV_EV_UPD, 8, "A", update(1, "A", 1));
    slow.add(true, ZORV_EV_UPD, 30, "B", update(1, "B", 1));
    slow.add(true, ZORV_EV_BOR, 12, "C", update(1, "C", 1));
    event_list mixed;
    mixed.add(true, ZORV_EV_UPD, 8, "A", update(1, "A", 1));
    mixed.add(true, ZORV_EV_NORMAL, 9, "F", zorv::make_equipment({1}));
    mixed.add(true, ZORV_EV_NORMAL, 50, "G", zorv::make_equipment({1}));
    for (auto [list, want] : {std::pair{&slow, 30u}, std::pair{&mixed, 9u}}) {
        zorv_daq_getdata g;
        ASSERT_GT(g.SetRes(&list->list), 0);
        g.SetChan(1);
        unsigned num = 0, tup = 0;
        EXPECT_EQ(g.GetEventInfo(&num, nullptr, nullptr, &tup, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(num, want);
        EXPECT_EQ(tup, 1000 + want);
        EXPECT_EQ(g.Ichan, 1);  // the selection is restored
    }
}

TEST(GetData, SlowAndNameValueQueries) {
    event_list ev;
    ev.add(true, ZORV_EV_UPD, 3, "S", update(1, "SL", 6.25f, 4));
    ev.add(true, ZORV_EV_NORMAL, 3, "NV", name_values(5));
    ev.add(false, ZORV_EV_UPD, 3, "S", update(33, "SC", 2.5f));
    ev.add(true, ZORV_EV_NORMAL, 3, "EMPTY", zorv::make_raw(1, {}));
    zorv_daq_getdata g;
    ASSERT_EQ(g.SetRes(&ev.list), 4);

    float v = 0;
    int st = 0;
    time_t t = 0;
    EXPECT_FALSE(g.GetSlowPrm(&v, &st, &t));
    EXPECT_EQ(v, 6.25f);
    EXPECT_EQ(st, 4);
    EXPECT_EQ(t, 4242);
    EXPECT_EQ(g.GetSingle(0), 6.25f);
    EXPECT_TRUE(g.GetValNamPrm(nullptr, nullptr, nullptr, nullptr, nullptr));

    g.SetChan(1);
    EXPECT_TRUE(g.GetSlowPrm(&v, nullptr, nullptr));
    int id = 0, n = 0;
    char* comment = nullptr;
    EXPECT_FALSE(g.GetValNamPrm(nullptr, &id, &comment, &n, nullptr));
    EXPECT_EQ(id, 9);
    EXPECT_STREQ(comment, "comment");
    EXPECT_EQ(n, 5);
    char* name = nullptr;
    EXPECT_FALSE(g.GetValNamChan(&name, &v, 2));
    EXPECT_STREQ(name, "NV2");
    EXPECT_EQ(v, 3.0f);
    EXPECT_EQ(g.GetSingle(4), 6.0f);
    for (int bad : {5, -1}) {
        EXPECT_EQ(g.GetSingle(bad), 0.0f);
        EXPECT_TRUE(g.GetValNamChan(&name, &v, bad));
    }
    float dt = 0;
    EXPECT_EQ(g.GetDataPtrs(nullptr, &dt, nullptr, 1), 0);
    EXPECT_EQ(dt, 1.5f);
    EXPECT_EQ(g.GetDataPtrs(nullptr, &dt, nullptr, 5), 2);

    g.SetChan(2);
    EXPECT_FALSE(g.GetSlowPrm(&v, nullptr, nullptr));
    EXPECT_EQ(v, 2.5f);

    // A header without payload: no data, every value query fails.
    EXPECT_EQ(g.SetChan(3), 2);
    EXPECT_EQ(g.GetData(), nullptr);
    EXPECT_TRUE(g.GetSlowPrm(&v, nullptr, nullptr));
    EXPECT_EQ(g.GetDataPtrs(nullptr, &dt, nullptr, 0), -2);
}

// A count beyond the block is refused, also when the block's own length word
// is negative (which leaves it no payload at all, not a huge one).
TEST(GetData, NameValueCountBeyondTheBlockIsRefused) {
    for (const int32_t ldata : {0, -8, INT32_MIN}) {
        event_list ev;
        auto& x = ev.add(true, ZORV_EV_NORMAL, 3, "NV", name_values(2));
        int32_t huge = 1000;
        std::memcpy(x.block.data() + 44 + 84, &huge, 4);  // ndata
        if (ldata) std::memcpy(x.block.data() + 40, &ldata, 4);
        zorv_daq_getdata g;
        ASSERT_EQ(g.SetRes(&ev.list), 1) << ldata;
        EXPECT_TRUE(g.GetValNamPrm(nullptr, nullptr, nullptr, nullptr, nullptr)) << ldata;
        EXPECT_EQ(g.GetSingle(500), 0.0f) << ldata;
    }
}

TEST(GetData, SpectraOfBothLayouts) {
    event_list ev;
    ev.add(false, ZORV_EV_NORMAL, 3, "RF", zorv::make_spectrum(43, spectrum(2, 3, 2)));
    ev.add(true, ZORV_EV_NORMAL, 3, "BPM",
           zorv::make_spectrum(6, spectrum(3, 4), zorv::file_layout::legacy));
    zorv_daq_getdata g;
    ASSERT_EQ(g.SetRes(&ev.list), 2);

    float start = 0, inc = 0, ginc = 0;
    int ndata = 0, groups = 0;
    EXPECT_EQ(g.GetSpectPar(&start, &inc, nullptr, &ndata, 1, &groups, &ginc, nullptr), 0);
    EXPECT_EQ(start, 2.0f);
    EXPECT_EQ(inc, 0.5f);
    EXPECT_EQ(ndata, 3);
    EXPECT_EQ(groups, 2);
    EXPECT_EQ(g.GetSpectVal(1, 3), 103.0f);  // second group still inside member 1
    EXPECT_EQ(g.GetSpectVal(1, 6), 0.0f);
    EXPECT_EQ(g.GetDescr(), 7);
    EXPECT_EQ(g.GetMembNumb(const_cast<char*>("PHASE")), 1);
    EXPECT_STREQ(g.GetMembName(0), "AMPL");
    EXPECT_EQ(g.GetMembName(2), nullptr);
    EXPECT_EQ(g.GetSpect(2), nullptr);
    EXPECT_EQ(g.GetSpectPar(nullptr, nullptr, nullptr, nullptr, 2, nullptr, nullptr, nullptr), -1);

    float* arr = nullptr;
    EXPECT_EQ(g.GetDataPtrs(const_cast<char*>("BPM"), nullptr, &arr, 2), 0);
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(arr[3], 203.0f);
    EXPECT_EQ(g.GetSpectVal(2, 3), 203.0f);
    EXPECT_EQ(g.GetSpectVal(0, 4), 0.0f);  // one group of 4 samples
    EXPECT_EQ(g.GetDescr(), -1);
    EXPECT_EQ(g.GetDataPtrs(const_cast<char*>("NONE"), nullptr, &arr, 0), 3);
}

// The decoder's dumps print each member's own samples (members are stored
// one after the other), name generic members from the block, and keep the
// event header's fields apart.
TEST(GetData, DumpsPrintEachMembersOwnValues) {
    event_list ev;
    ev.add(false, ZORV_EV_NORMAL, 3, "RF", zorv::make_spectrum(43, spectrum(2, 3, 2)));
    ev.add(true, ZORV_EV_NORMAL, 3, "GEN", zorv::make_spectrum(28, spectrum(3, 2), zorv::file_layout::legacy));
    zorv_daq_getdata g;
    ASSERT_EQ(g.SetRes(&ev.list), 2);

    testing::internal::CaptureStdout();
    g.PrintProp(0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\n           0 AMPL: 0 1 2 3 4\n           1 PHASE: 100 101 102 103 104\n"),
              std::string::npos)
        << out;

    testing::internal::CaptureStdout();
    g.PrintProp(1);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" Nmemb= 3 start 2 inc 0.5 ndata 2 groups 1\n           0 CH1: 0 1\n           1 CH2: 100 101\n"
                       "           2 CH3: 200 201\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(g.GetMembNumb(const_cast<char*>("CH3")), 2);

    testing::internal::CaptureStdout();
    g.PrintEvent();
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "event 3 evtype 1 len 0 time 1003-5 Nsvrb 0 status(hex) 0 \n");
}

TEST(GetData, RegionsOfInterest) {
    event_list ev;
    ev.add(true, ZORV_EV_NORMAL, 3, "ROIL",
           zorv::make_spectrum(25, spectrum(1, 6), zorv::file_layout::legacy));
    ev.add(false, ZORV_EV_NORMAL, 3, "ROIC", zorv::make_spectrum(26, spectrum(1, 5)));
    ev.add(false, ZORV_EV_NORMAL, 3, "BPM", zorv::make_spectrum(38, spectrum(3, 2)));
    zorv_daq_getdata g;
    ASSERT_EQ(g.SetRes(&ev.list), 3);
    for (int ich : {0, 1}) {
        g.SetChan(ich);
        void* blk = nullptr;
        int ndata = 0;
        EXPECT_EQ(g.GetRoiPar(&blk, nullptr, nullptr, nullptr, &ndata, 0), 0);
        EXPECT_EQ(ndata, ich == 0 ? 6 : 5);
        EXPECT_EQ(static_cast<char*>(blk), reinterpret_cast<char*>(g.Ichan == 0
                                               ? static_cast<void*>(g.GetChanHead() + 1)
                                               : static_cast<void*>(g.GetChanHead_2010() + 1)));
    }
    g.SetChan(2);
    EXPECT_EQ(g.GetRoiPar(nullptr, nullptr, nullptr, nullptr, nullptr, 0), -1);
}

TEST(GetData, ImagesAreConvertedPixelForPixel) {
    // 512 x 256 pixels of 2 bytes at (16, 8), x binning 1, y binning 2.
    std::vector<unsigned char> px(512 * 256 * 2);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<unsigned char>(i * 7 + i / 512);
    px[0] = 0x01;
    px[1] = 0x02;
    event_list ev;
    ev.add(true, ZORV_EV_IMAGE, 3, "CAM",
           legacy_image(512 | (16 << 16), 256 | (8 << 16), 2 | (2 << 4) | (1 << 18), px));
    ev.add(true, ZORV_EV_IMAGE, 3, "CAM0", legacy_image(3, 1, 0, {4, 5, 6}));
    ev.add(true, ZORV_EV_IMAGE, 3, "CAM5", legacy_image(1, 1, 5, {1, 2, 3, 4, 5}));
    zorv_image_ext_frame_head h{};
    h.aoi_width = 2;
    h.aoi_height = 2;
    h.bpp = 1;
    ev.add(false, ZORV_EV_IMAGE, 3, "BADX", zorv::make_image_ext(h, {1, 2, 3}));
    zorv_daq_getdata g;
    ASSERT_EQ(g.SetRes(&ev.list), 4);

    int xs, xi, nx, ys, yi, ny, frame, compr, bpp, len;
    EXPECT_EQ(g.GetImageSize(&xs, &xi, &nx, &ys, &yi, &ny), 262144);
    EXPECT_EQ((std::vector<int>{xs, xi, nx, ys, yi, ny}), (std::vector<int>{16, 1, 512, 8, 2, 256}));
    EXPECT_EQ(g.GetImagePar(&frame, &compr, &bpp, &len), 0);
    EXPECT_EQ((std::vector<int>{frame, bpp, len}), (std::vector<int>{11, 2, 262144}));
    EXPECT_EQ(g.GetImageHeader(), nullptr);
    const float* img = g.ConvertImage();
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img[0], 258.0f);
    for (size_t p = 0; p < 512 * 256; ++p)
        ASSERT_EQ(img[p], float(px[2 * p] * 256 + px[2 * p + 1])) << p;
    EXPECT_EQ((std::vector<float>{g.ImageXstart, g.ImageYstart, g.ImageXinc, g.ImageYinc}),
              (std::vector<float>{16, 8, 0, 0}));

    g.SetChan(1);  // bytes-per-pixel 0 reads one byte per pixel
    img = g.ConvertImage();
    ASSERT_NE(img, nullptr);
    EXPECT_EQ((std::vector<float>(img, img + 3)), (std::vector<float>{4, 5, 6}));
    EXPECT_EQ(g.ImageNx, 3);

    g.SetChan(2);  // five-byte pixels do not fit the conversion
    EXPECT_EQ(g.ConvertImage(), nullptr);

    g.SetChan(3);  // pixel count differs from the head
    EXPECT_NE(g.GetImageHeader(), nullptr);
    EXPECT_EQ(g.ConvertImage(), nullptr);
    EXPECT_EQ(g.ImageNx, 3);
    EXPECT_EQ(g.GetDataPtrs(const_cast<char*>("CAM"), nullptr, nullptr, 0), 3);
    EXPECT_EQ(g.Ichan, 0);
}

TEST(GetData, ACopiedStateKeepsItsImageWhileTheDecoderMovesOn) {
    // An image large enough that its buffer goes back to the system when freed.
    std::vector<unsigned char> px(400 * 300);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<unsigned char>(i % 251);
    event_list ev;
    ev.add(true, ZORV_EV_IMAGE, 3, "CAM", legacy_image(400, 300, 1, px));
    ev.add(true, ZORV_EV_IMAGE, 3, "CAM0", legacy_image(3, 1, 0, {4, 5, 6}));
    auto g = std::make_unique<zorv_daq_getdata>();
    ASSERT_EQ(g->SetRes(&ev.list), 2);
    ASSERT_NE(g->ConvertImage(), nullptr);

    zorv_daq_getdata_state copy = *g;
    zorv_daq_getdata_state assigned;
    assigned = copy;
    // The copies borrow the event's result list as the decoder does.
    EXPECT_EQ(copy.Res, &ev.list);
    EXPECT_EQ(copy.Data, g->Data);

    g->SetChan(1);
    ASSERT_NE(g->ConvertImage(), nullptr);  // the decoder lets go of the first image
    g->Clean();
    g.reset();
    for (const zorv_daq_getdata_state* s : {&copy, &assigned}) {
        ASSERT_NE(s->ImageFloat, nullptr);
        EXPECT_EQ(s->ImageNx * s->ImageNy, 400 * 300);
        for (size_t p = 0; p < px.size(); ++p) ASSERT_EQ(s->ImageFloat[p], float(px[p])) << p;
    }
    assigned = zorv_daq_getdata_state();
    EXPECT_EQ(assigned.ImageFloat, nullptr);
    EXPECT_EQ(copy.ImageFloat[1], 1.0f);
}

TEST(GetData, ACopiedStateKeepsTheNameOfItsChannel) {
    // Names that fill the header's field have no terminator of their own:
    // the decoder hands out a terminated copy.
    const std::string first(32, 'A'), second(32, 'B');
    const auto toroid = zorv::make_spectrum(ZORV_BLOCK_TOROID, spectrum(1, 4), zorv::file_layout::legacy);
    event_list ev;
    ev.add(true, ZORV_EV_NORMAL, 3, first, toroid);
    ev.add(true, ZORV_EV_NORMAL, 3, second, toroid);
    auto g = std::make_unique<zorv_daq_getdata>();
    ASSERT_EQ(g->SetRes(&ev.list), 2);
    EXPECT_EQ(std::string(g->PropName), first);
    const zorv_daq_getdata_state copy = *g;
    ASSERT_EQ(g->SetChan(1), 3);
    EXPECT_EQ(std::string(g->PropName), second);
    g.reset();
    EXPECT_EQ(std::string(copy.PropName), first);
}

TEST(GetData, TruncatedImageHeadIsNoImage) {
    event_list ev;
    ev.add(true, ZORV_EV_IMAGE, 3, "CAM", zorv::make_raw(13, {0, 0, 0, 1}), true);
    zorv_daq_getdata g;
    ASSERT_EQ(g.SetRes(&ev.list), 1);
    EXPECT_EQ(g.GetImagePar(nullptr, nullptr, nullptr, nullptr), -2);
    EXPECT_EQ(g.GetImageSize(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -2);
    EXPECT_EQ(g.GetImage(), nullptr);
    EXPECT_EQ(g.ConvertImage(), nullptr);
}

// The decoder on what the current-layout reader hands out for the sample run.
TEST(GetData, DecodesCurrentReaderResults) {
    const auto& files = zorv_test::sample_run(zorv::file_layout::current);
    ASSERT_FALSE(files.empty());
    zorv_daq_reader_2010 reader;
    for (const auto& f : files) ASSERT_EQ(reader.add_file(f.c_str(), true), 0);
    for (const char* name : {"BPM3", "RF1", "NV1", "CAMX1", "SLOW1", "BPM3:2"}) {
        daq_channel_entry e{const_cast<char*>(name), {}};
        ASSERT_EQ(reader.add_channel(&e), 0);
    }
    ASSERT_EQ(reader.start(), 0);
    std::vector<zorv_channel_entry_long*> res;
    int events = 0, slow_seen = 0;
    while (events < 30 && reader.get_data(nullptr, &res, ZORV_DAQ_READ_CHAN_EVENT_NEXT) == 0) {
        ++events;
        zorv_daq_getdata g;
        ASSERT_GT(g.SetRes(&res), 0);
        EXPECT_TRUE(g.data_2010);
        if (g.SetProp(const_cast<char*>("BPM3")) == 3) {
            EXPECT_EQ(g.GetNmemb(), 3);
            EXPECT_NE(g.GetSpect(2), nullptr);
        }
        if (g.SetProp(const_cast<char*>("BPM3:2")) == 3) {
            EXPECT_EQ(g.GetNmemb(), 1);
            // The cut member keeps the name it has in the device.
            EXPECT_STREQ(g.GetMembName(0), "CHARGE");
            EXPECT_EQ(g.GetMembNumb(const_cast<char*>("CHARGE")), 0);
            EXPECT_EQ(g.GetMembNumb(const_cast<char*>("X")), -1);
        }
        if (g.SetProp(const_cast<char*>("RF1")) == 3) {
            int groups = 0;
            g.GetSpectPar(nullptr, nullptr, nullptr, nullptr, 0, &groups, nullptr, nullptr);
            EXPECT_EQ(groups, 2);
        }
        if (g.SetProp(const_cast<char*>("CAMX1")) == 4) {
            const float* img = g.ConvertImage();
            ASSERT_NE(img, nullptr);
            EXPECT_EQ(g.ImageNx, 16);
            const auto* px = reinterpret_cast<unsigned char*>(g.GetImage());
            EXPECT_EQ(img[17], float(px[34] * 256 + px[35]));
        }
        if (g.SetSlow(0) == 2) {
            ++slow_seen;
            float v = 0;
            EXPECT_FALSE(g.GetSlowPrm(&v, nullptr, nullptr));
            EXPECT_STREQ(g.GetPropName(), "SLOW1");
        }
    }
    EXPECT_EQ(events, 30);
    EXPECT_GT(slow_seen, 15);  // carried forward once seen
}

}  // namespace
