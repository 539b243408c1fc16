// Reads that lose nothing, in both layouts: channels missing from some files
// (the first among them), a damaged file in the middle of a run, run requests
// over files of unequal lengths, a window inside a long file; and what the
// reader says per channel and in its delivery report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "be_reader.h"
#include "sample_run.h"
#include "layout_cases.h"
#include "test_support.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace {

// Two BPMs, the second missing from the second and fourth files.
template <class C>
std::string channels() {
    const std::string type = std::to_string(C::bpm);
    return "A " + type + ";X " + type + " missing=1,3";
}

template <class C>
class ReaderDelivery : public ::testing::Test {
protected:
    zorv::synthetic_run_config run(std::vector<int> events) {
        auto cfg = zorv_test::small_run_config(dir_.path(), int(events.size()), events[0], channels<C>(), C::layout);
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
        std::vector<uint32_t> numbers;
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
            w.numbers.push_back(r.current_event_id.event_number);
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

using Layouts = ::testing::Types<zorv_test::current_case, zorv_test::legacy_case>;
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

TYPED_TEST(ReaderDelivery, InitReportsAListedFileItCannotTake) {
    this->run({5, 5});
    const std::string gone = this->files_[0] + ".gone";
    std::vector<char*> list{const_cast<char*>(this->files_[0].c_str()), const_cast<char*>(gone.c_str()),
                            const_cast<char*>(this->files_[1].c_str())};
    daq_channel_entry a{};
    a.name = const_cast<char*>("A");
    std::vector<daq_channel_entry*> chans{&a};
    typename TypeParam::reader_t r;
    ASSERT_EQ(r.init(&list, &chans), 0) << r.get_last_error();
    ASSERT_EQ(r.start(), 0) << r.get_last_error();
    EXPECT_EQ(this->next_walk(r).fresh[0], 10);
    zorv_daq_delivery_report rep;
    ASSERT_EQ(r.get_delivery_report(&rep), 0);
    EXPECT_FALSE(rep.complete());
    ASSERT_EQ(rep.skipped_files.size(), 1u);
    EXPECT_EQ(rep.skipped_files[0].file, gone);
    EXPECT_FALSE(rep.skipped_files[0].reason.empty());
}

// Going over events again (a walk back, forward again, FIRST and LAST) is no
// new delivery: the report stays that of one NEXT walk, in both modes.
TYPED_TEST(ReaderDelivery, EventsVisitedAgainAreCountedOnce) {
    this->run({5, 5, 5});
    for (const int mode : {ZORV_DAQ_SLICER_SYNCH_MODE_EVID, ZORV_DAQ_SLICER_SYNCH_MODE_TIME}) {
        SCOPED_TRACE(mode == ZORV_DAQ_SLICER_SYNCH_MODE_TIME ? "by time" : "by number");
        auto open = [&](typename TypeParam::reader_t& r) {
            for (const auto& f : this->files_) ASSERT_EQ(r.add_file(f.c_str(), true), 0);
            this->select(r, {"A", "X"});
            r.set_synch_mode(mode);
            ASSERT_EQ(r.start(), 0) << r.get_last_error();
        };
        auto report = [](typename TypeParam::reader_t& r) {
            zorv_daq_delivery_report rep;
            EXPECT_EQ(r.get_delivery_report(&rep), 0);
            return rep;
        };
        typename TypeParam::reader_t once;
        open(once);
        const int n = this->next_walk(once).events;
        ASSERT_GT(n, 4);
        const auto want = report(once);

        typename TypeParam::reader_t r;
        open(r);
        std::vector<zorv_channel_entry_long*> out;
        auto walk = [&](int type) {
            int n = 0;
            while (r.get_data(nullptr, &out, type) == 0) ++n;
            return n;
        };
        // Part of the way, back, past the start, then to the end.
        for (int k = 0; k < n / 2 + 1; ++k) ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT), 0);
        EXPECT_EQ(walk(ZORV_DAQ_READ_CHAN_EVENT_PREV), n / 2);
        EXPECT_EQ(walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT), n - 1);
        ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_FIRST), 0);
        ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_LAST), 0);
        EXPECT_EQ(walk(ZORV_DAQ_READ_CHAN_EVENT_PREV), n - 1);
        const auto got = report(r);
        ASSERT_EQ(got.channels.size(), want.channels.size());
        for (size_t i = 0; i < want.channels.size(); ++i) {
            EXPECT_EQ(got.channels[i].delivered, want.channels[i].delivered) << i;
            EXPECT_EQ(got.channels[i].carried, want.channels[i].carried) << i;
            EXPECT_EQ(got.channels[i].damaged, want.channels[i].damaged) << i;
            EXPECT_EQ(got.channels[i].unmatched, want.channels[i].unmatched) << i;
        }
        EXPECT_GT(want.channels[1].delivered, 0);
    }
}

