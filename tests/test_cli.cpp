// The zorv-daq program run as a user runs it, on runs written by the writer
// in both layouts: exit statuses, what goes to standard output and standard
// error, and the values `read` prints checked against what was written.
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <zlib.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "be_reader.h"
#include "sample_run.h"
#include "test_support.h"
#include "zorv_daq_writer.h"

namespace {

using nlohmann::json;
using zorv::file_layout;

struct result {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines() const {
        std::vector<std::string> v;
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }
    std::vector<json> records() const {
        std::vector<json> v;
        for (const auto& l : lines()) v.push_back(json::parse(l));
        return v;
    }
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

result run(const std::vector<std::string>& args) {
#ifndef ZORV_DAQ_PROGRAM
    ADD_FAILURE() << "built without the program";
    return {};
#else
    zorv_test::temp_dir tmp;
    // A read that loops forever fails the test instead of hanging it.
    std::string cmd = "timeout 300 " + quote(ZORV_DAQ_PROGRAM);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(tmp.file("out")) + " 2>" + quote(tmp.file("err")) + " </dev/null";
    const int rc = std::system(cmd.c_str());
    result r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = zorv_test::read_file(tmp.file("out"));
    r.err = zorv_test::read_file(tmp.file("err"));
    return r;
#endif
}

// An argument of the program and a text its output must show for it.
struct arg_and_text {
    const char* arg;
    const char* text;
};

// Runs `body` once for each layout; a failure names the layout it is in.
template <class F>
void in_both_layouts(F body) {
    for (file_layout lay : {file_layout::current, file_layout::legacy}) {
        SCOPED_TRACE(lay == file_layout::legacy ? "legacy" : "current");
        body(lay);
    }
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// A small run written into a directory of its own.
struct written_run {
    zorv_test::temp_dir dir;
    zorv::synthetic_run_config cfg;
    std::vector<std::string> files;
    written_run(int nfiles, int events, const std::string& channels, file_layout lay)
        : cfg(zorv_test::small_run_config(dir.path(), nfiles, events, channels, lay)),
          files(zorv_test::write_run(cfg)) {}
};

// Event number of event g (0-based) of a run, gaps included.
uint32_t event_number(const zorv::synthetic_run_config& cfg, int g) {
    const int gaps = cfg.gap_every > 0 ? g / cfg.gap_every : 0;
    return cfg.first_event + uint32_t(g + gaps * cfg.gap_size);
}

int channel_index(const zorv::synthetic_run_config& cfg, const std::string& name) {
    for (size_t i = 0; i < cfg.channels.size(); ++i)
        if (cfg.channels[i].name == name) return int(i);
    return -1;
}

TEST(Cli, LsAndInfoDescribeTheFilesOfBothLayouts) {
    in_both_layouts([&](file_layout lay) {
        const auto& files = zorv_test::sample_run(lay);
        const auto cfg = zorv_test::sample_config(lay);
        ASSERT_EQ(files.size(), 3u);

        result ls = run({"ls", files[0]});
        ASSERT_EQ(ls.status, 0) << ls.err;
        const auto chans = ls.records();
        ASSERT_EQ(chans.size(), cfg.channels.size());
        for (const auto& c : chans) {
            const int i = channel_index(cfg, c["name"]);
            ASSERT_GE(i, 0) << c.dump();
            const auto& sc = cfg.channels[size_t(i)];
            EXPECT_EQ(c["entries"], (cfg.events_per_file + sc.every - 1) / sc.every) << c.dump();
            EXPECT_EQ(c["prop_name"], cfg.experiment + "/" + sc.name);
            EXPECT_EQ(c["units"], "mm");
            EXPECT_EQ(c["dtypes"].size(), 1u);
        }
        result tsv = run({"ls", "--tsv", files[1]});
        ASSERT_EQ(tsv.status, 0);
        EXPECT_EQ(tsv.lines().at(0), "name\tkey\tentries\tdtypes\tevent_types\tprop_name\tunits");

        result info = run(with({"info"}, files));
        ASSERT_EQ(info.status, 0) << info.err;
        const auto recs = info.records();
        ASSERT_EQ(recs.size(), 3u);
        for (const auto& r : recs) {
            EXPECT_EQ(r["layout"], lay == file_layout::legacy ? "legacy" : "current");
            EXPECT_EQ(r["events"]["NORMAL"], cfg.events_per_file);
            EXPECT_GT(r["uncompressed_bytes"].get<uint64_t>(), r["compressed_bytes"].get<uint64_t>());
            EXPECT_LT(r["compressed_bytes"].get<uint64_t>(), r["size"].get<uint64_t>());
        }
        EXPECT_EQ(recs[0]["first"], "2010-10-04T12:00:00.000000Z");
        EXPECT_EQ(recs[0]["seconds"], 4.9);
    });
}

// Bytes of a file with `n` bytes from `pos` replaced by their complement.
void damage(const std::string& path, size_t pos, size_t n) {
    std::string bytes = zorv_test::read_file(path);
    for (size_t i = pos; i < pos + n && i < bytes.size(); ++i) bytes[i] = char(~bytes[i]);
    ASSERT_TRUE(zorv_test::write_file(path, bytes));
}

TEST(Cli, ValidateReportsDamageWithItsPosition) {
    in_both_layouts([&](file_layout lay) {
        const written_run w(1, 6, "BPM1 38 comp=zlib; TORO1 42", lay);
        ASSERT_EQ(w.files.size(), 1u);
        result good = run({"validate", w.files[0]});
        EXPECT_EQ(good.status, 0) << good.out << good.err;
        EXPECT_EQ(good.lines(), std::vector<std::string>{w.files[0] + ": ok"});

        // The third BPM1 block's compressed bytes.
        const std::string bytes = zorv_test::read_file(w.files[0]);
        size_t pos = 0;
        for (int k = 0; k < 3; ++k) pos = bytes.find(std::string("BPM1\0", 5), pos + 1);
        ASSERT_NE(pos, std::string::npos);
        const size_t sh = lay == file_layout::legacy ? 44 : 268;
        damage(w.files[0], pos + sh + 12 + 4, 16);
        result bad = run({"validate", w.files[0]});
        EXPECT_EQ(bad.status, 1);
        EXPECT_NE(bad.out.find(w.files[0] + ": at " + std::to_string(pos) + ": channel BPM1 entry 2"),
                  std::string::npos)
            << bad.out;
    });
}

// A block that cannot be decoded costs its own entry only: every event is
// read (or every entry dumped), the record says why the channel has
// nothing, and the status says that a file had problems.
TEST(Cli, ReadAndDumpPastADamagedBlockEndWithStatusOne) {
    in_both_layouts([&](file_layout lay) {
        const written_run w(2, 4, "BPM1 38 comp=zlib; TORO1 42", lay);
        ASSERT_EQ(w.files.size(), 2u);
        const std::string bytes = zorv_test::read_file(w.files[1]);
        const size_t pos = bytes.find(std::string("BPM1\0", 5));
        ASSERT_NE(pos, std::string::npos);
        const size_t sh = lay == file_layout::legacy ? 44 : 268;
        // The compressed bytes, or the channel's name in the block's header.
        for (const size_t at : {pos + sh + 12 + 4, pos}) {
            SCOPED_TRACE(at);
            ASSERT_TRUE(zorv_test::write_file(w.files[1], bytes));
            damage(w.files[1], at, 2);
            result r = run(with({"read", "--report"}, w.files));
            EXPECT_EQ(r.status, 1) << r.err;
            const auto recs = r.records();
            ASSERT_EQ(recs.size(), 8u);
            EXPECT_EQ(recs[4]["reasons"]["BPM1"], "damaged");
            EXPECT_NE(r.err.find("channel BPM1: delivered 7 carried 0 damaged 1 "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("read incomplete"), std::string::npos) << r.err;
            if (at == pos) continue;  // the channel's own dump does not look at the name

            result d = run({"dump", w.files[1], "BPM1"});
            EXPECT_EQ(d.status, 1) << d.err;
            EXPECT_NE(d.out.find("entry 0 of event"), std::string::npos) << d.out;
            EXPECT_NE(d.err.find("channel BPM1: 1 damaged entries"), std::string::npos) << d.err;
            EXPECT_EQ(run({"dump", w.files[1], "TORO1"}).status, 0);
        }
    });
}

TEST(Cli, BadInputGivesOneLineAndStatusTwo) {
    zorv_test::temp_dir dir;
    const std::string text = dir.file("notes.raw");
    ASSERT_TRUE(zorv_test::write_file(text, "not a DAQ file, just words\n"));
    const auto& files = zorv_test::sample_run(file_layout::current);
    const std::vector<std::vector<std::string>> cases = {
        {"ls", dir.file("missing.raw")},
        {"info", text},
        {"validate", text},
        {"dump", files[0], "NOSUCH"},
        {"image", files[0], "CAM1", "--event", "1", "-o", dir.file("x.png")},
        {"read", files[0], "--from", "yesterday"},
        {"read", files[0], "--chan", "NOSUCH"},
        {"read", dir.file("missing.raw")},
        {"read", text},
        {"read"},
    };
    for (const auto& args : cases) {
        result r = run(args);
        SCOPED_TRACE(args[0] + " " + args.back());
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("zorv-daq " + args[0] + ": "), std::string::npos) << r.err;
    }
}

TEST(Cli, DumpAndImage) {
    in_both_layouts([&](file_layout lay) {
        const auto& files = zorv_test::sample_run(lay);
        const auto cfg = zorv_test::sample_config(lay);
        const arg_and_text dumps[] = {{"events", "=================EVENT HEADERS======"},
                                      {"servers", "=================SB HEADERS======"},
                                      {"headers", "=================CHANNEL HEADERS======"}};
        for (const auto& d : dumps) {
            result r = run({"dump", files[0], "TORO1", "--what", d.arg});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.lines().at(0), d.text);
            EXPECT_NE(r.out.find(std::to_string(cfg.first_event + 7) + " "), std::string::npos);
        }
        // The data dump prints each member's values, of a cut member too.
        const int bpm = channel_index(cfg, "BPM3");
        auto first_samples = [&](int member) {
            std::ostringstream line;
            for (int i = 0; i < 5; ++i) line << " " << zorv::synthetic_sample(cfg, bpm, cfg.first_event, member, i);
            return line.str();
        };
        result data = run({"dump", files[0], "BPM3", "--what", "data"});
        ASSERT_EQ(data.status, 0) << data.err;
        EXPECT_EQ(data.lines().at(0).substr(0, 11), "event " + std::to_string(cfg.first_event) + " ");
        EXPECT_NE(data.out.find("           2 CHARGE:" + first_samples(2) + "\n"), std::string::npos) << data.out;
        result cut = run({"dump", files[0], "BPM3:Y", "--what", "data"});
        EXPECT_NE(cut.out.find("           0 Y:" + first_samples(1) + "\n"), std::string::npos) << cut.out;

        zorv_test::temp_dir dir;
        const uint32_t ev = cfg.first_event + 4;
        result img = run({"image", files[0], "CAM1", "--event", std::to_string(ev), "-o", dir.file("c.png")});
        ASSERT_EQ(img.status, 0) << img.err;
        const std::string png = zorv_test::read_file(dir.file("c.png"));
        ASSERT_GT(png.size(), 33u);
        EXPECT_EQ(png.substr(1, 3), "PNG");
        const int n = cfg.channels[size_t(channel_index(cfg, "CAM1"))].ndata;
        auto be32 = [&](size_t off) {
            return uint32_t((unsigned char)png[off]) << 24 | uint32_t((unsigned char)png[off + 1]) << 16 |
                   uint32_t((unsigned char)png[off + 2]) << 8 | uint32_t((unsigned char)png[off + 3]);
        };
        EXPECT_EQ(be32(16), uint32_t(n));  // width
        EXPECT_EQ(be32(20), uint32_t(n));  // height
        EXPECT_EQ(png[24], 16);            // bit depth

        result no_image = run({"image", files[0], "BPM3", "--event", std::to_string(ev), "-o", dir.file("b.png")});
        EXPECT_EQ(no_image.status, 2);
    });
}

// The pixel bytes the writer stores for image channel `ch` of `event`.
std::string image_crc(const zorv::synthetic_run_config& cfg, int ch, uint32_t event) {
    const int n = cfg.channels[size_t(ch)].ndata;
    std::string px;
    for (int i = 0; i < n * n; ++i) {
        const uint32_t v = uint32_t(zorv::synthetic_sample(cfg, ch, event, 0, i)) & 0xFFFF;
        px += char(v >> 8);
        px += char(v & 0xFF);
    }
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08lx",
                  crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(px.data()), uInt(px.size())));
    return buf;
}

