// The DAQ file writer: collects one file's events and channel blocks in
// memory and lays the file out on close (baskets, tables, reference table,
// trailer), writing "<path>.part" and renaming it when complete.
#include "zorv_daq_writer.h"

#include <fcntl.h>
#include <lzo/lzo1x.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>

#include "be_sink.h"

namespace zorv {

namespace {

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull;  // positions are u32
constexpr uint32_t kZipHeaderSize = 12;
constexpr uint32_t kEventHeaderSize = sizeof(zorv_eventheader);
constexpr uint32_t kRefTableSize = sizeof(zorv_file_reference_table_2010);
constexpr int kEventTypes = ZORV_EV_EVMAX;

uint64_t round4(uint64_t n) { return (n + 3) & ~uint64_t(3); }

bool time_before(const time_stamp& a, const time_stamp& b) {
    return a.timeup < b.timeup || (a.timeup == b.timeup && a.timelow < b.timelow);
}

// One block of a channel, with positions relative to the channel's data.
struct block_ref {
    uint32_t event;      // index into events
    uint32_t sblock;     // index into server blocks
    uint32_t offset;     // sub-header offset within the channel's data
    uint32_t data_skip;  // bytes from the sub-header to the payload
};

struct channel_state {
    channel_decl decl;
    std::vector<unsigned char> data;  // the channel's blocks, 4-aligned
    std::vector<block_ref> blocks;
    uint32_t ev_mask = 0;
    uint32_t dtype_mask = 0;
    bool has_last = false;
    uint32_t last_number = 0;
    time_stamp last_time{0, 0};
};

struct event_state {
    zorv_eventheader head{};
};

struct server_block {
    time_stamp time{0, 0};
    int32_t ltotal = 0;
    int32_t mpulse = 0;
    std::string server;
    int32_t tmask = 0;
    int32_t nchan = 0;
};

// Owns a file descriptor.
class fd_guard {
public:
    explicit fd_guard(int fd = -1) : fd_(fd) {}
    ~fd_guard() { reset(); }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

bool write_all(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string attr(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + xml_escape(value) + "\"";
}
std::string attr(const char* name, long long value) { return attr(name, std::to_string(value)); }

std::string describe_channel(const std::string& name, const channel_description& d) {
    char evtype[16];
    std::snprintf(evtype, sizeof evtype, "0x%x", d.ev_type);
    std::string x = "  <channel" + attr("stream", d.stream) + attr("ev_type", evtype) +
                    attr("dtype", d.dtype) + attr("db_key", d.db_key) +
                    attr("max_size", d.max_size) + attr("set_point", d.set_point) +
                    attr("prop_name", d.prop_name) +
                    attr("daq_name", d.daq_name.empty() ? name : d.daq_name) +
                    attr("prop_desc", d.prop_desc) + attr("units", d.units) +
                    attr("sb_name", d.sb_name) + attr("subsystem", d.subsystem) + ">\n";
    for (const auto& b : d.bits)
        x += "    <bit" + attr("bit", b.bit) + attr("name", b.name) + attr("desc", b.desc) + "/>\n";
    for (const auto& dim : d.dims) {
        x += "    <dim" + attr("dim", dim.dim) + attr("name", dim.name) + attr("desc", dim.desc) +
             attr("units", dim.units) + ">\n";
        for (const auto& s : dim.stats)
            x += "      <stat" + attr("stat", s.stat) + attr("name", s.name) +
                 attr("desc", s.desc) + attr("units", s.units) + "/>\n";
        x += "    </dim>\n";
    }
    return x + "  </channel>\n";
}

// Compresses `in` into `out`; false on failure.
bool compress_zlib(const std::vector<unsigned char>& in, int level,
                   std::vector<unsigned char>* out) {
    uLongf len = compressBound(static_cast<uLong>(in.size()));
    out->resize(len);
    if (compress2(out->data(), &len, in.data(), static_cast<uLong>(in.size()), level) != Z_OK)
        return false;
    out->resize(len);
    return true;
}

bool compress_lzo(const std::vector<unsigned char>& in, std::vector<unsigned char>* out) {
    static const bool lzo_ready = lzo_init() == LZO_E_OK;
    if (!lzo_ready) return false;
    std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
    out->resize(in.size() + in.size() / 16 + 64 + 3);
    lzo_uint len = out->size();
    if (lzo1x_1_compress(in.data(), in.size(), out->data(), &len, work.data()) != LZO_E_OK)
        return false;
    out->resize(len);
    return true;
}

const char* compression_name(compression c) {
    switch (c) {
        case compression::zlib: return "zlib";
        case compression::lzo: return "LZO";
        default: return "none";
    }
}

}  // namespace

struct daq_file_writer::state {
    explicit state(file_layout l) : layout(l), info(info_of(l)) {}

