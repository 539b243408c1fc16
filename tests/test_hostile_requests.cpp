// Requests a data server may be handed by anyone: run catalogue files and
// file names with overlong names and control characters, huge or reversed
// run ranges, missing directories and directories that loop back on
// themselves. Each ends in a status (and in bounded time and memory: a
// request that looped or listed every run number would not finish).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "sample_run.h"
#include "test_support.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace {

template <class Reader>
class hostile_requests : public ::testing::Test {
protected:
    // Files are checked for existence as in production.
    void SetUp() override { ::unsetenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME"); }
    void TearDown() override { ::setenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1", 1); }

    // A request for runs first..last of experiment "linac" through `cdir`,
    // with the local scan over `ddir`.
    int init_runs(Reader& r, int first, int last, const std::string& cdir, const std::string& ddir) {
        zorv_daq_request q = zorv_test::run_request(first, last, cdir, ddir);
        std::vector<daq_channel_entry*> none;
        return r.init(&q, &none);
    }

    // A catalogue whose run 1234 lists `names` in data directory `dir`.
    std::string catalog_with(const std::vector<std::string>& names, const std::string& dir) {
        const std::string cdir = tmp_.file("catalog");
        ::mkdir(cdir.c_str(), 0700);
        ::mkdir((cdir + "/linac").c_str(), 0700);
        std::string xml = "<run start=\"1286193600\" stop=\"1286193700\" dir=\"" + dir + "\">";
        for (const std::string& n : names) xml += "<file name=\"" + n + "\"/>";
        xml += "</run>";
        EXPECT_TRUE(zorv_test::write_file(cdir + "/linac/run1234.xml", xml));
        return cdir;
    }

    zorv_test::temp_dir tmp_;
};

using Readers = ::testing::Types<zorv_daq_reader_2010, zorv_daq_reader>;
TYPED_TEST_SUITE(hostile_requests, Readers);

// Names no file has: far longer than a path may be, with control
// characters and escapes from the data directory, listed by the catalogue
// or given as file names.
TYPED_TEST(hostile_requests, names_that_cannot_be_files_are_refused) {
    const std::string huge(200000, 'a');
    const std::vector<std::string> names = {huge + ".raw", "linac_main_run1234_file1\x01\x02\x1b[2J.raw",
                                            "..", "&#10;&#13;&#9;.raw", "x&#0;y"};
    const std::string cdir = this->catalog_with(names, this->tmp_.path() + "/" + huge);
    TypeParam r;
    EXPECT_EQ(this->init_runs(r, 1234, 1234, cdir, this->tmp_.path()), ZORV_DAQ_READER_FILES_NOT_FOUND);
    EXPECT_EQ(r.get_number_of_files(), 0);

    TypeParam f;
    ASSERT_EQ(f.set_data_dir(this->tmp_.path().c_str()), 0);
    for (const std::string& n : {huge, huge + "/x.raw", std::string("\x01\x7f\n\t"), std::string(":::")}) {
        EXPECT_NE(f.add_file(n.c_str(), true), 0) << n.substr(0, 40);
    }
    EXPECT_EQ(f.add_file("", true), ZORV_DAQ_READER_INV_PARAM);
    EXPECT_EQ(f.get_number_of_files(), 0);
    EXPECT_NE(f.start(), 0);
}

// Texts longer than the request's fields are cut and then name nothing; a
// period of no events, which would give the same event for ever, is refused.
TYPED_TEST(hostile_requests, overlong_settings_name_nothing_and_a_still_period_is_refused) {
    TypeParam r;
    const std::string dir = this->tmp_.path() + "/" + std::string(2000, 'd');
    EXPECT_EQ(r.set_catalog_dir(dir.c_str()), 0);
    EXPECT_EQ(r.set_data_dir(dir.c_str()), 0);
    EXPECT_EQ(r.set_experiment(std::string(100, 'e').c_str()), 0);
    EXPECT_EQ(r.set_stream(std::string(100, 's').c_str()), 0);
    EXPECT_EQ(r.add_file("linac_main_run1_file1_20101004T120000.raw", true), ZORV_DAQ_READER_FILES_NOT_FOUND);

    const zorv_time_id still{0, {1, 0}};  // moves in time only
    const auto& files = zorv_test::sample_run(std::is_same_v<TypeParam, zorv_daq_reader>
                                                  ? zorv::file_layout::legacy
                                                  : zorv::file_layout::current);
    ASSERT_FALSE(files.empty());
    std::vector<char*> list{const_cast<char*>(files[0].c_str())};
    daq_channel_entry bpm{};
    bpm.name = const_cast<char*>("TORO1");
    std::vector<daq_channel_entry*> channels{&bpm};
    zorv_test::scoped_env fresh("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1");
    TypeParam z;
    ASSERT_EQ(z.init(&list, &channels), 0) << z.get_last_error();
    ASSERT_EQ(z.set_period(&still), 0);
    EXPECT_EQ(z.start(), ZORV_DAQ_READER_INV_PARAM);
}

// The widest run ranges, reversed and negative ones, over missing
// directories and over directories that contain themselves.
TYPED_TEST(hostile_requests, run_ranges_and_directories_end_in_a_status) {
    const std::string loop = this->tmp_.file("loop");
    ::mkdir(loop.c_str(), 0700);
    ASSERT_EQ(::symlink(loop.c_str(), (loop + "/self").c_str()), 0);
    ASSERT_EQ(::symlink((loop + "/a").c_str(), (loop + "/b").c_str()), 0);
    ASSERT_EQ(::symlink((loop + "/b").c_str(), (loop + "/a").c_str()), 0);
    const std::string cdir = this->tmp_.file("cat");
    ::mkdir(cdir.c_str(), 0700);
    ASSERT_EQ(::symlink(cdir.c_str(), (cdir + "/linac").c_str()), 0);  // the experiment is the catalogue

    const std::string missing = this->tmp_.file("missing");
    const struct {
        int first, last;
        std::string cdir, ddir;
    } cases[] = {
        {1, INT_MAX, cdir, loop},           {INT_MAX - 1, INT_MAX, missing, missing},
        {1, INT_MAX, missing, missing},     {5, -5, loop, loop},
        {-5, INT_MAX, loop + "/self", loop}, {1, INT_MAX, loop + "/a", loop + "/a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + ".." + std::to_string(c.last) + " " + c.cdir);
        TypeParam r;
        const int s = this->init_runs(r, c.first, c.last, c.cdir, c.ddir);
        EXPECT_TRUE(s == ZORV_DAQ_READER_FILES_NOT_FOUND || s == ZORV_DAQ_READER_INV_PARAM) << s;
        EXPECT_EQ(r.get_number_of_files(), 0);
    }

    // A search list naming one looping directory ten thousand times.
    std::string list;
    for (int i = 0; i < 10000; ++i) list += loop + "/self:";
    TypeParam r;
    r.set_data_path_list(list.c_str());
    EXPECT_EQ(r.add_file("linac_main_run1_file1_20101004T120000.raw", true), ZORV_DAQ_READER_FILES_NOT_FOUND);
}

}  // namespace