// Every value of every spectrum, name/value, update and image channel.
void check_event(const zorv::synthetic_run_config& cfg, const json& rec) {
    const uint32_t ev = rec["event"];
    for (const auto& [key, v] : rec["channels"].items()) {
        const int ch = channel_index(cfg, key);
        ASSERT_GE(ch, 0) << key;
        const uint32_t own = v.contains("event") ? v["event"].get<uint32_t>() : ev;
        SCOPED_TRACE(key + " event " + std::to_string(own));
        const std::string kind = v["kind"];
        if (kind == "spectrum" || kind == "roi") {
            for (size_t m = 0; m < v["members"].size(); ++m) {
                const auto& s = v["members"][m]["samples"];
                ASSERT_GT(s.size(), 0u);
                for (size_t i = 0; i < s.size(); ++i)
                    ASSERT_EQ(s[i].get<float>(), zorv::synthetic_sample(cfg, ch, own, int(m), int(i)));
                EXPECT_EQ(v["members"][m]["start"], 0.5);
                EXPECT_EQ(v["members"][m]["inc"], 0.25);
            }
        } else if (kind == "name_value") {
            for (size_t i = 0; i < v["values"].size(); ++i) {
                EXPECT_EQ(v["values"][i]["name"], "VAL" + std::to_string(i));
                EXPECT_EQ(v["values"][i]["value"].get<float>(), zorv::synthetic_sample(cfg, ch, own, 0, int(i)));
            }
        } else if (kind == "update" && !v.contains("carried")) {
            EXPECT_EQ(v["value"].get<float>(), zorv::synthetic_sample(cfg, ch, own, 0, 0));
            EXPECT_EQ(v["prop"], key);
        } else if (kind == "image") {
            EXPECT_EQ(v["crc32"], image_crc(cfg, ch, own));
        }
    }
}

