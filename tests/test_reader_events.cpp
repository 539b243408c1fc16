// The readers end to end: written runs of both layouts read event by event,
// by event number and by time, with every payload kind, sub-channels,
// nicknames, a slow channel, windows, and files entered by bare name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sample_run.h"
#include "layout_cases.h"
#include "test_support.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace {

using zorv_test::current_case;
using zorv_test::legacy_case;

constexpr int kFiles = 3;
constexpr int kEvents = 12;  // per file
constexpr int kSlowEvery = 5;  // a slow value is held across file switches

// Channel indices in the run configuration below.
enum { BPM, TORO, SLOW, NV, IMG, ROI, EQ };

template <class C>
class ReaderEvents : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string b = std::to_string(C::bpm), t = std::to_string(C::toroid),
                          u = std::to_string(C::upd_type);
        const std::string channels = "BPM1 " + b + " comp=zlib;TORO1 " + t + " comp=lzo;SLOW1 " + u +
                                     " every=" + std::to_string(kSlowEvery) +
                                     " evtype=5;NV1 22 ndata=3;IMG1 13 ndata=8;ROI1 24;EQ1 23 ndata=5";
        cfg_ = zorv_test::small_run_config(dir_.path(), kFiles, kEvents, channels, C::layout);
        files_ = zorv_test::write_run(cfg_);
        ASSERT_EQ(files_.size(), size_t(kFiles));
    }

    // A reader over the run's files, entered by bare name through the data
    // directory, with the channels selected (sub-channel and nicknames).
    void open(typename C::reader_t& r, int synch_mode) {
        ASSERT_EQ(r.set_data_dir(dir_.path().c_str()), 0);
        for (int n = kFiles; n >= 1; --n)
            ASSERT_EQ(r.add_file(zorv::synthetic_file_name(cfg_, n).c_str(), true), 0);
        r.sort_my_files();
        const char* names[] = {"BPM1:1;bpm_y", "BPM1", "TORO1;charge", "SLOW1", "NV1", "IMG1", "ROI1", "EQ1"};
        for (const char* n : names) {
            daq_channel_entry e{};
            e.name = const_cast<char*>(n);
            ASSERT_EQ(r.add_channel(&e), 0) << n;
        }
        ASSERT_EQ(r.set_synch_mode(synch_mode), 0);
        // Step by one event, or by one event period in time (the legacy
        // default of 200 ms would step over every other event).
        zorv_time_id step{1, {0, uint32_t(1e6 / cfg_.rate_hz)}};
        ASSERT_EQ(r.set_period(&step), 0);
    }

    // open() and start().
    void start(typename C::reader_t& r, int synch_mode) {
        open(r, synch_mode);
        ASSERT_EQ(r.start(), 0) << r.get_last_error();
    }

    uint32_t first_event() const { return cfg_.first_event; }
    time_stamp time_of(uint32_t ev, int shift_us = 0) const {
        const double s = double(ev - cfg_.first_event) / cfg_.rate_hz + shift_us * 1e-6;
        time_stamp t;
        t.timeup = cfg_.start_time + uint32_t(s);
        t.timelow = uint32_t((s - double(uint32_t(s))) * 1e6 + 0.5);
        return t;
    }

    zorv_test::temp_dir dir_;
    zorv::synthetic_run_config cfg_;
    std::vector<std::string> files_;
};

using Layouts = ::testing::Types<current_case, legacy_case>;
TYPED_TEST_SUITE(ReaderEvents, Layouts);

