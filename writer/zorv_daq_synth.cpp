// Synthetic runs: deterministic files of a configurable channel set, their
// names and the run catalogue entry.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "be_sink.h"

namespace zorv {

namespace {

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

struct type_pair {
    int current;
    int legacy;
};
// Block types of the same kind in both layouts (the shared codes map to themselves).
constexpr type_pair kTypePairs[] = {{38, 6},  {39, 7},  {40, 8},  {41, 9},  {42, 10},
                                    {43, 11}, {44, 12}, {46, 14}, {48, 16}, {49, 17},
                                    {50, 18}, {51, 19}, {33, 1},  {34, 2},  {35, 3},
                                    {36, 4},  {37, 5}};

int type_for_layout(int dtype, file_layout layout) {
    for (const auto& p : kTypePairs) {
        if (layout == file_layout::legacy && dtype == p.current) return p.legacy;
        if (layout == file_layout::current && dtype == p.legacy) return p.current;
    }
    return dtype;
}

bool is_update(int t) { return t == 1 || t == 4 || t == 5 || t == 33 || t == 36 || t == 37; }

// One line of a channel text: "name dtype [key=value ...]".
int parse_channel(const std::string& line, file_layout layout, synthetic_channel* c,
                  std::string* err) {
    std::istringstream in(line);
    std::string type;
    if (!(in >> c->name >> type)) {
        *err = "channel \"" + line + "\": expected \"name dtype [key=value ...]\"";
        return -1;
    }
    char* end = nullptr;
    long t = std::strtol(type.c_str(), &end, 0);
    if (*end || t < 1 || t > 63) {
        *err = "channel \"" + c->name + "\": block type \"" + type + "\" is not 1 to 63";
        return -1;
    }
    c->dtype = type_for_layout(static_cast<int>(t), layout);
    if (is_update(c->dtype)) c->event_type = ZORV_EV_UPD;
    std::string kv;
    while (in >> kv) {
        size_t eq = kv.find('=');
        std::string key = kv.substr(0, eq), val = eq == std::string::npos ? "" : kv.substr(eq + 1);
        auto number = [&](int* out, int lo) {
            char* e = nullptr;
            long v = std::strtol(val.c_str(), &e, 0);
            if (val.empty() || *e || v < lo || v > 1000000) return false;
            *out = static_cast<int>(v);
            return true;
        };
        bool ok = true;
        if (key == "comp") {
            if (val == "none") c->comp = compression::none;
            else if (val == "zlib") c->comp = compression::zlib;
            else if (val == "lzo") c->comp = compression::lzo;
            else ok = false;
        } else if (key == "server") {
            c->server = val;
            ok = !val.empty();
        } else if (key == "ndata") {
            ok = number(&c->ndata, 0);
        } else if (key == "groups") {
            ok = number(&c->groups, 1);
        } else if (key == "members") {
            ok = number(&c->members, 1);
        } else if (key == "every") {
            ok = number(&c->every, 1);
        } else if (key == "evtype") {
            ok = number(&c->event_type, 0) && c->event_type < 32;
        } else if (key == "missing" || key == "damaged") {
            std::istringstream items(val);
            std::string item;
            while (ok && std::getline(items, item, ',')) {
                int n = 0;
                std::swap(val, item);
                ok = number(&n, 1);
                std::swap(val, item);
                if (key == "missing") c->missing_files.push_back(n);
                else c->damaged_events.push_back(static_cast<uint32_t>(n));
            }
        } else {
            ok = false;
        }
        if (!ok) {
            *err = "channel \"" + c->name + "\": bad setting \"" + kv + "\"";
            return -1;
        }
    }
    if (layout == file_layout::legacy) c->groups = 1;
    return 0;
}

const char* preset_text(const std::string& name) {
    if (name == "minimal") return "BPM1 38 ndata=8; TORO1 42 ndata=4";
    if (name == "bpm") return "BPM1 38; BPM2 38; BPM3 38 comp=zlib; BPM4 38 comp=lzo";
    if (name == "sample")
        return "BPM3 38 ndata=16;"
               "TORO1 42 ndata=8 comp=zlib;"
               "RF1 43 ndata=32 groups=2 comp=lzo server=SRV2;"
               "ENERGY1 44 ndata=8 server=SRV2;"
               "GEN1 28 ndata=8 comp=zlib;"
               "ROI1 24 ndata=12 comp=lzo server=CAM missing=2;"
               "CAM1 13 ndata=32 comp=zlib server=CAM;"
               "CAMX1 27 ndata=16 comp=lzo server=CAM;"
               "NV1 22 ndata=4;"
               "EQ1 23 ndata=8 comp=zlib;"
               "SLOW1 33 every=10 server=SLOW;"
               "ENV1 35 every=25 evtype=4 server=SLOW;"
               "ENVD1 34 ndata=3 every=25 evtype=4 server=SLOW";
    return nullptr;
}

std::string utc_stamp(uint32_t t, const char* fmt) {
    time_t tt = t;
    struct tm tmv;
    gmtime_r(&tt, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, fmt, &tmv);
    return buf;
}

// ---------------------------------------------------------------------------
// Run generation.
// ---------------------------------------------------------------------------

struct event_slot {
    uint32_t number;
    time_stamp time;
};

class run_generator {
public:
    explicit run_generator(const synthetic_run_config& cfg) : cfg_(cfg) {}

