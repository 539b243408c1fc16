// Finding the files of a request: by run, run range and period, through the
// run catalogue the writer leaves and through directory scans when there is
// none; the neighbours of a run by sequence number; the reader diagnostics.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sample_run.h"
#include "test_support.h"
#include "zorv_daq_reader_2010.h"

namespace {

constexpr uint32_t T = 1286193600;  // start of run 1; each file holds 3 s

class Discovery : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new zorv_test::temp_dir;
        for (int run : {1, 2}) {
            auto cfg = zorv_test::small_run_config(dir_->path(), run == 1 ? 3 : 2, 30);
            cfg.catalog_dir = dir_->file("catalog");
            cfg.run = run;
            cfg.start_time = run == 1 ? T : T + 100;
            for (const std::string& f : zorv_test::write_run(cfg)) names_.push_back(base(f));
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        names_.clear();
    }
    static std::string base(const std::string& p) { return p.substr(p.rfind('/') + 1); }

    // Files of the reader as indexes into names_ (run 1: 0..2, run 2: 3..4).
    std::vector<int> found(zorv_daq_reader_2010& rd) {
        std::vector<int> out;
        for (int i = 0; i < rd.get_number_of_files(); ++i) {
            std::string b = base(rd.get_file_name(i));
            for (size_t k = 0; k < names_.size(); ++k)
                if (names_[k] == b) out.push_back(static_cast<int>(k));
        }
        return out;
    }
    zorv_daq_request request(int run_first, int run_last, uint32_t start, uint32_t stop,
                             bool catalogue) {
        zorv_daq_request q{};
        q.run_first = run_first;
        q.run_last = run_last;
        q.start_time.time.timeup = start;
        q.stop_time.time.timeup = stop;
        std::strcpy(q.exp_name, "linac");
        std::strcpy(q.stream_name, "main");
        std::string cdir = catalogue ? dir_->file("catalog") : dir_->file("no-catalog");
        std::strcpy(q.cdir, cdir.c_str());
        std::strcpy(q.ddir, dir_->path().c_str());
        return q;
    }

    static zorv_test::temp_dir* dir_;
    static std::vector<std::string> names_;
};

zorv_test::temp_dir* Discovery::dir_ = nullptr;
std::vector<std::string> Discovery::names_;

TEST_F(Discovery, RequestsByRunRangeAndPeriodWithAndWithoutCatalogue) {
    ASSERT_EQ(names_.size(), 5u);
    struct {
        const char* what;
        int run_first, run_last;
        uint32_t start, stop;
        std::vector<int> with_catalogue, local;
    } cases[] = {
        {"whole run", 1, 0, 0, 0, {0, 1, 2}, {0, 1, 2}},
        {"run range", 1, 2, 0, 0, {0, 1, 2, 3, 4}, {0, 1, 2, 3, 4}},
        {"reversed range reads the first run", 2, 1, 0, 0, {3, 4}, {3, 4}},
        // A local scan adds the predecessor of the first file it finds.
        {"period over two files", 0, 0, T + 4, T + 7, {1, 2}, {1, 2}},
        {"period over both runs", 0, 0, T + 5, T + 101, {1, 2, 3}, {1, 2, 3}},
        // No file starts inside: the file that started before stands for it.
        {"window between two file starts", 0, 0, T + 4, T + 5, {1}, {1}},
        {"run narrowed to a period", 1, 0, T + 4, T + 5, {1}, {1}},
        // The run scan also takes the next file of the run for an open start.
        {"run up to a time", 1, 0, 0, T + 4, {0, 1, 2}, {0, 1, 2}},
    };
    for (bool catalogue : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (catalogue ? " (catalogue)" : " (local)"));
            zorv_daq_reader_2010 rd;
            zorv_daq_request q = request(c.run_first, c.run_last, c.start, c.stop, catalogue);
            ASSERT_EQ(rd.init(&q, nullptr), 0) << rd.get_last_error();
            EXPECT_EQ(found(rd), catalogue ? c.with_catalogue : c.local);
        }
    }
}

TEST_F(Discovery, RunWithoutTimesTakesTheRunsTimes) {
    for (bool catalogue : {true, false}) {
        zorv_daq_reader_2010 rd;
        zorv_daq_request q = request(1, 0, 0, 0, catalogue);
        ASSERT_EQ(rd.init(&q, nullptr), 0);
        EXPECT_EQ(rd.get_start_point()->time.timeup, T);
        // The catalogue knows the run's end; locally it is the second of the
        // last file's last event.
        EXPECT_GE(rd.get_stop_point()->time.timeup, T + 8) << catalogue;
        EXPECT_LE(rd.get_stop_point()->time.timeup, T + 9) << catalogue;
    }
}