TYPED_TEST(ReaderEvents, EveryEventOfEveryFileInBothSynchronisations) {
    typename TypeParam::reader_t r;  // reused after clean_up
    for (int mode : {ZORV_DAQ_SLICER_SYNCH_MODE_EVID, ZORV_DAQ_SLICER_SYNCH_MODE_TIME}) {
        SCOPED_TRACE(mode);
        this->open(r, mode);
        ASSERT_EQ(r.start(), 0) << r.get_last_error();
        // Once started, the configuration is fixed.
        EXPECT_EQ(r.start(), -8);
        EXPECT_EQ(r.set_experiment("other"), -8);
        EXPECT_EQ(r.set_synch_mode(0), -8);
        EXPECT_EQ(r.add_file("x", true), -8);
        EXPECT_EQ(r.remove_file("x"), -8);
        EXPECT_EQ(r.rem_channel("NV1"), -8);
        const zorv_time_id window = *r.get_start_point();
        const zorv_time_id other{1, {1, 1}};
        EXPECT_EQ(r.set_period(&other), -8);
        EXPECT_EQ(r.set_start_point(&other), -8);
        EXPECT_EQ(r.set_stop_point(&other), -8);
        EXPECT_EQ(r.get_start_point()->event_number, window.event_number);
        EXPECT_STREQ(r.get_last_error(), "Not allowed");

        std::vector<zorv_channel_entry_long*> out;
        int events = 0, s = 0;
        std::vector<unsigned char> slow_copy;
        const zorv_channel_entry_long* slow_res = nullptr;
        uint32_t expect = this->first_event();
        while ((s = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT)) == 0) {
            ASSERT_LE(++events, kFiles * kEvents);
            std::map<std::string, const typename TypeParam::result_entry*> by_key;
            for (const auto* res : out) {
                const auto* rec = zorv_test::record_of(r, res);
                ASSERT_NE(rec, nullptr);
                // The result points at the record's own copies.
                EXPECT_EQ(res->sbchdata[0].evhd, reinterpret_cast<uint64_t>(&rec->evhd));
                EXPECT_EQ(res->sbchdata[0].chhd, reinterpret_cast<uint64_t>(rec->data));
                EXPECT_EQ(res->sbchdata[0].data,
                          reinterpret_cast<uint64_t>(rec->data) + sizeof(typename TypeParam::subhead));
                std::string key = rec->chan.name;
                if (rec->chan.subchan >= 0) key += ":" + std::to_string(rec->chan.subchan);
                by_key[key] = rec;
            }
            // Fast channels are in every event; the slow one from its first value on.
            for (const char* k : {"BPM1:1", "BPM1", "TORO1", "NV1", "IMG1", "ROI1", "EQ1"}) {
                ASSERT_EQ(by_key.count(k), 1u) << k << " event " << expect;
            }
            const auto* bpm = by_key["BPM1"];
            const uint32_t ev = bpm->evhd.event_number;
            EXPECT_EQ(ev, expect);  // no event is skipped in either mode
            expect = ev + 1;

            // The cut sub-channel holds member 1 of the device record.
            const float* y = TypeParam::samples(by_key["BPM1:1"]->data, 0);
            const float* y_whole = TypeParam::samples(bpm->data, 1);
            ASSERT_NE(y, nullptr);
            ASSERT_NE(y_whole, nullptr);
            EXPECT_EQ(y[3], zorv::synthetic_sample(this->cfg_, BPM, ev, 1, 3));
            EXPECT_EQ(y_whole[3], y[3]);
            const float* t = TypeParam::samples(by_key["TORO1"]->data, 0);
            ASSERT_NE(t, nullptr);
            EXPECT_EQ(t[0], zorv::synthetic_sample(this->cfg_, TORO, ev, 0, 0));
            EXPECT_STREQ(r.get_nickname("TORO1"), "charge");

            // A slow value stays with its channel, intact, until the next one.
            if (slow_res) {
                ASSERT_EQ(by_key.count("SLOW1"), 1u) << "event " << ev;
            }
            if (by_key.count("SLOW1")) {
                const auto* slow = by_key["SLOW1"];
                EXPECT_EQ(slow->slow, 1);
                const auto* bytes = reinterpret_cast<const unsigned char*>(slow->data);
                if (slow->updated) {
                    const auto* upd = reinterpret_cast<const typename TypeParam::upd_block*>(slow->data + 1);
                    EXPECT_STREQ(upd->upd_prop, "SLOW1");
                    EXPECT_EQ(upd->upd_ch_data, zorv::synthetic_sample(this->cfg_, SLOW, ev, 0, 0));
                    slow_copy.assign(bytes, bytes + slow->data->ldata);
                    slow_res = &slow->res;
                } else {
                    ASSERT_EQ(slow_res, &slow->res);
                    ASSERT_EQ(size_t(slow->data->ldata), slow_copy.size());
                    EXPECT_EQ(0, std::memcmp(bytes, slow_copy.data(), slow_copy.size()));
                }
            }
        }
        EXPECT_EQ(s, ZORV_DAQ_READER_OUT_OF_WINDOW);
        EXPECT_EQ(events, kFiles * kEvents);
        EXPECT_EQ(r.get_number_of_events(), kFiles * kEvents);
        EXPECT_NE(slow_res, nullptr);

        // Clean up leaves a reusable reader.
        r.clean_up();
        EXPECT_EQ(r.get_number_of_files(), 0);
        EXPECT_EQ(r.get_number_of_channels(), 0);
        EXPECT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT), -4);
    }
}