TEST(Cli, ReadPrintsWhatTheWriterWrote) {
    in_both_layouts([&](file_layout lay) {
        const auto& files = zorv_test::sample_run(lay);
        const auto cfg = zorv_test::sample_config(lay);
        result r = run(with({"read"}, files));
        ASSERT_EQ(r.status, 0) << r.err;
        const auto recs = r.records();
        ASSERT_EQ(recs.size(), size_t(cfg.files * cfg.events_per_file)) << r.err;
        int g = 0;
        for (const auto& rec : recs) {
            EXPECT_EQ(rec["event"], event_number(cfg, g++));
            check_event(cfg, rec);
            if (::testing::Test::HasFailure()) return;
        }
        // ROI1 is missing from the second file.
        EXPECT_TRUE(recs[10]["channels"].contains("ROI1"));
        EXPECT_FALSE(recs[60]["channels"].contains("ROI1"));
    });
}

TEST(Cli, ReadSelectsChannelsEventsAndFormat) {
    in_both_layouts([&](file_layout lay) {
        const auto& files = zorv_test::sample_run(lay);
        const auto cfg = zorv_test::sample_config(lay);
        const uint32_t first = event_number(cfg, 45);
        result r = run(with({"read"}, with(files, {"--chan", "BPM3:1;ypos", "--chan", "SLOW1", "--start-event",
                                                   std::to_string(first), "--limit", "10"})));
        ASSERT_EQ(r.status, 0) << r.err;
        const auto recs = r.records();
        ASSERT_EQ(recs.size(), 10u);
        EXPECT_TRUE(recs.back()["channels"].contains("SLOW1"));
        EXPECT_EQ(recs[0]["event"], first);
        const int bpm = channel_index(cfg, "BPM3");
        bool slow_seen = false;
        for (const auto& rec : recs) {
            const auto& y = rec["channels"]["ypos"];
            ASSERT_EQ(y["members"].size(), 1u) << rec.dump();
            EXPECT_EQ(y["members"][0]["name"], "Y");
            EXPECT_EQ(y["members"][0]["samples"][3].get<float>(),
                      zorv::synthetic_sample(cfg, bpm, rec["event"], 1, 3));
            // Once the slow value has come, it is carried into every later event.
            if (slow_seen) {
                EXPECT_TRUE(rec["channels"].contains("SLOW1")) << rec.dump();
            }
            slow_seen = slow_seen || rec["channels"].contains("SLOW1");
        }

        const std::string dir = zorv_test::sample_run_dir(lay);
        result req = run({"read", "--run", std::to_string(cfg.run), "--cdir", dir + "/catalog", "--ddir", dir,
                          "--chan", "TORO1", "--limit", "2"});
        ASSERT_EQ(req.status, 0) << req.err;
        EXPECT_EQ(req.records().at(1)["event"], event_number(cfg, 1));
        // Without --ddir the files are looked up where the catalogue says they are.
        result by_catalogue = run({"read", "--run", std::to_string(cfg.run), "--cdir", dir + "/catalog",
                                   "--chan", "TORO1", "--limit", "2"});
        ASSERT_EQ(by_catalogue.status, 0) << by_catalogue.err;
        EXPECT_EQ(by_catalogue.out, req.out);

        result tsv = run(with({"read", "--tsv", "--chan", "TORO1", "--limit", "3"}, files));
        ASSERT_EQ(tsv.status, 0) << tsv.err;
        const auto lines = tsv.lines();
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0], "event\ttime\tTORO1.mean [mm]\tTORO1.min [mm]\tTORO1.max [mm]\tmissing");
        EXPECT_EQ(lines[1].substr(0, lines[1].find('\t')), std::to_string(cfg.first_event));
    });
}

