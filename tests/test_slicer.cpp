// Slicers of both layouts over small hand-made runs: channels that start
// late, end early, skip events or run at another rate; synchronisation by
// event number and by time; requests in every direction across file
// boundaries; the end of the data; shutdown at any point.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "layout_cases.h"
#include "test_support.h"
#include "zorv_daq_slicer.h"
#include "zorv_daq_slicer_2010.h"
#include "zorv_daq_writer.h"
#include "zorv_worker_limit.h"

namespace {

using current_stack = zorv_test::current_case;
using legacy_stack = zorv_test::legacy_case;

// One event of a hand-made file: its number, its time in µs from the run's
// start and the channels (bit i = channel i) that have a block in it.
struct event_spec {
    uint32_t number;
    uint64_t time_us;
    unsigned channels;
};
using file_spec = std::vector<event_spec>;

constexpr uint32_t run_start = 1286193600;

time_stamp stamp(uint64_t us) {
    return {run_start + static_cast<uint32_t>(us / 1000000), static_cast<uint32_t>(us % 1000000)};
}

// Writes the files. Every channel is declared in every file, with or
// without entries, unless `sparse`: then a file's dictionary lists only the
// channels that have entries in it.
std::vector<std::string> write_files(const zorv_test::temp_dir& dir, zorv::file_layout layout,
                                     const std::vector<std::string>& names,
                                     const std::vector<file_spec>& files, bool sparse = false) {
    std::vector<std::string> paths;
    for (size_t f = 0; f < files.size(); ++f) {
        std::string path = dir.file("run_" + std::to_string(f + 1) + ".raw");
        zorv::daq_file_writer w(layout);
        EXPECT_EQ(w.open(path), 0) << w.error();
        unsigned used = 0;
        for (const auto& ev : files[f]) used |= ev.channels;
        for (size_t c = 0; c < names.size(); ++c) {
            if (sparse && !(used & (1u << c))) continue;
            zorv::channel_decl d;
            d.name = names[c];
            EXPECT_GE(w.declare_channel(d), 0) << w.error();
        }
        for (const auto& ev : files[f]) {
            EXPECT_EQ(w.begin_event(ev.number, stamp(ev.time_us)), 0) << w.error();
            for (size_t c = 0; c < names.size(); ++c) {
                if (!(ev.channels & (1u << c))) continue;
                EXPECT_EQ(w.add_block(names[c], "SRV1", zorv::make_equipment({ev.number})), 0)
                    << w.error();
            }
            EXPECT_EQ(w.end_event(), 0) << w.error();
        }
        EXPECT_EQ(w.close(), 0) << w.error();
        paths.push_back(path);
    }
    return paths;
}

// One delivered event: its number (or time in µs in time synchronisation)
// and the channels that had it.
struct delivered {
    int status;
    uint64_t id;
    unsigned channels;
    bool operator==(const delivered& o) const {
        return status == o.status && id == o.id && channels == o.channels;
    }
};

std::ostream& operator<<(std::ostream& os, const delivered& d) {
    return os << "{" << d.status << ", " << d.id << ", 0x" << std::hex << d.channels << std::dec << "}";
}

template <class S>
struct harness {
    using slicer_t = typename S::slicer_type;
    zorv_test::temp_dir dir;
    std::vector<std::string> paths;
    std::unique_ptr<slicer_t> s = std::make_unique<slicer_t>();
    bool sparse = false;  // dictionaries list only the channels a file has
    int debug = 0;        // negative: timing lines, among them one per basket brought in

    // Configures and starts the slicer on the run; returns start's status.
    int start(const std::vector<std::string>& names, const std::vector<file_spec>& files,
              int synch = ZORV_DAQ_SLICER_SYNCH_MODE_EVID, uint32_t tolerance_us = 50000,
              int slots = 0) {
        if (paths.empty()) paths = write_files(dir, S::layout, names, files, sparse);
        std::vector<char*> fs;
        for (auto& p : paths) fs.push_back(&p[0]);
        std::vector<typename S::chan_param> params(names.size());
        std::vector<typename S::chan_param*> ps;
        for (size_t i = 0; i < names.size(); ++i) {
            std::memset(&params[i], 0, sizeof params[i]);
            std::strncpy(params[i].name, names[i].c_str(), sizeof params[i].name - 1);
            params[i].subchan = -1;
            ps.push_back(&params[i]);
        }
        int rc = s->init(&fs, &ps, 0);
        if (rc != 0) return rc;
        if (slots > 0) {
            EXPECT_EQ(s->set_num_of_get_tables(slots), 0);
        }
        s->set_debug(debug);
        time_stamp tol{0, tolerance_us};
        zorv_time_id step{1, {0, 100000}};
        EXPECT_EQ(s->set_synch_mode(synch), 0);
        EXPECT_EQ(s->set_time_diff(&tol), 0);
        EXPECT_EQ(s->set_event_step(&step), 0);
        return s->start();
    }

