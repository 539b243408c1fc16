// Table parsers on small files built here byte by byte, in both layouts:
// every field of good tables, rejection of corrupt tables, and loading the
// event-channel pointers for a channel list.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "be_reader.h"
#include "event_util.h"
#include "table_status.h"
#include "test_support.h"
#include "zorv_layout.h"

namespace {

struct channel {
    std::string name;
    uint32_t key;
    std::vector<std::array<uint32_t, 4>> ptrs;  // evhd, sbhd, chhd, data
};

// Positions of the tables in a built file.
struct layout_map {
    uint32_t eit, cdt, ecpt, eidt, xcd, ref;
};

// Appends big-endian words and character fields; patches words in place.
struct byte_builder {
    std::string b;
    uint32_t pos() const { return uint32_t(b.size()); }
    void u32(uint32_t v) {
        unsigned char w[4];
        zorv::store_be32(w, v);
        b.append(reinterpret_cast<char*>(w), 4);
    }
    void chars(const std::string& s, size_t n) {
        b += s.substr(0, n) + std::string(n - std::min(n, s.size()), '\0');
    }
    void put(uint32_t at, uint32_t v) {
        zorv::store_be32(reinterpret_cast<unsigned char*>(&b[at]), v);
    }
};

const std::vector<channel> test_channels = {
    {"BPM.1", 11, {{64, 200, 300, 312}, {100, 204, 400, 412}, {136, 208, 500, 512}}},
    {std::string(300, 'T'), 12, {}},  // a name that fills its field
    {"RF", 13, {{64, 200, 600, 612}, {136, 208, 700, 712}}},
};
// Expected slot i of a dense column showing test channel `src` (-1: none).
std::array<uint32_t, 4> expected_slot(int src, int i) {
    if (src < 0 || size_t(i) >= test_channels[src].ptrs.size()) return {};
    return test_channels[src].ptrs[i];
}
std::array<uint32_t, 4> slot_of(const zorv_event_chan_pointers_table* t, int c, int i) {
    const auto& e = t->chptr[c * t->maxev + i];
    return {e.evhd, e.sbhd, e.chhd, e.data};
}

const char* const test_xml = "<channels />";  // fills its field, no NUL on file
constexpr uint32_t basket_area = 1024;        // stands in for the baskets

// Lays out baskets, EIT, CDT, ECPT (columns packed in reverse order), EIDT,
// XCD, reference table and trailer.
template <class L>
std::string build_file(layout_map* at) {
    byte_builder f;
    f.b.assign(basket_area, '\0');
    at->eit = f.pos();
    f.u32(L::pattern_eit);
    f.u32(2);
    const uint32_t types[2][3] = {{1, 3, 100}, {5, 1, 300}};  // type, events, first number
    for (auto& t : types) {
        f.u32(t[0]);
        f.u32(1000 + t[2]), f.u32(5), f.u32(1000 + t[2] + t[1] - 1), f.u32(7);
        f.u32(t[2]), f.u32(t[2] + t[1] - 1), f.u32(32 + 16 * t[1]);
        for (uint32_t i = 0; i < t[1]; ++i)
            f.u32(1000 + t[2] + i), f.u32(i), f.u32(t[2] + i), f.u32(64 + 36 * i);
    }
    at->cdt = f.pos();
    f.u32(L::pattern_cdt);
    f.u32(8 + L::cdt_entry_size * test_channels.size());
    for (auto& c : test_channels) {
        f.u32(c.key), f.chars(c.name, L::chan_name_len), f.u32(0x22), f.u32(1u << 6),
            f.u32(c.ptrs.size());
    }
    at->ecpt = f.pos();
    const uint32_t ncols = test_channels.size();
    f.u32(L::pattern_ecpt), f.u32(16 + 8 * ncols + 16 * 5), f.u32(3), f.u32(ncols);
    uint32_t first[3] = {2, 5, 0};  // RF packed first, then BPM.1
    for (uint32_t c = 0; c < ncols; ++c) f.u32(first[c]), f.u32(test_channels[c].ptrs.size());
    for (int c = 2; c >= 0; c -= 2)
        for (auto& p : test_channels[c].ptrs) f.u32(p[0]), f.u32(p[1]), f.u32(p[2]), f.u32(p[3]);
    at->eidt = f.pos();
    f.u32(L::pattern_eidt), f.u32(24), f.u32(77), f.u32(1), f.u32(78), f.u32(2);
    at->xcd = f.pos();
    f.u32(L::pattern_xcd), f.u32(8 + 12);
    f.chars(test_xml, 12);
    at->ref = f.pos();
    f.u32(L::pattern_ref), f.u32(168), f.u32(at->eit);
    for (uint32_t e = 0; e < 32; ++e) f.u32(e == 1 ? at->eit + 8 : e == 5 ? at->eit + 8 + 80 : 0);
    for (uint32_t p : {at->cdt, at->ecpt, at->eidt, at->xcd, 0u, 16u, 32u}) f.u32(p);
    f.u32(at->ref);
    return f.b;
}

// Every table of a file, loaded through the layout's parsers; freed on exit.
template <class L>
struct table_set {
    typename L::ref_table* ref = nullptr;
    typename L::eit* eit = nullptr;
    typename L::cdt* cdt = nullptr;
    zorv_event_chan_pointers_table* ecpt = nullptr;
    typename L::eidt* eidt = nullptr;
    typename L::xcd* xcd = nullptr;
    ~table_set() {
        for (void* p : std::initializer_list<void*>{ref, eit, cdt, ecpt, eidt, xcd}) std::free(p);
    }

