// Channel readers of both layouts on files written by the writer: start and
// its failures, the workers over every payload kind and compression,
// sub-channel cuts, damaged blocks, lookups by number and by time, and many
// readers of one file started and cleaned at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "be_reader.h"
#include "layout_cases.h"
#include "test_support.h"
#include "sys/block_pool.h"
#include "zorv_daq_read_chan.h"
#include "zorv_daq_read_chan_2010.h"
#include "zorv_daq_writer.h"

namespace {

using zorv_test::current_case;
using zorv_test::legacy_case;

// A block type with a spectrum of several members, per layout.
template <class T>
constexpr int spectrum_type = T::legacy ? ZORV_BLOCK_WS_FAST : ZORV_BLOCK_4CHAN_2010;

// Events 1..10 and 15..24, 100 ms apart in event-number time.
std::vector<uint32_t> event_numbers() {
    std::vector<uint32_t> n;
    for (uint32_t e = 1; e <= 24; ++e)
        if (e < 11 || e > 14) n.push_back(e);
    return n;
}
constexpr uint32_t t0 = 1286193600;
time_stamp time_of(uint32_t ev, uint32_t extra_us = 0) {
    const uint64_t us = uint64_t(ev) * 100000 + extra_us;
    return {uint32_t(t0 + us / 1000000), uint32_t(us % 1000000)};
}
float sample_value(uint32_t ev, int member, int s) { return float(ev) * 100 + member * 10 + s * 0.5f; }

template <class T>
zorv::payload spectrum_block(uint32_t ev) {
    zorv::spectrum_data s;
    s.ndata = 8;
    s.members.resize(4);
    for (int m = 0; m < 4; ++m)
        for (int i = 0; i < 8; ++i) s.members[m].samples.push_back(sample_value(ev, m, i));
    return zorv::make_spectrum(spectrum_type<T>, s, T::layout);
}

// Every channel the payload tests read, with its compression and the block
// it carries in event `ev`.
template <class T>
struct channel_case {
    const char* name;
    zorv::compression comp;
    std::function<zorv::payload(uint32_t)> block;
};

template <class T>
std::vector<channel_case<T>> channel_cases() {
    using zorv::compression;
    auto spectrum = [](uint32_t ev) { return spectrum_block<T>(ev); };
    return {
        {"SPECP", compression::none, spectrum},
        {"SPECZ", compression::zlib, spectrum},
        {"SPECL", compression::lzo, spectrum},
        {"UPD", compression::none,
         [](uint32_t ev) { return zorv::make_update(T::upd_type, {{"UPD.PROP", 3, time_of(ev), float(ev)}}); }},
        {"ENV", compression::none,
         [](uint32_t ev) { return zorv::make_env_value(ZORV_ENV_BLOCK, {7, 2, time_of(ev), float(ev) / 2}); }},
        {"NV", compression::zlib,
         [](uint32_t ev) { return zorv::make_name_value(int32_t(ev), "note", {{"A", float(ev)}}); }},
        {"IMG", compression::lzo,
         [](uint32_t ev) {
             zorv_image_frame_head h{};
             h.w = 4;
             h.h = 2;
             h.event_nm = ev;
             return zorv::make_image(h, std::vector<unsigned char>(8, static_cast<unsigned char>(ev)));
         }},
    };
}

// Writes the test file; `block_for` may replace a channel's block of one
// event (for damaged data). Returns the path.
template <class T>
std::string write_file(const zorv_test::temp_dir& dir,
                       std::function<zorv::payload(const channel_case<T>&, uint32_t)> block_for = {}) {
    const std::string path = dir.file(T::legacy ? "legacy.raw" : "current.raw");
    zorv::daq_file_writer w(T::layout);
    EXPECT_EQ(w.open(path), 0) << w.error();
    auto cases = channel_cases<T>();
    for (const auto& c : cases) {
        zorv::channel_decl d;
        d.name = c.name;
        d.comp = c.comp;
        EXPECT_GE(w.declare_channel(d), 0) << w.error();
    }
    zorv::channel_decl empty;
    empty.name = "EMPTY";
    EXPECT_GE(w.declare_channel(empty), 0);
    for (uint32_t ev : event_numbers()) {
        EXPECT_EQ(w.begin_event(ev, time_of(ev)), 0) << w.error();
        for (const auto& c : cases)
            EXPECT_EQ(w.add_block(c.name, "SRV1", block_for ? block_for(c, ev) : c.block(ev)), 0) << w.error();
        EXPECT_EQ(w.end_event(), 0) << w.error();
    }
    EXPECT_EQ(w.close(), 0) << w.error();
    return path;
}

// Waits (bounded) until the reader's master flag is set; false when it never is.
bool wait_master(pthread_mutex_t* m, pthread_cond_t* c, int* flag) {
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 20;
    pthread_mutex_lock(m);
    while (!*flag && pthread_cond_timedwait(c, m, &until) == 0) {
    }
    const bool released = *flag != 0;
    *flag = 0;
    pthread_mutex_unlock(m);
    return released;
}

template <class T>
struct started {
    typename T::table_set_type ts{0};
    std::unique_ptr<typename T::channel_reader> rc;
    int status = 1;