    unsigned channel_of(const zorv_channel_entry_long* e) const {
        for (int i = 0; i < s->nchans; ++i) {
            auto* r = s->read_chans[i];
            if (r && e >= r->out && e < r->out + r->out_total) return 1u << i;
        }
        ADD_FAILURE() << "entry of no channel";
        return 0;
    }

    delivered get(int request, zorv_time_id* id = nullptr) {
        std::vector<zorv_channel_entry_long*> res;
        int st = s->get_data(id, &res, request);
        const zorv_time_id& cur = s->current_event_id;
        uint64_t key = cur.event_number ? cur.event_number
                                        : (cur.time.timeup - run_start) * 1000000ull + cur.time.timelow;
        unsigned mask = 0;
        for (auto* e : res) mask |= channel_of(e);
        return {st, st == 0 ? key : 0, mask};
    }

    // Requests until the slicer answers anything but success (at most `max`).
    std::vector<delivered> walk(int request, size_t max = 1000) {
        std::vector<delivered> out;
        for (;;) {
            out.push_back(get(request));
            if (out.back().status != 0 || out.size() >= max) return out;
        }
    }
};

// Events with numbers that skip three after every fourth; 100 ms apart.
std::vector<file_spec> gapped_run(int nfiles, int per_file, unsigned (*channels)(int file, int k)) {
    std::vector<file_spec> files(nfiles);
    for (int f = 0; f < nfiles; ++f)
        for (int k = 0; k < per_file; ++k) {
            int idx = f * per_file + k;
            uint32_t n = 1 + idx + (idx / 4) * 3;
            files[f].push_back({n, n * 100000ull, channels(f, k)});
        }
    return files;
}

// The events a reading from the first event on should deliver.
std::vector<delivered> expected_forward(const std::vector<file_spec>& files) {
    std::vector<delivered> out;
    for (const auto& f : files)
        for (const auto& ev : f)
            if (ev.channels) out.push_back({0, ev.number, ev.channels});
    return out;
}

template <class S>
class slicer_test : public ::testing::Test {};
using stacks = ::testing::Types<current_stack, legacy_stack>;
TYPED_TEST_SUITE(slicer_test, stacks);

const std::vector<std::string> mixed_names = {"A", "HALF", "LATE", "GONE"};

// A every event, HALF every second one, LATE only in the third file, GONE
// only in the first six events of the first file.
unsigned mixed_channels(int file, int k) {
    unsigned m = 1u;
    if (k % 2 == 0) m |= 2u;
    if (file == 2 && k % 3 == 1) m |= 4u;
    if (file == 0 && k < 6) m |= 8u;
    return m;
}

TYPED_TEST(slicer_test, reads_a_run_of_uneven_channels_to_its_end_by_event_number) {
    harness<TypeParam> h;
    auto files = gapped_run(3, 10, mixed_channels);
    ASSERT_EQ(h.start(mixed_names, files), 0);
    EXPECT_STREQ(h.s->get_not_found_channels(), "");

    auto got = h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT);
    auto want = expected_forward(files);
    want.push_back({ZORV_DAQ_SLICER_OUT_OF_WINDOW, 0, 0});
    EXPECT_EQ(got, want);

    // The end stays the end: no phantom event, no internal error, and the
    // slicer still stands on the last event.
    uint32_t last = files.back().back().number;
    EXPECT_EQ(h.get(ZORV_DAQ_READ_CHAN_EVENT_NEXT).status, ZORV_DAQ_SLICER_OUT_OF_WINDOW);
    EXPECT_EQ(h.s->current_event_id.event_number, last);
}