TEST(Cli, ReadLeavesOutAFileWithBrokenTables) {
    const written_run w(2, 5, "minimal", file_layout::current);
    ASSERT_EQ(w.files.size(), 2u);
    // The event index table's pattern, found through the trailer and the reference table.
    const std::string bytes = zorv_test::read_file(w.files[0]);
    auto be32 = [&](size_t off) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | (unsigned char)bytes[off + size_t(i)];
        return v;
    };
    const uint32_t eit = be32(be32(bytes.size() - 4) + 8);
    damage(w.files[0], eit, 4);

    result r = run(with({"read"}, w.files));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(w.files[0] + ": at " + std::to_string(eit) + ": event index table"), std::string::npos)
        << r.err;
    const auto recs = r.records();
    ASSERT_EQ(recs.size(), 5u);
    EXPECT_EQ(recs[0]["event"], event_number(w.cfg, 5));
}

// A file cut short (as by an interrupted copy) is damaged, not of another
// format: reported with where its table of contents was looked for, left
// out, the other files read.
TEST(Cli, ReadLeavesOutATruncatedFile) {
    in_both_layouts([&](file_layout lay) {
        const written_run w(3, 4, "minimal", lay);
        ASSERT_EQ(w.files.size(), 3u);
        const std::string whole = zorv_test::read_file(w.files[1]);
        for (size_t keep : {whole.size() / 2, size_t(6)}) {
            SCOPED_TRACE(keep);
            ASSERT_TRUE(zorv_test::write_file(w.files[1], whole.substr(0, keep)));
            result r = run(with({"read"}, w.files));
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_NE(r.err.find(w.files[1] + ": at "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("truncated or damaged"), std::string::npos) << r.err;
            const auto recs = r.records();
            ASSERT_EQ(recs.size(), 8u);
            EXPECT_EQ(recs[3]["event"], event_number(w.cfg, 3));
            EXPECT_EQ(recs[4]["event"], event_number(w.cfg, 8));

            result info = run({"info", w.files[1]});
            EXPECT_EQ(info.status, 1) << info.err;
        }
    });
}

// `image` looks for the event past a file it cannot read; when the event is
// in no file it could read, it says the unread file may hold it.
TEST(Cli, ImageLooksPastATruncatedFile) {
    in_both_layouts([&](file_layout lay) {
        const written_run w(3, 4, "CAM1 13 ndata=8", lay);
        ASSERT_EQ(w.files.size(), 3u);
        const std::string whole = zorv_test::read_file(w.files[0]);
        ASSERT_TRUE(zorv_test::write_file(w.files[0], whole.substr(0, whole.size() / 2)));
        const std::string png = w.dir.file("x.png");
        const std::string later = std::to_string(event_number(w.cfg, 9));
        result found = run(with({"image"}, with(w.files, {"CAM1", "--event", later, "-o", png})));
        EXPECT_EQ(found.status, 0) << found.err;
        EXPECT_NE(found.err.find(w.files[0] + ": at "), std::string::npos) << found.err;
        EXPECT_EQ(zorv_test::read_file(png).find("PNG"), 1u);

        const std::string lost = std::to_string(event_number(w.cfg, 1));
        result unread = run(with({"image"}, with(w.files, {"CAM1", "--event", lost, "-o", w.dir.file("y.png")})));
        EXPECT_EQ(unread.status, 1) << unread.err;
        EXPECT_NE(unread.err.find("has no block for event " + lost + " in the files that can be read"),
                  std::string::npos)
            << unread.err;
    });
}

// Options take one value each, steps must fit the mode, and by time every
// event is delivered in both layouts, or the read stops with a message.
TEST(Cli, ReadOptionsStepsAndTimeMode) {
    in_both_layouts([&](file_layout lay) {
        const auto& files = zorv_test::sample_run(lay);
        const auto cfg = zorv_test::sample_config(lay);
        result one = run({"read", "-c", "TORO1", files[0], "-n", "2"});
        ASSERT_EQ(one.status, 0) << one.err;
        EXPECT_EQ(one.records().at(1)["event"], event_number(cfg, 1));

        result by_time = run(with({"read", "-c", "TORO1", "--by-time"}, files));
        ASSERT_EQ(by_time.status, 0) << by_time.err;
        EXPECT_EQ(by_time.records().size(), size_t(cfg.files * cfg.events_per_file));

        for (const std::vector<std::string>& bad : {std::vector<std::string>{"--step", "0.5s"},
                                                   std::vector<std::string>{"--by-time", "--step", "5"}}) {
            result r = run(with({"read", "-c", "TORO1", files[0]}, bad));
            EXPECT_EQ(r.status, 2) << r.err;
            EXPECT_NE(r.err.find("zorv-daq read: "), std::string::npos);
        }
        // A step coarser than the events' spacing takes every fifth event.
        result coarse = run(with({"read", "-c", "TORO1", "--by-time", "--step", "0.5s"}, files));
        ASSERT_EQ(coarse.status, 0) << coarse.err;
        const auto every_fifth = coarse.records();
        ASSERT_EQ(every_fifth.size(), size_t(cfg.files * cfg.events_per_file / 5));
        for (size_t i = 0; i < every_fifth.size(); ++i)
            EXPECT_EQ(every_fifth[i]["event"], event_number(cfg, int(5 * i))) << i;
        // A step finer than the events' spacing but longer than the time
        // tolerance gives every event once; one within the tolerance would
        // end the read after its first event, and is refused.
        result fine = run(with({"read", "-c", "TORO1", "--by-time", "--tolerance", "1000", "--step", "0.002s"}, files));
        ASSERT_EQ(fine.status, 0) << fine.err;
        const auto recs = fine.records();
        ASSERT_EQ(recs.size(), size_t(cfg.files * cfg.events_per_file));
        for (size_t i = 0; i < recs.size(); ++i) EXPECT_EQ(recs[i]["event"], event_number(cfg, int(i))) << i;
        result within = run(with({"read", "-c", "TORO1", "--by-time", "--step", "0.001s"}, files));
        EXPECT_EQ(within.status, 2) << within.err;
        EXPECT_EQ(within.out, "");
        EXPECT_NE(within.err.find("must be longer than the time tolerance"), std::string::npos) << within.err;
        // A tolerance wider than the events' spacing joins neighbouring
        // events: without a step of its own the read does not end as complete.
        result wide = run(with({"read", "-c", "TORO1", "--by-time", "--tolerance", "150000"}, files));
        const bool all = wide.records().size() == size_t(cfg.files * cfg.events_per_file);
        EXPECT_EQ(wide.status, all ? 0 : 1) << wide.err;
        if (!all) {
            EXPECT_NE(wide.err.find("channel TORO1: "), std::string::npos) << wide.err;
        }
    });
}

TEST(Cli, ReadChecksChannelsAndMembers) {
    const auto& files = zorv_test::sample_run(file_layout::current);
    const auto cfg = zorv_test::sample_config(file_layout::current);
    const int bpm = channel_index(cfg, "BPM3");
    result y = run({"read", "-c", "BPM3:Y", "-c", "TOR*", files[0], "-n", "1"});
    ASSERT_EQ(y.status, 0) << y.err;
    const json rec = y.records().at(0);
    const auto& member = rec["channels"]["BPM3:Y"]["members"].at(0);
    EXPECT_EQ(member["name"], "Y");
    EXPECT_EQ(member["samples"][2].get<float>(), zorv::synthetic_sample(cfg, bpm, cfg.first_event, 1, 2));
    EXPECT_TRUE(rec["channels"].contains("TORO1"));

    const arg_and_text refused[] = {{"BPM3:7", "channel BPM3 has no member \"7\" (members: 0 X, 1 Y, 2 CHARGE)"},
                                    {"BPM3:Z", "no member \"Z\""},
                                    {"BMP3", "did you mean BPM3?"},
                                    {"XYZ*", "no channel matches XYZ*"},
                                    {"SLOW1:0", "has no members"}};
    for (const auto& c : refused) {
        result r = run({"read", "-c", c.arg, files[0]});
        EXPECT_EQ(r.status, 2) << c.arg;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    }
    // Two channels under one name would share one field of each record.
    const std::pair<const char*, const char*> clashing[] = {{"BPM3;A", "TORO1;A"}, {"BPM3;TORO1", "TORO1"}};
    for (const auto& c : clashing) {
        result r = run({"read", "-c", c.first, "-c", c.second, files[0]});
        EXPECT_EQ(r.status, 2) << c.first;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("is given to two channels"), std::string::npos) << r.err;
    }
    result dump = run({"dump", files[0], "BPM3:9"});
    EXPECT_EQ(dump.status, 2);
    EXPECT_NE(dump.err.find("members: 0 X"), std::string::npos) << dump.err;
}