TEST_F(Discovery, CatalogueAloneAndWideRunRangesFindTheRunsFiles) {
    struct {
        const char* what;
        int run_first, run_last;
        const char* ddir;  // replaces the data directory
        std::vector<int> expected;
    } cases[] = {
        {"no data directory", 1, 0, "", {0, 1, 2}},
        {"a data directory without the files", 1, 0, "/nonexistent/zorv", {0, 1, 2}},
        {"every run number", 1, INT32_MAX, nullptr, {0, 1, 2, 3, 4}},
        {"every run number, no data directory", 2, INT32_MAX, "", {3, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        zorv_daq_reader_2010 rd;
        zorv_daq_request q = request(c.run_first, c.run_last, 0, 0, true);
        if (c.ddir) std::strcpy(q.ddir, c.ddir);
        ASSERT_EQ(rd.init(&q, nullptr), 0) << rd.get_last_error();
        EXPECT_EQ(found(rd), c.expected);
    }
    // Without a catalogue the directory scan still finds them.
    zorv_daq_reader_2010 rd;
    zorv_daq_request q = request(2, INT32_MAX, 0, 0, false);
    ASSERT_EQ(rd.init(&q, nullptr), 0) << rd.get_last_error();
    EXPECT_EQ(found(rd), (std::vector<int>{3, 4}));
}

TEST_F(Discovery, NothingToFindEndsInFilesNotFound) {
    struct {
        uint32_t start, stop;
        const char* ddir;  // null: the data directory
    } cases[] = {
        {T + 1000, T + 1001, nullptr},  // after every file's last event
        {T + 4, T + 5, "/nonexistent/zorv"},
    };
    for (const auto& c : cases) {
        zorv_daq_reader_2010 rd;
        zorv_daq_request q = request(0, 0, c.start, c.stop, false);
        if (c.ddir) std::strcpy(q.ddir, c.ddir);
        EXPECT_EQ(rd.init(&q, nullptr), ZORV_DAQ_READER_FILES_NOT_FOUND);
        EXPECT_STREQ(rd.get_last_error(), "Files not found");
        EXPECT_EQ(rd.get_number_of_files(), 0);
    }
    zorv_daq_reader_2010 rd;
    EXPECT_EQ(rd.init(static_cast<zorv_daq_request*>(nullptr), nullptr),
              ZORV_DAQ_READER_INV_PARAM);
}

TEST_F(Discovery, FirstFileTablesAreCheckedForTheSelectedChannels) {
    zorv_daq_reader_2010 rd;
    char name[] = "NO_SUCH_CHANNEL";
    daq_channel_entry ch{name, {}};
    std::vector<daq_channel_entry*> chans{&ch};
    zorv_daq_request q = request(1, 0, 0, 0, true);
    EXPECT_EQ(rd.init(&q, &chans), ZORV_DAQ_READER_NOT_FOUND);
    EXPECT_STREQ(rd.get_last_error(), "Channel not found");
}

TEST_F(Discovery, DiagnosticsLeaveTheFileListAsItWas) {
    zorv_daq_reader_2010 rd;
    std::string file = dir_->file(names_[0]);
    testing::internal::CaptureStdout();
    rd.print_files();
    EXPECT_EQ(rd.print_event_index_table("", -1), ZORV_DAQ_READER_INV_PARAM);
    EXPECT_EQ(rd.print_event_index_table(file.c_str(), 9999), 0);
    std::string quiet = testing::internal::GetCapturedStdout();
    EXPECT_EQ(quiet, "========== READER files ==============\n"
                     "========== READER files END ==========\n");

    testing::internal::CaptureStdout();
    EXPECT_EQ(rd.print_event_index_table(file.c_str(), -1), 0);
    rd.print_channel_channel(file.c_str(), "NO_SUCH_CHANNEL");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("zorv_daq_reader_2010::print_channel_channel() channel: NO_SUCH_CHANNEL "
                       "not found in file: "),
              std::string::npos);
    EXPECT_EQ(rd.get_number_of_files(), 0);

    // A started reader still inspects files, and its own list stays.
    zorv_daq_reader_2010 started;
    std::vector<char*> files{&file[0]};
    char chan[] = "TORO1";
    daq_channel_entry ch{chan, {}};
    std::vector<daq_channel_entry*> chans{&ch};
    ASSERT_EQ(started.init(&files, &chans), 0);
    ASSERT_EQ(started.start(), 0) << started.get_last_error();
    int n = 0;
    EXPECT_EQ(started.get_number_of_channels(file.c_str(), &n, 0), 0);
    EXPECT_GT(n, 0);
    std::vector<chan_descr_2010*> descr;
    EXPECT_EQ(started.fill_chan_descr(file.c_str(), &descr), 0);
    EXPECT_EQ(started.get_number_of_files(), 1);
}

}  // namespace