TYPED_TEST(ReaderEvents, WindowsByEventNumberAndByTime) {
    const uint32_t e0 = this->first_event();
    struct window_case {
        int mode;
        uint32_t from, to;  // event numbers (relative to the first)
    };
    // The windows cross file boundaries; the by-time one is given by times.
    for (const window_case w : {window_case{ZORV_DAQ_SLICER_SYNCH_MODE_EVID, 5, 20},
                                window_case{ZORV_DAQ_SLICER_SYNCH_MODE_TIME, 9, 27}}) {
        SCOPED_TRACE(w.mode);
        typename TypeParam::reader_t r;
        this->open(r, w.mode);
        zorv_time_id from{}, to{};
        if (w.mode == ZORV_DAQ_SLICER_SYNCH_MODE_EVID) {
            from.event_number = e0 + w.from;
            to.event_number = e0 + w.to;
            to.time = this->time_of(e0 + kFiles * kEvents);
        } else {
            // Half an event period outside the first and last wanted event.
            from.time = this->time_of(e0 + w.from, -50000);
            to.time = this->time_of(e0 + w.to, 50000);
        }
        ASSERT_EQ(r.set_start_point(&from), 0);
        ASSERT_EQ(r.set_stop_point(&to), 0);
        ASSERT_EQ(r.start(), 0) << r.get_last_error();
        // By time: the window's length; by number: from the file names,
        // the last file's start plus one average file length.
        EXPECT_DOUBLE_EQ(r.get_time_period_us(),
                         w.mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME ? 1.9e6 : 3e6);

        std::vector<zorv_channel_entry_long*> out;
        std::vector<uint32_t> seen;
        while (r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT) == 0) {
            ASSERT_FALSE(out.empty());
            ASSERT_LE(seen.size(), size_t(kFiles * kEvents));
            seen.push_back(zorv_test::record_of(r, out.front())->evhd.event_number);
        }
        ASSERT_EQ(seen.size(), size_t(w.to - w.from + 1));
        EXPECT_EQ(seen.front(), e0 + w.from);
        EXPECT_EQ(seen.back(), e0 + w.to);
    }
}

// By time, a step given as a time alone (no event part) that is coarser
// than the events' spacing steps by that time through every file.
TYPED_TEST(ReaderEvents, ATimeStepCoarserThanTheEventsStepsByTime) {
    constexpr uint32_t kEvery = 3;
    typename TypeParam::reader_t r;
    this->open(r, ZORV_DAQ_SLICER_SYNCH_MODE_TIME);
    zorv_time_id step{0, {0, uint32_t(kEvery * 1e6 / this->cfg_.rate_hz)}};
    ASSERT_EQ(r.set_period(&step), 0);
    ASSERT_EQ(r.start(), 0) << r.get_last_error();
    std::vector<zorv_channel_entry_long*> out;
    std::vector<uint32_t> seen;
    int rc;
    while ((rc = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT)) == 0 && seen.size() <= kFiles * kEvents)
        seen.push_back(zorv_test::record_of(r, out.front())->evhd.event_number);
    EXPECT_EQ(rc, ZORV_DAQ_READER_OUT_OF_WINDOW);
    ASSERT_EQ(seen.size(), size_t(kFiles * kEvents / kEvery));
    for (size_t k = 0; k < seen.size(); ++k) EXPECT_EQ(seen[k], this->first_event() + kEvery * k) << k;
}

