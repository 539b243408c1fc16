// The file writer and synthetic runs: written files are read back with an
// independent walk of the raw bytes (trailer, tables, baskets, blocks) and
// with the event-format library's payload conversion.
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <filesystem>
#include <functional>
#include <set>
#include <map>

#include "be_reader.h"
#include "event_util.h"
#include "sample_run.h"
#include "test_support.h"
#include "zorv_daq_writer.h"

namespace {

using zorv::file_layout;
using bytes = std::vector<unsigned char>;

struct layout_sizes {
    uint32_t cdt_pattern, event_pattern;
    size_t cdt_entry, cdt_name, subhead, subhead_name, sbhead, server_name;
};
layout_sizes sizes_of(file_layout l) {
    if (l == file_layout::legacy) return {0xDCADCAF2u, 0xFFEEFFEEu, 96, 80, 44, 32, 76, 48};
    return {0xDCADCAF3u, 0xFFEE2010u, 272, 256, 268, 256, 284, 256};
}

std::string text_at(zorv::be_reader& r, uint64_t off, size_t len) {
    std::string s(len, '\0');
    EXPECT_TRUE(r.chars(off, s.data(), len));
    return s.substr(0, s.find('\0'));
}

struct block_view {
    uint32_t evhd, sbhd, chhd, data, ldata;
    uint32_t evnum, evtype, evusec;
    bool inflated = true;
    std::string server, chname;
    int32_t dtype, error;
    bytes payload;  // decompressed, big-endian
};

// Walks a written file from its trailer, checking every position and length
// against the file and the cross references of the tables.
struct file_view {
    std::map<std::string, std::vector<block_view>> blocks;  // by CDT channel name
    std::map<std::string, uint32_t> keys, ev_masks, dtype_masks;
    std::vector<uint32_t> eit_events;                        // event numbers, EIT order
    std::vector<std::pair<uint32_t, int32_t>> env_index;
    std::string xml;
    bool spoilt_allowed = false;  // zlib blocks that fail to inflate are recorded, not failed