// A channel absent from a file's dictionary (its device was off) comes back
// in the later files instead of being dropped for the rest of the run.
TYPED_TEST(slicer_test, keeps_channels_missing_from_some_dictionaries) {
    harness<TypeParam> h;
    h.sparse = true;
    auto files = gapped_run(3, 10, [](int file, int k) {
        unsigned m = 1u;
        if (file != 1) m |= 2u;           // B is off during the second file
        if (file == 2 && k > 4) m |= 4u;  // C only appears late in the third
        return m;
    });
    ASSERT_EQ(h.start({"A", "B", "C"}, files), 0);
    EXPECT_STREQ(h.s->get_not_found_channels(), "");
    auto got = h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT);
    auto want = expected_forward(files);
    want.push_back({ZORV_DAQ_SLICER_OUT_OF_WINDOW, 0, 0});
    EXPECT_EQ(got, want);
}

// Whether the table thread has loaded the table set of `path` into a slot.
template <class S>
bool table_loaded(harness<S>& h, const std::string& path) {
    pthread_mutex_lock(&h.s->tmx.native);
    bool found = false;
    for (int k = 0; h.s->get_tables && k < h.s->get_tables_num; ++k) {
        auto* t = h.s->get_tables[k];
        found |= t && t->get_file_name() && path == t->get_file_name();
    }
    pthread_mutex_unlock(&h.s->tmx.native);
    return found;
}

size_t basket_loads(const std::string& out, const std::string& file = "") {
    size_t n = 0;
    for (size_t at = out.find("START MMAP IN"); at != std::string::npos; at = out.find("START MMAP IN", at + 1))
        n += file.empty() || out.substr(at, out.find('\n', at) - at).find(file) != std::string::npos;
    return n;
}

// Each channel's basket is brought in once per file, whether its reader was
// started in its turn, ahead of it while the channel before it was decoded,
// or (the first channel's) while the caller went through the events of the
// file before; the data are the same either way.
TYPED_TEST(slicer_test, brings_each_basket_in_once_per_file) {
    harness<TypeParam> h;
    h.debug = -1;
    auto files = gapped_run(3, 10, [](int, int) { return 7u; });
    testing::internal::CaptureStdout();
    const int rc = h.start({"A", "B", "C"}, files);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(rc, 0);
    for (int i = 0; i < 1000 && !table_loaded(h, h.paths[1]); ++i) usleep(2000);
    ASSERT_TRUE(table_loaded(h, h.paths[1]));

    testing::internal::CaptureStdout();
    std::vector<delivered> got{h.get(ZORV_DAQ_READ_CHAN_EVENT_NEXT)};
    const std::string first = testing::internal::GetCapturedStdout();
    EXPECT_EQ(basket_loads(first, h.paths[1]), 1u) << first;

    testing::internal::CaptureStdout();
    const auto rest = h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT);
    out += first + testing::internal::GetCapturedStdout();
    got.insert(got.end(), rest.begin(), rest.end());
    auto want = expected_forward(files);
    want.push_back({ZORV_DAQ_SLICER_OUT_OF_WINDOW, 0, 0});
    EXPECT_EQ(got, want);
    EXPECT_EQ(basket_loads(out), 3u * 3u);
}

// The cap on a channel's decoding threads, set from a program linked against
// the shared library (as the fuzz entries set it), is the one its slicers
// obey; and the run reads the same under it.
TYPED_TEST(slicer_test, a_worker_cap_set_from_outside_the_library_bounds_each_channel) {
    struct restore {
        ~restore() { zorv::worker_limit.store(0); }
    } reset;
    zorv::worker_limit.store(1);
    harness<TypeParam> h;
    auto files = gapped_run(2, 10, [](int, int) { return 3u; });
    ASSERT_EQ(h.start({"A", "B"}, files), 0);
    for (int i = 0; i < h.s->nchans; ++i) {
        ASSERT_NE(h.s->read_chans[i], nullptr);
        EXPECT_EQ(h.s->read_chans[i]->nthreadsmax, 1) << i;
    }
    auto want = expected_forward(files);
    want.push_back({ZORV_DAQ_SLICER_OUT_OF_WINDOW, 0, 0});
    EXPECT_EQ(h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT), want);
}