    event_slot slot(uint64_t g) const {
        uint64_t number = cfg_.first_event + g;
        if (cfg_.gap_every > 0) number += (g / uint64_t(cfg_.gap_every)) * uint64_t(cfg_.gap_size);
        const uint64_t us = static_cast<uint64_t>(std::llround(double(g) * 1e6 / cfg_.rate_hz));
        event_slot s;
        s.number = static_cast<uint32_t>(number);
        s.time.timeup = static_cast<uint32_t>(cfg_.start_time + us / 1000000);
        s.time.timelow = static_cast<uint32_t>(us % 1000000);
        return s;
    }

    bool in_file(const synthetic_channel& c, int file) const {
        for (int f : c.missing_files)
            if (f == file) return false;
        return true;
    }

    payload block(int ch, const event_slot& ev) const {
        const synthetic_channel& c = cfg_.channels[ch];
        auto sample = [&](int m, int i) { return synthetic_sample(cfg_, ch, ev.number, m, i); };
        const int t = c.dtype & 0xFFFF;
        if (spectrum_members(t) >= 0) return spectrum(c, ch, ev, t);
        if (is_update(t)) {
            update_record r{c.name, 0, ev.time, sample(0, 0)};
            return make_update(t, {r});
        }
        if (t == ZORV_ENV_BLOCK || t == ZORV_ENV_BLOCK_2010)
            return make_env_value(t, zorv_env_data_block{ch, 0, ev.time, sample(0, 0)});
        if (t == ZORV_ENV_DICT_BLOCK || t == ZORV_ENV_DICT_BLOCK_2010) {
            std::vector<env_dict_record> recs;
            for (int i = 0; i < c.ndata; ++i)
                recs.push_back({uint32_t(i + 1), c.name + "_" + std::to_string(i)});
            return make_env_dict(t, recs);
        }
        if (t == ZORV_BLOCK_NAME_VALUE) {
            std::vector<name_value_pair> pairs;
            for (int i = 0; i < c.ndata; ++i)
                pairs.push_back({"VAL" + std::to_string(i), sample(0, i)});
            return make_name_value(ch, c.name + " values", pairs);
        }
        if (t == ZORV_BLOCK_IMAGE || t == ZORV_BLOCK_IMAGE_EXT) return image(c, ch, ev, t);
        std::vector<uint32_t> words;
        for (int i = 0; i < c.ndata; ++i) words.push_back(static_cast<uint32_t>(sample(0, i) * 100));
        if (t == ZORV_BLOCK_EQDATA) return make_equipment(words);
        payload p = make_equipment(words);
        p.dtype = t;
        return p;
    }

    int write_file(int file, std::string* path, std::string* err) const;

    // Global slot of the first event of file `file` (1-based) and its event count.
    uint64_t first_slot(int file) const {
        uint64_t g = 0;
        for (int f = 1; f < file; ++f) g += uint64_t(events_in(f));
        return g;
    }
    int events_in(int file) const {
        return cfg_.file_events.empty() ? cfg_.events_per_file : cfg_.file_events[size_t(file - 1)];
    }

private:
    // The time offset of an event type: that of its channels (0 without any).
    int type_offset(int type) const {
        for (const auto& c : cfg_.channels)
            if (c.event_type == type) return c.offset_us;
        return 0;
    }

    std::vector<int> types_by_time() const {
        std::vector<int> types;
        for (int t = 0; t < ZORV_EV_EVMAX; ++t) types.push_back(t);
        std::stable_sort(types.begin(), types.end(),
                         [&](int a, int b) { return type_offset(a) < type_offset(b); });
        return types;
    }

    static event_slot shifted(event_slot ev, int us) {
        const uint64_t t = uint64_t(ev.time.timelow) + uint64_t(us);
        ev.time.timeup += static_cast<uint32_t>(t / 1000000);
        ev.time.timelow = static_cast<uint32_t>(t % 1000000);
        return ev;
    }