// By time, a step that does not pass the matching tolerance finds the event
// it steps from again (a step as long as the tolerance too, when the events
// lie more than twice the tolerance apart), and the read would end after its
// first event: start
// refuses it, and the same reader then reads with a step just past the
// tolerance every event. By event number the time part of the step is not
// used, and the same step reads every event.
TYPED_TEST(ReaderEvents, ATimeStepWithinTheToleranceIsRefusedAtStart) {
    const time_stamp tolerance{0, 30000};
    for (const uint32_t step_us : {10000u, 30000u}) {
        SCOPED_TRACE(step_us);
        typename TypeParam::reader_t r;
        this->open(r, ZORV_DAQ_SLICER_SYNCH_MODE_TIME);
        r.request.time_diff = tolerance;
        zorv_time_id step{1, {0, step_us}};
        ASSERT_EQ(r.set_period(&step), 0);
        EXPECT_EQ(r.start(), ZORV_DAQ_READER_INV_PARAM);
        EXPECT_STREQ(r.get_last_error(), "Invalid Parameter");

        step.time.timelow = tolerance.timelow + 1;
        ASSERT_EQ(r.set_period(&step), 0);
        ASSERT_EQ(r.start(), 0) << r.get_last_error();
        std::vector<zorv_channel_entry_long*> out;
        int events = 0, rc;
        while ((rc = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT)) == 0 && events <= kFiles * kEvents)
            ++events;
        EXPECT_EQ(rc, ZORV_DAQ_READER_OUT_OF_WINDOW);
        EXPECT_EQ(events, kFiles * kEvents);

        typename TypeParam::reader_t by_number;
        this->open(by_number, ZORV_DAQ_SLICER_SYNCH_MODE_EVID);
        by_number.request.time_diff = tolerance;
        step.time.timelow = step_us;
        ASSERT_EQ(by_number.set_period(&step), 0);
        ASSERT_EQ(by_number.start(), 0) << by_number.get_last_error();
        for (events = 0; by_number.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT) == 0 &&
                         events <= kFiles * kEvents;)
            ++events;
        EXPECT_EQ(events, kFiles * kEvents);
    }
}