    started(const std::string& path, const char* chan, int subchan = -1, int threads = 0,
            std::vector<char*>* list = nullptr, std::function<void(typename T::table_set_type&)> damage = {},
            zorv::block_pool* pool = nullptr) {
        EXPECT_EQ(ts.get_all_tables(const_cast<char*>(path.c_str()), 0, list), 0);
        if (damage) damage(ts);
        rc = std::make_unique<typename T::channel_reader>(&ts, const_cast<char*>(chan), subchan, nullptr);
        if (threads) rc->set_number_of_threads(threads);
        rc->set_block_pool(pool);
        status = rc->start(nullptr, nullptr, nullptr);
        rc->decode_here();
        rc->wait_decoded();
    }
    const zorv_channel_entry_long& entry(int i) const { return rc->out[i]; }
    const unsigned char* block(int i) const {
        return reinterpret_cast<const unsigned char*>(rc->out[i].sbchdata[0].chhd);
    }
    typename T::subhead head(int i) const {
        typename T::subhead h;
        std::memcpy(&h, block(i), sizeof h);
        return h;
    }
};

// Position of a channel's entry k in the file (sub-header, data).
template <class T>
zorv_event_chan_ptr_entry entry_position(const std::string& path, const char* chan, int k) {
    started<T> s(path, chan);
    return *s.rc->get_data_table_pointer(k);
}

void patch_be32(const std::string& path, uint64_t pos, uint32_t v) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    unsigned char b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    ASSERT_EQ(pwrite(fd, b, 4, off_t(pos)), 4);
    close(fd);
}

template <class R>
void print_everything(R& rc) {
    rc.print_chan_descr();
    rc.print_cdt_entry();
    rc.print_time_limits();
    rc.print_event_chan_pointers_entry();
    rc.print_event_headers();
    rc.print_server_block_headers();
    rc.print_channel_headers();
    rc.print_channel();
}

template <class T>
class ReadChan : public ::testing::Test {
protected:
    zorv_test::temp_dir dir;
};
using layouts = ::testing::Types<current_case, legacy_case>;
TYPED_TEST_SUITE(ReadChan, layouts);

TYPED_TEST(ReadChan, StartFailuresAlwaysReleaseTheMaster) {
    using T = TypeParam;
    const std::string path = write_file<T>(this->dir);
    {
        typename T::channel_reader rc(nullptr, const_cast<char*>("SPECP"), -1, nullptr);
        pthread_mutex_t* m;
        pthread_cond_t* c;
        int* f;
        EXPECT_EQ(rc.start(&m, &c, &f), ZORV_DAQ_READ_CHAN_NOT_INIT);
        EXPECT_TRUE(wait_master(m, c, f));
        rc.decode_here();  // nothing to decode, no worker to wait for
        EXPECT_FALSE(rc.wait_decoded());
        zorv_channel_entry_long* res = nullptr;
        EXPECT_EQ(rc.get_chan_data(nullptr, &res, ZORV_DAQ_READ_CHAN_EVENT_FIRST), ZORV_DAQ_READ_CHAN_NOT_INIT);
        print_everything(rc);  // diagnostics of an unusable reader print, never crash
    }
    EXPECT_EQ(started<T>(path, "").status, ZORV_DAQ_READ_CHAN_NOT_INIT);
    EXPECT_EQ(started<T>(path, "NO.SUCH").status, ZORV_DAQ_READ_CHAN_NOT_FOUND);
    started<T> empty(path, "EMPTY");
    EXPECT_EQ(empty.status, 0);
    EXPECT_TRUE(empty.rc->is_done());
    EXPECT_EQ(empty.rc->out, nullptr);
    print_everything(*empty.rc);
}