    // The channel's block of this event; a block listed as damaged is
    // written zlib-compressed and then spoilt.
    int add_channel_block(daq_file_writer& w, int index, int ch, const event_slot& ev) const {
        const synthetic_channel& c = cfg_.channels[size_t(ch)];
        const auto& bad = c.damaged_events;
        if (std::find(bad.begin(), bad.end(), ev.number) == bad.end())
            return w.add_block(index, c.server, block(ch, ev));
        if (w.add_block(index, c.server, block(ch, ev), 0, compression::zlib) != 0) return -1;
        return w.spoil_last_block(index);
    }

    payload spectrum(const synthetic_channel& c, int ch, const event_slot& ev, int t) const {
        int members = spectrum_members(t);
        if (members == 0) members = (t == ZORV_BLOCK_GENERIC_SPECT) ? c.members : 1;
        spectrum_data s;
        s.start = 0.5f;
        s.inc = 0.25f;
        s.ndata = c.ndata;
        s.groups = cfg_.layout == file_layout::legacy && t < 33 ? 1 : c.groups;
        s.groups_inc = 10.0f;
        s.descr = ch;
        for (int m = 0; m < members; ++m) {
            spectrum_member mem;
            double sum = 0;
            for (int i = 0; i < s.ndata * s.groups; ++i) {
                float v = synthetic_sample(cfg_, ch, ev.number, m, i);
                mem.samples.push_back(v);
                sum += v;
            }
            mem.stat_mask = 1;
            mem.stat[0] = mem.samples.empty() ? 0.0f : static_cast<float>(sum / mem.samples.size());
            s.members.push_back(std::move(mem));
        }
        return make_spectrum(t, s, cfg_.layout);
    }

    payload image(const synthetic_channel& c, int ch, const event_slot& ev, int t) const {
        const int n = c.ndata;
        std::vector<unsigned char> px;
        for (int i = 0; i < n * n; ++i) {
            uint32_t v = static_cast<uint32_t>(synthetic_sample(cfg_, ch, ev.number, 0, i)) & 0xFFFF;
            px.push_back(static_cast<unsigned char>(v >> 8));
            px.push_back(static_cast<unsigned char>(v));
        }
        if (t == ZORV_BLOCK_IMAGE) {
            zorv_image_frame_head h{};
            h.w = n | (4 << 16);
            h.h = n | (2 << 16);
            h.bpp = 2 | (1 << 4) | (1 << 18);
            h.frame = ev.number;
            h.event_nm = ev.number;
            return make_image(h, px);
        }
        zorv_image_ext_frame_head h{};
        h.width = h.aoi_width = n;
        h.height = h.aoi_height = n;
        h.bpp = 2;
        h.ebitpp = 12;
        h.hbin = h.vbin = 1;
        h.frame = ev.number;
        h.event = ev.number;
        h.scale_x = h.scale_y = 1.0f;
        return make_image_ext(h, px);
    }

    channel_decl declaration(int ch) const {
        const synthetic_channel& c = cfg_.channels[ch];
        channel_decl d;
        d.name = c.name;
        d.key = static_cast<uint32_t>(ch + 1);
        d.comp = c.comp == compression::channel_default ? cfg_.comp : c.comp;
        channel_description descr;
        descr.ev_type = 1u << c.event_type;
        descr.dtype = static_cast<uint32_t>(c.dtype);
        descr.db_key = ch + 1;
        descr.prop_name = cfg_.experiment + "/" + c.name;
        descr.prop_desc = "synthetic channel " + c.name;
        descr.units = "mm";
        descr.sb_name = c.server;
        descr.subsystem = "SYNTH";
        descr.bits.push_back({0, "VALID", "value is valid"});
        const int t = c.dtype & 0xFFFF;
        for (int m = 0; get_chan_member_name(t, m); ++m) {
            channel_description::dim dim;
            dim.dim = m;
            dim.name = get_chan_member_name(t, m);
            dim.units = "mm";
            dim.stats.push_back({0, "MEAN", "mean of the samples", "mm"});
            descr.dims.push_back(dim);
        }
        d.descr = descr;
        return d;
    }

    // Member names for the description's dimensions (spectra only).
    static const char* get_chan_member_name(int t, int m) {
        static const char* const bpm[] = {"X", "Y", "CHARGE"};
        if (spectrum_members(t) < 0) return nullptr;
        int n = spectrum_members(t) > 0 ? spectrum_members(t) : 1;
        if (m >= n) return nullptr;
        if (n == 3 && (t == 6 || t == 7 || t == 8 || t == 38 || t == 39 || t == 40)) return bpm[m];
        static const char* const ch[] = {"CH1", "CH2", "CH3", "CH4", "CH5", "CH6", "CH7", "CH8"};
        return ch[m];
    }