    void load(const std::string& path, file_layout layout) {
        const layout_sizes ls = sizes_of(layout);
        const std::string raw = zorv_test::read_file(path);
        zorv::be_reader r(raw.data(), raw.size());
        ASSERT_GE(raw.size(), 172u);
        const uint32_t ref = r.u32(raw.size() - 4);
        ASSERT_TRUE(r.has(ref, 168));
        ASSERT_EQ(ref + 168 + 4, raw.size());
        const uint32_t eit = r.u32(ref + 8), cdt = r.u32(ref + 140), ecp = r.u32(ref + 144),
                       eidt = r.u32(ref + 148), xcd = r.u32(ref + 152), evhb = r.u32(ref + 156),
                       sbhb = r.u32(ref + 160);
        for (uint32_t p : {eit, cdt, ecp, eidt, xcd, evhb, sbhb}) ASSERT_EQ(p % 4, 0u);
        ASSERT_EQ(r.u32(cdt), ls.cdt_pattern);
        ASSERT_EQ(r.u32(ref) & 0xFF, ls.cdt_pattern & 0xFF);

        // EIT: entries by ascending type, events by ascending number.
        const int ntypes = r.i32(eit + 4);
        uint64_t e = eit + 8;
        int last_type = -1;
        for (int t = 0; t < ntypes; ++t) {
            const int type = r.i32(e);
            EXPECT_GT(type, last_type);
            last_type = type;
            EXPECT_EQ(r.u32(ref + 12 + 4 * type), e);
            const int32_t len = r.i32(e + 28);
            ASSERT_TRUE(len >= 32 && (len - 32) % 16 == 0 && r.has(e, len));
            for (int32_t i = 32; i < len; i += 16) {
                const uint32_t off = r.u32(e + i + 12);
                EXPECT_EQ(r.u32(off + 8), r.u32(e + i + 8)) << "EIT offset -> event header";
                eit_events.push_back(r.u32(e + i + 8));
            }
            e += len;
        }
        // CDT and the packed ECPT.
        const int32_t cdt_len = r.i32(cdt + 4);
        const int nch = (cdt_len - 8) / static_cast<int>(ls.cdt_entry);
        ASSERT_EQ(r.i32(ecp + 12), nch);
        const uint64_t packed = ecp + 16 + 8 * uint64_t(nch);
        for (int c = 0; c < nch; ++c) {
            const uint64_t ce = cdt + 8 + c * ls.cdt_entry;
            const std::string name = text_at(r, ce + 4, ls.cdt_name);
            keys[name] = r.u32(ce);
            ev_masks[name] = r.u32(ce + 4 + ls.cdt_name);
            dtype_masks[name] = r.u32(ce + 8 + ls.cdt_name);
            const int32_t count = r.i32(ce + 12 + ls.cdt_name);
            ASSERT_EQ(r.u32(ecp + 20 + 8 * c), uint32_t(count));
            auto& list = blocks[name];
            for (int32_t i = 0; i < count; ++i) {
                list.push_back(read_block(r, ls, packed + 16 * (r.u32(ecp + 16 + 8 * c) + i)));
                EXPECT_TRUE(spoilt_allowed || list.back().inflated) << name;
            }
        }
        // event_length sums the event's blocks; num_svr_block and nchan count them.
        std::map<uint32_t, uint32_t> ev_len;
        std::map<uint32_t, std::set<uint32_t>> ev_sb;
        std::map<uint32_t, int32_t> sb_blocks;
        uint32_t total = 0;
        for (const auto& [name, list] : blocks) {
            total += static_cast<uint32_t>(list.size());
            for (const auto& b : list) {
                ev_len[b.evhd] += b.ldata;
                ev_sb[b.evhd].insert(b.sbhd);
                sb_blocks[b.sbhd]++;
            }
        }
        for (const auto& [evhd, len] : ev_len) {
            EXPECT_EQ(r.u32(evhd + 4), len) << "event_length";
            EXPECT_EQ(r.i32(evhd + 32), int32_t(ev_sb[evhd].size())) << "num_svr_block";
        }
        for (const auto& [sbhd, n] : sb_blocks)
            EXPECT_EQ(r.i32(sbhd + ls.sbhead - 4), n) << "server block nchan";
        EXPECT_EQ(r.i32(ecp + 4), int32_t(16 + 8 * nch + 16 * total)) << "ECPT length";
        for (int32_t i = 8; i < r.i32(eidt + 4); i += 8)
            env_index.emplace_back(r.u32(eidt + i), r.i32(eidt + i + 4));
        xml = text_at(r, xcd + 8, r.i32(xcd + 4) - 8);
        ASSERT_TRUE(r.ok());
    }