TEST(Cli, ReadTablesForSpreadsheets) {
    const auto& files = zorv_test::sample_run(file_layout::current);
    const auto cfg = zorv_test::sample_config(file_layout::current);
    result csv = run({"read", "--csv", "-c", "BPM3", "-c", "SLOW1", "-c", "NV1", files[0], "-n", "2"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    const auto lines = csv.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(0, 60), "event,time,BPM3.X.mean [mm],BPM3.X.min [mm],BPM3.X.max [mm],");
    EXPECT_NE(lines[0].find(",SLOW1 [mm],SLOW1.time,NV1.VAL0 [mm],"), std::string::npos) << lines[0];
    const int bpm = channel_index(cfg, "BPM3");
    float lo = 1e30f;
    for (int i = 0; i < 16; ++i) lo = std::min(lo, zorv::synthetic_sample(cfg, bpm, cfg.first_event, 0, i));
    std::ostringstream expected_min;
    expected_min << "," << lo << ",";
    EXPECT_NE(lines[1].find(expected_min.str()), std::string::npos) << lines[1];

    result longer = run({"read", "--samples", "-c", "TORO1", "-c", "ROI1", files[0], files[1], "--start-event",
                         std::to_string(event_number(cfg, 50)), "-n", "2"});
    ASSERT_EQ(longer.status, 0) << longer.err;
    const auto rows = longer.lines();
    EXPECT_EQ(rows.at(0), "event,time,channel,member,index,value,unit,state");
    const int ndata = cfg.channels[size_t(channel_index(cfg, "TORO1"))].ndata;
    ASSERT_EQ(rows.size(), size_t(1 + 2 * (ndata + 1)));  // ROI1 is not in the second file
    char first[32];
    *std::to_chars(first, first + 31, zorv::synthetic_sample(cfg, channel_index(cfg, "TORO1"), event_number(cfg, 50), 0, 0))
         .ptr = '\0';
    EXPECT_EQ(rows[1].substr(rows[1].find(",TORO1,")), std::string(",TORO1,CHARGE,0,") + first + ",mm,fresh");
    EXPECT_NE(rows.back().find(",ROI1,,,,mm,"), std::string::npos) << rows.back();

    // A slow value's own time is written like the event's.
    result slow = run({"read", "-c", "SLOW1", files[0], "-n", "1"});
    EXPECT_EQ(slow.records().at(0)["channels"]["SLOW1"]["time"], "2010-10-04T12:00:00.000000Z");

    // Two values of a name/value block called alike each keep a column.
    zorv_test::temp_dir dir;
    const std::string twice = dir.file("twice.raw");
    std::string bytes = zorv_test::read_file(files[0]);
    for (size_t at = 0; (at = bytes.find(std::string("VAL1\0", 5), at)) != std::string::npos;) bytes[at + 3] = '0';
    ASSERT_TRUE(zorv_test::write_file(twice, bytes));
    result same = run({"read", "--csv", "-c", "NV1", twice, "-n", "1", "--accept-open-files"});
    ASSERT_EQ(same.status, 0) << same.err;
    const auto pairs = run({"read", "-c", "NV1", twice, "-n", "1", "--accept-open-files"})
                           .records().at(0)["channels"]["NV1"]["values"];
    ASSERT_EQ(pairs.at(1)["name"], "VAL0");
    const auto table = same.lines();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0], "event,time,NV1.VAL0 [mm],NV1.VAL0#2 [mm],NV1.VAL2 [mm],NV1.VAL3 [mm],missing");
    std::ostringstream both;
    both << "," << pairs[0]["value"].get<double>() << "," << pairs[1]["value"].get<double>() << ",";
    EXPECT_NE(table[1].find(both.str()), std::string::npos) << table[1];
}