    const synthetic_run_config& cfg_;
};

int run_generator::write_file(int file, std::string* path, std::string* err) const {
    daq_file_writer w(cfg_.layout);
    *path = cfg_.dir + "/" + synthetic_file_name(cfg_, file);
    auto failed = [&](const std::string& what) {
        *err = *path + ": " + what + ": " + w.error();
        w.abandon();
        return -1;
    };
    if (w.open(*path) != 0) return failed("open");
    std::vector<int> index(cfg_.channels.size(), -1);
    for (size_t ch = 0; ch < cfg_.channels.size(); ++ch) {
        if (!in_file(cfg_.channels[ch], file)) continue;
        index[ch] = w.declare_channel(declaration(static_cast<int>(ch)));
        if (index[ch] < 0) return failed("channel");
        const int t = cfg_.channels[ch].dtype & 0xFFFF;
        if (t == ZORV_ENV_BLOCK || t == ZORV_ENV_BLOCK_2010)
            w.add_env_index(static_cast<uint32_t>(ch + 1), static_cast<int32_t>(ch));
    }
    const uint64_t first = first_slot(file);
    for (uint64_t g = first; g < first + uint64_t(events_in(file)); ++g) {
        const event_slot ev = slot(g);
        // One event per event type with blocks due (the normal event always),
        // all with the same number, at the time of the type's channels
        // (offsets), in ascending time and then type.
        for (int type : types_by_time()) {
            std::vector<size_t> chans;
            for (size_t ch = 0; ch < cfg_.channels.size(); ++ch) {
                const synthetic_channel& c = cfg_.channels[ch];
                if (index[ch] >= 0 && c.event_type == type && g % uint64_t(c.every) == 0)
                    chans.push_back(ch);
            }
            if (chans.empty() && type != ZORV_EV_NORMAL) continue;
            const event_slot at = shifted(ev, type_offset(type));
            if (w.begin_event(at.number, at.time, type) != 0) return failed("event");
            for (size_t ch : chans)
                if (add_channel_block(w, index[ch], static_cast<int>(ch), at) != 0)
                    return failed("block");
            w.end_event();
        }
    }
    if (w.close() != 0) return failed("close");
    return 0;
}

int write_catalogue(const synthetic_run_config& cfg, const std::vector<std::string>& files,
                    const run_generator& gen, std::string* err) {
    std::error_code ec;
    const std::string dir = cfg.catalog_dir + "/" + cfg.experiment;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        *err = "cannot create " + dir + ": " + ec.message();
        return -1;
    }
    const std::string data_dir = std::filesystem::absolute(cfg.dir, ec).lexically_normal().string();
    auto span = [&](int file) {
        const uint64_t first = gen.first_slot(file);
        const event_slot a = gen.slot(first);
        const event_slot b = gen.slot(first + uint64_t(gen.events_in(file)) - 1);
        return std::make_pair(a.time.timeup, b.time.timeup);
    };
    std::ostringstream x;
    x << "<run number=\"" << cfg.run << "\" stream=\"" << xml_escape(cfg.stream) << "\" start=\""
      << span(1).first << "\" stop=\"" << span(cfg.files).second << "\" dir=\""
      << xml_escape(data_dir) << "\">\n";
    for (int f = 1; f <= cfg.files; ++f)
        x << "  <file name=\"" << xml_escape(std::filesystem::path(files[f - 1]).filename().string())
          << "\" start=\"" << span(f).first << "\" stop=\"" << span(f).second << "\"/>\n";
    x << "</run>\n";
    const std::string path = dir + "/run" + std::to_string(cfg.run) + ".xml";
    std::ofstream out(path, std::ios::trunc);
    out << x.str();
    if (!out.flush()) {
        *err = "cannot write " + path;
        return -1;
    }
    return 0;
}

std::string check_config(const synthetic_run_config& cfg) {
    if (cfg.files < 1 || cfg.events_per_file < 1) return "files and events per file must be >= 1";
    if (!(cfg.rate_hz > 0.0)) return "the event rate must be positive";
    if (cfg.gap_every < 0 || cfg.gap_size < 0) return "event gaps must not be negative";
    if (cfg.run < 0) return "the run number must not be negative";
    if (cfg.experiment.empty() || cfg.stream.empty()) return "experiment and stream need names";
    if (!cfg.file_events.empty() && cfg.file_events.size() != size_t(cfg.files))
        return "file_events must give the events of every file";
    for (int n : cfg.file_events)
        if (n < 1) return "files and events per file must be >= 1";
    for (const auto& c : cfg.channels) {
        if (c.every < 1) return "channel \"" + c.name + "\": every must be >= 1";
        if (c.offset_us < 0 || c.offset_us >= 1e6 / cfg.rate_hz)
            return "channel \"" + c.name + "\": the time offset must lie within one event period";
        for (const auto& o : cfg.channels)
            if (o.event_type == c.event_type && o.offset_us != c.offset_us)
                return "channels \"" + c.name + "\" and \"" + o.name +
                       "\" share an event type but not a time offset";
    }
    return {};
}

}  // namespace