// A slow value is carried only into events at or after the one it came
// with: walking back (PREV, FIRST) past the event of the value the channel
// last had, it is not carried back in time; walking forward again it is.
TYPED_TEST(ReaderEvents, ASlowValueIsNeverCarriedBackInTime) {
    for (int mode : {ZORV_DAQ_SLICER_SYNCH_MODE_EVID, ZORV_DAQ_SLICER_SYNCH_MODE_TIME}) {
        SCOPED_TRACE(mode);
        typename TypeParam::reader_t r;
        this->start(r, mode);
        std::vector<zorv_channel_entry_long*> out;
        // The event handed out, and where SLOW1's value came from when it is carried.
        auto check = [&](int type, const char* what) -> uint32_t {
            SCOPED_TRACE(what);
            const int s = r.get_data(nullptr, &out, type);
            EXPECT_EQ(s, 0);
            if (s != 0) return 0;
            const uint32_t ev = r.results[BPM + 1]->evhd.event_number;  // BPM1, fresh in every event
            zorv_daq_chan_status st;
            EXPECT_EQ(r.get_chan_status(SLOW + 1, &st), 0);
            const bool listed = std::find(out.begin(), out.end(), &r.results[SLOW + 1]->res) != out.end();
            if (st.state == ZORV_DAQ_CHAN_CARRIED) {
                EXPECT_LE(st.from.event_number, ev) << "event " << ev;
                EXPECT_TRUE(listed);
            } else if (st.state != ZORV_DAQ_CHAN_FRESH) {
                EXPECT_FALSE(listed) << "event " << ev;
            }
            return ev;
        };
        for (int k = 0; k < 2 * kSlowEvery + 2; ++k) check(ZORV_DAQ_READ_CHAN_EVENT_NEXT, "NEXT");
        for (int k = 0; k < 2 * kSlowEvery; ++k) check(ZORV_DAQ_READ_CHAN_EVENT_PREV, "PREV");
        check(ZORV_DAQ_READ_CHAN_EVENT_LAST, "LAST");
        check(ZORV_DAQ_READ_CHAN_EVENT_FIRST, "FIRST");
        for (int k = 0; k < kSlowEvery + 2; ++k) check(ZORV_DAQ_READ_CHAN_EVENT_NEXT, "NEXT again");
        zorv_daq_chan_status st;
        ASSERT_EQ(r.get_chan_status(SLOW + 1, &st), 0);
        EXPECT_EQ(st.state, ZORV_DAQ_CHAN_CARRIED);
    }
}

// By time LAST is the last event of the data, also as the read's first
// request; a PREV walk from there gives every event back to the first, each
// counted once.
TYPED_TEST(ReaderEvents, LastAsTheFirstRequestByTimeIsTheLastEvent) {
    typename TypeParam::reader_t r;
    this->start(r, ZORV_DAQ_SLICER_SYNCH_MODE_TIME);
    std::vector<zorv_channel_entry_long*> out;
    ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_LAST), 0);
    uint32_t expect = this->first_event() + kFiles * kEvents - 1;
    EXPECT_EQ(r.results[BPM + 1]->evhd.event_number, expect);
    int events = 1, s;
    while ((s = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_PREV)) == 0 && events <= kFiles * kEvents) {
        ++events;
        EXPECT_EQ(r.results[BPM + 1]->evhd.event_number, --expect);
    }
    EXPECT_EQ(s, ZORV_DAQ_READER_OUT_OF_WINDOW);
    EXPECT_EQ(events, kFiles * kEvents);
    zorv_daq_delivery_report rep;
    ASSERT_EQ(r.get_delivery_report(&rep), 0);
    EXPECT_EQ(rep.channels[BPM + 1].delivered, kFiles * kEvents);
    EXPECT_TRUE(rep.complete());
}

// A given event is found in whichever file of the read holds it, ahead of
// the channels' current file or behind it, and the read goes on from there.
TYPED_TEST(ReaderEvents, AGivenEventInAnotherFileIsFound) {
    const uint32_t e0 = this->first_event();
    for (int mode : {ZORV_DAQ_SLICER_SYNCH_MODE_EVID, ZORV_DAQ_SLICER_SYNCH_MODE_TIME}) {
        SCOPED_TRACE(mode);
        typename TypeParam::reader_t r;
        this->start(r, mode);
        std::vector<zorv_channel_entry_long*> out;
        for (int k = 0; k < 3; ++k) ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT), 0);
        struct row {
            uint32_t ev;  // relative to the first event
            int request;
        };
        for (const row w : {row{2 * kEvents + 4, ZORV_DAQ_READ_CHAN_EVENT_CUR}, row{5, ZORV_DAQ_READ_CHAN_EVENT_CUR},
                            row{kEvents + 7, ZORV_DAQ_READ_CHAN_EVENT_LAST},
                            row{2 * kEvents + 1, ZORV_DAQ_READ_CHAN_EVENT_FIRST}}) {
            SCOPED_TRACE(w.ev);
            zorv_time_id at{e0 + w.ev, this->time_of(e0 + w.ev)};
            ASSERT_EQ(r.get_data(&at, &out, w.request), 0) << r.get_last_error();
            EXPECT_EQ(r.results[BPM + 1]->evhd.event_number, e0 + w.ev);
            ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT), 0);
            EXPECT_EQ(r.results[BPM + 1]->evhd.event_number, e0 + w.ev + 1);
        }
        // An event no file holds is not found, and the read goes on from
        // where it stood.
        const uint32_t now = e0 + 3;
        zorv_time_id at{now, this->time_of(now)};
        ASSERT_EQ(r.get_data(&at, &out, ZORV_DAQ_READ_CHAN_EVENT_CUR), 0);
        zorv_time_id none{e0 + 100 * kEvents, this->time_of(e0 + 100 * kEvents)};
        EXPECT_EQ(r.get_data(&none, &out, ZORV_DAQ_READ_CHAN_EVENT_CUR), ZORV_DAQ_READER_OUT_OF_WINDOW);
        ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT), 0);
        EXPECT_EQ(r.results[BPM + 1]->evhd.event_number, now + 1);
    }
}