TEST(Cli, ReadWindowsAndRenamedFiles) {
    const auto& files = zorv_test::sample_run(file_layout::current);
    const auto cfg = zorv_test::sample_config(file_layout::current);
    result outside = run(with({"read", "-c", "TORO1", "--from", "2011-01-01T00:00:00"}, files));
    EXPECT_EQ(outside.status, 2);
    EXPECT_NE(outside.err.find("lies outside the data: the files cover 2010-10-04T12:00:00.000000Z to "),
              std::string::npos)
        << outside.err;

    result offset = run(with({"read", "-c", "TORO1", "--from", "+00:00:10", "--to", "+0.25s"}, files));
    ASSERT_EQ(offset.status, 0) << offset.err;
    ASSERT_EQ(offset.records().size(), 3u);
    EXPECT_EQ(offset.records()[0]["time"], "2010-10-04T12:00:10.000000Z");
    result zone = run(with({"read", "-c", "TORO1", "--from", "2010-10-04T14:00:05+02:00", "-n", "1"}, files));
    EXPECT_EQ(zone.records().at(0)["event"], event_number(cfg, 50));
    // A fraction that rounds up to a whole second stays in its second; an
    // exponent is no fraction.
    result frac = run(with({"read", "-c", "TORO1", "--from", "2010-10-04T12:00:04.9999999Z", "-n", "1"}, files));
    ASSERT_EQ(frac.status, 0) << frac.err;
    EXPECT_EQ(frac.records().at(0)["time"], "2010-10-04T12:00:05.000000Z");
    EXPECT_EQ(run(with({"read", "-c", "TORO1", "--from", "2010-10-04T12:00:04.1e1Z"}, files)).status, 2);

    zorv_test::temp_dir dir;
    const std::string renamed = dir.file("copy.raw");
    ASSERT_TRUE(zorv_test::write_file(renamed, zorv_test::read_file(files[1])));
    result r = run({"read", "-c", "TORO1", renamed});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.records().size(), size_t(cfg.events_per_file));
    EXPECT_EQ(r.records()[0]["event"], event_number(cfg, 50));
}