int synthetic_channels(const std::string& preset_or_text, file_layout layout,
                       std::vector<synthetic_channel>* out, std::string* err) {
    std::string dummy;
    if (!err) err = &dummy;
    const char* preset = preset_text(preset_or_text);
    std::string text = preset ? preset : preset_or_text;
    std::vector<synthetic_channel> chans;
    std::string item;
    for (char& ch : text)
        if (ch == '\n') ch = ';';
    std::istringstream in(text);
    while (std::getline(in, item, ';')) {
        if (item.find_first_not_of(" \t\r") == std::string::npos) continue;
        synthetic_channel c;
        if (parse_channel(item, layout, &c, err) != 0) return -1;
        chans.push_back(c);
    }
    if (chans.empty()) {
        *err = "no channels in \"" + preset_or_text + "\"";
        return -1;
    }
    *out = std::move(chans);
    return 0;
}

float synthetic_sample(const synthetic_run_config& cfg, int channel, uint32_t event_number,
                       int member, int sample) {
    uint64_t h = mix(cfg.seed);
    h = mix(h ^ uint64_t(uint32_t(channel)));
    h = mix(h ^ event_number);
    h = mix(h ^ (uint64_t(uint32_t(member)) << 32 | uint32_t(sample)));
    return static_cast<float>(static_cast<int>(h % 100000)) / 100.0f;
}

std::string synthetic_file_name(const synthetic_run_config& cfg, int n) {
    run_generator gen(cfg);
    const uint32_t t = gen.slot(gen.first_slot(n)).time.timeup;
    return cfg.experiment + "_" + cfg.stream + "_run" + std::to_string(cfg.run) + "_file" +
           std::to_string(n) + "_" + utc_stamp(t, "%Y%m%dT%H%M%S") + ".raw";
}

int write_synthetic_run(const synthetic_run_config& cfg, std::vector<std::string>* files,
                        std::string* err) {
    std::string dummy;
    if (!err) err = &dummy;
    std::string why = check_config(cfg);
    if (!why.empty()) {
        *err = why;
        return -1;
    }
    std::error_code ec;
    std::filesystem::create_directories(cfg.dir, ec);
    if (ec) {
        *err = "cannot create " + cfg.dir + ": " + ec.message();
        return -1;
    }
    run_generator gen(cfg);
    std::vector<std::string> written;
    for (int f = 1; f <= cfg.files; ++f) {
        std::string path;
        if (gen.write_file(f, &path, err) != 0) return -1;
        written.push_back(path);
    }
    if (!cfg.catalog_dir.empty() && write_catalogue(cfg, written, gen, err) != 0) return -1;
    if (files) *files = written;
    return 0;
}

int make_run_config(const std::string& dir, file_layout layout, int files, int events,
                    const std::string& channels, synthetic_run_config* out, std::string* err) {
    synthetic_run_config cfg;
    cfg.dir = dir;
    cfg.files = files;
    cfg.events_per_file = events;
    cfg.layout = layout;
    const int rc = synthetic_channels(channels, layout, &cfg.channels, err);
    *out = std::move(cfg);
    return rc;
}

synthetic_run_config sample_run_config(const std::string& dir, file_layout layout) {
    synthetic_run_config cfg;
    std::string err;
    make_run_config(dir, layout, 3, 50, "sample", &cfg, &err);  // the built-in preset is always taken
    cfg.catalog_dir = dir + "/catalog";
    cfg.experiment = "linac";
    cfg.stream = "main";
    cfg.run = 1234;
    cfg.rate_hz = 10.0;
    cfg.start_time = 1286193600;  // 2010-10-04 12:00:00 UTC
    cfg.first_event = 1000;
    cfg.gap_every = 20;
    cfg.gap_size = 3;
    cfg.seed = 42;
    return cfg;
}

int write_sample_run(const std::string& dir, file_layout layout, std::vector<std::string>* files,
                     std::string* err) {
    return write_synthetic_run(sample_run_config(dir, layout), files, err);
}

}  // namespace zorv