// The first channel's reader of the next file, started while the caller is
// on this one, goes with the channel when it is removed; the others read on.
TYPED_TEST(slicer_test, removes_a_channel_whose_next_file_was_started_ahead) {
    harness<TypeParam> h;
    h.debug = -1;
    auto files = gapped_run(3, 5, [](int, int) { return 3u; });
    testing::internal::CaptureStdout();
    ASSERT_EQ(h.start({"A", "B"}, files), 0);
    for (int i = 0; i < 1000 && !table_loaded(h, h.paths[1]); ++i) usleep(2000);
    std::vector<delivered> got{h.get(ZORV_DAQ_READ_CHAN_EVENT_NEXT)};
    h.s->remove_channel(0);
    const auto rest = h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(basket_loads(out, h.paths[1]), 2u);  // A's ahead of its turn, then B's
    got.insert(got.end(), rest.begin(), rest.end());
    auto want = expected_forward(files);
    for (size_t k = 1; k < want.size(); ++k) want[k].channels = 2u;
    want.push_back({ZORV_DAQ_SLICER_OUT_OF_WINDOW, 0, 0});
    EXPECT_EQ(got, want);
}

TYPED_TEST(slicer_test, drops_channels_without_data_and_names_them) {
    harness<TypeParam> h;
    auto files = gapped_run(3, 4, [](int, int) { return 5u; });
    int rc = h.start({"A", "EMPTY1", "B", "EMPTY2"}, files);
    EXPECT_EQ(rc, TypeParam::legacy ? ZORV_DAQ_SLICER_NO_DATA : 0);
    EXPECT_STREQ(h.s->get_not_found_channels(), "EMPTY1;EMPTY2");
    if (rc != 0) return;
    EXPECT_STREQ(h.s->get_name_of_empty_channel(), "EMPTY1");
    auto got = h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT);
    EXPECT_EQ(got.size(), 13u);
    EXPECT_EQ(got.back().status, ZORV_DAQ_SLICER_OUT_OF_WINDOW);
}

// Channel A in odd events on a 100 ms grid, B in even events `offset` µs
// after each A event; tolerance 10 ms.
TYPED_TEST(slicer_test, aligns_by_number_or_by_time_within_the_tolerance) {
    struct row {
        int synch;
        uint64_t offset;
        size_t events;        // 0: not checked
        unsigned first_event; // channels of the first event
    };
    const row rows[] = {
        {ZORV_DAQ_SLICER_SYNCH_MODE_EVID, 10000, 2 * 12, 1u},
        {ZORV_DAQ_SLICER_SYNCH_MODE_TIME, 10000, 12, 3u},
        {ZORV_DAQ_SLICER_SYNCH_MODE_TIME, 9999, 12, 3u},
        {ZORV_DAQ_SLICER_SYNCH_MODE_TIME, 10001, 0, 1u},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("synch " + std::to_string(r.synch) + " offset " + std::to_string(r.offset));
        std::vector<file_spec> files(2);
        for (int k = 0; k < 12; ++k) {
            uint64_t t = 1000000 + k * 100000ull;
            files[k / 6].push_back({uint32_t(2 * k + 1), t, 1u});
            files[k / 6].push_back({uint32_t(2 * k + 2), t + r.offset, 2u});
        }
        harness<TypeParam> h;
        ASSERT_EQ(h.start({"A", "B"}, files, r.synch, 10000), 0);
        auto got = h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT);
        EXPECT_EQ(got.front().channels, r.first_event);
        EXPECT_EQ(got.back().status, ZORV_DAQ_SLICER_OUT_OF_WINDOW);
        if (r.events == 0) continue;
        ASSERT_EQ(got.size(), r.events + 1);
        for (size_t k = 0; k < r.events; ++k) {
            unsigned want = r.synch == ZORV_DAQ_SLICER_SYNCH_MODE_TIME ? 3u : (k % 2 ? 2u : 1u);
            EXPECT_EQ(got[k].channels, want) << "event " << k;
        }
    }
}