// An event header whose type is unknown is reported with its position.
TEST(Cli, ValidateChecksEventHeaders) {
    const written_run w(1, 4, "minimal", file_layout::current);
    ASSERT_EQ(w.files.size(), 1u);
    // The second event header: after the basket's 8-byte head and one 36-byte header.
    const size_t header = 8 + 36;
    std::string bytes = zorv_test::read_file(w.files[0]);
    bytes.replace(header + 12, 4, std::string(4, '\xff'));
    ASSERT_TRUE(zorv_test::write_file(w.files[0], bytes));
    result r = run({"validate", w.files[0]});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(w.files[0] + ": at " + std::to_string(header) + ": event " +
                         std::to_string(event_number(w.cfg, 1)) + ": event header holds event type -1"),
              std::string::npos)
        << r.out;

    // The event index's span of its event type, its first time's seconds
    // moved past the last event: trailer -> reference table -> index.
    const written_run s(1, 4, "minimal", file_layout::current);
    bytes = zorv_test::read_file(s.files[0]);
    auto word = [&](size_t pos) { return zorv::load_be32(reinterpret_cast<const unsigned char*>(&bytes[pos])); };
    const uint32_t type_head = word(word(bytes.size() - 4) + 8) + 8;
    zorv::store_be32(reinterpret_cast<unsigned char*>(&bytes[type_head + 4]), word(type_head + 4) + 3600);
    ASSERT_TRUE(zorv_test::write_file(s.files[0], bytes));
    result span = run({"validate", s.files[0]});
    EXPECT_EQ(span.status, 1);
    EXPECT_NE(span.out.find(s.files[0] + ": at " + std::to_string(type_head) + ": event index of type "),
              std::string::npos)
        << span.out;
    EXPECT_NE(span.out.find(": first time "), std::string::npos) << span.out;
}

