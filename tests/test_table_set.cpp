// Table sets of both layouts on files written by the writer: what a loaded set
// holds, how the channel list picks columns and basket mode, and that every
// damaged file ends in its code with the object empty and nothing leaked.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "be_reader.h"
#include "test_support.h"
#include "zorv_daq_read_chan.h"
#include "zorv_daq_read_chan_2010.h"
#include "zorv_daq_writer.h"

namespace {

using zorv::compression;
using zorv::file_layout;
using bytes = std::string;

template <class Set, file_layout Lay, class L>
struct format {
    using set = Set;
    using layout = L;
    static constexpr file_layout writer_layout = Lay;
};
using current = format<zorv_file_get_tables_2010, file_layout::current, zorv::layout_current>;
using legacy = format<zorv_file_get_tables, file_layout::legacy, zorv::layout_legacy>;

constexpr uint32_t first_second = 1286193600;

// Ten events: every third an update event with the slow channel, the others
// normal events with the fast channel and a compressed one.
void write_sample(const std::string& path, file_layout lay) {
    zorv::daq_file_writer w(lay);
    ASSERT_EQ(w.open(path), 0) << w.error();
    const struct {
        const char* name;
        compression comp;
    } chans[] = {{"FAST", compression::none}, {"SLOW", compression::none}, {"ZIP", compression::zlib}};
    uint32_t key = 1;
    for (auto& c : chans) {
        zorv::channel_decl d;
        d.name = c.name;
        d.key = key++;
        d.comp = c.comp;
        zorv::channel_description descr;
        descr.prop_name = std::string("PROP/") + c.name;
        d.descr = descr;
        ASSERT_GE(w.declare_channel(d), 0) << w.error();
    }
    const int fast_type = lay == file_layout::current ? ZORV_BLOCK_BPM_2010 : ZORV_BLOCK_BPM;
    const int slow_type = lay == file_layout::current ? ZORV_UPD_BLOCK_2010 : ZORV_UPD_BLOCK;
    const zorv::payload fast = zorv::make_raw(fast_type, std::vector<unsigned char>(64, 7));
    const zorv::payload slow = zorv::make_raw(slow_type, std::vector<unsigned char>(96, 9));
    for (uint32_t i = 0; i < 10; ++i) {
        const bool upd = i % 3 == 0;
        ASSERT_EQ(w.begin_event(100 + i, {first_second + i, 0}, upd ? ZORV_EV_UPD : ZORV_EV_NORMAL),
                  0)
            << w.error();
        if (upd) {
            ASSERT_EQ(w.add_block("SLOW", "SRV1", slow), 0) << w.error();
        } else {
            ASSERT_EQ(w.add_block("FAST", "SRV1", fast), 0) << w.error();
            ASSERT_EQ(w.add_block("ZIP", "SRV2", fast), 0) << w.error();
        }
        ASSERT_EQ(w.end_event(), 0) << w.error();
    }
    ASSERT_EQ(w.close(), 0) << w.error();
}

int open_fd_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

bool is_mapped(const std::string& path) {
    return zorv_test::read_file("/proc/self/maps").find(path) != std::string::npos;
}

template <class Set>
void expect_empty(const Set& s) {
    EXPECT_TRUE(s.fd == -1 && s.len == 0 && !s.file_name && !s.basket_copy_mode && !s.clientsn);
    EXPECT_TRUE(!s.evhb && !s.sbhb && !s.evh_base && !s.sbh_base && s.descr_list.empty());
    EXPECT_TRUE(!s.ref_tbl && !s.lref_tbl && !s.ecp_tab && !s.lecp_tab && !s.lxcd_tab);
}

// Every event header and server-block header the pointers table names is
// found where the position arithmetic of the channel readers looks for it.
template <class F>
void expect_headers_reachable(const typename F::set& s) {
    using L = typename F::layout;
    const bool copied = s.basket_copy_mode != 0;
    const auto* evh = copied ? reinterpret_cast<const unsigned char*>(s.evhb) : s.evh_base;
    const auto* sbh = copied ? reinterpret_cast<const unsigned char*>(s.sbhb) : s.sbh_base;
    ASSERT_NE(evh, nullptr);
    ASSERT_NE(sbh, nullptr);
    EXPECT_EQ(zorv::load_be32(reinterpret_cast<const unsigned char*>(s.evhb)), L::pattern_evh_basket);
    EXPECT_EQ(zorv::load_be32(reinterpret_cast<const unsigned char*>(s.sbhb)), L::pattern_sbh_basket);
    const int cols = s.is_ecp_tab_full() ? zorv_cdt_entry_count(s.cdt_tab) : int(s.chans.size());
    int seen = 0;
    for (int c = 0; c < cols; ++c) {
        for (int i = 0; i < s.ecp_tab->maxev; ++i) {
            const zorv_event_chan_ptr_entry& e = s.ecp_tab->chptr[c * s.ecp_tab->maxev + i];
            if (e.evhd == 0) continue;
            ++seen;
            ASSERT_TRUE(zorv::in_range(e.evhd - s.evh_offset, 36, s.evh_base_size)) << e.evhd;
            EXPECT_EQ(zorv::load_be32(evh + (e.evhd - s.evh_offset)), L::pattern_event);
            ASSERT_TRUE(zorv::in_range(e.sbhd - s.sbh_offset, sizeof(typename L::sbhead),
                                       s.sbh_base_size))
                << e.sbhd;
        }
    }
    EXPECT_GT(seen, 0);
}

template <class F>
class TableSet : public testing::Test {
protected:
    void SetUp() override { write_sample(path, F::writer_layout); }
    zorv_test::temp_dir dir;
    std::string path = dir.file("sample.raw");
};
using formats = testing::Types<current, legacy>;
TYPED_TEST_SUITE(TableSet, formats);

TYPED_TEST(TableSet, LoadsEverythingAndCleansUpFromAnyState) {
    using L = typename TypeParam::layout;
    typename TypeParam::set s(0);
    s.clean_up();  // on a fresh object
    const int fds = open_fd_count();
    for (int round = 0; round < 2; ++round) {  // loading a loaded set reloads it
        ASSERT_EQ(s.get_all_tables(this->path.data(), 1, nullptr), 0);
        EXPECT_EQ(s.file_name, this->path.data());
        EXPECT_GE(s.fd, 0);
        EXPECT_EQ(s.len, off_t(zorv_test::read_file(this->path).size()));
        EXPECT_EQ(s.descr_mode, 1);
        ASSERT_NE(s.cdt_tab, nullptr);
        EXPECT_EQ(s.cdt_tab->pattern, L::pattern_cdt);
        EXPECT_EQ(zorv_cdt_entry_count(s.cdt_tab), 3);
        ASSERT_EQ(s.descr_list.size(), 3u);
        EXPECT_TRUE(s.is_ecp_tab_full());
        EXPECT_EQ(s.basket_copy_mode, 0);
        expect_headers_reachable<TypeParam>(s);
        EXPECT_EQ(open_fd_count(), fds + 1);
    }
    s.inc_client_counter();
    s.clean_up();
    s.clean_up();
    expect_empty(s);
    EXPECT_EQ(s.descr_mode, 1);
    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_FALSE(is_mapped(this->path));
}

TYPED_TEST(TableSet, FileWithoutEventsLoadsWithEmptyBaskets) {
    // The whole file is shorter than a server-block basket record with one entry.
    const std::string empty = this->dir.file("empty.raw");
    zorv::daq_file_writer w(TypeParam::writer_layout);
    ASSERT_EQ(w.open(empty), 0) << w.error();
    ASSERT_EQ(w.close(), 0) << w.error();
    typename TypeParam::set s(1);
    ASSERT_EQ(s.get_all_tables(const_cast<char*>(empty.c_str()), 1, nullptr), 0);
    const auto* sbh = reinterpret_cast<const unsigned char*>(s.sbhb);
    EXPECT_EQ(zorv::load_be32(sbh + 4), 8u);  // the basket head alone
    EXPECT_EQ(s.sbh_base_size, s.ref_tbl->srvbb_ref - s.sbh_offset + 8);
    EXPECT_TRUE(s.descr_list.empty());
}

TYPED_TEST(TableSet, ChannelListPicksColumnsAndBasketMode) {
    const struct {
        std::vector<const char*> names;
        int rc;
        int copy_mode;
    } cases[] = {
        {{"SLOW"}, 0, 0},                    // slow events only: mapped
        {{"FAST"}, 0, 1},                    // a fast channel: copied
        {{"SLOW", "ZIP"}, 0, 1},
        {{"NOPE", "SLOW"}, 0, 0},            // unknown names are skipped
        {{"NOPE"}, 0, 0},                    // no listed name: every column empty
    };
    for (auto& k : cases) {
        std::vector<char*> list;
        for (const char* n : k.names) list.push_back(const_cast<char*>(n));
        typename TypeParam::set s(0);
        ASSERT_EQ(s.get_all_tables(this->path.data(), 0, &list), k.rc) << k.names.back();
        if (k.rc != 0) {
            expect_empty(s);
            continue;
        }
        EXPECT_EQ(s.basket_copy_mode, k.copy_mode) << k.names.back();
        EXPECT_FALSE(s.is_ecp_tab_full());
        EXPECT_EQ(s.get_ecp_tab_entry_index(list.back()), int(list.size()) - 1);
        EXPECT_TRUE(s.descr_list.empty());
        if (s.ecp_tab->maxev > 0) expect_headers_reachable<TypeParam>(s);
        if (k.copy_mode) {
            EXPECT_EQ(s.evh_offset, s.ref_tbl->evhdb_ref);
            EXPECT_EQ(s.sbh_offset, s.ref_tbl->srvbb_ref);
            s.clean_up();
            EXPECT_FALSE(is_mapped(this->path));
        }
    }
}

TEST(TableSetList, IndexRulesWithoutAFile) {
    char a[] = "A", b[] = "B", a2[] = "A";
    std::vector<char*> list{a, b, a2};
    zorv_file_get_tables_2010 s(0);
    EXPECT_EQ(s.get_all_tables(nullptr, 0, &list), 1);
    EXPECT_EQ(s.get_all_tables(const_cast<char*>(""), 0, &list), 1);
    ASSERT_EQ(s.chans.size(), 3u);
    EXPECT_EQ(s.chans[0], a);  // the caller's strings, not copies
    EXPECT_FALSE(s.is_ecp_tab_full());
    const struct {
        const char* name;
        int index;
    } lookups[] = {{"A", 0} /* first of a name listed twice */, {"B", 1}, {"C", -1}, {"", -1},
                   {nullptr, -1}};
    for (auto& k : lookups) EXPECT_EQ(s.get_ecp_tab_entry_index(k.name), k.index);
    s.clean_up();
    EXPECT_TRUE(s.is_ecp_tab_full());
    EXPECT_EQ(s.get_ecp_tab_entry_index("A"), -1);

    zorv_file_get_tables t(0);
    EXPECT_EQ(t.get_all_tables(const_cast<char*>("/nonexistent/zorv.raw"), 0, nullptr), -2);
    expect_empty(t);
}

// Damage to one record of a good file and the code it must give.
constexpr int any_failure = 1000;

struct damage {
    const char* what;
    std::function<void(bytes&)> apply;
    int code;
    int d_mode = 0;
};

uint32_t word(const bytes& f, uint64_t off) {
    return zorv::load_be32(reinterpret_cast<const unsigned char*>(f.data() + off));
}
void put(bytes& f, uint64_t off, uint32_t v) {
    zorv::store_be32(reinterpret_cast<unsigned char*>(&f[off]), v);
}
uint32_t ref_pos(const bytes& f) { return word(f, f.size() - 4); }
// Offsets of the reference table's position fields.
constexpr uint64_t at_eit = 8, at_cdt = 140, at_ecp = 144, at_eidt = 148, at_xcd = 152,
                   at_evh = 156, at_sbh = 160;
uint32_t target(const bytes& f, uint64_t field) { return word(f, ref_pos(f) + field); }

std::vector<damage> damages() {
    auto pattern_of = [](uint64_t field) {
        return [field](bytes& f) { put(f, target(f, field), 0x12345678); };
    };
    auto point_past_end = [](uint64_t field, uint32_t beyond) {
        return [field, beyond](bytes& f) { put(f, ref_pos(f) + field, uint32_t(f.size()) + beyond); };
    };
    auto basket_length = [](uint64_t field, int64_t past) {
        return [field, past](bytes& f) {
            const uint32_t pos = target(f, field);
            put(f, pos + 4, uint32_t(int64_t(f.size()) - pos + past));
        };
    };
    return {
        {"empty file", [](bytes& f) { f.clear(); }, -3},
        {"shorter than the trailer", [](bytes& f) { f.resize(3); }, -3},
        {"cut in half", [](bytes& f) { f.resize(f.size() / 2); }, any_failure},
        {"last byte missing", [](bytes& f) { f.resize(f.size() - 1); }, any_failure},
        {"trailer past the end", [](bytes& f) { put(f, f.size() - 4, uint32_t(f.size())); }, 2},
        {"reference table pattern", [](bytes& f) { put(f, ref_pos(f), 0); }, 2},
        {"event index pattern", pattern_of(at_eit), 3},
        {"channel dictionary pattern", pattern_of(at_cdt), 3},
        {"pointers table pattern", pattern_of(at_ecp), any_failure},
        {"environment dictionary pattern", pattern_of(at_eidt), 5},
        {"XML description pattern", pattern_of(at_xcd), 6},
        {"XML text malformed",
         [](bytes& f) { std::memcpy(&f[target(f, at_xcd) + 8], "<<<<", 4); }, 7, 1},
        // The reference table refuses positions outside the file.
        {"event-header basket past the end", point_past_end(at_evh, 8), 2},
        {"event-header basket pattern", pattern_of(at_evh), -4},
        {"event-header basket longer than the file", basket_length(at_evh, 4), -5},
        {"event-header basket length below its head",
         [](bytes& f) { put(f, target(f, at_evh) + 4, 4); }, -5},
        {"event-header basket length negative",
         [](bytes& f) { put(f, target(f, at_evh) + 4, 0xFFFFFFF0u); }, -5},
        {"server-block basket pattern", pattern_of(at_sbh), -6},
        {"server-block basket longer than the file", basket_length(at_sbh, 1), -7},
    };
}

TYPED_TEST(TableSet, DamagedFilesFailWithTheirCodeAndLeaveNothingBehind) {
    const bytes good = zorv_test::read_file(this->path);
    ASSERT_FALSE(good.empty());
    char fast[] = "FAST";
    std::vector<char*> fast_list{fast};
    const std::string bad = this->dir.file("damaged.raw");
    const int fds = open_fd_count();
    for (const damage& d : damages()) {
        bytes f = good;
        d.apply(f);
        ASSERT_TRUE(zorv_test::write_file(bad, f));
        for (std::vector<char*>* list : {static_cast<std::vector<char*>*>(nullptr), &fast_list}) {
            typename TypeParam::set s(0);
            s.debug = 1;  // the failure lines must print without harm
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            const int rc = s.get_all_tables(const_cast<char*>(bad.c_str()), d.d_mode, list);
            testing::internal::GetCapturedStdout();
            testing::internal::GetCapturedStderr();
            const char* mode = list ? " (channel list)" : "";
            if (d.code == any_failure)
                EXPECT_NE(rc, 0) << d.what << mode;
            else
                EXPECT_EQ(rc, d.code) << d.what << mode;
            expect_empty(s);
            EXPECT_EQ(open_fd_count(), fds) << d.what << mode;
            EXPECT_FALSE(is_mapped(bad)) << d.what << mode;
        }
    }
}

}  // namespace