// By time, with a tolerance as wide as the events' spacing every neighbour
// is equal to the event a step starts from, and one wider than the step
// reaches back from beyond a file's end to its last entry. A step still
// moves on: walks both ways go through every file in order to the run's last
// and first event, instead of ending after the first one as if the data
// ended there; a step as long as the spacing gives every event. (A step
// no longer than the tolerance passes over entries; the reader's start
// refuses such a step.) Walking forward, every entry is delivered or counted
// as unmatched.
TYPED_TEST(slicer_test, steps_past_neighbours_within_the_tolerance) {
    struct row {
        uint64_t spacing;  // the step is 100 ms
        uint32_t tolerance;
    };
    for (const row r : {row{100000, 100000}, row{100000, 110000}, row{50000, 150000}}) {
        SCOPED_TRACE("spacing " + std::to_string(r.spacing) + " tolerance " + std::to_string(r.tolerance));
        const uint32_t tolerance = r.tolerance;
        std::vector<file_spec> files(3);
        for (int k = 0; k < 30; ++k)
            files[size_t(k / 10)].push_back({uint32_t(k + 1), 1000000 + k * r.spacing, k % 2 ? 1u : 3u});
        harness<TypeParam> h;
        ASSERT_EQ(h.start({"A", "B"}, files, ZORV_DAQ_SLICER_SYNCH_MODE_TIME, tolerance), 0);
        const uint64_t ends[] = {files.back().back().time_us, files.front().front().time_us};
        for (int way = 0; way < 2; ++way) {
            auto got = h.walk(way == 0 ? ZORV_DAQ_READ_CHAN_EVENT_NEXT : ZORV_DAQ_READ_CHAN_EVENT_PREV);
            ASSERT_GE(got.size(), 2u);
            EXPECT_EQ(got.back().status, ZORV_DAQ_SLICER_OUT_OF_WINDOW);
            got.pop_back();
            for (size_t k = 1; k < got.size(); ++k) EXPECT_EQ(way == 0, got[k - 1].id < got[k].id) << k;
            EXPECT_EQ(got.back().id, ends[way]) << ::testing::PrintToString(got);
            // A step as long as the spacing passes over no event.
            if (way == 0 && r.spacing == 100000) {
                EXPECT_EQ(got.size(), 30u) << ::testing::PrintToString(got);
            }
            if (way != 0) continue;
            for (int c = 0; c < 2; ++c) {
                long fresh = 0;
                for (const auto& d : got) fresh += (d.channels >> c) & 1u;
                EXPECT_EQ(fresh + h.s->unmatched_entries(c), c == 0 ? 30 : 15) << "channel " << c;
            }
        }
    }
}

TYPED_TEST(slicer_test, steps_back_and_looks_up_given_events_across_files) {
    harness<TypeParam> h;
    auto files = gapped_run(3, 8, [](int, int k) { return k % 2 ? 1u : 3u; });
    ASSERT_EQ(h.start({"A", "HALF"}, files), 0);
    auto all = expected_forward(files);

    // Forward into the middle of the second file, then back to its start.
    std::vector<delivered> fwd;
    for (int k = 0; k < 12; ++k) fwd.push_back(h.get(ZORV_DAQ_READ_CHAN_EVENT_NEXT));
    EXPECT_EQ(fwd, std::vector<delivered>(all.begin(), all.begin() + 12));
    for (int k = 10; k >= 8; --k) EXPECT_EQ(h.get(ZORV_DAQ_READ_CHAN_EVENT_PREV), all[k]);

    // Back across the start of the second file: every channel has left the
    // first one and its table set was released; it is loaded again.
    for (int k = 7; k >= 0; --k) EXPECT_EQ(h.get(ZORV_DAQ_READ_CHAN_EVENT_PREV), all[k]) << k;
    EXPECT_EQ(h.get(ZORV_DAQ_READ_CHAN_EVENT_PREV).status, ZORV_DAQ_SLICER_OUT_OF_WINDOW);
    EXPECT_EQ(h.s->current_event_id.event_number, all[0].id);

    // Given events inside the channels' file are found whatever the request.
    struct row {
        int request;
        uint32_t number;
        delivered want;
    };
    const row rows[] = {
        {ZORV_DAQ_READ_CHAN_EVENT_CUR, uint32_t(all[3].id), all[3]},
        {ZORV_DAQ_READ_CHAN_EVENT_FIRST, uint32_t(all[4].id), all[4]},
        {ZORV_DAQ_READ_CHAN_EVENT_LAST, uint32_t(all[5].id), all[5]},
    };
    for (const auto& r : rows) {
        zorv_time_id id{r.number, stamp(r.number * 100000ull)};
        EXPECT_EQ(h.get(r.request, &id), r.want) << "request " << r.request << " event " << r.number;
    }

    // Forward again from where the slicer stands, through every file.
    auto rest = h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT);
    std::vector<delivered> want(all.begin() + 6, all.end());
    want.push_back({ZORV_DAQ_SLICER_OUT_OF_WINDOW, 0, 0});
    EXPECT_EQ(rest, want);
}