TEST(Cli, ImageGenAndTheProgramItself) {
    const auto& files = zorv_test::sample_run(file_layout::current);
    const auto cfg = zorv_test::sample_config(file_layout::current);
    // The event lies in the second file; the PNG goes to standard output.
    const uint32_t ev = event_number(cfg, 60);
    result img = run(with({"image"}, with(files, {"CAM1", "--event", std::to_string(ev), "--scale", "auto", "-o", "-"})));
    ASSERT_EQ(img.status, 0) << img.err;
    ASSERT_GT(img.out.size(), 33u);
    EXPECT_EQ(img.out.substr(1, 3), "PNG");
    EXPECT_EQ(img.out[24], 8);  // scaled to 8 bits
    EXPECT_NE(img.out.find(std::string("tEXtevent\0", 10) + std::to_string(ev)), std::string::npos);
    EXPECT_NE(img.out.find(std::string("tEXtchannel\0CAM1", 16)), std::string::npos);
    // A range with an infinite end or span scales to nothing sensible.
    for (const char* scale : {"-inf:0", "0:1e400", "-1e308:1e308"}) {
        result bad = run(with({"image"}, with(files, {"CAM1", "--event", std::to_string(ev),
                                                      std::string("--scale=") + scale, "-o", "-"})));
        EXPECT_EQ(bad.status, 2) << scale;
        EXPECT_EQ(bad.out, "") << scale;
        EXPECT_NE(bad.err.find("zorv-daq image: bad scale"), std::string::npos) << bad.err;
    }

    zorv_test::temp_dir dir;
    // A write that fails removes its cut file, but never a device it wrote to.
    const std::string full = dir.file("full");
    if (mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        result none = run(with({"image"}, with(files, {"CAM1", "--event", std::to_string(ev), "-o", full})));
        EXPECT_EQ(none.status, 1) << none.err;
        EXPECT_NE(none.err.find("zorv-daq image: writing " + full + " failed"), std::string::npos) << none.err;
        struct stat st;
        EXPECT_EQ(stat(full.c_str(), &st), 0);
    }
    // Nor is a DAQ file being read written over.
    const std::string raw = dir.file("copy.raw");
    const std::string bytes = zorv_test::read_file(files[1]);
    ASSERT_TRUE(zorv_test::write_file(raw, bytes));
    result over = run({"image", files[0], raw, "CAM1", "--event", std::to_string(ev), "-o", raw});
    EXPECT_EQ(over.status, 2) << over.err;
    EXPECT_NE(over.err.find("zorv-daq image: the output " + raw + " is one of the DAQ files read"), std::string::npos)
        << over.err;
    EXPECT_EQ(zorv_test::read_file(raw), bytes);
    const std::vector<std::string> gen = {"gen", "-o", dir.path(), "-f", "1", "-n", "2", "--start", "2010-10-04T14:00:00+02:00"};
    ASSERT_EQ(run(gen).status, 0);
    result again = run(gen);
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("zorv-daq gen: "), std::string::npos);
    EXPECT_NE(again.err.find("--force"), std::string::npos);
    EXPECT_EQ(run(with(gen, {"--force"})).status, 0);
    // A run whose experiment no request can name is not written.
    result wide = run(with(gen, {"--exp", std::string(32, 'x'), "--force"}));
    EXPECT_EQ(wide.status, 2);
    EXPECT_NE(wide.err.find("--exp \"" + std::string(32, 'x') + "\" is too long (at most 31 characters)"),
              std::string::npos)
        << wide.err;

    result typo = run({"raed", files[0]});
    EXPECT_EQ(typo.status, 2);
    EXPECT_NE(typo.err.find("unknown subcommand 'raed'; did you mean 'read'?"), std::string::npos) << typo.err;
    EXPECT_EQ(run({"--version"}).out.substr(0, 9), "zorv-daq ");
}

// A request reads past a file it cannot use: each record names why a
// channel has nothing, --report tells what was lost, and the status says a
// file was skipped.
TEST(Cli, ReadGivesReasonsAndReportsASkippedFile) {
    zorv_test::temp_dir dir;
    auto cfg = zorv_test::small_run_config(dir.path(), 3, 4, "A 38;X 38 missing=1", file_layout::current);
    cfg.run = 7;
    const auto files = zorv_test::write_run(cfg);
    ASSERT_EQ(files.size(), 3u);
    const std::vector<std::string> req = {"read", "--run", "7", "--ddir", dir.path(), "--accept-open-files",
                                          "-c", "A", "-c", "X"};

    result whole = run(with(req, {"--report"}));
    EXPECT_EQ(whole.status, 0) << whole.err;
    auto recs = whole.records();
    ASSERT_EQ(recs.size(), 12u);
    EXPECT_EQ(recs[0]["reasons"]["X"], "not in file");
    EXPECT_FALSE(recs[4].contains("reasons"));
    EXPECT_NE(whole.err.find("channel X: delivered 8 "), std::string::npos) << whole.err;
    EXPECT_NE(whole.err.find("read complete"), std::string::npos) << whole.err;

    damage(files[1], 0, 16);
    ASSERT_EQ(truncate(files[1].c_str(), 64), 0);
    result part = run(with(req, {"--report"}));
    EXPECT_EQ(part.status, 1) << part.err;
    EXPECT_EQ(part.records().size(), 8u);
    EXPECT_NE(part.err.find("skipped file " + files[1] + ": "), std::string::npos) << part.err;
    EXPECT_NE(part.err.find("read incomplete"), std::string::npos) << part.err;
}

// An experiment name one character longer than a request can hold is not
// cut to one that fits: that would read another experiment's run.
TEST(Cli, ARequestTooLongForItsFieldIsRefused) {
    zorv_test::temp_dir dir;
    auto cfg = zorv_test::small_run_config(dir.path(), 1, 2, "A 38", file_layout::current);
    cfg.run = 5;
    cfg.experiment = std::string(31, 'x');
    ASSERT_EQ(zorv_test::write_run(cfg).size(), 1u);
    const std::vector<std::string> req = {"read", "--run", "5", "--ddir", dir.path(), "--accept-open-files"};

    result fits = run(with(req, {"--exp", cfg.experiment}));
    EXPECT_EQ(fits.status, 0) << fits.err;
    EXPECT_EQ(fits.records().size(), 2u);
    result longer = run(with(req, {"--exp", cfg.experiment + "y"}));
    EXPECT_EQ(longer.status, 2) << longer.err;
    EXPECT_EQ(longer.out, "");
    EXPECT_NE(longer.err.find("zorv-daq read: --exp \"" + cfg.experiment + "y\" is too long"), std::string::npos)
        << longer.err;
    result ddir = run(with(req, {"--ddir", std::string(1024, 'd')}));
    EXPECT_EQ(ddir.status, 2) << ddir.err;
    EXPECT_NE(ddir.err.find("--ddir"), std::string::npos) << ddir.err;
}

}  // namespace
