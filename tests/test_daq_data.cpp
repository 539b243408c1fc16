// Data object, dumps and channel browser on a written legacy run.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "sample_run.h"
#include "test_support.h"
#include "zorv_daq_data.h"
#include "zorv_daq_reader.h"

namespace {

using zorv::file_layout;

// Properties as a caller builds them; the strings live with the object.
struct properties {
    std::vector<std::string> names;
    std::vector<zorv_sprop> props;
    std::vector<zorv_sprop*> list;

    explicit properties(std::vector<std::string> n, int cut = 0) : names(std::move(n)) {
        props.reserve(names.size());
        for (auto& s : names) {
            const int prlen = cut ? cut : int(s.size()) + 1;
            props.push_back({&s[0], int(s.size()), &s[0], prlen, 1, 0});
            list.push_back(&props.back());
        }
    }
};

zorv_time_id period{1, {0, 0}}, open_start{0, {0, 0}}, open_stop{0, {0, 0}};

std::string write_list(const zorv_test::temp_dir& dir, const std::string& text) {
    const std::string path = dir.file("files.txt");
    EXPECT_TRUE(zorv_test::write_file(path, text));
    return path;
}

int sample_channel(const zorv::synthetic_run_config& cfg, const std::string& name) {
    for (size_t i = 0; i < cfg.channels.size(); ++i)
        if (cfg.channels[i].name == name) return int(i);
    return -1;
}

TEST(DaqData, InitRefusesWhatItCannotUse) {
    const auto& files = zorv_test::sample_run(file_layout::legacy);
    ASSERT_FALSE(files.empty());
    zorv_test::temp_dir dir;
    const std::string good = write_list(dir, files[0] + "\n");
    const std::string junk = dir.file("junk.txt");
    zorv_test::write_file(junk, "# comment line\n* comment line\n% comment line\nabc\n    \n");
    const std::string hash = dir.file("hash.txt");
    zorv_test::write_file(hash, " #" + files[0] + "\n");
    properties props({"BPM3"}), short_props({"BPM3"}, 2);
    std::vector<zorv_sprop*> none;
    struct row {
        const char* what;
        std::string list;
        std::vector<zorv_sprop*>* props;
        zorv_time_id *period, *start, *stop;
        int want;
    } rows[] = {
        {"no list", "", &props.list, &period, &open_start, &open_stop, -2},
        {"no properties", good, &none, &period, &open_start, &open_stop, -1},
        {"null period", good, &props.list, nullptr, &open_start, &open_stop, -6},
        {"null start", good, &props.list, &period, nullptr, &open_stop, -7},
        {"null stop", good, &props.list, &period, &open_start, nullptr, -8},
        {"missing list", dir.file("none.txt"), &props.list, &period, &open_start, &open_stop, -2},
        {"only junk", junk, &props.list, &period, &open_start, &open_stop, -3},
        {"blank then #", hash, &props.list, &period, &open_start, &open_stop, -9},
        {"short names", good, &short_props.list, &period, &open_start, &open_stop, -4},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(r.what);
        zorv_daq_data d;
        EXPECT_EQ(d.Init(&r.list[0], r.props, 0, r.period, r.start, r.stop), r.want);
        EXPECT_EQ(d.GetStatus(), 0);
        EXPECT_EQ(d.GetData(), -1);
    }
    zorv_daq_data d;
    EXPECT_EQ(d.Init(nullptr, &props.list, 0, &period, &open_start, &open_stop), -1);
}

// A file-list line is one line however long it is: the tail of a long
// comment or of the words after a name is never taken for a file name, and
// a long name is taken whole.
TEST(DaqData, LongFileListLinesAreReadWhole) {
    const auto& files = zorv_test::sample_run(file_layout::legacy);
    ASSERT_EQ(files.size(), 3u);
    zorv_test::temp_dir dir;
    // The third file under a name of more than 255 characters.
    std::string deep = dir.path();
    for (int i = 0; i < 6; ++i) {
        deep += "/" + std::string(50, char('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    const std::string third = deep + "/third.raw";
    ASSERT_GT(third.size(), 300u);
    ASSERT_TRUE(zorv_test::write_file(third, zorv_test::read_file(files[2])));
    const std::string words(40, ' ');
    std::string text = "# " + std::string(400, 'c') + " " + files[2] + "\n";
    text += files[0] + "  " + std::string(300, 'x') + " " + files[2] + "\n";
    text += files[1] + words + "\n" + third + "\n";
    const std::string list = write_list(dir, text);
    properties props({"BPM3"});
    zorv_daq_data d;
    ASSERT_EQ(d.Init(const_cast<char*>(list.c_str()), &props.list, 0, &period, &open_start,
                     &open_stop),
              0);
    ASSERT_EQ(d.GetNfile(), 3);
    EXPECT_STREQ((*d.GetFiles())[0], files[0].c_str());
    EXPECT_STREQ((*d.GetFiles())[1], files[1].c_str());
    EXPECT_STREQ((*d.GetFiles())[2], third.c_str());
    int events = 0;
    while (d.GetData() == 0) ++events;
    EXPECT_EQ(events, 150);
}

// The whole legacy sample run through the data object, every channel
// decoded and compared with what the writer put in.
TEST(DaqData, ReadsAndDecodesALegacyRun) {
    const auto& files = zorv_test::sample_run(file_layout::legacy);
    ASSERT_EQ(files.size(), 3u);
    const auto cfg = zorv_test::sample_config(file_layout::legacy);
    zorv_test::temp_dir dir;
    std::string list = write_list(
        dir, "# data files\n" + files[0] + "  first file of the run\n\n" + files[1] + "\n" +
                 files[2] + "\n");
    properties props({"BPM3", "BPM3:1", "RF1", "NV1", "CAM1", "CAMX1", "SLOW1", "ENV1", "EQ1",
                      "ROI1", "GEN1", "TORO1junk"});
    props.props.back().prlen = 6;  // "TORO1"

    zorv_daq_data d;
    ASSERT_EQ(d.Init(&list[0], &props.list, 0, &period, &open_start, &open_stop), 0);
    EXPECT_EQ(d.GetNfile(), 3);
    EXPECT_STREQ((*d.GetFiles())[0], files[0].c_str());
    EXPECT_EQ(d.GetNprop(), 12);

    const int bpm = sample_channel(cfg, "BPM3"), cam = sample_channel(cfg, "CAM1"),
              nv = sample_channel(cfg, "NV1"), slow = sample_channel(cfg, "SLOW1");
    std::map<std::string, int> seen;
    int events = 0, after_first_slow = 0;
    bool slow_once = false;
    while (d.GetData() == 0) {
        ++events;
        zorv_daq_getdata g;
        ASSERT_GT(g.SetRes(d.GetRes()), 0);
        bool slow_here = false;
        for (int pt = g.SetChan(0); pt > 0; pt = g.SetNextChan()) {
            ASSERT_FALSE(g.data_2010);
            const std::string name = g.GetPropName();
            ++seen[name];
            const uint32_t ev = g.GetEventHead()->event_number;
            if (name == "BPM3" || name == "BPM3:1") {
                ASSERT_EQ(pt, 3);
                const int first = name == "BPM3" ? 0 : 1;
                ASSERT_EQ(g.GetNmemb(), name == "BPM3" ? 3 : 1);
                for (int m = 0; m < g.GetNmemb(); ++m)
                    for (int i = 0; i < 16; ++i)
                        ASSERT_EQ(g.GetSpectVal(m, i),
                                  zorv::synthetic_sample(cfg, bpm, ev, first + m, i));
            } else if (name == "CAM1") {
                ASSERT_EQ(pt, 4);
                const float* img = g.ConvertImage();
                ASSERT_NE(img, nullptr);
                ASSERT_EQ(g.ImageNx * g.ImageNy, 32 * 32);
                EXPECT_EQ(g.ImageXstart, 4.0f);
                for (int p = 0; p < 32 * 32; ++p)
                    ASSERT_EQ(img[p], float(uint32_t(zorv::synthetic_sample(cfg, cam, ev, 0, p)) &
                                            0xFFFF));
            } else if (name == "NV1") {
                char* nm = nullptr;
                float v = 0;
                ASSERT_FALSE(g.GetValNamChan(&nm, &v, 3));
                EXPECT_STREQ(nm, "VAL3");
                EXPECT_EQ(v, zorv::synthetic_sample(cfg, nv, ev, 0, 3));
            } else if (name == "SLOW1" || name == "ENV1") {
                ASSERT_EQ(g.GetChanType(), 2);
                float v = 0;
                ASSERT_FALSE(g.GetSlowPrm(&v, nullptr, nullptr));
                if (name == "SLOW1") {
                    slow_here = true;
                    EXPECT_EQ(v, zorv::synthetic_sample(cfg, slow, ev, 0, 0));
                }
            }
        }
        if (slow_once && slow_here) ++after_first_slow;
        slow_once = slow_once || slow_here;
        if (events == 1) {
            testing::internal::CaptureStdout();
            d.PrintAll();
            const std::string out = testing::internal::GetCapturedStdout();
            EXPECT_NE(out.find("zorv_daq_data::PrintHeader: nprop= "), std::string::npos);
            // A cut sub-channel is a fast channel like its device.
            EXPECT_NE(out.find(" fast: BPM3:1 dtype "), std::string::npos) << out;
            ASSERT_EQ(g.SetProp(const_cast<char*>("BPM3:1")), 3);
            EXPECT_STREQ(g.GetMembName(0), "Y");
        }
    }
    EXPECT_EQ(events, 150);
    EXPECT_EQ(d.GetData(), -2);
    EXPECT_EQ(seen["BPM3"], 150);
    EXPECT_EQ(seen["BPM3:1"], 150);
    EXPECT_EQ(seen["TORO1"], 150);
    EXPECT_GE(seen["ROI1"], 50);  // not in the second file
    for (const char* n : {"RF1", "CAMX1", "EQ1", "GEN1", "ENV1"}) EXPECT_GT(seen[n], 0) << n;
    EXPECT_GT(after_first_slow, 100);  // the slow value is carried forward
    d.Clean();
    EXPECT_EQ(d.GetReader(), nullptr);
}

TEST(DaqData, BrowserListsTheChannelsOfAFile) {
    const auto& files = zorv_test::sample_run(file_layout::legacy);
    ASSERT_FALSE(files.empty());
    zorv_daq_browser b;
    EXPECT_EQ(b.Init(nullptr), -1);
    EXPECT_EQ(b.Init(const_cast<char*>("a")), -2);
    EXPECT_EQ(b.GetNchan(), -1);
    std::string path = files[0];
    ASSERT_EQ(b.Init(&path[0]), 0);
    int num = 0;
    EXPECT_EQ(b.GetChanName(0, &num, nullptr, nullptr), nullptr);  // no table read yet
    const int n = b.GetNchan();
    ASSERT_EQ(n, 13);
    std::set<std::string> names;
    for (int i = 0; i < n; ++i) {
        int ev = 0, dt = 0;
        const char* name = b.GetChanName(i, &num, &ev, &dt);
        ASSERT_NE(name, nullptr);
        names.insert(name);
        EXPECT_GE(num, 1);
    }
    EXPECT_TRUE(names.count("CAMX1"));
    testing::internal::CaptureStdout();
    b.PrintChan();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("collected 13-13 channels\n"), std::string::npos);
    EXPECT_NE(out.find("evtype: 1 mask: 2d"), std::string::npos);  // normal events, bit 1
    ASSERT_EQ(b.Init(&path[0]), 0);  // again without Clean: no table of before stays loaded
    EXPECT_EQ(b.GetChanName(0, &num, nullptr, nullptr), nullptr);
    b.Clean();

    std::string missing = "/nonexistent/file.raw";
    ASSERT_EQ(b.Init(&missing[0]), 0);
    testing::internal::CaptureStdout();
    b.PrintChan();
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("collected 0--2 channels\n"), std::string::npos);
}

TEST(DaqData, FreeFunctions) {
    struct tm t {};
    t.tm_year = 110;
    t.tm_mday = 1;
    t.tm_isdst = -1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(zorv_daq_time(2010, 1, 1, 0, 0, 0), mktime(&t));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("zorv_daq_time: Fri Jan  1 00:00:00 2010"),
              std::string::npos);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetFileList(nullptr, nullptr, 0, 10), nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("ret= "), std::string::npos);
}

}  // namespace
