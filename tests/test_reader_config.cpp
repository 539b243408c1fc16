// Reader configuration, error words, request checking, the file list and the
// channel selection, for both layouts.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <ctime>
#include <string>
#include <vector>

#include "layout_cases.h"
#include "test_support.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"
#include "zorv_worker_limit.h"

namespace {

using zorv_test::current_case;
using zorv_test::legacy_case;

// What a reader starts with: the data directory, the period, the time
// difference and the width of a channel name.
struct start_values {
    const char* ddir;
    uint32_t period_us, time_diff_us;
    size_t name_field;
};
template <class C>
constexpr start_values want = C::legacy ? start_values{"", 200000, 95000, 80}
                                        : start_values{"/daq/zorv_ext/LINAC/", 100000, 50000, 256};

template <class C>
class ReaderConfig : public ::testing::Test {
protected:
    // Files made here are seconds old; the reader is told not to wait for them.
    zorv_test::scoped_env ignore_close_time_{"ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1"};
};
using Layouts = ::testing::Types<current_case, legacy_case>;
TYPED_TEST_SUITE(ReaderConfig, Layouts);

// A data file name whose coded start time is `seconds` after the epoch.
std::string file_name_at(uint32_t seconds, int n) {
    time_t t = seconds;
    tm utc{};
    gmtime_r(&t, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    return "linac_main_run7_file" + std::to_string(n) + "_" + stamp + ".raw";
}

// Creates an (old enough or not) empty file and returns its path.
std::string touch(const zorv_test::temp_dir& dir, const std::string& name) {
    zorv_test::write_file(dir.file(name), "");
    return dir.file(name);
}

daq_channel_entry entry(const char* name) {
    daq_channel_entry e{};
    e.name = const_cast<char*>(name);
    return e;
}

TEST(ReaderErrors, WordsOfStatusesAndUnknownCodes) {
    zorv_daq_reader_2010 r;
    const std::vector<std::pair<int, const char*>> words = {
        {-11, "Unknown error"}, {-10, "Files not found"}, {-3, "Time is out of file"},
        {0, "OK"}, {1, "Unknown error"}};
    for (const auto& [code, word] : words) {
        EXPECT_EQ(r.set_error(code), code);
        EXPECT_STREQ(r.get_last_error(), word);
    }
}

// Decoding threads follow the processors the process may use: a setting
// caps them, text that is no positive number is ignored, and a narrower
// CPU affinity counts.
TEST(ReaderDecodeThreads, SettingAndAffinityCapTheProcessors) {
    const int online = int(sysconf(_SC_NPROCESSORS_ONLN));
    const zorv_test::scoped_env unset("ZORV_DAQ_DECODE_THREADS", nullptr);
    const int all = zorv::usable_processors();
    EXPECT_GE(all, 1);
    EXPECT_LE(all, online);
    for (const char* ignored : {"", "0", "-2", "two", "1x", "99999"}) {
        zorv_test::scoped_env env("ZORV_DAQ_DECODE_THREADS", ignored);
        EXPECT_EQ(zorv::usable_processors(), all) << '"' << ignored << '"';
    }
    {
        zorv_test::scoped_env env("ZORV_DAQ_DECODE_THREADS", "1");
        EXPECT_EQ(zorv::usable_processors(), 1);
    }
    cpu_set_t old;
    ASSERT_EQ(sched_getaffinity(0, sizeof old, &old), 0);
    int first = 0;
    while (!CPU_ISSET(first, &old)) ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(zorv::usable_processors(), 1);
    ASSERT_EQ(sched_setaffinity(0, sizeof old, &old), 0);
    EXPECT_EQ(zorv::usable_processors(), all);
}

TYPED_TEST(ReaderConfig, DefaultsAndEnvironment) {
    zorv_test::scoped_env sec("DAQ_MAX_TIME_STEP_SEC", "2");
    zorv_test::scoped_env usec("DAQ_MAX_TIME_STEP_USEC", "7");
    zorv_test::scoped_env list("ZORV_DAQ_DATA_PATH_LIST", "/x:/y");
    typename TypeParam::reader_t r;
    EXPECT_STREQ(r.get_experiment(), "linac");
    EXPECT_STREQ(r.get_stream(), "main");
    EXPECT_STREQ(r.get_catalog_dir(), "/daq/zorv/admtemp/");
    EXPECT_STREQ(r.get_data_dir(), want<TypeParam>.ddir);
    EXPECT_EQ(r.get_period()->event_number, 1u);
    EXPECT_EQ(r.get_period()->time.timelow, want<TypeParam>.period_us);
    EXPECT_STREQ(r.get_data_path_list(), "/x:/y");
    const time_stamp& diff = r.request.time_diff;
    if (TypeParam::legacy) {
        EXPECT_EQ(diff.timeup, 0u);
        EXPECT_EQ(diff.timelow, want<TypeParam>.time_diff_us);
    } else {
        EXPECT_EQ(diff.timeup, 2u);
        EXPECT_EQ(diff.timelow, 7u);
    }
    r.set_debug(3);
    r.clean_up();
    EXPECT_EQ(r.request.time_diff.timeup, 0u);
    EXPECT_EQ(r.request.time_diff.timelow, want<TypeParam>.time_diff_us);
    EXPECT_EQ(r.get_debug(), 3);
    EXPECT_STREQ(r.get_data_path_list(), "/x:/y");
}

TYPED_TEST(ReaderConfig, SettersCheckTheirArguments) {
    typename TypeParam::reader_t r;
    EXPECT_EQ(r.set_synch_mode(5), 0);
    EXPECT_EQ(r.request.synch_mode, 0);
    EXPECT_STREQ(r.get_last_error(), "OK");
    EXPECT_EQ(r.set_synch_mode(1), 0);
    EXPECT_EQ(r.request.synch_mode, 1);

    EXPECT_EQ(r.set_experiment(std::string(40, 'e').c_str()), 0);
    EXPECT_EQ(std::strlen(r.get_experiment()), 31u);
    EXPECT_EQ(r.set_stream(""), -7);

    // The period and the window: a null is refused and leaves the value.
    const zorv_time_id id{42, {7, 9}};
    EXPECT_EQ(r.set_period(nullptr), -7);
    EXPECT_EQ(r.get_period()->event_number, 1u);
    EXPECT_STREQ(r.get_last_error(), r.error_i2a(-7));
    for (auto set : {&decltype(r)::set_period, &decltype(r)::set_start_point, &decltype(r)::set_stop_point})
        EXPECT_EQ((r.*set)(&id), 0);
    for (const zorv_time_id* got : {r.get_period(), r.get_start_point(), r.get_stop_point()})
        EXPECT_EQ(got->event_number, 42u);
    EXPECT_EQ(r.get_stop_point()->time.timelow, 9u);

    struct dir_case {
        const char* in;
        const char* current;
        const char* legacy;
    };
    const dir_case dirs[] = {{"/data/run", "/data/run/", "/data/run/"},
                             {"/data/run/", "/data/run/", "/data/run/"},
                             {"/a:/b:", "/a:/b:", "/a:/b:/"},
                             {"", "", ""}};
    for (const auto& d : dirs) {
        EXPECT_EQ(r.set_data_dir(d.in), 0);
        EXPECT_STREQ(r.get_data_dir(), TypeParam::legacy ? d.legacy : d.current) << d.in;
    }
}

TYPED_TEST(ReaderConfig, CheckRequestRejectsReversedWindows) {
    typename TypeParam::reader_t r;
    zorv_time_id a{100, {0, 0}}, b{50, {0, 0}};
    r.set_start_point(&a);
    r.set_stop_point(&b);
    EXPECT_EQ(r.check_request(), -7);
    EXPECT_STREQ(r.get_last_error(), "Invalid Parameter");

    zorv_time_id late{0, {500, 0}}, early{0, {400, 0}};
    r.set_start_point(&late);
    r.set_stop_point(&early);
    EXPECT_EQ(r.check_request(), -7);

    // A missing stop time reads up to now; event 100 to "no event" is fine.
    zorv_time_id from{100, {0, 0}}, open{0, {0, 0}};
    r.set_start_point(&from);
    r.set_stop_point(&open);
    const uint32_t before = static_cast<uint32_t>(time(nullptr));
    EXPECT_EQ(r.check_request(), 0);
    EXPECT_GE(r.get_stop_point()->time.timeup, before);
    EXPECT_EQ(r.time_start, 0.0);
}

TYPED_TEST(ReaderConfig, CheckRequestFiltersFilesToTheWindow) {
    // Files named with the given start seconds (0: no time in the name) and
    // the ones kept for the window 250 to 260 s. These files have no index,
    // so each is taken to run from its start to the next file's start (the
    // last one to no end).
    struct filter_case {
        std::vector<uint32_t> starts;
        std::vector<uint32_t> kept;
    };
    const filter_case cases[] = {
        {{100, 200, 300}, {200}},
        {{100, 0, 200, 300}, {200}},
        {{100, 200, 0}, {200}},
        {{100, 255, 300}, {100, 255}},  // the first may run into the window
        {{260, 300}, {260}},
    };
    for (const auto& c : cases) {
        zorv_test::temp_dir dir;
        typename TypeParam::reader_t r;
        std::map<std::string, uint32_t> start_of;
        int n = 0;
        for (uint32_t s : c.starts) {
            const std::string name = s ? file_name_at(s, ++n) : "no_time_" + std::to_string(++n) + ".raw";
            ASSERT_EQ(r.add_file(touch(dir, name).c_str(), true), 0);
            start_of[dir.file(name)] = s;
        }
        zorv_time_id from{0, {250, 0}}, to{0, {260, 0}};
        r.set_start_point(&from);
        r.set_stop_point(&to);
        EXPECT_EQ(r.check_request(), 0);
        EXPECT_DOUBLE_EQ(r.time_start, 250e6);
        EXPECT_DOUBLE_EQ(r.time_stop, 260e6);
        std::vector<uint32_t> kept;
        for (int i = 0; i < r.get_number_of_files(); ++i) kept.push_back(start_of[r.get_file_name(i)]);
        EXPECT_EQ(kept, c.kept) << c.starts.size();
    }
}

TEST(ReaderConfigCurrent, CatalogueListIsFilteredOnlyOnce) {
    zorv_test::scoped_env ignore("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1");
    zorv_daq_reader_2010 r;
    for (uint32_t s : {100u, 200u, 300u}) r.add_file(("/nowhere/" + file_name_at(s, 1)).c_str(), true);
    zorv_time_id from{0, {250, 0}}, to{0, {260, 0}};
    r.set_start_point(&from);
    r.set_stop_point(&to);
    r.found_from_run_catalogue = true;
    EXPECT_EQ(r.check_request(), 0);
    EXPECT_EQ(r.get_number_of_files(), 3);
    EXPECT_FALSE(r.found_from_run_catalogue);
    EXPECT_EQ(r.check_request(), 0);
    EXPECT_EQ(r.get_number_of_files(), 1);
}

TYPED_TEST(ReaderConfig, AddFileResolvesNamesAndPaths) {
    zorv_test::temp_dir a, b;
    const std::string name = file_name_at(1000, 1);
    touch(b, name);
    typename TypeParam::reader_t r;

    // A single data directory: a bare name is taken as ddir + name.
    ASSERT_EQ(r.set_data_dir(b.path().c_str()), 0);
    EXPECT_EQ(r.add_file(name.c_str(), true), 0);
    EXPECT_EQ(std::string(r.get_file_name(0)), b.file(name));

    // A list of directories is searched in order.
    ASSERT_EQ(r.set_data_dir((a.path() + ":" + b.path() + ":").c_str()), 0);
    EXPECT_EQ(r.add_file(name.c_str(), false), 0);
    EXPECT_EQ(std::string(r.get_file_name(0)), b.file(name));
    EXPECT_EQ(r.add_file("nowhere.raw", true), -10);
    EXPECT_STREQ(r.get_last_error(), "Files not found");

    // Without a data directory the data path list is searched. (The files
    // are seconds old: the legacy reader takes them as they are.)
    ASSERT_EQ(r.set_data_dir(""), 0);
    r.set_data_path_list((a.path() + ":" + b.path()).c_str());
    EXPECT_EQ(r.add_file(name.c_str(), true), 0);
    EXPECT_EQ(r.get_number_of_files(), 3);

    r.sort_my_files();
    EXPECT_EQ(r.get_number_of_files(), 1);

    EXPECT_EQ(r.add_file("", true), -7);
    EXPECT_EQ(r.add_file(nullptr, true), -7);
    EXPECT_EQ(r.add_file(a.file("missing.raw").c_str(), true), TypeParam::legacy ? -10 : 0);
}

TEST(ReaderFilesCurrent, FilesStillBeingWrittenAreRefused) {
    zorv_test::scoped_env ignore("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1");
    zorv_test::temp_dir d;
    const std::string path = touch(d, file_name_at(1000, 1));
    zorv_daq_reader_2010 r;
    {
        zorv_test::scoped_env unset("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", nullptr);
        EXPECT_EQ(r.add_file(path.c_str(), true), -10);
        EXPECT_EQ(r.add_file(d.file("missing.raw").c_str(), true), -10);
        EXPECT_EQ(r.get_number_of_files(), 0);
    }
    EXPECT_EQ(r.add_file(path.c_str(), true), 0);
}

TYPED_TEST(ReaderConfig, RemoveFileTakesOneMatch) {
    zorv_test::temp_dir d;
    typename TypeParam::reader_t r;
    const std::string first = touch(d, "x_file1.raw"), second = touch(d, "x_file2.raw");
    r.add_file(first.c_str(), true);
    r.add_file(second.c_str(), true);
    EXPECT_EQ(r.remove_file("nothing"), -10);
    EXPECT_EQ(r.remove_file(""), -7);
    EXPECT_EQ(r.remove_file("x_file"), 0);
    ASSERT_EQ(r.get_number_of_files(), 1);
    // The legacy reader removes the first match, the current one the last.
    EXPECT_EQ(std::string(r.get_file_name(0)), TypeParam::legacy ? second : first);
}

TYPED_TEST(ReaderConfig, ChannelSelection) {
    typename TypeParam::reader_t r;
    struct parse_case {
        const char* text;
        const char* name;
        int sub;
        const char* nick;
    };
    const parse_case cases[] = {{"BPM3:3;beam_x", "BPM3", 3, "beam_x"},
                                {"BPM4;pos", "BPM4", -1, "pos"},
                                {"BPM3:4", "BPM3", 4, ""},
                                {"TORO", "TORO", -1, ""}};
    for (const auto& c : cases) {
        auto e = entry(c.text);
        e.prms.start = 42;
        ASSERT_EQ(r.add_channel(&e), 0) << c.text;
    }
    ASSERT_EQ(r.get_number_of_channels(), 4);
    for (int i = 0; i < 4; ++i) {
        int sub = 99;
        EXPECT_STREQ(r.get_channel_name(i, &sub), cases[i].name);
        EXPECT_EQ(sub, cases[i].sub);
        EXPECT_STREQ(r.results[i]->chan.nname, cases[i].nick);
        EXPECT_EQ(r.chans[i], r.results[i]->chan.name);
    }
    EXPECT_EQ(r.get_channel_name(4, nullptr), nullptr);

    // A duplicate is accepted silently and leaves the last words alone.
    r.set_error(-5);
    auto dup = entry("BPM3:3;other");
    EXPECT_EQ(r.add_channel(&dup), 0);
    EXPECT_EQ(r.get_number_of_channels(), 4);
    EXPECT_STREQ(r.get_last_error(), "Channel not found");

    EXPECT_STREQ(r.get_nickname("BPM3:3"), "beam_x");
    EXPECT_EQ(r.get_nickname("BPM3:4"), nullptr);
    ASSERT_NE(r.get_channel_params("beam_x"), nullptr);
    EXPECT_EQ(r.get_channel_params("beam_x")->start, 42);
    EXPECT_EQ(r.get_channel_params("BPM3:4"), &r.results[2]->chan.prms);
    EXPECT_EQ(r.get_channel_params("BPM3"), nullptr);
    EXPECT_EQ(r.get_channel_params("TORO"), &r.results[3]->chan.prms);

    EXPECT_EQ(r.rem_channel("BPM4"), 0);  // bare name removes the nicknamed record
    EXPECT_EQ(r.rem_channel("BPM3:3"), 0);
    EXPECT_EQ(r.rem_channel("BPM3:3"), -5);
    ASSERT_EQ(r.get_number_of_channels(), 2);
    EXPECT_EQ(r.results[0]->chan.subchan, 4);
    EXPECT_EQ(r.chans[1], r.results[1]->chan.name);

    // Names are kept to their field.
    const std::string longname(400, 'n');
    auto e = entry(longname.c_str());
    EXPECT_EQ(r.add_channel(&e), 0);
    EXPECT_EQ(std::strlen(r.results.back()->chan.name), want<TypeParam>.name_field - 1);
}

TYPED_TEST(ReaderConfig, InitWithAFileListChecksTheFirstFile) {
    zorv_test::temp_dir d;
    std::string bad = touch(d, file_name_at(1000, 1));  // no tables in it
    std::vector<char*> list{&bad[0]};
    typename TypeParam::reader_t r;
    EXPECT_EQ(r.init(&list, nullptr), -9);
    EXPECT_STREQ(r.get_last_error(), "Invalid file format");
    // With channels the current reader opens nothing; the legacy one checks.
    auto e = entry("BPM1");
    std::vector<daq_channel_entry*> chans{&e};
    EXPECT_EQ(r.init(&list, &chans), TypeParam::legacy ? -9 : 0);
    EXPECT_EQ(r.get_number_of_channels(), 1);
    EXPECT_EQ(r.get_number_of_files(), 1);
}

TYPED_TEST(ReaderConfig, NothingToReadBeforeStart) {
    typename TypeParam::reader_t r;
    std::vector<zorv_channel_entry_long*> out;
    r.set_error(-5);
    EXPECT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT), -4);
    EXPECT_STREQ(r.get_last_error(), "Channel not found");
    EXPECT_EQ(r.get_time_period_us(), -1.0);
    std::vector<char*> empty;
    EXPECT_EQ(r.init(&empty, nullptr), -7);
}

}  // namespace