TYPED_TEST(ReadChan, WorkersDecodeEveryPayloadKind) {
    using T = TypeParam;
    const std::string path = write_file<T>(this->dir);
    const auto numbers = event_numbers();
    for (const bool with_list : {false, true}) {
        // A channel list makes the current layout copy its baskets.
        std::vector<std::string> names;
        for (const auto& c : channel_cases<T>()) names.push_back(c.name);
        std::vector<char*> list;
        for (auto& n : names) list.push_back(n.data());
        for (const auto& c : channel_cases<T>()) {
            SCOPED_TRACE(std::string(c.name) + (with_list ? " listed" : ""));
            started<T> s(path, c.name, -1, 0, with_list ? &list : nullptr);
            ASSERT_EQ(s.status, 0);
            ASSERT_TRUE(s.rc->is_done());
            ASSERT_EQ(s.rc->out_total, int(numbers.size()));
            for (int i = 0; i < s.rc->out_total; ++i) {
                const uint32_t ev = numbers[i];
                ASSERT_EQ(s.entry(i).event_id.event_number, ev);
                ASSERT_NE(s.block(i), nullptr);
                const auto h = s.head(i);
                EXPECT_EQ(uint32_t(h.error) & ZORV_CHAN_ZIP_FLAG, 0u);
                EXPECT_EQ(s.entry(i).sbchdata[0].data, s.entry(i).sbchdata[0].chhd + T::subhead_size);
                const unsigned char* data = s.block(i) + T::subhead_size;
                const std::string kind = c.name;
                if (kind == "SPECP" || kind == "SPECZ" || kind == "SPECL") {
                    EXPECT_EQ(h.dtype, spectrum_type<T>);
                    EXPECT_EQ(T::samples(s.block(i), 3)[5], sample_value(ev, 3, 5));
                } else if (kind == "UPD" || kind == "ENV") {
                    // Environment values arrive as update records named after the channel.
                    EXPECT_EQ(h.dtype, T::upd_type);
                    EXPECT_EQ(h.ldata, T::legacy ? 140 : 540);
                    EXPECT_STREQ(reinterpret_cast<const char*>(data), kind == "ENV" ? "ENV" : "UPD.PROP");
                    float v;
                    std::memcpy(&v, data + (T::legacy ? 92 : 268), 4);
                    EXPECT_EQ(v, kind == "ENV" ? float(ev) / 2 : float(ev));
                } else if (kind == "NV") {
                    zorv_name_value_block nv;
                    std::memcpy(&nv, data, sizeof nv);
                    EXPECT_EQ(nv.id, int32_t(ev));
                    EXPECT_EQ(nv.data[0].value, float(ev));
                } else if (kind == "IMG") {
                    zorv_image_frame_head ih;
                    std::memcpy(&ih, data, sizeof ih);
                    EXPECT_EQ(ih.length, 8);
                    EXPECT_EQ(data[sizeof ih + 7], static_cast<unsigned char>(ev));
                }
            }
        }
    }
}

// Readers that share a pool: the next reader of a channel decodes into the
// region its predecessor gave back, and what it reads is its own file's
// data. Once decoded, a basket copy is given back (chnb null) while lookups
// go on.
TYPED_TEST(ReadChan, NextReaderOfAChannelDecodesIntoItsPredecessorsRegion) {
    using T = TypeParam;
    const std::string path = write_file<T>(this->dir);
    zorv::block_pool pool;
    const auto numbers = event_numbers();
    for (const char* chan : {"SPECZ", "SPECP"}) {
        SCOPED_TRACE(chan);
        const unsigned char* first = nullptr;
        for (int round = 0; round < 3; ++round) {
            started<T> s(path, chan, round == 2 ? 1 : -1, 0, nullptr, {}, &pool);
            ASSERT_EQ(s.status, 0);
            ASSERT_TRUE(s.rc->is_done());
            EXPECT_EQ(s.rc->get_chn_basket(), nullptr) << "the copy is given back";
            if (round == 0) first = reinterpret_cast<const unsigned char*>(s.entry(0).sbchdata[0].evhd);
            else EXPECT_EQ(reinterpret_cast<const unsigned char*>(s.entry(0).sbchdata[0].evhd), first);
            for (int i = 0; i < s.rc->out_total; ++i) {
                ASSERT_EQ(s.entry(i).event_id.event_number, numbers[i]);
                const int member = round == 2 ? 0 : 3;  // sub-channel 1 is cut to one member
                EXPECT_EQ(T::samples(s.block(i), member)[5], sample_value(numbers[i], round == 2 ? 1 : 3, 5));
            }
            zorv_channel_entry_long* e = nullptr;
            EXPECT_EQ(s.rc->get_chan_data(nullptr, &e, ZORV_DAQ_READ_CHAN_EVENT_LAST), 0);
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(e->event_id.event_number, numbers.back());
        }
    }
    pool.trim();
}