    file_layout layout;
    const layout_info& info;
    std::string error;
    uint64_t size_limit = kMaxFileSize;

    std::string path;
    fd_guard fd;
    bool open = false;

    std::vector<channel_state> channels;
    std::map<std::string, int> channel_index;
    std::vector<event_state> events;
    std::vector<server_block> sblocks;
    std::vector<zorv_env_dictionary_entry> env_index;
    std::optional<std::string> xml_text;
    mutable std::optional<uint64_t> xml_size;  // cached length of xml()
    bool has_type[kEventTypes] = {};
    uint32_t last_number[kEventTypes] = {};
    bool has_number[kEventTypes] = {};
    time_stamp last_time{0, 0};

    // The event being built.
    bool in_event = false;
    std::vector<std::pair<std::string, uint32_t>> event_servers;  // name -> sblock index
    std::vector<int> event_channels;

    int fail(const std::string& msg) {
        error = msg;
        return -1;
    }
    void reset_file() {
        channels.clear();
        channel_index.clear();
        events.clear();
        sblocks.clear();
        env_index.clear();
        xml_text.reset();
        std::fill(std::begin(last_number), std::end(last_number), 0u);
        std::fill(std::begin(has_number), std::end(has_number), false);
        std::fill(std::begin(has_type), std::end(has_type), false);
        xml_size.reset();
        last_time = {0, 0};
        in_event = false;
        event_servers.clear();
        event_channels.clear();
    }

    std::string part_path() const { return path + ".part"; }

    std::string xml() const {
        if (xml_text) return *xml_text;
        std::string x = "<channels>\n";
        for (const auto& c : channels)
            if (c.decl.descr) x += describe_channel(c.decl.name, *c.decl.descr);
        return x + "</channels>\n";
    }

    // Byte sizes of the file's sections, in file order.
    struct sizes {
        uint64_t evh, sbh, chan, eit, cdt, ecpt, eidt, xcd;
        uint64_t total() const {
            return evh + sbh + chan + eit + cdt + ecpt + eidt + xcd + kRefTableSize + 4;
        }
    };
    // With `extra_chan_bytes`: as if a new channel basket with one block of
    // that size were added; with `extra_event`: as if one more event of a new
    // type were added.
    sizes section_sizes(uint64_t extra_chan_bytes = 0, bool extra_event = false) const {
        sizes s{};
        const uint64_t nev = events.size() + (extra_event ? 1 : 0);
        s.evh = 8 + kEventHeaderSize * nev;
        s.sbh = 8 + info.sbhead_size * uint64_t(sblocks.size());
        uint64_t nblocks = 0;
        for (const auto& c : channels) {
            if (!c.blocks.empty()) s.chan += 8 + c.data.size();
            nblocks += c.blocks.size();
        }
        if (extra_chan_bytes) s.chan += 8 + extra_chan_bytes, ++nblocks;
        s.eit = 8 + 32ull * (event_types_used() + (extra_event ? 1 : 0)) + 16 * nev;
        s.cdt = 8 + info.cdt_entry_size * channels.size();
        s.ecpt = 16 + 8ull * channels.size() + 16 * nblocks;
        s.eidt = 8 + 8ull * env_index.size();
        if (!xml_size) xml_size = xml().size();
        s.xcd = 8 + round4(*xml_size + 1);
        return s;
    }
    int event_types_used() const {
        return static_cast<int>(std::count(std::begin(has_type), std::end(has_type), true));
    }

