// Reads that lose nothing, in both layouts: channels missing from some files
// (the first among them), a damaged file in the middle of a run, run requests
// over files of unequal lengths, a window inside a long file; and what the
// reader says per channel and in its delivery report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "sample_run.h"
#include "test_support.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace {

struct current_case {
    using reader_t = zorv_daq_reader_2010;
    static constexpr zorv::file_layout layout = zorv::file_layout::current;
    static constexpr const char* channels = "A 38;X 38 missing=1,3";
};

struct legacy_case {
    using reader_t = zorv_daq_reader;
    static constexpr zorv::file_layout layout = zorv::file_layout::legacy;
    static constexpr const char* channels = "A 6;X 6 missing=1,3";
};

template <class C>
class ReaderDelivery : public ::testing::Test {
protected:
    zorv::synthetic_run_config run(std::vector<int> events) {
        auto cfg = zorv_test::small_run_config(dir_.path(), int(events.size()), events[0], C::channels, C::layout);
        cfg.file_events = events;
        cfg.run = 5;
        files_ = zorv_test::write_run(cfg);
        return cfg;
    }
    static void select(typename C::reader_t& r, std::vector<const char*> names) {
        for (const char* n : names) {
            daq_channel_entry e{};
            e.name = const_cast<char*>(n);
            ASSERT_EQ(r.add_channel(&e), 0) << n;
        }
    }
    zorv_daq_request request(typename C::reader_t& r) {
        zorv_daq_request q = r.request;
        q.run_first = 5;
        std::snprintf(q.ddir, sizeof q.ddir, "%s/", dir_.path().c_str());
        std::snprintf(q.cdir, sizeof q.cdir, "%s/no-catalogue", dir_.path().c_str());
        return q;
    }

    // The NEXT walk: fresh entries per channel, and each channel's state
    // word at every event.
    struct walk {
        std::vector<int> fresh;
        std::vector<std::vector<std::string>> states;
        int events = 0;
        int end = 0;
    };
    static walk next_walk(typename C::reader_t& r) {
        walk w;
        w.fresh.assign(size_t(r.get_number_of_channels()), 0);
        std::vector<zorv_channel_entry_long*> out;
        while ((w.end = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT)) == 0) {
            ++w.events;
            w.states.emplace_back();
            for (int i = 0; i < r.get_number_of_channels(); ++i) {
                zorv_daq_chan_status st;
                EXPECT_EQ(r.get_chan_status(i, &st), 0);
                w.fresh[size_t(i)] += st.state == ZORV_DAQ_CHAN_FRESH;
                w.states.back().push_back(zorv_daq_chan_state_word(st.state));
            }
        }
        return w;
    }

    zorv_test::temp_dir dir_;
    std::vector<std::string> files_;
    zorv_test::scoped_env ignore_{"ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1"};
};

using Layouts = ::testing::Types<current_case, legacy_case>;
TYPED_TEST_SUITE(ReaderDelivery, Layouts);

TYPED_TEST(ReaderDelivery, FilesWithoutTheChannelOrUnreadableAreSkippedAndReported) {
    this->run({5, 5, 5, 5});
    // The second file's tables are gone; X is in the second and fourth only.
    ASSERT_EQ(truncate(this->files_[1].c_str(), 300), 0);
    for (const bool with_a : {true, false}) {
        SCOPED_TRACE(with_a ? "A and X" : "X alone");
        typename TypeParam::reader_t r;
        for (const auto& f : this->files_) ASSERT_EQ(r.add_file(f.c_str(), true), 0);
        this->select(r, with_a ? std::vector<const char*>{"X", "A"} : std::vector<const char*>{"X"});
        ASSERT_EQ(r.start(), 0) << r.get_last_error();
        auto w = this->next_walk(r);
        EXPECT_EQ(w.end, ZORV_DAQ_READER_OUT_OF_WINDOW);
        EXPECT_STRNE(r.get_last_error(), "OK");
        EXPECT_EQ(w.fresh[0], 5);  // the fourth file's
        if (with_a) {
            EXPECT_EQ(w.fresh[1], 15);
            ASSERT_EQ(w.events, 15);
            EXPECT_EQ(w.states[0][0], "not in file");
            EXPECT_EQ(w.states[14][0], "fresh");
        }
        zorv_daq_delivery_report rep;
        ASSERT_EQ(r.get_delivery_report(&rep), 0);
        EXPECT_FALSE(rep.complete());
        // X alone: the files without it are passed over too, and say so.
        ASSERT_EQ(rep.skipped_files.size(), with_a ? 1u : 3u);
        bool damaged_listed = false;
        for (const auto& f : rep.skipped_files) {
            EXPECT_FALSE(f.reason.empty());
            damaged_listed = damaged_listed || f.file == this->files_[1];
        }
        EXPECT_TRUE(damaged_listed);
        EXPECT_EQ(rep.channels[0].delivered, 5);
    }
}

TYPED_TEST(ReaderDelivery, RunRequestsAndWindowsCoverEveryEventOfTheirFiles) {
    const auto cfg = this->run({20, 100, 20, 20});
    {
        // The run through the local scan: the long file does not cut it short.
        typename TypeParam::reader_t r;
        zorv_daq_request q = this->request(r);
        std::vector<daq_channel_entry*> none;
        ASSERT_EQ(r.init(&q, &none), 0) << r.get_last_error();
        this->select(r, {"A"});
        ASSERT_EQ(r.start(), 0) << r.get_last_error();
        EXPECT_EQ(this->next_walk(r).fresh[0], 160);
    }
    // One second inside the long file, through the file list and through the
    // local period scan: its 11 events.
    const uint32_t t = cfg.start_time + 5;
    zorv_time_id from{0, {t, 0}}, to{0, {t + 1, 0}};
    typename TypeParam::reader_t r;
    for (const auto& f : this->files_) ASSERT_EQ(r.add_file(f.c_str(), true), 0);
    this->select(r, {"A"});
    ASSERT_EQ(r.set_start_point(&from), 0);
    ASSERT_EQ(r.set_stop_point(&to), 0);
    ASSERT_EQ(r.start(), 0) << r.get_last_error();
    EXPECT_EQ(this->next_walk(r).fresh[0], 11);
    if constexpr (TypeParam::layout == zorv::file_layout::current) {
        typename TypeParam::reader_t p;
        zorv_daq_request q = this->request(p);
        q.run_first = 0;
        q.start_time = from;
        q.stop_time = to;
        std::vector<daq_channel_entry*> none;
        ASSERT_EQ(p.init(&q, &none), 0) << p.get_last_error();
        this->select(p, {"A"});
        ASSERT_EQ(p.start(), 0) << p.get_last_error();
        EXPECT_EQ(this->next_walk(p).fresh[0], 11);
    }
}

TYPED_TEST(ReaderDelivery, ARequestRefusesOnlyAChannelNoFileHolds) {
    this->run({5, 5, 5, 5});
    for (const char* name : {"X", "NOPE"}) {
        typename TypeParam::reader_t r;
        zorv_daq_request q = this->request(r);
        daq_channel_entry e{};
        e.name = const_cast<char*>(name);
        std::vector<daq_channel_entry*> chans{&e};
        const bool known = std::strcmp(name, "X") == 0;
        EXPECT_EQ(r.init(&q, &chans), known ? 0 : ZORV_DAQ_READER_NOT_FOUND) << name;
        if (!known) continue;
        // X is missing from the first file: it is read from the others.
        ASSERT_EQ(r.start(), 0) << r.get_last_error();
        EXPECT_EQ(this->next_walk(r).fresh[0], 10);
    }
}

}  // namespace