TYPED_TEST(slicer_test, answers_null_for_table_sets_that_will_not_come) {
    harness<TypeParam> h;
    auto files = gapped_run(3, 4, [](int, int) { return 1u; });
    // One slot: the thread loads the first file and then waits for a permit
    // that only a release could give.
    ASSERT_EQ(h.start({"A"}, files, ZORV_DAQ_SLICER_SYNCH_MODE_EVID, 50000, 1), 0);
    EXPECT_EQ(h.s->find_ready_table(h.s->files[1]), nullptr);
    EXPECT_EQ(h.s->find_ready_table("not-a-file.raw"), nullptr);
    // With one channel, leaving a file releases it and the thread loads the
    // next one into the freed slot.
    auto got = h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT);
    EXPECT_EQ(got, [&] {
        auto w = expected_forward(files);
        w.push_back({ZORV_DAQ_SLICER_OUT_OF_WINDOW, 0, 0});
        return w;
    }());
}

TYPED_TEST(slicer_test, cleans_up_from_any_state_and_starts_again) {
    auto files = gapped_run(6, 3, [](int, int k) { return k ? 3u : 1u; });
    harness<TypeParam> h;
    h.s->clean_up();  // never started
    for (int round = 0; round < 3; ++round) {
        // Right after start the thread is still loading files ahead.
        ASSERT_EQ(h.start({"A", "B"}, files), 0);
        h.s->clean_up();
        EXPECT_EQ(h.s->get_tables, nullptr);
        EXPECT_EQ(h.s->read_chans, nullptr);
    }
    // In the middle of a run, and then a fresh reading from the start.
    ASSERT_EQ(h.start({"A", "B"}, files), 0);
    for (int k = 0; k < 7; ++k) ASSERT_EQ(h.get(ZORV_DAQ_READ_CHAN_EVENT_NEXT).status, 0);
    h.s->clean_up();
    h.s->clean_up();
    ASSERT_EQ(h.start({"A", "B"}, files), 0);
    auto want = expected_forward(files);
    want.push_back({ZORV_DAQ_SLICER_OUT_OF_WINDOW, 0, 0});
    EXPECT_EQ(h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT), want);
    // Destroyed while running.
    h.s.reset();
}

TYPED_TEST(slicer_test, refuses_bad_configuration) {
    typename TypeParam::slicer_type s;
    std::vector<char*> none;
    std::vector<typename TypeParam::chan_param*> no_chans;
    EXPECT_EQ(s.init(nullptr, &no_chans, 0), ZORV_DAQ_SLICER_INV_PARAM);
    EXPECT_EQ(s.init(&none, &no_chans, 0), ZORV_DAQ_SLICER_NO_DATA);
    EXPECT_EQ(s.start(), ZORV_DAQ_SLICER_NO_DATA);
    EXPECT_EQ(s.set_num_of_get_tables(0), ZORV_DAQ_SLICER_INV_PARAM);
    EXPECT_EQ(s.set_time_diff(nullptr), ZORV_DAQ_SLICER_INV_PARAM);
    EXPECT_EQ(s.set_event_step(nullptr), ZORV_DAQ_SLICER_INV_PARAM);
    EXPECT_EQ(s.set_synch_mode(2), 0);
    EXPECT_EQ(s.get_synch_mode(), ZORV_DAQ_SLICER_SYNCH_MODE_EVID);
    EXPECT_STREQ(s.get_name_of_empty_channel(), "No channels created");
    std::vector<zorv_channel_entry_long*> res;
    EXPECT_EQ(s.get_data(nullptr, &res, 3), ZORV_DAQ_SLICER_INV_PARAM);
    EXPECT_EQ(s.get_data(nullptr, nullptr, 0), ZORV_DAQ_SLICER_INV_PARAM);
    EXPECT_EQ(s.get_data(nullptr, &res, 0), ZORV_DAQ_SLICER_OUT_OF_WINDOW);

    harness<TypeParam> h;
    ASSERT_EQ(h.start({"A"}, gapped_run(1, 2, [](int, int) { return 1u; })), 0);
    time_stamp tol{0, 1};
    zorv_time_id step{1, {0, 1}};
    EXPECT_EQ(h.s->set_synch_mode(1), ZORV_DAQ_SLICER_NOT_ALLOWED);
    EXPECT_EQ(h.s->set_time_diff(&tol), ZORV_DAQ_SLICER_NOT_ALLOWED);
    EXPECT_EQ(h.s->set_event_step(&step), ZORV_DAQ_SLICER_NOT_ALLOWED);
    EXPECT_EQ(h.s->set_num_of_get_tables(4), ZORV_DAQ_SLICER_NOT_ALLOWED);
}