TYPED_TEST(ReadChan, CutsOneSubChannelOutOfADeviceBlock) {
    using T = TypeParam;
    const std::string path = write_file<T>(this->dir);
    struct cut_case {
        const char* chan;
        int subchan;
        bool cut;
    } cases[] = {{"SPECP", -1, false}, {"SPECP", 2, true}, {"SPECZ", 2, true}, {"SPECL", 3, true}, {"SPECP", 9, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.chan) + ":" + std::to_string(c.subchan));
        started<T> s(path, c.chan, c.subchan);
        ASSERT_TRUE(s.rc->is_done());
        const auto h = s.head(4);
        const uint32_t ev = event_numbers()[4];
        if (!c.cut) {
            EXPECT_EQ(h.dtype, spectrum_type<T>);
            EXPECT_EQ(T::samples(s.block(4), 3)[1], sample_value(ev, 3, 1));
            continue;
        }
        EXPECT_EQ(std::string(h.chname), std::string(c.chan) + ":" + std::to_string(c.subchan));
        EXPECT_EQ(h.dtype >> 16, spectrum_type<T>);
        EXPECT_EQ(T::samples(s.block(4), 0)[1], sample_value(ev, c.subchan, 1));
        EXPECT_EQ(T::samples(s.block(4), 1), nullptr);
    }
}