    // First non-zero parser result; a failing parser must leave its output null.
    int load(int fd, off_t len, const std::string& bytes) {
        const auto* tail = reinterpret_cast<const unsigned char*>(bytes.data());
        int rc = step(L::get_ref_table(tail, size_t(len), len, fd, &ref), ref);
        if (rc == 0) rc = step(L::get_eit_table(len, ref, fd, &eit), eit);
        if (rc == 0) rc = step(L::get_cdt_table(len, ref, fd, &cdt), cdt);
        if (rc == 0) rc = step(L::get_ecp_table(len, ref, fd, &ecpt), ecpt);
        if (rc == 0) rc = step(L::get_eidt_table(len, ref, fd, &eidt), eidt);
        if (rc == 0) rc = step(L::get_xcd_table(len, ref, fd, &xcd), xcd);
        return rc;
    }
    template <class T>
    static int step(int rc, T* out) {
        if (rc != 0) {
            EXPECT_EQ(out, nullptr);
        }
        return rc;
    }
};

template <class L>
class Tables : public ::testing::Test {
protected:
    void SetUp() override { bytes = build_file<L>(&at); }
    // Writes `b` and opens it; the descriptor is closed by TearDown.
    int open_file(const std::string& b) {
        const std::string path = dir.file("t.raw");
        EXPECT_TRUE(zorv_test::write_file(path, b));
        if (fd >= 0) close(fd);
        fd = ::open(path.c_str(), O_RDONLY);
        return fd;
    }
    int load(table_set<L>& t, const std::string& b) {
        return t.load(open_file(b), off_t(b.size()), b);
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
    }
    zorv_test::temp_dir dir;
    layout_map at{};
    std::string bytes;
    int fd = -1;
};

using layouts = ::testing::Types<zorv::layout_current, zorv::layout_legacy>;
TYPED_TEST_SUITE(Tables, layouts);

TYPED_TEST(Tables, GoodTablesRoundTripEveryField) {
    using L = TypeParam;
    table_set<L> t;
    ASSERT_EQ(this->load(t, this->bytes), 0);
    EXPECT_EQ(t.ref->cdt_ref, this->at.cdt);
    EXPECT_EQ(t.ref->eite_pos_ref[5], this->at.eit + 88);
    EXPECT_EQ(t.ref->chanb_ref, 32u);

    ASSERT_EQ(t.eit->nevent_types, 2);
    const auto* e1 = reinterpret_cast<const zorv_event_index_entry*>(
        reinterpret_cast<const char*>(t.eit) + 8 + t.eit->entry[0].length);
    const zorv_event_info* infos = t.eit->entry[0].event_info;
    EXPECT_EQ(infos[2].event_number, 102u);
    EXPECT_EQ(infos[2].offset, 64u + 72u);
    EXPECT_EQ(t.eit->entry[0].event_time_last.timeup, 1102u);
    EXPECT_EQ(e1->event_type, 5);
    EXPECT_EQ(e1->event_info[0].time.timeup, 1300u);

    ASSERT_EQ(zorv_cdt_entry_count(t.cdt), 3);
    EXPECT_STREQ(t.cdt->entry[2].chan_name, "RF");
    EXPECT_EQ(t.cdt->entry[2].key, 13u);
    EXPECT_EQ(t.cdt->entry[0].count, 3);
    EXPECT_EQ(t.cdt->entry[1].dtype_mask, 1u << 6);
    EXPECT_EQ(t.cdt->entry[1].chan_name, std::string(L::chan_name_len - 1, 'T'));
    typename L::cdt_entry* found = nullptr;
    EXPECT_EQ(L::find_channel_by_name(t.cdt, "RF", &found), 2);
    EXPECT_EQ(found, &t.cdt->entry[2]);
    EXPECT_LT(L::find_channel_by_name(t.cdt, "RF.X", &found), 0);
    EXPECT_LT(L::find_channel_by_name(t.cdt, std::string(300, 'R').c_str(), &found), 0);

    ASSERT_EQ(t.ecpt->maxev, 3);
    EXPECT_EQ(t.ecpt->length, 12 + 3 * 3 * 16);
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 3; ++i) EXPECT_EQ(slot_of(t.ecpt, c, i), expected_slot(c, i)) << c << i;