// Overwrites the big-endian word at `pos` of file `f` with what `change`
// makes of it.
template <class F>
void patch_word(const std::string& f, uint32_t pos, F change) {
    std::string bytes;
    {
        std::ifstream in(f, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_LE(uint64_t(pos) + 4, bytes.size());
    auto* at = reinterpret_cast<unsigned char*>(&bytes[pos]);
    zorv::store_be32(at, change(zorv::load_be32(at)));
    std::ofstream(f, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

// Where the event-header position of entry k of the file's first channel
// lies: trailer -> reference table -> pointer table, column directory first.
uint32_t first_channel_evhd_at(const std::string& f, int k) {
    std::string b;
    std::ifstream in(f, std::ios::binary);
    b.assign(std::istreambuf_iterator<char>(in), {});
    auto word = [&](uint64_t pos) { return zorv::load_be32(reinterpret_cast<const unsigned char*>(b.data() + pos)); };
    const uint32_t ref = word(b.size() - 4);
    const uint32_t ecpt = word(ref + 12 + 4 * 32 + 4);  // after eit_pos_ref, eite_pos_ref[32], cdt_ref
    const uint32_t ncols = word(ecpt + 12);
    const uint32_t first = word(ecpt + 16);
    return ecpt + 16 + 8 * ncols + 16 * (first + uint32_t(k));
}

// Where the event index places the number of the file's k-th event (one
// event type): trailer -> reference table -> event index.
uint32_t indexed_number_at(const std::string& f, int k) {
    std::string b;
    std::ifstream in(f, std::ios::binary);
    b.assign(std::istreambuf_iterator<char>(in), {});
    auto word = [&](uint64_t pos) { return zorv::load_be32(reinterpret_cast<const unsigned char*>(b.data() + pos)); };
    const uint32_t eit = word(word(b.size() - 4) + 8);
    return eit + 8 + 32 + 16 * uint32_t(k) + 8;  // past the table's and the type's heads, then the time
}

// An entry whose event header is not one of its file's events (a damaged
// header, a damaged position leading elsewhere, or the index's record of its
// event damaged in number or time) is damaged: it never makes up an event of its own, and the
// report counts it.
TYPED_TEST(ReaderDelivery, AnEntryWhoseEventHeaderIsNotAnEventOfItsFileIsDamaged) {
    // index_micros: the first event's time in the index, earlier by its
    // seconds but, with microseconds past a second, later than the next.
    // index_beside: the event time far ahead, and the position of the event
    // before it damaged too, so that the two records' order tells nothing.
    // index_and_header: the event time in the index far ahead, and the
    // header's event number too.
    enum where { position, header, index_record, index_time, index_micros, index_beside, index_and_header };
    struct damage {
        const char* what;
        where at;
        uint32_t (*change)(uint32_t);
    };
    const damage cases[] = {
        {"position into the middle of a header", position, [](uint32_t v) { return v + 2; }},
        {"position onto the basket's head", position, [](uint32_t v) { return v - 8 - 36 * 2; }},
        {"event number of the header", header, [](uint32_t v) { return v + 1000; }},
        {"event number in the index, far ahead", index_record, [](uint32_t v) { return v + 1000000; }},
        {"event number in the index, behind", index_record, [](uint32_t v) { return v - 2; }},
        {"event time in the index, far ahead", index_time, [](uint32_t v) { return v + 1000000; }},
        {"event time in the index, no valid time", index_micros, [](uint32_t v) { return v - 189; }},
        {"event time in the index, beside a damaged position", index_beside, [](uint32_t v) { return v + 2000000000u; }},
        {"event time in the index and the header's number", index_and_header, [](uint32_t v) { return v + 1000000; }},
    };
    this->run({6});
    const std::string intact = this->files_[0] + ".intact";
    std::vector<uint32_t> numbers;
    {
        typename TypeParam::reader_t r;
        ASSERT_EQ(r.add_file(this->files_[0].c_str(), true), 0);
        this->select(r, {"A"});
        ASSERT_EQ(r.start(), 0);
        numbers = this->next_walk(r).numbers;
        ASSERT_EQ(numbers.size(), 6u);
    }
    {
        std::ifstream in(this->files_[0], std::ios::binary);
        std::ofstream(intact, std::ios::binary) << in.rdbuf();
    }
    for (const damage& d : cases) {
        SCOPED_TRACE(d.what);
        {
            std::ifstream in(intact, std::ios::binary);
            std::ofstream(this->files_[0], std::ios::binary | std::ios::trunc) << in.rdbuf();
        }
        const uint32_t at = first_channel_evhd_at(this->files_[0], 2);
        if (d.at == index_micros) {
            const uint32_t number = indexed_number_at(this->files_[0], 0);
            patch_word(this->files_[0], number - 8, d.change);  // seconds, micros, then number
            patch_word(this->files_[0], number - 4, [](uint32_t) { return 3019468032u; });
        } else if (d.at == index_beside) {
            patch_word(this->files_[0], indexed_number_at(this->files_[0], 2) - 8, d.change);
            patch_word(this->files_[0], indexed_number_at(this->files_[0], 1) + 4,  // the header's position
                       [](uint32_t v) { return v + 51; });
        } else if (d.at == index_and_header) {
            patch_word(this->files_[0], indexed_number_at(this->files_[0], 2) - 8, d.change);
            std::ifstream in(this->files_[0], std::ios::binary);
            std::string b((std::istreambuf_iterator<char>(in)), {});
            const uint32_t evhd = zorv::load_be32(reinterpret_cast<const unsigned char*>(b.data() + at));
            patch_word(this->files_[0], evhd + 8, [](uint32_t v) { return v + 1000; });
        } else if (d.at == index_record || d.at == index_time) {
            const uint32_t number = indexed_number_at(this->files_[0], 2);
            patch_word(this->files_[0], d.at == index_time ? number - 8 : number, d.change);  // seconds, then number
        } else if (d.at == header) {
            std::ifstream in(this->files_[0], std::ios::binary);
            std::string b((std::istreambuf_iterator<char>(in)), {});
            const uint32_t evhd = zorv::load_be32(reinterpret_cast<const unsigned char*>(b.data() + at));
            patch_word(this->files_[0], evhd + 8, d.change);
        } else {
            patch_word(this->files_[0], at, d.change);
        }
        typename TypeParam::reader_t r;
        ASSERT_EQ(r.add_file(this->files_[0].c_str(), true), 0);
        this->select(r, {"A"});
        ASSERT_EQ(r.start(), 0) << r.get_last_error();
        const auto w = this->next_walk(r);
        EXPECT_EQ(w.fresh[0], 5);
        for (uint32_t n : w.numbers) EXPECT_NE(std::find(numbers.begin(), numbers.end(), n), numbers.end()) << n;
        zorv_daq_delivery_report rep;
        ASSERT_EQ(r.get_delivery_report(&rep), 0);
        EXPECT_EQ(rep.channels[0].delivered, 5);
        EXPECT_EQ(rep.channels[0].damaged, 1);
        EXPECT_FALSE(rep.complete());
    }
}

// A block whose sub-header names no selected channel (its name damaged) is
// taken by no record: it is lost to the caller, so the report counts it as
// damaged and the read is not complete, in both synchronisations.
TYPED_TEST(ReaderDelivery, ABlockNamingNoSelectedChannelIsCountedDamaged) {
    const std::string bpm = std::to_string(TypeParam::bpm);
    auto cfg = zorv_test::small_run_config(this->dir_.path(), 1, 6, "BPMA " + bpm + ";BPMB " + bpm, TypeParam::layout);
    this->files_ = zorv_test::write_run(cfg);
    ASSERT_EQ(this->files_.size(), 1u);
    // The third block of BPMA: its name is the third occurrence in the file.
    std::string bytes = zorv_test::read_file(this->files_[0]);
    size_t at = std::string::npos;
    for (int k = 0; k < 3; ++k) at = bytes.find(std::string("BPMA\0", 5), at + 1);
    ASSERT_NE(at, std::string::npos);
    bytes[at + 3] = 'Q';
    ASSERT_TRUE(zorv_test::write_file(this->files_[0], bytes));

    for (const int mode : {ZORV_DAQ_SLICER_SYNCH_MODE_EVID, ZORV_DAQ_SLICER_SYNCH_MODE_TIME}) {
        SCOPED_TRACE(mode);
        typename TypeParam::reader_t r;
        ASSERT_EQ(r.add_file(this->files_[0].c_str(), true), 0);
        this->select(r, {"BPMA", "BPMB"});
        ASSERT_EQ(r.set_synch_mode(mode), 0);
        zorv_time_id step{1, {0, uint32_t(1e6 / cfg.rate_hz)}};  // every event, in both modes
        ASSERT_EQ(r.set_period(&step), 0);
        ASSERT_EQ(r.start(), 0) << r.get_last_error();
        const auto w = this->next_walk(r);
        ASSERT_EQ(w.events, 6);
        EXPECT_EQ(w.states[2][0], "damaged");
        zorv_daq_delivery_report rep;
        ASSERT_EQ(r.get_delivery_report(&rep), 0);
        EXPECT_EQ(rep.channels[0].delivered, 5);
        EXPECT_EQ(rep.channels[0].damaged, 1);
        EXPECT_EQ(rep.channels[1].delivered, 6);
        EXPECT_FALSE(rep.complete());
    }
}

// By time with a tolerance at or above the events' spacing, neighbouring
// events merge and an event may take an entry that lies inside the window
// while the event itself lies outside it. Every entry inside the window is
// still handed out or counted as unmatched, exactly once, whether the window
// cuts the run or not and whatever the step beyond the tolerance.
TYPED_TEST(ReaderDelivery, AWideToleranceAccountsForEveryEntryOfTheWindow) {
    const std::string bpm = std::to_string(TypeParam::bpm);
    auto cfg = zorv_test::small_run_config(this->dir_.path(), 2, 10, "A " + bpm + ";B " + bpm, TypeParam::layout);
    cfg.channels[1].offset_us = 60000;  // B in events of its own, 60 ms after A's
    cfg.channels[1].event_type = ZORV_EV_IMAGE;
    this->files_ = zorv_test::write_run(cfg);
    const double t0 = double(cfg.start_time) * 1e6;
    auto entry_us = [&](int ch, int k) { return t0 + k * 100000.0 + (ch ? 60000.0 : 0.0); };
    struct window {
        int from, to;  // event slots, the window half a spacing beyond them; -1: open
    };
    for (const window w : {window{-1, -1}, window{4, 6}, window{7, 9}, window{8, 12}}) {
        const double from_us = w.from < 0 ? 0.0 : t0 + w.from * 100000.0 - 50000.0;
        const double to_us = w.to < 0 ? 0.0 : t0 + w.to * 100000.0 + 50000.0;
        auto inside = [&](double us) { return w.from < 0 || (us >= from_us && us <= to_us); };
        for (const uint32_t tol : {100000u, 150000u, 250000u}) {
            for (const uint32_t beyond : {1u, 50000u}) {
                SCOPED_TRACE("window " + std::to_string(w.from) + " to " + std::to_string(w.to) + ", tolerance " +
                             std::to_string(tol) + ", step " + std::to_string(tol + beyond));
                typename TypeParam::reader_t r;
                for (const auto& f : this->files_) ASSERT_EQ(r.add_file(f.c_str(), true), 0);
                this->select(r, {"A", "B"});
                ASSERT_EQ(r.set_synch_mode(ZORV_DAQ_SLICER_SYNCH_MODE_TIME), 0);
                r.request.time_diff = {0, tol};
                const zorv_time_id step{1, {0, tol + beyond}};
                ASSERT_EQ(r.set_period(&step), 0);
                if (w.from >= 0) {
                    const zorv_time_id from{0, {uint32_t(from_us / 1e6), uint32_t(std::fmod(from_us, 1e6))}};
                    const zorv_time_id to{0, {uint32_t(to_us / 1e6), uint32_t(std::fmod(to_us, 1e6))}};
                    ASSERT_EQ(r.set_start_point(&from), 0);
                    ASSERT_EQ(r.set_stop_point(&to), 0);
                }
                ASSERT_EQ(r.start(), 0) << r.get_last_error();
                long fresh_inside[2] = {0, 0};
                std::vector<zorv_channel_entry_long*> out;
                for (int n = 0; r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT) == 0 && n <= 20; ++n) {
                    for (int i = 0; i < 2; ++i) {
                        zorv_daq_chan_status st;
                        ASSERT_EQ(r.get_chan_status(i, &st), 0);
                        const time_stamp& t = r.results[size_t(i)]->evhd.event_time;
                        if (st.state == ZORV_DAQ_CHAN_FRESH && inside(double(t.timeup) * 1e6 + t.timelow))
                            ++fresh_inside[i];
                    }
                }
                zorv_daq_delivery_report rep;
                ASSERT_EQ(r.get_delivery_report(&rep), 0);
                for (int i = 0; i < 2; ++i) {
                    long want = 0;
                    for (int k = 0; k < 20; ++k) want += inside(entry_us(i, k));
                    EXPECT_EQ(fresh_inside[i] + rep.channels[size_t(i)].unmatched, want) << "channel " << i;
                    EXPECT_EQ(rep.channels[size_t(i)].damaged, 0);
                }
            }
        }
    }
}

// Every member a channel lists can be read alone, however its blocks are
// stored: a single-member channel's member 0 and a generic spectrum's
// members, plain and compressed. Each such block is cut to the member, as a
// multi-member device's is; a block left whole names no selected channel
// and would be lost.
TYPED_TEST(ReaderDelivery, EveryMemberOfEveryChannelIsDeliveredAlone) {
    const std::string toroid = std::to_string(TypeParam::toroid);
    auto cfg = zorv_test::small_run_config(this->dir_.path(), 1, 6,
                                           "T " + toroid + " ndata=4;TZ " + toroid +
                                               " ndata=4 comp=zlib;G 28 ndata=4 members=3;"
                                               "GZ 28 ndata=4 members=3 comp=lzo",
                                           TypeParam::layout);
    this->files_ = zorv_test::write_run(cfg);
    ASSERT_EQ(this->files_.size(), 1u);
    struct member_case {
        const char* key;
        int channel;  // in cfg.channels
        int member;
    } cases[] = {{"T:0", 0, 0}, {"TZ:0", 1, 0}, {"G:0", 2, 0}, {"G:2", 2, 2}, {"GZ:1", 3, 1}};
    typename TypeParam::reader_t r;
    ASSERT_EQ(r.add_file(this->files_[0].c_str(), true), 0);
    for (const auto& c : cases) this->select(r, {c.key});
    ASSERT_EQ(r.start(), 0) << r.get_last_error();
    std::vector<zorv_channel_entry_long*> out;
    int events = 0;
    while (r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT) == 0) {
        ++events;
        for (const auto* res : out) {
            const auto* rec = zorv_test::record_of(r, res);
            ASSERT_NE(rec, nullptr);
            const std::string key = std::string(rec->chan.name) + ":" + std::to_string(rec->chan.subchan);
            const auto* c = std::find_if(std::begin(cases), std::end(cases), [&](auto& m) { return key == m.key; });
            ASSERT_NE(c, std::end(cases)) << key;
            SCOPED_TRACE(key);
            ASSERT_TRUE(rec->updated);
            const float* y = TypeParam::samples(rec->data, 0);
            ASSERT_NE(y, nullptr);
            EXPECT_EQ(TypeParam::samples(rec->data, 1), nullptr) << "one member only";
            EXPECT_EQ(y[3], zorv::synthetic_sample(cfg, c->channel, rec->evhd.event_number, c->member, 3));
        }
    }
    EXPECT_EQ(events, 6);
    zorv_daq_delivery_report rep;
    ASSERT_EQ(r.get_delivery_report(&rep), 0);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].key);
        EXPECT_EQ(rep.channels[i].delivered, 6);
        EXPECT_EQ(rep.channels[i].damaged, 0);
    }
    EXPECT_TRUE(rep.complete());
}