    int write_file();
};

// ---------------------------------------------------------------------------

daq_file_writer::daq_file_writer(file_layout layout) : st_(std::make_unique<state>(layout)) {}

daq_file_writer::~daq_file_writer() { abandon(); }

int daq_file_writer::open(const std::string& path) {
    if (st_->open) return st_->fail("a file is already open: " + st_->path);
    if (path.empty()) return st_->fail("no file name given");
    st_->reset_file();
    st_->path = path;
    int fd = ::open(st_->part_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return st_->fail("cannot create " + st_->part_path() + ": " + std::strerror(errno));
    st_->fd.reset(fd);
    st_->open = true;
    st_->error.clear();
    return 0;
}

int daq_file_writer::declare_channel(const channel_decl& decl) {
    state& s = *st_;
    if (!s.open) return s.fail("no file is open");
    const size_t field = std::min(s.info.cdt_name_len, s.info.subhead_name_len);
    if (decl.name.empty()) return s.fail("a channel needs a name");
    if (decl.name.size() >= field)
        return s.fail("channel name \"" + decl.name + "\" is longer than its field (" +
                      std::to_string(field - 1) + " characters)");
    if (s.channel_index.count(decl.name))
        return s.fail("channel \"" + decl.name + "\" is declared twice");
    if (decl.comp == compression::channel_default)
        return s.fail("channel \"" + decl.name + "\" needs a compression of its own");
    if (decl.zlib_level < 0 || decl.zlib_level > 9)
        return s.fail("zlib level of \"" + decl.name + "\" must be 0 to 9");
    channel_state c;
    c.decl = decl;
    s.channels.push_back(std::move(c));
    s.xml_size.reset();
    if (s.section_sizes().total() > s.size_limit) {
        s.channels.pop_back();
        s.xml_size.reset();
        return s.fail("the file would exceed its size limit");
    }
    int idx = static_cast<int>(s.channels.size()) - 1;
    s.channel_index[decl.name] = idx;
    return idx;
}

int daq_file_writer::find_channel(const std::string& name) const {
    auto it = st_->channel_index.find(name);
    return it == st_->channel_index.end() ? -1 : it->second;
}

int daq_file_writer::add_env_index(uint32_t key, int32_t index) {
    if (!st_->open) return st_->fail("no file is open");
    st_->env_index.push_back({key, index});
    return 0;
}

void daq_file_writer::set_xml_text(const std::string& xml) {
    st_->xml_text = xml;
    st_->xml_size.reset();
}

int daq_file_writer::begin_event(uint32_t number, time_stamp time, int type, int32_t tmask,
                                 int32_t status) {
    state& s = *st_;
    if (!s.open) return s.fail("no file is open");
    if (s.in_event) return s.fail("an event is already open");
    if (type < 0 || type >= kEventTypes)
        return s.fail("event type " + std::to_string(type) + " is outside 0 to 31");
    if (time.timelow >= 1000000) return s.fail("time stamp microseconds must be below 1000000");
    if (time_before(time, s.last_time)) return s.fail("event times must not go backwards");
    if (number != 0 && s.has_number[type] && number <= s.last_number[type])
        return s.fail("event " + std::to_string(number) + " of type " + std::to_string(type) +
                      " does not follow event " + std::to_string(s.last_number[type]));
    if (s.section_sizes(0, true).total() > s.size_limit)
        return s.fail("the file would exceed its size limit");
    event_state e;
    e.head.pattern = s.info.pattern_event;
    e.head.event_number = number;
    e.head.event_type = type;
    e.head.event_time = time;
    e.head.tmask = tmask;
    e.head.status = status;
    s.events.push_back(e);
    if (number != 0) s.last_number[type] = number, s.has_number[type] = true;
    s.has_type[type] = true;
    s.last_time = time;
    s.in_event = true;
    s.event_servers.clear();
    s.event_channels.clear();
    return 0;
}

int daq_file_writer::add_block(const std::string& channel, const std::string& server,
                               const payload& p, uint32_t error, compression comp) {
    int idx = find_channel(channel);
    if (idx < 0) return st_->fail("channel \"" + channel + "\" is not declared");
    return add_block(idx, server, p, error, comp);
}

int daq_file_writer::add_block(int channel, const std::string& server, const payload& p,
                               uint32_t error, compression comp) {
    state& s = *st_;
    if (!s.open) return s.fail("no file is open");
    if (!s.in_event) return s.fail("no event is open");
    if (channel < 0 || channel >= static_cast<int>(s.channels.size()))
        return s.fail("channel index " + std::to_string(channel) + " is not declared");
    channel_state& c = s.channels[channel];
    if (!p.ok()) return s.fail("block of \"" + c.decl.name + "\": " + p.error);
    const int type = p.dtype & 0xFFFF;
    if (type < 1 || type > ZORV_BLOCK_MAX_2010 || (s.info.legacy && type > 31))
        return s.fail("block type " + std::to_string(type) + " cannot be stored in a " +
                      (s.info.legacy ? "legacy" : "current") + " file");
    if (server.size() >= s.info.server_name_len)
        return s.fail("server name \"" + server + "\" is longer than its field (" +
                      std::to_string(s.info.server_name_len - 1) + " characters)");
    if (std::find(s.event_channels.begin(), s.event_channels.end(), channel) !=
        s.event_channels.end())
        return s.fail("channel \"" + c.decl.name + "\" already has a block in this event");
    const zorv_eventheader& ev = s.events.back().head;
    if (c.has_last && ev.event_number != 0 && c.last_number != 0 &&
        ev.event_number <= c.last_number)
        return s.fail("blocks of channel \"" + c.decl.name +
                      "\" must come in ascending event number");
    if (c.has_last && time_before(ev.event_time, c.last_time))
        return s.fail("blocks of channel \"" + c.decl.name + "\" must come in ascending time");

    if (comp == compression::channel_default) comp = c.decl.comp;
    std::vector<unsigned char> zipped;
    if (comp != compression::none) {
        if (p.bytes.empty()) return s.fail("an empty payload cannot be compressed");
        bool ok = comp == compression::zlib ? compress_zlib(p.bytes, c.decl.zlib_level, &zipped)
                                            : compress_lzo(p.bytes, &zipped);
        if (!ok) return s.fail(std::string(compression_name(comp)) + " compression failed");
    }
    const uint64_t sh = s.info.subhead_size;
    const uint64_t skip = sh + (comp == compression::none ? 0 : kZipHeaderSize);
    const uint64_t ldata = skip + (comp == compression::none ? p.bytes.size() : zipped.size());
    if (ldata > INT32_MAX || p.bytes.size() > UINT32_MAX)
        return s.fail("block of \"" + c.decl.name + "\" exceeds its size fields");
    if (8 + c.data.size() + round4(ldata) > INT32_MAX)
        return s.fail("channel basket of \"" + c.decl.name + "\" would exceed its size field");
    const bool new_server = std::find_if(s.event_servers.begin(), s.event_servers.end(),
                                         [&](const auto& e) { return e.first == server; }) ==
                            s.event_servers.end();
    {
        auto sz = s.section_sizes(round4(ldata));
        if (!c.blocks.empty()) sz.chan -= 8;  // the channel's basket head is counted already
        if (new_server) sz.sbh += s.info.sbhead_size;
        if (sz.total() > s.size_limit)
            return s.fail("the file would exceed its size limit (" +
                          std::to_string(s.size_limit) + " bytes)");
    }

    // Server block of this event (one per server).
    uint32_t sb_index;
    if (new_server) {
        server_block sb;
        sb.time = ev.event_time;
        sb.ltotal = static_cast<int32_t>(s.info.sbhead_size);
        sb.mpulse = static_cast<int32_t>(ev.event_number);
        sb.server = server;
        sb.tmask = ev.tmask;
        sb_index = static_cast<uint32_t>(s.sblocks.size());
        s.sblocks.push_back(sb);
        s.event_servers.emplace_back(server, sb_index);
        s.events.back().head.num_svr_block++;
    } else {
        sb_index = std::find_if(s.event_servers.begin(), s.event_servers.end(),
                                [&](const auto& e) { return e.first == server; })
                       ->second;
    }
    server_block& sb = s.sblocks[sb_index];
    sb.nchan++;
    sb.ltotal += static_cast<int32_t>(ldata);
    s.events.back().head.event_length += static_cast<uint32_t>(ldata);

    // The block: sub-header, zip header, payload; padded to 4 bytes.
    block_ref ref{static_cast<uint32_t>(s.events.size() - 1), sb_index,
                  static_cast<uint32_t>(c.data.size()), static_cast<uint32_t>(skip)};
    be_sink out(c.data);
    out.chars(c.decl.name, s.info.subhead_name_len);
    out.i32(p.dtype);
    out.u32(comp == compression::none ? (error & ~uint32_t(ZORV_CHAN_ZIP_FLAG))
                                      : (error | ZORV_CHAN_ZIP_FLAG));
    out.i32(static_cast<int32_t>(ldata));
    if (comp == compression::none) {
        out.bytes(p.bytes.data(), p.bytes.size());
    } else {
        out.u32(comp == compression::zlib ? 1 : 2);
        out.u32(static_cast<uint32_t>(p.bytes.size()));
        out.u32(static_cast<uint32_t>(zipped.size()));
        out.bytes(zipped.data(), zipped.size());
    }
    out.pad4();
    c.blocks.push_back(ref);
    c.ev_mask |= 1u << ev.event_type;
    if (type < 32) c.dtype_mask |= 1u << type;
    else c.dtype_mask |= 1u << (type - 32);
    c.has_last = true;
    c.last_number = ev.event_number;
    c.last_time = ev.event_time;
    s.event_channels.push_back(channel);
    return 0;
}

int daq_file_writer::spoil_last_block(int channel) {
    state& s = *st_;
    if (!s.open || !s.in_event) return s.fail("no event is open");
    if (channel < 0 || channel >= static_cast<int>(s.channels.size()))
        return s.fail("channel index " + std::to_string(channel) + " is not declared");
    channel_state& c = s.channels[channel];
    if (c.blocks.empty() || c.blocks.back().event != s.events.size() - 1)
        return s.fail("channel \"" + c.decl.name + "\" has no block in this event");
    const block_ref& b = c.blocks.back();
    if (b.data_skip <= s.info.subhead_size)
        return s.fail("the block of \"" + c.decl.name + "\" is not compressed");
    // 0xFF opens neither a zlib stream nor a valid LZO1X instruction run.
    std::fill(c.data.begin() + b.offset + b.data_skip, c.data.end(), 0xFF);
    return 0;
}

int daq_file_writer::end_event() {
    if (!st_->in_event) return st_->fail("no event is open");
    st_->in_event = false;
    return 0;
}

int daq_file_writer::close() {
    state& s = *st_;
    if (!s.open) return s.fail("no file is open");
    s.in_event = false;
    if (s.write_file() != 0) {
        std::string msg = s.error;
        abandon();
        s.error = msg;
        return -1;
    }
    s.open = false;
    s.reset_file();
    return 0;
}

void daq_file_writer::abandon() {
    state& s = *st_;
    if (!s.open) return;
    s.fd.reset();
    ::unlink(s.part_path().c_str());
    s.open = false;
    s.reset_file();
}

const std::string& daq_file_writer::error() const { return st_->error; }
file_layout daq_file_writer::layout() const { return st_->layout; }
bool daq_file_writer::is_open() const { return st_->open; }
int daq_file_writer::event_count() const { return static_cast<int>(st_->events.size()); }
uint64_t daq_file_writer::projected_size() const { return st_->section_sizes().total(); }
void daq_file_writer::set_size_limit(uint64_t bytes) {
    st_->size_limit = std::min(bytes, kMaxFileSize);
}

// ---------------------------------------------------------------------------
// Laying the file out.
// ---------------------------------------------------------------------------

int daq_file_writer::state::write_file() {
    const sizes sz = section_sizes();
    if (sz.total() > size_limit) return fail("the file would exceed its size limit");

    // Positions of the sections.
    const uint32_t evh_pos = 0;
    const uint32_t sbh_pos = static_cast<uint32_t>(evh_pos + sz.evh);
    std::vector<uint32_t> chan_pos(channels.size(), 0);
    uint64_t pos = sbh_pos + sz.sbh;
    uint32_t first_chan = 0;
    for (size_t i = 0; i < channels.size(); ++i) {
        if (channels[i].blocks.empty()) continue;
        chan_pos[i] = static_cast<uint32_t>(pos);
        if (!first_chan) first_chan = chan_pos[i];
        pos += 8 + channels[i].data.size();
    }
    const uint32_t eit_pos = static_cast<uint32_t>(pos);
    const uint32_t cdt_pos = static_cast<uint32_t>(eit_pos + sz.eit);
    const uint32_t ecpt_pos = static_cast<uint32_t>(cdt_pos + sz.cdt);
    const uint32_t eidt_pos = static_cast<uint32_t>(ecpt_pos + sz.ecpt);
    const uint32_t xcd_pos = static_cast<uint32_t>(eidt_pos + sz.eidt);
    const uint32_t ref_pos = static_cast<uint32_t>(xcd_pos + sz.xcd);

    const int outfd = fd.get();
    std::vector<unsigned char> buf;
    auto flush = [&]() {
        bool ok = write_all(outfd, buf.data(), buf.size());
        buf.clear();
        return ok;
    };
    be_sink out(buf);

    // Event-header basket.
    out.u32(info.pattern_evh_basket);
    out.i32(static_cast<int32_t>(sz.evh));
    for (const auto& e : events) {
        const zorv_eventheader& h = e.head;
        out.u32(h.pattern);
        out.u32(h.event_length);
        out.u32(h.event_number);
        out.i32(h.event_type);
        out.time(h.event_time);
        out.i32(h.tmask);
        out.i32(h.status);
        out.i32(h.num_svr_block);
    }
    // Server-block basket.
    out.u32(info.pattern_sbh_basket);
    out.i32(static_cast<int32_t>(sz.sbh));
    for (const auto& sb : sblocks) {
        out.time(sb.time);
        out.i32(sb.ltotal);
        out.i32(sb.mpulse);
        out.chars(sb.server, info.server_name_len);
        out.i32(sb.tmask);
        out.i32(0);
        out.i32(sb.nchan);
    }
    if (!flush()) return fail(std::string("write failed: ") + std::strerror(errno));
    // Channel baskets.
    for (const auto& c : channels) {
        if (c.blocks.empty()) continue;
        out.u32(info.pattern_chan_basket);
        out.i32(static_cast<int32_t>(8 + c.data.size()));
        if (!flush() || !write_all(outfd, c.data.data(), c.data.size()))
            return fail(std::string("write failed: ") + std::strerror(errno));
    }

    // EIT: one entry per event type present, ascending type; events by number.
    uint32_t eite_pos[kEventTypes] = {};
    out.u32(info.pattern_eit);
    out.i32(event_types_used());
    for (int type = 0; type < kEventTypes; ++type) {
        std::vector<uint32_t> idx;
        for (uint32_t i = 0; i < events.size(); ++i)
            if (events[i].head.event_type == type) idx.push_back(i);
        if (idx.empty()) continue;
        std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) {
            return events[a].head.event_number < events[b].head.event_number;
        });
        eite_pos[type] = static_cast<uint32_t>(eit_pos + out.size());
        const zorv_eventheader& first = events[idx.front()].head;
        const zorv_eventheader& last = events[idx.back()].head;
        out.i32(type);
        out.time(first.event_time);
        out.time(last.event_time);
        out.u32(first.event_number);
        out.u32(last.event_number);
        out.i32(static_cast<int32_t>(32 + 16 * idx.size()));
        for (uint32_t i : idx) {
            out.time(events[i].head.event_time);
            out.u32(events[i].head.event_number);
            out.u32(evh_pos + 8 + kEventHeaderSize * i);
        }
    }
    // CDT.
    out.u32(info.pattern_cdt);
    out.i32(static_cast<int32_t>(sz.cdt));
    for (const auto& c : channels) {
        out.u32(c.decl.key);
        out.chars(c.decl.name, info.cdt_name_len);
        out.u32(c.decl.ev_mask | c.ev_mask);
        out.u32(c.decl.dtype_mask | c.dtype_mask);
        out.i32(static_cast<int32_t>(c.blocks.size()));
    }
    // ECPT, packed: column directory, then the columns.
    size_t maxev = 0;
    for (const auto& c : channels) maxev = std::max(maxev, c.blocks.size());
    out.u32(info.pattern_ecpt);
    out.i32(static_cast<int32_t>(sz.ecpt));
    out.i32(static_cast<int32_t>(maxev));
    out.i32(static_cast<int32_t>(channels.size()));
    uint32_t first = 0;
    for (const auto& c : channels) {
        out.u32(first);
        out.u32(static_cast<uint32_t>(c.blocks.size()));
        first += static_cast<uint32_t>(c.blocks.size());
    }
    for (size_t i = 0; i < channels.size(); ++i) {
        for (const auto& b : channels[i].blocks) {
            const uint32_t chhd = chan_pos[i] + 8 + b.offset;
            out.u32(evh_pos + 8 + kEventHeaderSize * b.event);
            out.u32(sbh_pos + 8 + static_cast<uint32_t>(info.sbhead_size) * b.sblock);
            out.u32(chhd);
            out.u32(chhd + b.data_skip);
        }
        if (buf.size() > (1u << 20) && !flush())
            return fail(std::string("write failed: ") + std::strerror(errno));
    }
    // EIDT.
    out.u32(info.pattern_eidt);
    out.i32(static_cast<int32_t>(sz.eidt));
    for (const auto& e : env_index) {
        out.u32(e.key);
        out.i32(e.index);
    }
    // XCD, NUL-padded.
    const std::string text = xml();
    out.u32(info.pattern_xcd);
    out.i32(static_cast<int32_t>(sz.xcd));
    out.chars(text, sz.xcd - 8);
    // File reference table and trailer.
    out.u32(info.pattern_ref);
    out.i32(static_cast<int32_t>(kRefTableSize));
    out.u32(eit_pos);
    for (uint32_t p : eite_pos) out.u32(p);
    for (uint32_t p : {cdt_pos, ecpt_pos, eidt_pos, xcd_pos, evh_pos, sbh_pos, first_chan})
        out.u32(p);
    out.u32(ref_pos);
    if (!flush()) return fail(std::string("write failed: ") + std::strerror(errno));

    if (::close(fd.release()) != 0)
        return fail(std::string("closing the file failed: ") + std::strerror(errno));
    if (std::rename(part_path().c_str(), path.c_str()) != 0)
        return fail("cannot rename " + part_path() + " to " + path + ": " + std::strerror(errno));
    return 0;
}

}  // namespace zorv