// Damage to one block of a channel read by one worker: the entry is
// published without data and every other entry is decoded.
TYPED_TEST(ReadChan, DamagedBlockCostsOnlyItsEntry) {
    using T = TypeParam;
    constexpr int bad = 4;
    const uint32_t bad_ev = event_numbers()[bad];
    struct damage_case {
        const char* what;
        const char* chan;
        std::function<void(const std::string&)> patch_file;
        std::function<void(typename T::table_set_type&)> patch_tables;
    };
    const uint64_t sh = T::subhead_size;
    const damage_case cases[] = {
        {"payload that fails conversion", "SPECP", nullptr, nullptr},
        {"unknown compressor", "SPECZ",
         [&](const std::string& p) { patch_be32(p, entry_position<T>(p, "SPECZ", bad).chhd + sh, 4); }, nullptr},
        {"decompressed length differs", "SPECL",
         [&](const std::string& p) {
             const auto pos = entry_position<T>(p, "SPECL", bad).chhd + sh + 4;
             const int fd = ::open(p.c_str(), O_RDONLY);
             unsigned char b[4];
             ASSERT_EQ(pread(fd, b, 4, off_t(pos)), 4);
             close(fd);
             patch_be32(p, pos, zorv::load_be32(b) + 16);
         },
         nullptr},
        {"corrupt zlib stream", "SPECZ",
         [&](const std::string& p) { patch_be32(p, entry_position<T>(p, "SPECZ", bad).chhd + sh + 12, 0xFFFFFFFF); },
         nullptr},
        {"sub-header outside the basket", "SPECP", nullptr,
         [&](typename T::table_set_type& ts) {
             typename T::cdt_entry* e;
             const int col = T::find_channel_by_name(ts.cdt_tab, "SPECP", &e);
             ts.ecp_tab->chptr[col * ts.ecp_tab->maxev + bad].chhd = 0xFFFFFF00u;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        zorv_test::temp_dir dir;
        const bool bad_payload = c.patch_file == nullptr && c.patch_tables == nullptr;
        const std::string path = write_file<T>(dir, [&](const channel_case<T>& cc, uint32_t ev) {
            if (bad_payload && ev == bad_ev && std::string(cc.name) == c.chan)
                return zorv::make_raw(spectrum_type<T>, std::vector<unsigned char>(10, 1));
            return cc.block(ev);
        });
        if (c.patch_file) c.patch_file(path);
        started<T> s(path, c.chan, -1, 1, nullptr, c.patch_tables);
        ASSERT_EQ(s.status, 0);
        ASSERT_TRUE(s.rc->is_done());
        for (int i = 0; i < s.rc->out_total; ++i) {
            EXPECT_EQ(s.entry(i).event_id.event_number, event_numbers()[i]);
            EXPECT_EQ(s.block(i) == nullptr, i == bad) << "entry " << i;
        }
        EXPECT_NE(s.entry(bad).sbchdata[0].evhd, 0u);
        print_everything(*s.rc);
        zorv_channel_entry_long* res = nullptr;
        zorv_time_id id{event_numbers()[bad + 1], {0, 0}};
        EXPECT_EQ(s.rc->get_chan_data(&id, &res, ZORV_DAQ_READ_CHAN_EVENT_CUR), 0);
        ASSERT_NE(res, nullptr);
        EXPECT_NE(res->sbchdata[0].chhd, 0u);
    }
}

// A file cut short behind the start of a channel's basket while its blocks
// are being decoded: the reader decodes every entry from the basket it read
// when it started, and never touches the file past its new end.
TYPED_TEST(ReadChan, FileCutShortWhileDecodingIsDecodedFromTheBasketRead) {
    using T = TypeParam;
    constexpr uint32_t events = 2000;
    constexpr int ndata = 256;
    const std::string path = this->dir.file("long.raw");
    {
        zorv::daq_file_writer w(T::layout);
        ASSERT_EQ(w.open(path), 0) << w.error();
        zorv::channel_decl d;
        d.name = "WAVE";
        ASSERT_GE(w.declare_channel(d), 0) << w.error();
        for (uint32_t ev = 1; ev <= events; ++ev) {
            zorv::spectrum_data sp;
            sp.ndata = ndata;
            sp.members.resize(4);
            for (int m = 0; m < 4; ++m)
                for (int i = 0; i < ndata; ++i) sp.members[m].samples.push_back(sample_value(ev, m, i));
            ASSERT_EQ(w.begin_event(ev, time_of(ev)), 0) << w.error();
            ASSERT_EQ(w.add_block("WAVE", "SRV1", zorv::make_spectrum(spectrum_type<T>, sp, T::layout)), 0);
            ASSERT_EQ(w.end_event(), 0) << w.error();
        }
        ASSERT_EQ(w.close(), 0) << w.error();
    }
    typename T::table_set_type ts{0};
    ASSERT_EQ(ts.get_all_tables(const_cast<char*>(path.c_str()), 0, nullptr), 0);
    typename T::channel_reader rc(&ts, const_cast<char*>("WAVE"), -1, nullptr);
    rc.set_number_of_threads(1);
    ASSERT_EQ(rc.start(nullptr, nullptr, nullptr), 0);
    {
        // The worker cannot publish (nor take) an entry while the file is cut.
        std::lock_guard<zorv::checked_mutex> hold(rc.mx);
        ASSERT_LT(rc.out_done, rc.out_total) << "the worker was done before the file could be cut";
        const uint64_t basket = rc.get_data_table_pointer(0)->chhd - 8;
        ASSERT_EQ(::truncate(path.c_str(), off_t((basket / 4096 + 1) * 4096)), 0);
    }
    rc.decode_here();
    ASSERT_TRUE(rc.wait_decoded());
    ASSERT_EQ(rc.out_total, int(events));
    for (int i = 0; i < rc.out_total; ++i) {
        const auto* block = reinterpret_cast<const unsigned char*>(rc.out[i].sbchdata[0].chhd);
        ASSERT_NE(block, nullptr) << "entry " << i;
        ASSERT_EQ(T::samples(block, 3)[ndata - 1], sample_value(uint32_t(i) + 1, 3, ndata - 1)) << "entry " << i;
    }
    rc.clean();
}

// Zip headers that claim far more data than their blocks could give reserve
// no memory for it: such entries fail on their own, and the reader holds no
// more than the honest file's entries need.
TYPED_TEST(ReadChan, ForgedZipLengthsReserveNoMemory) {
    using T = TypeParam;
    const uint64_t sh = T::subhead_size;
    size_t honest = 0;
    {
        zorv_test::temp_dir dir;
        started<T> s(write_file<T>(dir), "SPECZ");
        ASSERT_EQ(s.status, 0);
        honest = s.rc->entry_memory();
        ASSERT_GT(honest, 0u);
    }
    struct forged {
        const char* what;
        uint32_t orig;    // 0: a thousand times the real compressed length
        uint32_t zipped;  // 0: the real one
    };
    for (const forged& f : {forged{"lengths past the basket", 512u << 20, 0xFFFFFF00u},
                            forged{"a thousandfold expansion", 0, 0}}) {
        SCOPED_TRACE(f.what);
        zorv_test::temp_dir dir;
        const std::string path = write_file<T>(dir);
        for (size_t i = 0; i < event_numbers().size(); ++i) {
            const uint64_t zip = entry_position<T>(path, "SPECZ", int(i)).chhd + sh;
            const int fd = ::open(path.c_str(), O_RDONLY);
            unsigned char real[4];
            ASSERT_EQ(pread(fd, real, 4, off_t(zip + 8)), 4);
            close(fd);
            patch_be32(path, zip + 4, f.orig ? f.orig : zorv::load_be32(real) * 1000);
            if (f.zipped) patch_be32(path, zip + 8, f.zipped);
        }
        started<T> s(path, "SPECZ");
        ASSERT_EQ(s.status, 0);
        ASSERT_TRUE(s.rc->is_done());
        for (int i = 0; i < s.rc->out_total; ++i) EXPECT_EQ(s.block(i), nullptr) << "entry " << i;
        EXPECT_LE(s.rc->entry_memory(), honest);
    }
}

struct lookup_case {
    uint32_t number;      // 0: by time
    uint32_t time_of_ev;  // reference time: this event's time plus `extra_us`
    int32_t extra_us;
    int op;
    int status;
    uint32_t found;  // expected event number when an entry is returned
};

template <class T>
void check_lookups(started<T>& s, const std::vector<lookup_case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE("number " + std::to_string(c.number) + " time of " + std::to_string(c.time_of_ev) + " op " +
                     std::to_string(c.op));
        zorv_time_id id{c.number, {0, 0}};
        if (c.time_of_ev) {
            const int64_t us = int64_t(t0) * 1000000 + int64_t(c.time_of_ev) * 100000 + c.extra_us;
            id.time = {uint32_t(us / 1000000), uint32_t(us % 1000000)};
        }
        zorv_channel_entry_long* res = nullptr;
        EXPECT_EQ(s.rc->get_chan_data(&id, &res, c.op), c.status);
        EXPECT_EQ(res ? res->event_id.event_number : 0u, c.found);
    }
}

TYPED_TEST(ReadChan, LooksUpByEventNumber) {
    using T = TypeParam;
    started<T> s(write_file<T>(this->dir), "SPECZ");
    enum { FIRST = -2, PREV, CUR, NEXT, LAST };
    check_lookups(s, {
                         {5, 0, 0, CUR, 0, 5},
                         {12, 0, 0, CUR, -1, 0},     // in the gap
                         {13, 0, 0, PREV, 0, 10},    // nearest below the gap
                         {11, 0, 0, NEXT, 0, 15},    // nearest above it
                         {10, 0, 0, NEXT, 0, 15},
                         {24, 0, 0, NEXT, -3, 0},    // past the last event
                         {1, 0, 0, PREV, -3, 0},     // before the first
                         {30, 0, 0, CUR, -3, 0},
                         {30, 0, 0, LAST, -1, 0},    // looked up beyond the span, not there
                         {200, 0, 0, PREV, 0, 24},
                         {0xFFFFFFFF, 0, 0, PREV, 0, 24},
                         {3, 0, 0, FIRST, 0, 3},
                     });
    zorv_channel_entry_long* res = nullptr;
    EXPECT_EQ(s.rc->get_chan_data(nullptr, &res, LAST), 0);
    EXPECT_EQ(res->event_id.event_number, 24u);
    EXPECT_EQ(s.rc->get_chan_data(nullptr, nullptr, CUR), ZORV_DAQ_READ_CHAN_INV_PARAM);
    EXPECT_EQ(s.rc->get_chan_data(nullptr, &res, 3), ZORV_DAQ_READ_CHAN_INV_PARAM);
}

TYPED_TEST(ReadChan, LooksUpByTime) {
    using T = TypeParam;
    started<T> s(write_file<T>(this->dir), "SPECL");
    if constexpr (!T::legacy) s.rc->set_by_time_fix(false);
    zorv_channel_entry_long* res = nullptr;
    enum { FIRST = -2, PREV, CUR, NEXT, LAST };
    EXPECT_EQ(s.rc->get_chan_data(nullptr, &res, CUR), ZORV_DAQ_READ_CHAN_INV_PARAM);  // no current entry yet
    check_lookups(s, {
                         {0, 5, 3000, CUR, 0, 5},         // within the tolerance
                         {0, 5, -40000, CUR, 0, 5},
                         {0, 12, 0, CUR, -1, 0},          // 200 ms from every entry
                         {0, 13, 0, PREV, 0, 10},         // 13 - 0.2 s falls in the gap: nearest below
                         {0, 13, 0, NEXT, 0, 15},         // 13 + 0.2 s is entry 15
                         {0, 1, -1000000, CUR, -3, 0},    // a second before the first
                         {0, 24, 1000000, NEXT, -3, 0},   // after the last
                         {0, 24, 1000000, LAST, -1, 0},
                     });
    EXPECT_EQ(s.rc->get_chan_data(nullptr, &res, FIRST), 0);
    EXPECT_EQ(res->event_id.event_number, 1u);
    // A reference whose microseconds hold whole seconds steps from the time
    // it stands for: three seconds written as microseconds, plus event 5.
    const time_stamp t5 = time_of(5);
    zorv_time_id loose{0, {t5.timeup - 3, t5.timelow + 3000000}};
    ASSERT_EQ(s.rc->get_chan_data(&loose, &res, NEXT), 0);
    EXPECT_EQ(res->event_id.event_number, 7u);
}

TYPED_TEST(ReadChan, StepsByTimeFromTheCurrentEntry) {
    using T = TypeParam;
    started<T> s(write_file<T>(this->dir), "SPECP");
    zorv_channel_entry_long* res = nullptr;
    ASSERT_EQ(s.rc->get_chan_data(nullptr, &res, ZORV_DAQ_READ_CHAN_EVENT_FIRST), 0);
    // The default step of 0.2 s lands two events ahead; the current layout
    // corrects that to the next event number.
    ASSERT_EQ(s.rc->get_chan_data(nullptr, &res, ZORV_DAQ_READ_CHAN_EVENT_NEXT), 0);
    EXPECT_EQ(res->event_id.event_number, T::legacy ? 3u : 2u);
    ASSERT_EQ(s.rc->get_chan_data(nullptr, &res, ZORV_DAQ_READ_CHAN_EVENT_CUR), 0);
    EXPECT_EQ(res->event_id.event_number, T::legacy ? 3u : 2u);
}

TYPED_TEST(ReadChan, TimeLookupsTakeTheNearestEntryAndNeedNoCurrentOne) {
    using T = TypeParam;
    const std::string path = write_file<T>(this->dir);
    enum { FIRST = -2, PREV, CUR, NEXT, LAST };
    {
        // Nothing handed out yet: the step from a given time is taken as it
        // lands, not corrected from an event 0.
        started<T> s(path, "SPECP");
        check_lookups(s, {{0, 5, 0, NEXT, 0, 7}});
    }
    started<T> s(path, "SPECZ");
    if constexpr (!T::legacy) s.rc->set_by_time_fix(false);
    // A tolerance above half the spacing holds two entries: the nearer wins,
    // whichever the search meets first.
    time_stamp wide{0, 80000};
    ASSERT_EQ(s.rc->set_time_diff(&wide), 0);
    check_lookups(s, {
                         {0, 5, 45000, CUR, 0, 5},
                         {0, 5, 55000, CUR, 0, 6},
                         {0, 8, -45000, CUR, 0, 8},
                         {0, 8, -55000, CUR, 0, 7},
                     });
}

TYPED_TEST(ReadChan, ChannelOutsideTheListOfItsTableSetIsNotFound) {
    using T = TypeParam;
    const std::string path = write_file<T>(this->dir);
    // Another channel's column must never be read for it.
    char specp[] = "SPECP", nope[] = "NOPE";
    for (std::vector<char*> list : {std::vector<char*>{specp}, std::vector<char*>{nope}}) {
        started<T> s(path, "SPECZ", -1, 0, &list);
        EXPECT_EQ(s.status, ZORV_DAQ_READ_CHAN_NOT_FOUND) << list[0];
        EXPECT_EQ(s.rc->out, nullptr);
    }
}

TYPED_TEST(ReadChan, UnfinishedEntryStopsLookupsThatMeetIt) {
    using T = TypeParam;
    started<T> s(write_file<T>(this->dir), "SPECP");
    const zorv_time_id saved = s.rc->out[3].event_id;
    s.rc->out[3].event_id = {0xFFFFFFFF, {0, 0}};
    zorv_channel_entry_long* res = nullptr;
    zorv_time_id gap{12, {0, 0}};
    EXPECT_EQ(s.rc->get_chan_data(&gap, &res, ZORV_DAQ_READ_CHAN_EVENT_NEXT), ZORV_DAQ_READ_CHAN_NO_DATA);
    zorv_time_id in_gap{0, time_of(12)};
    EXPECT_EQ(s.rc->get_chan_data(&in_gap, &res, ZORV_DAQ_READ_CHAN_EVENT_CUR), ZORV_DAQ_READ_CHAN_NO_DATA);
    EXPECT_EQ(res, nullptr);
    s.rc->out[3].event_id = saved;
}

// Workers that are still running when the thread count is changed are
// still waited for, and clean() returns.
TYPED_TEST(ReadChan, CleanWaitsForWorkersAfterTheThreadCountChanges) {
    using T = TypeParam;
    typename T::table_set_type ts(0);
    ASSERT_EQ(ts.get_all_tables(const_cast<char*>(write_file<T>(this->dir).c_str()), 0, nullptr), 0);
    typename T::channel_reader rc(&ts, const_cast<char*>("SPECZ"), -1, nullptr);
    ASSERT_FALSE(rc.set_number_of_threads(4));
    ASSERT_EQ(rc.start(nullptr, nullptr, nullptr), 0);
    pthread_mutex_lock(&rc.mx.native);  // no worker can end meanwhile
    EXPECT_FALSE(rc.set_number_of_threads(1));
    pthread_mutex_unlock(&rc.mx.native);
    rc.clean();
    for (pthread_t t : rc.tid) EXPECT_TRUE(pthread_equal(t, static_cast<pthread_t>(-1)));
    ts.clean_up();
}

// Many readers of one file start at once; some are cleaned while their
// workers still run. Run under ThreadSanitizer to check the hand-shakes.
TYPED_TEST(ReadChan, ManyReadersOfOneFileStartAndCleanAtOnce) {
    using T = TypeParam;
    const std::string path = write_file<T>(this->dir);
    typename T::table_set_type ts(0);
    ASSERT_EQ(ts.get_all_tables(const_cast<char*>(path.c_str()), 0, nullptr), 0);
    const auto cases = channel_cases<T>();
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<typename T::channel_reader>> readers;
        std::vector<std::thread> starters;
        for (int i = 0; i < 24; ++i)
            readers.push_back(std::make_unique<typename T::channel_reader>(
                &ts, const_cast<char*>(cases[i % cases.size()].name), i % 3 == 0 ? 1 : -1, nullptr));
        for (int i = 0; i < 24; ++i) {
            starters.emplace_back([&, i] {
                pthread_mutex_t* m;
                pthread_cond_t* c;
                int* f;
                EXPECT_EQ(readers[i]->start(&m, &c, &f), 0);
                if (i % 2) {
                    readers[i]->clean();  // workers may still be running
                    return;
                }
                if (i % 4 == 0) {
                    readers[i]->decode_here();
                    EXPECT_TRUE(readers[i]->wait_decoded());
                } else {
                    EXPECT_TRUE(wait_master(m, c, f));
                }
                EXPECT_TRUE(readers[i]->is_done());
                zorv_channel_entry_long* res = nullptr;
                EXPECT_EQ(readers[i]->get_chan_data(nullptr, &res, ZORV_DAQ_READ_CHAN_EVENT_LAST), 0);
                readers[i]->clean();
            });
        }
        for (auto& t : starters) t.join();
    }
    ts.clean_up();
}

}  // namespace