// A channel that no file spans at a given event (its files end before the
// event, or begin after it) sits the event out; the steps from the event
// then find its entries in the files next to the event, both ways and in
// both synchronisations, instead of passing over them from wherever the
// channel stood before.
TYPED_TEST(ReaderDelivery, StepsFromAGivenEventFindTheChannelsThatSatItOut) {
    const std::string bpm = std::to_string(TypeParam::bpm);
    // A in all three files, B not in the third, C not in the first.
    auto cfg = zorv_test::small_run_config(this->dir_.path(), 3, 10,
                                           "A " + bpm + ";B " + bpm + " missing=3;C " + bpm + " missing=1",
                                           TypeParam::layout);
    this->files_ = zorv_test::write_run(cfg);
    const double t0 = double(cfg.start_time) * 1e6;
    auto event = [&](uint32_t k) {
        const double us = t0 + k * 100000.0;
        return zorv_time_id{cfg.first_event + k, {uint32_t(us / 1e6), uint32_t(std::fmod(us, 1e6))}};
    };
    for (int mode : {ZORV_DAQ_SLICER_SYNCH_MODE_EVID, ZORV_DAQ_SLICER_SYNCH_MODE_TIME}) {
        SCOPED_TRACE(mode);
        typename TypeParam::reader_t r;
        for (const auto& f : this->files_) ASSERT_EQ(r.add_file(f.c_str(), true), 0);
        this->select(r, {"A", "B", "C"});
        ASSERT_EQ(r.set_synch_mode(mode), 0);
        const zorv_time_id step{1, {0, 100000}};
        ASSERT_EQ(r.set_period(&step), 0);
        ASSERT_EQ(r.start(), 0) << r.get_last_error();
        std::vector<zorv_channel_entry_long*> out;
        // From a given event to the end of the data: the events passed, and
        // how many of them each channel had fresh.
        auto walk_from = [&](uint32_t k, int type) {
            zorv_time_id at = event(k);
            EXPECT_EQ(r.get_data(&at, &out, ZORV_DAQ_READ_CHAN_EVENT_CUR), 0) << r.get_last_error();
            std::vector<int> fresh(3, 0);
            int events = 0;
            do {
                ++events;
                for (int i = 0; i < 3; ++i) {
                    zorv_daq_chan_status st;
                    EXPECT_EQ(r.get_chan_status(i, &st), 0);
                    fresh[size_t(i)] += st.state == ZORV_DAQ_CHAN_FRESH;
                }
            } while (r.get_data(nullptr, &out, type) == 0 && events <= 30);
            fresh.push_back(events);
            return fresh;
        };
        for (int n = 0; n < 3; ++n) ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT), 0);
        // Back from the third file: B's entries of the second file, C's of the third and second.
        EXPECT_EQ(walk_from(25, ZORV_DAQ_READ_CHAN_EVENT_PREV), (std::vector<int>{26, 20, 16, 26}));
        // Forward from the first file: B's of the first and second, C's of the second and third.
        EXPECT_EQ(walk_from(4, ZORV_DAQ_READ_CHAN_EVENT_NEXT), (std::vector<int>{26, 16, 20, 26}));
    }
}

// A file whose event index gives its first event after its last (a damaged
// index head) is no file outside the window: it is read with the others.
TYPED_TEST(ReaderDelivery, AFileWhoseIndexSpanRunsBackwardsIsRead) {
    this->run({5, 5, 5});
    // The first event type's first time, seconds: past the table's head and the type.
    patch_word(this->files_[1], indexed_number_at(this->files_[1], 0) - 8 - 32 + 4,
               [](uint32_t v) { return v + 900000000u; });
    typename TypeParam::reader_t r;
    for (const auto& f : this->files_) ASSERT_EQ(r.add_file(f.c_str(), true), 0);
    this->select(r, {"A"});
    ASSERT_EQ(r.start(), 0) << r.get_last_error();
    const auto w = this->next_walk(r);
    EXPECT_EQ(w.events, 15);
    EXPECT_EQ(w.fresh[0], 15);
}

}  // namespace