TYPED_TEST(ReaderEvents, RequestsThatDoNotAdvanceEnd) {
    typename TypeParam::reader_t r;
    this->open(r, ZORV_DAQ_SLICER_SYNCH_MODE_EVID);
    // The window starts after the first event, which the reader stands on.
    zorv_time_id from{this->first_event() + 3, {0, 0}};
    ASSERT_EQ(r.set_start_point(&from), 0);
    ASSERT_EQ(r.start(), 0) << r.get_last_error();
    std::vector<zorv_channel_entry_long*> out;
    EXPECT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_CUR), ZORV_DAQ_READER_OUT_OF_WINDOW);
    EXPECT_TRUE(out.empty());
    zorv_time_id at{this->first_event(), this->time_of(this->first_event())};
    EXPECT_EQ(r.get_data(&at, &out, ZORV_DAQ_READ_CHAN_EVENT_CUR), ZORV_DAQ_READER_OUT_OF_WINDOW);
    // Moving on from there still reaches the window.
    ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT), 0);
    EXPECT_EQ(zorv_test::record_of(r, out.front())->evhd.event_number, this->first_event() + 3);
}

TYPED_TEST(ReaderEvents, InitWithAFileListAndChannelQueries) {
    typename TypeParam::reader_t r;
    std::vector<char*> list;
    for (auto it = this->files_.rbegin(); it != this->files_.rend(); ++it) list.push_back(&(*it)[0]);
    list.push_back(const_cast<char*>(""));
    ASSERT_EQ(r.init(&list, nullptr), 0) << r.get_last_error();
    ASSERT_EQ(r.get_number_of_files(), kFiles);
    EXPECT_EQ(std::string(r.get_file_name(0)), this->files_[0]);
    EXPECT_GT(r.get_time_period_us(), 0.0);

    int n = 0;
    ASSERT_EQ(r.get_number_of_channels(this->files_[1].c_str(), &n, 0), 0);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(r.get_number_of_files(), kFiles);  // the inspected file is not left behind
    int count = 0, ev_mask = 0, dtype_mask = 0;
    ASSERT_STREQ(r.get_channel_name(0, &count, &ev_mask, &dtype_mask), "BPM1");
    EXPECT_EQ(count, kEvents);
    EXPECT_EQ(r.get_channel_name(n, &count, nullptr, nullptr), nullptr);

    std::vector<daq_channel_entry*> chans;
    daq_channel_entry e{};
    e.name = const_cast<char*>("TORO1");
    chans.push_back(&e);
    ASSERT_EQ(r.init(&list, &chans), 0);
    ASSERT_EQ(r.start(), 0) << r.get_last_error();
    std::vector<zorv_channel_entry_long*> out;
    ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT), 0);
    ASSERT_EQ(out.size(), 1u);
    // A second init on a started reader cleans it first.
    ASSERT_EQ(r.init(&list, nullptr), 0);
    EXPECT_EQ(r.get_number_of_channels(), 0);
}

}  // namespace