    static block_view read_block(zorv::be_reader& r, const layout_sizes& ls, uint64_t ent) {
        block_view b{};
        const uint32_t evhd = r.u32(ent), sbhd = r.u32(ent + 4), chhd = r.u32(ent + 8),
                       data = r.u32(ent + 12);
        b.evhd = evhd, b.sbhd = sbhd, b.chhd = chhd, b.data = data;
        EXPECT_EQ((evhd | sbhd | chhd | data) % 4, 0u);
        EXPECT_EQ(r.u32(evhd), ls.event_pattern);
        b.evnum = r.u32(evhd + 8);
        b.evtype = r.u32(evhd + 12);
        b.evusec = r.u32(evhd + 20);
        EXPECT_EQ(r.u32(sbhd), r.u32(evhd + 16)) << "server block time";
        b.server = text_at(r, sbhd + 16, ls.server_name);
        b.chname = text_at(r, chhd, ls.subhead_name);
        b.dtype = r.i32(chhd + ls.subhead_name);
        b.error = r.i32(chhd + ls.subhead_name + 4);
        const int32_t ldata = r.i32(chhd + ls.subhead_name + 8);
        b.ldata = static_cast<uint32_t>(ldata);
        if (!(b.error & ZORV_CHAN_ZIP_FLAG)) {
            EXPECT_EQ(data, chhd + ls.subhead);
            const unsigned char* p = r.span(data, ldata - ls.subhead);
            if (p) b.payload.assign(p, p + ldata - ls.subhead);
            return b;
        }
        EXPECT_EQ(data, chhd + ls.subhead + 12);
        const uint32_t flags = r.u32(data - 12), orig = r.u32(data - 8), zlen = r.u32(data - 4);
        EXPECT_EQ(uint64_t(ldata), ls.subhead + 12 + zlen);
        const unsigned char* z = r.span(data, zlen);
        if (!z) return b;
        b.payload.resize(orig);
        if (flags == 1) {
            uLongf n = orig;
            b.inflated = uncompress(b.payload.data(), &n, z, zlen) == Z_OK && n == orig;

        } else {
            EXPECT_EQ(flags, 2u);
            lzo_uint n = orig;
            EXPECT_EQ(lzo1x_decompress_safe(z, zlen, b.payload.data(), &n, nullptr), LZO_E_OK);
            EXPECT_EQ(n, orig);
        }
        return b;
    }
};

time_stamp ts(uint32_t s, uint32_t us) { return time_stamp{s, us}; }

zorv::channel_decl decl(const std::string& name, uint32_t key = 0) {
    zorv::channel_decl d;
    d.name = name;
    d.key = key;
    return d;
}

zorv::spectrum_data bpm_spectrum(float base) {
    zorv::spectrum_data s;
    s.ndata = 3;
    s.groups = 1;
    s.descr = 7;
    for (int m = 0; m < 3; ++m) {
        zorv::spectrum_member mem;
        for (int i = 0; i < 3; ++i) mem.samples.push_back(base + 10 * m + i);
        mem.stat_mask = 1;
        mem.stat[0] = base + 10 * m + 1;
        s.members.push_back(mem);
    }
    return s;
}

class writer_layouts : public ::testing::TestWithParam<file_layout> {};

// Every payload kind, in three compressions, two servers and two event
// types, read back byte for byte; the library converts every payload.
TEST_P(writer_layouts, written_file_reads_back) {
    const file_layout L = GetParam();
    const bool legacy = L == file_layout::legacy;
    zorv_test::temp_dir dir;
    const std::string path = dir.file("f.raw");
    zorv::daq_file_writer w(L);
    ASSERT_EQ(w.open(path), 0) << w.error();

    zorv::channel_decl plain = decl("BPM1", 11), zipped = decl("CAM1", 12), lzo = decl("MIX1", 13),
                       slow = decl("SLOW1", 14);
    zipped.comp = zorv::compression::zlib;
    lzo.comp = zorv::compression::lzo;
    zorv::channel_description d;
    d.prop_name = "A&B/\"X\"";
    d.dims.push_back({0, "X", "", "mm", {{0, "MEAN", "mean", "mm"}}});
    plain.descr = d;
    for (auto* c : {&plain, &zipped, &lzo, &slow}) ASSERT_GE(w.declare_channel(*c), 0) << w.error();
    ASSERT_EQ(w.add_env_index(5, 3), 0);

    zorv_image_frame_head ih{};
    ih.w = 2;
    ih.h = 2;
    ih.bpp = 1;
    zorv_image_ext_frame_head xh{};
    xh.aoi_width = xh.aoi_height = 2;
    xh.bpp = 1;
    xh.scale_x = 1.5f;
    const bytes px = {1, 2, 3, 4};
    const int bpm = legacy ? 6 : 38, upd = legacy ? 1 : 33, env = legacy ? 3 : 35,
              dict = legacy ? 2 : 34;
    // Per event: the payloads of BPM1, CAM1, MIX1.
    const std::vector<std::vector<zorv::payload>> events = {
        {zorv::make_spectrum(bpm, bpm_spectrum(1), L), zorv::make_image(ih, px),
         zorv::make_name_value(4, "nv", {{"A", 1.5f}, {"B", -2.0f}})},
        {zorv::make_spectrum(24, bpm_spectrum(2), L), zorv::make_image_ext(xh, px),
         zorv::make_equipment({1, 2, 0xDEADBEEF})},
        {zorv::make_spectrum(bpm, bpm_spectrum(3), L), zorv::make_env_value(env, {1, 2, ts(9, 8), 3.5f}),
         zorv::make_env_dict(dict, {{7, "E7"}, {8, "E8"}})},
    };
    for (size_t e = 0; e < events.size(); ++e) {
        const uint32_t num = 100 + 5 * uint32_t(e);
        if (e == 1) {  // a slow event with the same number ahead of the normal one
            ASSERT_EQ(w.begin_event(num, ts(1000, 500 * e), ZORV_EV_UPD), 0) << w.error();
            ASSERT_EQ(w.add_block("SLOW1", "SLOW", zorv::make_update(upd, {{"SLOW1", 0, ts(1, 2), 4.25f}})), 0)
                << w.error();
            ASSERT_EQ(w.end_event(), 0);
        }
        ASSERT_EQ(w.begin_event(num, ts(1000, 500 * e)), 0) << w.error();
        ASSERT_EQ(w.add_block(0, "SRV1", events[e][0], 0x20), 0) << w.error();
        ASSERT_EQ(w.add_block(1, "SRV2", events[e][1]), 0) << w.error();
        ASSERT_EQ(w.add_block(2, "SRV1", events[e][2]), 0) << w.error();
        ASSERT_EQ(w.end_event(), 0);
    }
    ASSERT_EQ(w.close(), 0) << w.error();
    ASSERT_FALSE(std::filesystem::exists(path + ".part"));

    file_view f;
    f.load(path, L);
    if (HasFatalFailure()) return;
    EXPECT_EQ(f.eit_events, (std::vector<uint32_t>{100, 105, 110, 105}));  // type 1, then type 5
    EXPECT_EQ(f.keys["CAM1"], 12u);
    EXPECT_EQ(f.ev_masks["SLOW1"], 1u << ZORV_EV_UPD);
    EXPECT_EQ(f.dtype_masks["BPM1"], (1u << (bpm % 32)) | (1u << 24));
    EXPECT_EQ(f.env_index, (std::vector<std::pair<uint32_t, int32_t>>{{5, 3}}));
    EXPECT_NE(f.xml.find("prop_name=\"A&amp;B/&quot;X&quot;\""), std::string::npos) << f.xml;
    EXPECT_NE(f.xml.find("daq_name=\"BPM1\""), std::string::npos);

    const char* names[] = {"BPM1", "CAM1", "MIX1"};
    for (int c = 0; c < 3; ++c) {
        const auto& list = f.blocks[names[c]];
        ASSERT_EQ(list.size(), 3u);
        for (size_t e = 0; e < 3; ++e) {
            const block_view& b = list[e];
            EXPECT_EQ(b.evnum, 100 + 5 * e);
            EXPECT_EQ(b.chname, names[c]);
            EXPECT_EQ(b.server, c == 1 ? "SRV2" : "SRV1");
            EXPECT_EQ(b.dtype, events[e][c].dtype);
            EXPECT_EQ(b.error & 0x20, c == 0 ? 0x20 : 0);
            EXPECT_EQ(bool(b.error & ZORV_CHAN_ZIP_FLAG), c != 0);
            EXPECT_EQ(b.payload, events[e][c].bytes) << names[c] << " event " << e;
            bytes host(b.payload.size());
            EXPECT_EQ(zorv_convert_data(b.payload.data(), host.data(), b.dtype, int(host.size()),
                                        legacy ? ZORV_LAYOUT_LEGACY : ZORV_LAYOUT_CURRENT),
                      0)
                << names[c] << " type " << b.dtype;
        }
    }
    // Spot values after conversion: the last spectrum sample and the update value.
    const auto& spec = f.blocks["BPM1"][2].payload;
    bytes host(spec.size());
    ASSERT_EQ(zorv_convert_data(spec.data(), host.data(), bpm, int(spec.size())), 0);
    float last;
    std::memcpy(&last, host.data() + host.size() - 4, 4);
    EXPECT_EQ(last, 3 + 20 + 2);
    const block_view& u = f.blocks["SLOW1"].at(0);
    EXPECT_EQ(u.evtype, uint32_t(ZORV_EV_UPD));
    EXPECT_EQ(u.evnum, 105u);
    EXPECT_EQ(u.server, "SLOW");
}

// Requests the format cannot hold are refused with a message; the writer
// stays usable and the final file appears only on close.
TEST_P(writer_layouts, refuses_what_the_format_cannot_hold) {
    const file_layout L = GetParam();
    const bool legacy = L == file_layout::legacy;
    const size_t name_field = sizes_of(L).subhead_name;
    zorv_test::temp_dir dir;
    const std::string path = dir.file("bad.raw");
    zorv::daq_file_writer w(L);
    ASSERT_EQ(w.open(path), 0);
    ASSERT_EQ(w.declare_channel(decl("CH")), 0);
    const int upd = legacy ? 1 : 33;
    const zorv::payload good = zorv::make_equipment({1, 2});

    struct refusal {
        const char* what;
        std::function<int()> call;
        const char* message;
    };
    const std::vector<refusal> cases = {
        {"name at its field width", [&] { return w.declare_channel(decl(std::string(name_field, 'N'))); }, "longer than its field"},
        {"declared twice", [&] { return w.declare_channel(decl("CH")); }, "declared twice"},
        {"block outside an event", [&] { return w.add_block(0, "S", good); }, "no event"},
        {"long server name", [&] { w.begin_event(1, ts(10, 0)); return w.add_block(0, std::string(300, 's'), good); }, "longer than its field"},
        {"two blocks of a channel", [&] { w.add_block(0, "S", good); return w.add_block(0, "S", good); }, "already has a block"},
        {"unknown channel", [&] { return w.add_block("NOPE", "S", good); }, "not declared"},
        {"builder refusal", [&] { return w.add_block(0, "S", zorv::make_update(upd, {{std::string(300, 'p')}})); }, "longer than its field"},
        {"members of a device type", [&] { return w.add_block(0, "S", zorv::make_spectrum(legacy ? 6 : 38, zorv::spectrum_data{})); }, "member"},
        {"event number going back", [&] { w.end_event(); return w.begin_event(1, ts(11, 0)); }, "does not follow"},
        {"time going back", [&] { return w.begin_event(2, ts(9, 0)); }, "backwards"},
        {"file over its size limit", [&] { w.set_size_limit(w.projected_size() + 100); w.begin_event(3, ts(12, 0)); return w.add_block(0, "S", zorv::make_raw(23, bytes(4096))); }, "size limit"},
        {"compressed empty payload", [&] { return w.add_block(0, "S", zorv::make_equipment({}), 0, zorv::compression::zlib); }, "empty"},
    };
    for (const auto& c : cases) {
        EXPECT_LT(c.call(), 0) << c.what;
        EXPECT_NE(w.error().find(c.message), std::string::npos) << c.what << ": " << w.error();
        EXPECT_FALSE(std::filesystem::exists(path)) << c.what;
    }
    if (legacy) {
        EXPECT_LT(w.add_block(0, "S", zorv::make_raw(38, bytes(4))), 0);
        EXPECT_NE(w.error().find("legacy"), std::string::npos);
    }
    w.set_size_limit(~0ull);
    ASSERT_EQ(w.add_block(0, "S", good), 0) << w.error();
    EXPECT_TRUE(std::filesystem::exists(path + ".part"));
    ASSERT_EQ(w.close(), 0) << w.error();
    file_view f;
    f.load(path, L);
    EXPECT_EQ(f.blocks["CH"].size(), 2u);  // events 1 and 3
}

INSTANTIATE_TEST_SUITE_P(layouts, writer_layouts,
                         ::testing::Values(file_layout::current, file_layout::legacy),
                         [](const auto& info) {
                             return info.param == file_layout::legacy ? "legacy" : "current";
                         });

TEST(writer, abandoned_file_leaves_nothing) {
    zorv_test::temp_dir dir;
    const std::string path = dir.file("gone.raw");
    {
        zorv::daq_file_writer w;
        ASSERT_EQ(w.open(path), 0);
        ASSERT_EQ(w.begin_event(1, ts(1, 0)), 0);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    zorv::daq_file_writer w;
    EXPECT_LT(w.open(dir.file("no/such/dir.raw")), 0);
    EXPECT_NE(w.error().find("cannot create"), std::string::npos);
}

// Synthetic runs: deterministic bytes, file names, gaps, missing and slow
// channels, and the run catalogue entry the library reads.
TEST(synthetic_run, sample_run_is_complete_and_reproducible) {
    for (file_layout L : {file_layout::current, file_layout::legacy}) {
        const auto& files = zorv_test::sample_run(L);
        ASSERT_EQ(files.size(), 3u);
        EXPECT_EQ(std::filesystem::path(files[1]).filename(),
                  "linac_main_run1234_file2_20101004T120005.raw");

        zorv_test::temp_dir again;
        std::vector<std::string> copy;
        std::string err;
        ASSERT_EQ(zorv::write_sample_run(again.path(), L, &copy, &err), 0) << err;
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(zorv_test::read_file(files[i]), zorv_test::read_file(copy[i]));

        std::set<int> kinds;
        for (int f = 0; f < 3; ++f) {
            file_view v;
            v.load(files[f], L);
            if (HasFatalFailure()) return;
            EXPECT_EQ(v.blocks.count("ROI1"), f == 1 ? 0u : 1u) << "ROI1 is missing from file 2";
            EXPECT_EQ(v.blocks["SLOW1"].size(), 5u);
            EXPECT_EQ(v.blocks["BPM3"].size(), 50u);
            for (const auto& [name, list] : v.blocks)
                for (const auto& b : list) {
                    kinds.insert(b.dtype);
                    bytes host(b.payload.size());
                    EXPECT_EQ(zorv_convert_data(b.payload.data(), host.data(), b.dtype,
                                                int(host.size())), 0) << name;
                }
            // Event numbers: 1000 + g, plus 3 after every 20 events.
            const auto& bpm = v.blocks["BPM3"];
            EXPECT_EQ(bpm.front().evnum, 1000u + 50 * f + 3 * ((50 * f) / 20));
            if (f == 0) {
                EXPECT_EQ(bpm[20].evnum - bpm[19].evnum, 1u + 3);
            }
            EXPECT_EQ(bpm[19].evnum - bpm[18].evnum, 1u);
        }
        EXPECT_EQ(kinds.size(), 13u);

        std::vector<int*> runs;
        int run = 1234;
        runs.push_back(&run);
        std::vector<zorv_root_xml_files*> out;
        std::string desc, exp = "linac";
        ASSERT_EQ(get_files_for_runs(&runs, &out, &desc, &exp,
                                     (zorv_test::sample_run_dir(L) + "/catalog").c_str(), 1),
                  0);
        ASSERT_EQ(out.size(), 1u);
        ASSERT_EQ(out[0]->rfiles.size(), 3u);
        EXPECT_EQ(std::filesystem::canonical(out[0]->rfiles[2]), std::filesystem::canonical(files[2]));
        for (auto* r : out) {
            for (char* s : r->rfiles) delete[] s;
            delete[] r->xmlfile;
            delete r;
        }
    }
}

TEST(synthetic_run, channel_texts) {
    std::vector<zorv::synthetic_channel> ch;
    std::string err;
    ASSERT_EQ(zorv::synthetic_channels("A 38 comp=lzo every=4 missing=1,3; B 33", file_layout::legacy, &ch, &err), 0) << err;
    ASSERT_EQ(ch.size(), 2u);
    EXPECT_EQ(ch[0].dtype, 6);
    EXPECT_EQ(ch[0].comp, zorv::compression::lzo);
    EXPECT_EQ(ch[0].missing_files, (std::vector<int>{1, 3}));
    EXPECT_EQ(ch[1].dtype, 1);
    EXPECT_EQ(ch[1].event_type, ZORV_EV_UPD);
    for (const char* bad : {"", "A", "A 99", "A 38 comp=gzip", "A 38 every=0", "A 38 colour=red"})
        EXPECT_NE(zorv::synthetic_channels(bad, file_layout::current, &ch, &err), 0) << bad;
}

// Files of unequal lengths, a channel with a time offset in events of its
// own type, and a spoilt block that no longer decompresses.
TEST(synthetic_run, file_lengths_time_offsets_and_spoilt_blocks) {
    zorv_test::temp_dir dir;
    auto cfg = zorv_test::small_run_config(dir.path(), 2, 1, "A 38 ndata=2; B 42 ndata=2 evtype=6");
    cfg.file_events = {2, 5};
    cfg.channels[1].offset_us = 30000;
    cfg.channels[0].damaged_events = {cfg.first_event + 1};
    const auto files = zorv_test::write_run(cfg);
    ASSERT_EQ(files.size(), 2u);
    std::vector<size_t> counts;
    for (const auto& f : files) {
        file_view v;
        v.spoilt_allowed = true;
        v.load(f, file_layout::current);
        for (const auto& b : v.blocks["A"]) EXPECT_EQ(b.inflated, b.evnum != cfg.first_event + 1);
        counts.push_back(v.blocks["B"].size());
        for (size_t i = 0; i < v.blocks["B"].size(); ++i) {
            EXPECT_EQ(v.blocks["B"][i].evtype, 6u);
            EXPECT_EQ(v.blocks["B"][i].evusec, v.blocks["A"][i].evusec + 30000);
            EXPECT_EQ(v.blocks["B"][i].evnum, v.blocks["A"][i].evnum);
        }
    }
    EXPECT_EQ(counts, (std::vector<size_t>{2, 5}));
    // Mismatched settings are refused.
    cfg.channels[0].event_type = 6;
    std::string err;
    EXPECT_NE(zorv::write_synthetic_run(cfg, nullptr, &err), 0);
    cfg.channels[0].event_type = ZORV_EV_NORMAL;
    cfg.file_events = {2};
    EXPECT_NE(zorv::write_synthetic_run(cfg, nullptr, &err), 0);
}

// The event-format library's table parsers read back what the independent
// walk found: every table, every ECPT position, the channel descriptions.
template <class Ref, class Eit, class Cdt, class Xcd>
struct parsers {
    int (*ref)(const unsigned char*, size_t, off_t, int, Ref**);
    int (*eit)(off_t, const Ref*, int, Eit**);
    int (*cdt)(off_t, const Ref*, int, Cdt**);
    int (*ecpt)(off_t, const Ref*, int, zorv_event_chan_pointers_table**);
    int (*by_list)(off_t, const Ref*, int, const std::vector<char*>*, const Cdt*,
                   zorv_event_chan_pointers_table**);
    int (*eidt)(off_t, const Ref*, int, zorv_env_dictionary_table**);
    int (*xcd)(off_t, const Ref*, int, Xcd**);
};

template <class Ref, class Eit, class Cdt, class Xcd>
void check_with_parsers(const std::string& path, file_layout L,
                        const parsers<Ref, Eit, Cdt, Xcd>& p) {
    file_view v;
    v.load(path, L);
    if (::testing::Test::HasFatalFailure()) return;
    const std::string raw = zorv_test::read_file(path);
    FILE* fp = std::fopen(path.c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    std::unique_ptr<FILE, int (*)(FILE*)> guard(fp, &std::fclose);
    const int fd = fileno(fp);
    const off_t len = static_cast<off_t>(raw.size());
    auto own = [](auto* t) { return std::unique_ptr<void, void (*)(void*)>(t, &std::free); };

    Ref* ref = nullptr;
    const size_t tail = std::min<size_t>(4096, raw.size());
    ASSERT_EQ(p.ref(reinterpret_cast<const unsigned char*>(raw.data()) + raw.size() - tail, tail,
                    len, fd, &ref),
              0);
    auto r1 = own(ref);
    Eit* eit = nullptr;
    Cdt* cdt = nullptr;
    zorv_event_chan_pointers_table* ecpt = nullptr;
    zorv_env_dictionary_table* eidt = nullptr;
    Xcd* xcd = nullptr;
    ASSERT_EQ(p.eit(len, ref, fd, &eit), 0);
    auto r2 = own(eit);
    ASSERT_EQ(p.cdt(len, ref, fd, &cdt), 0);
    auto r3 = own(cdt);
    ASSERT_EQ(p.ecpt(len, ref, fd, &ecpt), 0);
    auto r4 = own(ecpt);
    ASSERT_EQ(p.eidt(len, ref, fd, &eidt), 0);
    auto r5 = own(eidt);
    ASSERT_EQ(p.xcd(len, ref, fd, &xcd), 0);
    auto r6 = own(xcd);

    std::vector<uint32_t> numbers;
    const unsigned char* e = reinterpret_cast<const unsigned char*>(eit->entry);
    for (int t = 0; t < eit->nevent_types; ++t) {
        auto* entry = reinterpret_cast<const zorv_event_index_entry*>(e);
        for (int i = 0; i < (entry->length - 32) / 16; ++i)
            numbers.push_back(entry->event_info[i].event_number);
        e += entry->length;
    }
    EXPECT_EQ(numbers, v.eit_events);

    const int n = zorv_cdt_entry_count(cdt);
    ASSERT_EQ(n, static_cast<int>(v.keys.size()));
    for (int c = 0; c < n; ++c) {
        const auto& ent = cdt->entry[c];
        const std::string name = ent.chan_name;
        EXPECT_EQ(ent.key, v.keys[name]);
        EXPECT_EQ(ent.ev_mask, v.ev_masks[name]);
        EXPECT_EQ(ent.dtype_mask, v.dtype_masks[name]);
        const auto& list = v.blocks[name];
        ASSERT_EQ(ent.count, static_cast<int32_t>(list.size()));
        for (size_t i = 0; i < list.size(); ++i) {
            const auto& ptr = ecpt->chptr[c * ecpt->maxev + i];
            EXPECT_EQ(ptr.evhd, list[i].evhd);
            EXPECT_EQ(ptr.sbhd, list[i].sbhd);
            EXPECT_EQ(ptr.chhd, list[i].chhd);
            EXPECT_EQ(ptr.data, list[i].data);
        }
    }
    // By list: the last channel and an unknown name (empty column).
    std::string last = cdt->entry[n - 1].chan_name, none = "NOT_THERE";
    std::vector<char*> names = {last.data(), none.data()};
    zorv_event_chan_pointers_table* part = nullptr;
    ASSERT_EQ(p.by_list(len, ref, fd, &names, cdt, &part), 0);
    auto r7 = own(part);
    EXPECT_EQ(part->maxev, cdt->entry[n - 1].count);
    if (part->maxev > 0) {
        EXPECT_EQ(part->chptr[0].chhd, v.blocks[last][0].chhd);
        EXPECT_EQ(part->chptr[part->maxev].chhd, 0u);
    }

    EXPECT_EQ((eidt->length - 8) / 8, static_cast<int>(v.env_index.size()));
    std::vector<chan_descr_2010*> descr;
    ASSERT_EQ(zorv_load_chan_descr(reinterpret_cast<const zorv_xml_chan_descr_header_2010*>(xcd),
                                   &descr), 0);
    EXPECT_EQ(descr.size(), v.keys.size());
    for (chan_descr_2010* d : descr) {
        EXPECT_EQ(v.keys.count(d->daq_name), 1u) << d->daq_name;
        EXPECT_EQ(d->nbits, 1);
        zorv_free_chan_descr(d);
    }
}

TEST(writer, tables_read_back_through_the_parsers) {
    const parsers<zorv_file_reference_table_2010, zorv_event_index_table_2010,
                  zorv_chan_dictionary_table_2010, zorv_xml_chan_descr_header_2010>
        current = {get_zorv_file_reference_table_m_2010, zorv_get_event_index_table_m_2010,
                   zorv_get_channel_dictionary_table_m_2010, zorv_get_event_chan_pointers_table_m_2010,
                   zorv_get_event_chan_pointers_table_by_list_m_2010,
                   zorv_get_env_index_dictionary_table_m_2010, zorv_get_chan_descr_table_m_2010};
    const parsers<zorv_file_reference_table, zorv_event_index_table, zorv_chan_dictionary_table,
                  zorv_xml_chan_descr_header>
        legacy = {get_zorv_file_reference_table_m, zorv_get_event_index_table_m,
                  zorv_get_channel_dictionary_table_m, zorv_get_event_chan_pointers_table_m,
                  zorv_get_event_chan_pointers_table_by_list_m,
                  zorv_get_env_index_dictionary_table_m, zorv_get_chan_descr_table_m};
    for (const auto& f : zorv_test::sample_run(file_layout::current))
        check_with_parsers(f, file_layout::current, current);
    for (const auto& f : zorv_test::sample_run(file_layout::legacy))
        check_with_parsers(f, file_layout::legacy, legacy);
}

}  // namespace