    EXPECT_EQ(t.eidt->entry[1].key, 78u);
    EXPECT_EQ(t.eidt->entry[1].index, 2);
    EXPECT_STREQ(t.xcd->xml, test_xml);
}

TYPED_TEST(Tables, EveryTruncationIsRejected) {
    const std::string& b = this->bytes;
    this->open_file(b);
    const int fd = ::open(this->dir.file("t.raw").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    for (size_t n = b.size(); n-- > 0;) {
        ASSERT_EQ(ftruncate(fd, off_t(n)), 0);
        table_set<TypeParam> t;
        EXPECT_NE(t.load(fd, off_t(n), b.substr(0, n)), 0) << n;
    }
    // A stated length beyond the real end fails on the short read.
    zorv_file_reference_table* ref = nullptr;
    EXPECT_EQ(TypeParam::get_ref_table(nullptr, 0, off_t(b.size()), fd, &ref),
              zorv::table_io_error);
    EXPECT_EQ(ref, nullptr);
    close(fd);
}

TYPED_TEST(Tables, CorruptTablesAreRejected) {
    using L = TypeParam;
    const layout_map& a = this->at;
    const uint32_t end = uint32_t(this->bytes.size());
    const uint32_t ecpt_dir = a.ecpt + 16;
    const uint32_t eit_e0 = a.eit + 8;
    struct corruption {
        const char* what;
        uint32_t at;
        uint32_t value;
        int want;
    };
    const int outside = zorv::table_out_of_file, pattern = zorv::table_bad_pattern,
              inconsistent = zorv::table_inconsistent, mismatch = zorv::table_cdt_mismatch;
    const corruption cases[] = {
        {"trailer past the end", end - 4, end, outside},
        {"trailer wraps", end - 4, 0xFFFFFFF0u, outside},
        {"reference pattern of the other layout", a.ref, L::pattern_ref ^ 1, pattern},
        {"reference length", a.ref + 4, 172, inconsistent},
        {"EIT position past the end", a.ref + 8, end, outside},
        {"CDT position wraps", a.ref + 140, 0xFFFFFFFCu, outside},
        {"event type entry position past the end", a.ref + 12 + 4, end - 8, outside},
        {"EIT pattern of the other layout", a.eit, L::pattern_eit ^ 1, pattern},
        {"EIT type count huge", a.eit + 4, 0x7FFFFFFFu, inconsistent},
        {"EIT type count negative", a.eit + 4, 0x80000000u, inconsistent},
        {"EIT entry length too short", eit_e0 + 28, 16, inconsistent},
        {"EIT entry length not 32+16n", eit_e0 + 28, 33, inconsistent},
        {"EIT entry length one event short", eit_e0 + 28, 64, inconsistent},
        {"EIT entry length one event long", eit_e0 + 28, 96, inconsistent},
        {"EIT entry length wraps", eit_e0 + 28, 0xFFFFFFF0u, inconsistent},
        {"EIT entry types not ascending", eit_e0 + 80, 1, inconsistent},
        {"EIT event header outside", eit_e0 + 32 + 12, end, inconsistent},
        {"CDT pattern of the other layout", a.cdt, L::pattern_cdt ^ 1, pattern},
        {"CDT length not whole entries", a.cdt + 4, 8 + L::cdt_entry_size * 3 - 4, inconsistent},
        {"CDT length past the end", a.cdt + 4, 8 + L::cdt_entry_size * 1000, outside},
        {"CDT length negative", a.cdt + 4, 0x80000008u, inconsistent},
        {"CDT count negative", a.cdt + 8 + L::cdt_entry_size - 4, 0xFFFFFFFFu, inconsistent},
        {"ECPT pattern of the other layout", a.ecpt, L::pattern_ecpt ^ 1, pattern},
        {"ECPT length past the end", a.ecpt + 4, 0x7FFFFFF0u, outside},
        {"ECPT length negative", a.ecpt + 4, 0xFFFFFFF0u, inconsistent},
        {"ECPT maxev huge", a.ecpt + 8, 0x7FFFFFFFu, inconsistent},
        {"ECPT maxev above the largest count", a.ecpt + 8, 4, inconsistent},
        {"ECPT ncols huge", a.ecpt + 12, 0x7FFFFFFFu, inconsistent},
        {"ECPT ncols differs from the CDT", a.ecpt + 12, 2, inconsistent},
        {"ECPT column count differs from the CDT", ecpt_dir + 12, 1, mismatch},
        {"ECPT column runs past the packed array", ecpt_dir, 3, outside},
        {"ECPT column first wraps", ecpt_dir, 0xFFFFFFFFu, outside},
        {"ECPT entry position outside", ecpt_dir + 24 + 8, end, outside},
        {"EIDT pattern of the other layout", a.eidt, L::pattern_eidt ^ 1, pattern},
        {"EIDT length not whole entries", a.eidt + 4, 20, inconsistent},
        {"EIDT length wraps", a.eidt + 4, 0xFFFFFFF8u, inconsistent},
        {"XCD pattern of the other layout", a.xcd, L::pattern_xcd ^ 1, pattern},
        {"XCD length short", a.xcd + 4, 4, inconsistent},
        {"XCD length past the end", a.xcd + 4, 0x7FFFFFFFu, outside},
    };
    for (const auto& c : cases) {
        byte_builder f{this->bytes};
        f.put(c.at, c.value);
        table_set<L> t;
        EXPECT_EQ(this->load(t, f.b), c.want) << c.what;
    }
}

TYPED_TEST(Tables, PointersByListFollowTheList) {
    using L = TypeParam;
    table_set<L> t;
    ASSERT_EQ(this->load(t, this->bytes), 0);
    const off_t len = off_t(this->bytes.size());
    char rf[] = "RF", nope[] = "NOPE", bpm[] = "BPM.1";
    std::string toro(L::chan_name_len - 1, 'T');
    zorv_event_chan_pointers_table* e = nullptr;

    std::vector<char*> list = {rf, nope, bpm, rf};
    ASSERT_EQ(L::get_ecp_table_by_list(len, t.ref, this->fd, &list, t.cdt, &e), 0);
    ASSERT_EQ(e->maxev, 3);
    EXPECT_EQ(e->length, 12 + 4 * 3 * 16);
    const int src[] = {2, -1, 0, 2};
    for (int c = 0; c < 4; ++c)
        for (int i = 0; i < 3; ++i) EXPECT_EQ(slot_of(e, c, i), expected_slot(src[c], i)) << c << i;
    std::free(e);

    list = {&toro[0]};
    ASSERT_EQ(L::get_ecp_table_by_list(len, t.ref, this->fd, &list, t.cdt, &e), 0);
    EXPECT_EQ(e->maxev, 0);
    EXPECT_EQ(e->length, 12);
    std::free(e);

    // No listed name in the file: the table loads with every column empty.
    list = {nope, nullptr};
    ASSERT_EQ(L::get_ecp_table_by_list(len, t.ref, this->fd, &list, t.cdt, &e), 0);
    EXPECT_EQ(e->maxev, 0);
    EXPECT_EQ(e->length, 12);
    std::free(e);

    std::vector<char*> none;
    e = t.ecpt;  // must be reset to null
    EXPECT_EQ(L::get_ecp_table_by_list(len, t.ref, this->fd, &none, t.cdt, &e), -5);
    EXPECT_EQ(e, nullptr);
}

}  // namespace

// A view of bytes from a file answers file positions only inside itself:
// not before its first byte, not across its end, not when the position and
// length overflow, and a sub-view keeps the positions of its bytes.
TEST(BytesView, FilePositionsAreLookedUpOnlyInsideTheView) {
    unsigned char bytes[16] = {};
    const zorv::be_reader v(bytes, sizeof bytes, 1000);
    EXPECT_EQ(v.at(1000, 16), bytes);
    EXPECT_EQ(v.at(1004, 4), bytes + 4);
    EXPECT_EQ(v.at(1016, 0), bytes + 16);
    EXPECT_EQ(v.at(999, 1), nullptr);
    EXPECT_EQ(v.at(1012, 5), nullptr);
    EXPECT_EQ(v.at(UINT64_MAX, 2), nullptr);
    EXPECT_EQ(v.at(1001, UINT64_MAX), nullptr);

    zorv::be_reader whole = v;
    const zorv::be_reader part = whole.sub(4, 8);
    EXPECT_EQ(part.file_pos(), 1004u);
    EXPECT_EQ(part.at(1004, 8), bytes + 4);
    EXPECT_EQ(part.at(1012, 1), nullptr);
    EXPECT_EQ(zorv::be_reader().at(0, 0), nullptr);
}
