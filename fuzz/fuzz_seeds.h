// Seed inputs of the fuzz targets, made by the file writer: small files of
// both layouts, one payload of every block type, XML descriptions, run
// catalogue files and file names. Used by the seed-corpus generator of the
// fuzz build and by the test that replays the corpora.
#ifndef ZORV_FUZZ_SEEDS_H
#define ZORV_FUZZ_SEEDS_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "zorv_daq_read_chan_2010.h"
#include "zorv_daq_writer.h"

namespace zorv_fuzz {

using bytes = std::string;
using seed_map = std::map<std::string, std::vector<bytes>>;  // target -> inputs

inline const char* const targets[] = {"table_set", "read_channels", "reader", "tables",
                                      "payload",   "chan_descr",    "run_catalog", "file_names"};

// Channels of the small seed files: every compression, a device spectrum, a
// slow update channel, an environment value, an image and a name/value block.
inline const char* small_channels =
    "BPM1 38 ndata=2; TORO1 42 ndata=2 comp=zlib; RF1 43 ndata=2 comp=lzo server=SRV2;"
    "SLOW1 33 every=2 server=SLOW; ENV1 35 every=2 evtype=4 server=SLOW;"
    "CAM1 13 ndata=4 comp=zlib server=CAM; NV1 22 ndata=1";

inline bytes slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A scratch directory removed with its content.
struct scratch_dir {
    std::string path;
    scratch_dir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/zorv-seeds-XXXXXX";
        if (mkdtemp(&t[0])) path = t;
    }
    ~scratch_dir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

// A small run of `files` files of `events` events written in `dir`.
inline zorv::synthetic_run_config small_run(const std::string& dir, zorv::file_layout layout,
                                            const char* channels, int files, int events) {
    zorv::synthetic_run_config cfg;
    std::string err;
    if (zorv::make_run_config(dir, layout, files, events, channels, &cfg, &err) != 0)
        std::fprintf(stderr, "seed run's channels refused: %s\n", err.c_str());
    cfg.catalog_dir = dir + "/catalog";
    cfg.run = 1234;
    cfg.first_event = 100;
    cfg.gap_every = 2;
    cfg.gap_size = 1;
    return cfg;
}

// Bytes of the files of a small run; empty when the writer refuses.
inline std::vector<bytes> small_files(zorv::file_layout layout, const char* channels, int events,
                                      int files = 1) {
    scratch_dir dir;
    std::vector<std::string> paths;
    std::string err;
    if (dir.path.empty() ||
        zorv::write_synthetic_run(small_run(dir.path, layout, channels, files, events), &paths,
                                  &err) != 0) {
        std::fprintf(stderr, "seed run: %s\n", err.c_str());
        return {};
    }
    std::vector<bytes> out;
    for (const std::string& p : paths) out.push_back(slurp(p));
    return out;
}

// One payload input: type, layout selector, member, big-endian payload.
inline bytes payload_input(const zorv::payload& p, int layout, int sub) {
    bytes b;
    b.push_back(char(p.dtype));
    b.push_back(char(layout));
    b.push_back(char(sub));
    b.append(p.bytes.begin(), p.bytes.end());
    return b;
}

inline std::vector<bytes> payload_seeds() {
    using zorv::file_layout;
    std::vector<zorv::payload> ps;
    auto spectrum = [](int members, int ndata, int groups) {
        zorv::spectrum_data s;
        s.ndata = ndata;
        s.groups = groups;
        for (int m = 0; m < members; ++m) {
            zorv::spectrum_member mem;
            for (int i = 0; i < ndata * groups; ++i) mem.samples.push_back(float(m * 10 + i));
            mem.stat_mask = 1;
            mem.stat[0] = float(m);
            s.members.push_back(mem);
        }
        return s;
    };
    const std::pair<int, int> devices[] = {{38, 3}, {41, 1}, {43, 2}, {46, 4}, {48, 8}, {45, 2},
                                           {6, 3},  {9, 1},  {11, 2}, {14, 4}, {20, 4}};
    for (auto [type, n] : devices)
        ps.push_back(zorv::make_spectrum(type, spectrum(n, 3, type >= 33 ? 2 : 1),
                                         type >= 33 ? file_layout::current : file_layout::legacy));
    for (file_layout l : {file_layout::current, file_layout::legacy}) {
        ps.push_back(zorv::make_spectrum(28, spectrum(3, 2, 1), l));
        ps.push_back(zorv::make_spectrum(24, spectrum(1, 4, 1), l));
    }
    for (int t : {1, 33, 36}) ps.push_back(zorv::make_update(t, {{"P1", 1, {5, 6}, 1.5f}, {"P2", 0, {7, 8}, 2.5f}}));
    for (int t : {3, 35}) ps.push_back(zorv::make_env_value(t, zorv_env_data_block{3, 0, {9, 10}, 4.0f}));
    for (int t : {2, 34}) ps.push_back(zorv::make_env_dict(t, {{1, "E1"}, {2, "E2"}}));
    ps.push_back(zorv::make_name_value(7, "note", {{"a", 1.0f}, {"b", 2.0f}}));
    zorv_image_frame_head ih{};
    ih.w = 2;
    ih.h = 2;
    ps.push_back(zorv::make_image(ih, {1, 2, 3, 4}));
    zorv_image_ext_frame_head xh{};
    xh.width = xh.aoi_width = 2;
    xh.height = xh.aoi_height = 1;
    xh.bpp = 1;
    ps.push_back(zorv::make_image_ext(xh, {5, 6}));
    ps.push_back(zorv::make_equipment({1, 2, 3}));

    std::vector<bytes> out;
    for (const zorv::payload& p : ps) {
        if (!p.ok()) continue;
        const int layout = p.dtype >= 33 ? 1 : (p.dtype >= 24 && p.dtype <= 28 ? 0 : 2);
        out.push_back(payload_input(p, layout, 1));
    }
    return out;
}

// The XML description text of a written file.
inline bytes description_text(const bytes& file) {
    scratch_dir dir;
    const std::string path = dir.path + "/f.raw";
    std::ofstream(path, std::ios::binary) << file;
    zorv_file_get_tables_2010 t(0);
    std::string p = path;
    if (t.get_all_tables(&p[0], 0, nullptr) != 0 || !t.get_xcd_table()) return {};
    return t.get_xcd_table()->xml;
}

inline seed_map make_seeds() {
    using zorv::file_layout;
    seed_map m;
    for (file_layout l : {file_layout::current, file_layout::legacy}) {
        for (bytes& f : small_files(l, small_channels, 3)) {
            m["table_set"].push_back(f);
            m["tables"].push_back(f);
            m["read_channels"].push_back(f);
            m["reader"].push_back(std::move(f));
        }
        for (bytes& f : small_files(l, "BPM1 38 ndata=1", 1)) m["table_set"].push_back(std::move(f));
    }
    m["payload"] = payload_seeds();
    if (!m["table_set"].empty()) m["chan_descr"].push_back(description_text(m["table_set"][0]));
    m["chan_descr"].push_back("<channels/>");

    scratch_dir dir;
    const auto cfg = small_run(dir.path, file_layout::current, "BPM1 38 ndata=1", 3, 2);
    if (!dir.path.empty() && zorv::write_synthetic_run(cfg, nullptr, nullptr) == 0)
        for (char query = 0; query < 4; ++query)
            m["run_catalog"].push_back(query + slurp(cfg.catalog_dir + "/linac/run1234.xml"));

    bytes names;
    for (int n = 1; n <= 3; ++n) names += zorv::synthetic_file_name(cfg, n) + "\n";
    names += "linac_main_run7_file2_20101004T115959.raw\nno_time.raw";
    m["file_names"].push_back(names);
    return m;
}

}  // namespace zorv_fuzz

#endif