// A file whose tables cannot be loaded ends the data there; the files before
// it are read whole, however the table thread's failure and the waiting
// caller interleave.
TYPED_TEST(slicer_test, a_damaged_file_is_skipped_and_the_others_are_read) {
    auto files = gapped_run(3, 4, [](int, int k) { return k % 2 ? 1u : 3u; });
    for (size_t damaged = 0; damaged < files.size(); ++damaged) {
        SCOPED_TRACE("damaged file " + std::to_string(damaged));
        harness<TypeParam> h;
        h.paths = write_files(h.dir, TypeParam::layout, {"A", "B"}, files);
        ASSERT_TRUE(zorv_test::write_file(h.paths[damaged], ""));
        ASSERT_EQ(h.start({"A", "B"}, files), 0);
        auto rest = files;
        rest.erase(rest.begin() + long(damaged));
        auto want = expected_forward(rest);
        want.push_back({ZORV_DAQ_SLICER_OUT_OF_WINDOW, 0, 0});
        EXPECT_EQ(h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT), want);
        auto skipped = h.s->get_skipped_files();
        ASSERT_EQ(skipped.size(), 1u);
        EXPECT_EQ(skipped[0].first, h.paths[damaged]);
        EXPECT_FALSE(skipped[0].second.empty());
        // And back: the PREV walk is the NEXT walk reversed.
        std::vector<delivered> back;
        for (auto d = h.get(ZORV_DAQ_READ_CHAN_EVENT_PREV); d.status == 0; d = h.get(ZORV_DAQ_READ_CHAN_EVENT_PREV))
            back.push_back(d);
        want.pop_back();
        want.pop_back();
        std::reverse(want.begin(), want.end());
        EXPECT_EQ(back, want);
    }
}

// A channel whose basket in one file is damaged goes on with the next file;
// the file is reported for it and its entries there are counted as lost.
TYPED_TEST(slicer_test, a_channel_goes_on_past_a_file_it_cannot_be_read_from) {
    harness<TypeParam> h;
    auto files = gapped_run(3, 4, [](int, int) { return 3u; });
    h.paths = write_files(h.dir, TypeParam::layout, {"A", "B"}, files);
    // B's basket in the second file: its pattern, followed by B's first sub-header.
    std::string bytes = zorv_test::read_file(h.paths[1]);
    const uint32_t pat = TypeParam::layout_traits::pattern_chan_basket;
    const char want[4] = {char(pat >> 24), char(pat >> 16), char(pat >> 8), char(pat)};
    size_t at = std::string::npos;
    for (size_t k = bytes.find(std::string(want, 4)); k != std::string::npos; k = bytes.find(std::string(want, 4), k + 1))
        if (k + 10 <= bytes.size() && bytes.compare(k + 8, 2, std::string("B\0", 2)) == 0) at = k;
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 0;
    ASSERT_TRUE(zorv_test::write_file(h.paths[1], bytes));

    ASSERT_EQ(h.start({"A", "B"}, files), 0);
    auto got = h.walk(ZORV_DAQ_READ_CHAN_EVENT_NEXT);
    auto want_events = expected_forward(files);
    for (size_t k = 4; k < 8; ++k) want_events[k].channels = 1u;  // A alone in the second file
    want_events.push_back({ZORV_DAQ_SLICER_OUT_OF_WINDOW, 0, 0});
    EXPECT_EQ(got, want_events);
    EXPECT_EQ(h.s->entries_in_skipped_files(1), 4);
    auto skipped = h.s->get_skipped_files();
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].first, h.paths[1]);
    EXPECT_NE(skipped[0].second.find("channel B"), std::string::npos);
}

}  // namespace
