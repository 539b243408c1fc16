// The standard run, the blocks of a written file and the decode floor.
#include "bench_run.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "be_reader.h"
#include "zorv_daq_read_chan.h"
#include "zorv_daq_read_chan_2010.h"
#include "zorv_layout.h"

namespace zorv_bench {

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

namespace {

uint32_t be32(const unsigned char* p) { return zorv::load_be32(p); }

}  // namespace

const std::vector<run_mix>& run_mixes() {
    static const std::vector<run_mix> mixes{
        {"standard", "the standard run",
         {
             {"SPECZ", 4, "48 ndata=512 comp=zlib server=SPEC"},  // 8-member spectra, zlib
             {"CAM", 1, "13 ndata=192 comp=lzo server=CAMS"},     // 192x192 camera image, LZO
             {"RF", 8, "43 ndata=512 comp=lzo server=RFS"},       // 2-member spectra, LZO
             {"TORO", 4, "42 ndata=64 comp=lzo server=TOR"},      // toroids, LZO
             {"BPM", 40, "38 ndata=64 comp=none server=BPMS"},    // 3-member BPMs, uncompressed
             {"SLOW", 4, "33 every=10 comp=none server=SLOW"},    // slow values
         },
         4, 550, 3,
         {1.25, 0.05, 1.10, 0, 1.0, 1.1}},
        // Twice the zlib spectra and a 256x256 camera: decoding and first
        // touches weigh more than the per-event work; long enough for the
        // steady state after the first files to show.
        {"long", "the long run with more spectra and a larger camera",
         {
             {"SPECZ", 8, "48 ndata=512 comp=zlib server=SPEC"},
             {"CAM", 1, "13 ndata=256 comp=lzo server=CAMS"},
             {"RF", 8, "43 ndata=512 comp=lzo server=RFS"},
             {"TORO", 4, "42 ndata=64 comp=lzo server=TOR"},
             {"BPM", 35, "38 ndata=64 comp=none server=BPMS"},
             {"SLOW", 4, "33 every=10 comp=none server=SLOW"},
         },
         12, 355, 5,
         {1.30, 0.03, 1.50, 1.2, 1.0, 1.1}},
    };
    return mixes;
}

const run_mix* find_mix(const std::string& name) {
    for (const auto& m : run_mixes())
        if (name == m.name) return &m;
    return nullptr;
}

zorv::synthetic_run_config mix_run(const run_mix& mix, const std::string& dir,
                                   zorv::file_layout layout, int files, int events) {
    zorv::synthetic_run_config cfg;
    cfg.dir = dir;
    cfg.experiment = "bench";
    cfg.run = 7;
    cfg.files = files;
    cfg.events_per_file = events;
    cfg.layout = layout;
    cfg.first_event = 1000;
    cfg.seed = 11;
    std::string text;
    for (const auto& g : mix.groups)
        for (int i = 1; i <= g.count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "%s%02d", g.prefix, i);
            text += std::string(name) + " " + g.settings + ";";
        }
    std::string err;
    if (zorv::synthetic_channels(text, layout, &cfg.channels, &err) != 0)
        std::fprintf(stderr, "channel set: %s\n", err.c_str());
    return cfg;
}

zorv::synthetic_run_config standard_run(const std::string& dir, zorv::file_layout layout,
                                        int files, int events) {
    return mix_run(run_mixes().front(), dir, layout, files, events);
}

std::vector<std::string> channel_names(const zorv::synthetic_run_config& cfg) {
    std::vector<std::string> out;
    for (const auto& c : cfg.channels) out.push_back(c.name);
    return out;
}

// ---------------------------------------------------------------------------
// Blocks of a file.
// ---------------------------------------------------------------------------

mapped_run_file::mapped_run_file(const std::string& path, zorv::file_layout layout,
                                 const std::vector<std::string>& channels)
    : layout_(layout) {
    fd_ = ::open(path.c_str(), O_RDONLY);
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
        error_ = "cannot open " + path;
        return;
    }
    len_ = size_t(st.st_size);
    void* m = mmap(nullptr, len_, PROT_READ, MAP_SHARED, fd_, 0);
    if (m == MAP_FAILED) {
        error_ = "cannot map " + path;
        return;
    }
    map_ = static_cast<unsigned char*>(m);
    if (layout == zorv::file_layout::current)
        scan<zorv::layout_current>(path, channels);
    else
        scan<zorv::layout_legacy>(path, channels);
    if (!error_.empty()) error_ = path + ": " + error_;
}

mapped_run_file::~mapped_run_file() {
    if (map_) munmap(map_, len_);
    if (fd_ >= 0) ::close(fd_);
}

template <class L>
void mapped_run_file::scan(std::string path, const std::vector<std::string>& channels) {
    // The file's own tables, loaded with the library's table set.
    zorv::table_set<L> t(0);
    std::vector<char*> none;
    if (t.get_all_tables(path.data(), 0, &none) != 0) {
        error_ = "tables cannot be loaded";
        return;
    }
    const int n = zorv_cdt_entry_count(t.cdt_tab);
    for (int c = 0; c < n; ++c) {
        const auto& e = t.cdt_tab->entry[c];
        bool wanted = channels.empty();
        for (const auto& name : channels) wanted |= name == e.chan_name;
        if (!wanted) continue;
        for (int i = 0; i < e.count; ++i) {
            const zorv_event_chan_ptr_entry& p = t.ecp_tab->chptr[size_t(c) * t.ecp_tab->maxev + i];
            if (!zorv::in_range(p.chhd, L::subhead_size, len_)) {
                error_ = "block outside the file";
                return;
            }
            const unsigned char* sh = map_ + p.chhd;
            const uint32_t size = be32(sh + offsetof(typename L::subhead, ldata));
            if (size < uint32_t(L::subhead_size) || !zorv::in_range(p.chhd, size, len_)) {
                error_ = "block outside the file";
                return;
            }
            blocks_.push_back({sh, size});
        }
    }
    t.clean_up();
}

uint64_t decoded_size(const block_ref& b, zorv::file_layout layout) {
    const bool legacy = layout == zorv::file_layout::legacy;
    const size_t sh = legacy ? zorv::layout_legacy::subhead_size : zorv::layout_current::subhead_size;
    const size_t err_off = legacy ? offsetof(zorv_serv_block_subhead, error)
                                  : offsetof(zorv_serv_block_subhead_2010, error);
    if (be32(b.subhead + err_off) & ZORV_CHAN_ZIP_FLAG) return be32(b.subhead + sh + 4);
    return b.size > sh ? b.size - sh : 0;
}

uint64_t mapped_run_file::decoded_bytes() const {
    uint64_t n = 0;
    for (const auto& b : blocks_) n += decoded_size(b, layout_);
    return n;
}

// ---------------------------------------------------------------------------
// The floor.
// ---------------------------------------------------------------------------

namespace {

struct growing_buffer {
    std::unique_ptr<unsigned char[]> p;
    size_t cap = 0;
    unsigned char* room(size_t n) {
        if (n > cap) {
            p.reset(new unsigned char[n]);
            cap = n;
        }
        return p.get();
    }
};

template <class L>
bool decode_one(const block_ref& b, growing_buffer& out) {
    using sh_t = typename L::subhead;
    const int sh = L::subhead_size;
    const uint32_t error = be32(b.subhead + offsetof(sh_t, error));
    const int dtype = int(be32(b.subhead + offsetof(sh_t, dtype)));
    const int t = dtype & 0xFFFF;
    const int sel = (t >= ZORV_BLOCK_IMG_ROI1 && t <= ZORV_BLOCK_GENERIC_SPECT)
                        ? (L::legacy ? ZORV_LAYOUT_LEGACY : ZORV_LAYOUT_CURRENT)
                        : ZORV_LAYOUT_AUTO;
    if (!(error & ZORV_CHAN_ZIP_FLAG)) {
        const int len = int(b.size) - sh;
        return zorv_convert_data(b.subhead + sh, out.room(size_t(len)), dtype, len, sel) == 0;
    }
    const unsigned char* z = b.subhead + sh;
    const uint32_t flags = be32(z), orig = be32(z + 4), zlen = be32(z + 8);
    unsigned char* dst = out.room(orig);
    int n = int(orig);
    auto* src = const_cast<unsigned char*>(z + 12);
    const int r = (flags & 1) ? make_zlib(src, int(zlen), dst, &n)
                              : make_lzo(src, int(zlen), dst, &n, nullptr);
    return r == 0 && n == int(orig) && zorv_convert_data(dst, dst, dtype, n, sel) == 0;
}

}  // namespace

double decode_floor(const std::vector<const mapped_run_file*>& files, int threads) {
    std::vector<std::pair<const block_ref*, bool>> work;  // block, legacy
    for (const auto* f : files)
        for (const auto& b : f->blocks()) work.push_back({&b, f->layout() == zorv::file_layout::legacy});
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    const double t0 = now_s();
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back([&] {
            growing_buffer out;
            for (size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < work.size();) {
                const bool ok = work[k].second ? decode_one<zorv::layout_legacy>(*work[k].first, out)
                                               : decode_one<zorv::layout_current>(*work[k].first, out);
                if (!ok) failed = true;
            }
        });
    for (auto& t : pool) t.join();
    const double dt = now_s() - t0;
    return failed ? -1.0 : dt;
}

// ---------------------------------------------------------------------------
// Child processes.
// ---------------------------------------------------------------------------

namespace {

usage from_rusage(const struct rusage& ru) {
    return {double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) * 1e-6,
            double(ru.ru_stime.tv_sec) + double(ru.ru_stime.tv_usec) * 1e-6, double(ru.ru_minflt)};
}

}  // namespace

usage self_usage() {
    struct rusage ru;
    return getrusage(RUSAGE_SELF, &ru) == 0 ? from_rusage(ru) : usage{};
}

vm_counters read_vm_counters() {
    struct field {
        const char* name;
        double vm_counters::*value;
    };
    static constexpr field kFields[] = {
        {"thp_fault_alloc", &vm_counters::thp_fault_alloc},
        {"thp_fault_fallback", &vm_counters::thp_fault_fallback},
        {"compact_stall", &vm_counters::compact_stall},
        {"pgfault", &vm_counters::pgfault},
    };
    vm_counters c;
    std::FILE* f = std::fopen("/proc/vmstat", "r");
    if (!f) return c;
    char name[64];
    unsigned long long v;
    while (std::fscanf(f, "%63s %llu", name, &v) == 2)
        for (const auto& k : kFields)
            if (std::strcmp(name, k.name) == 0) c.*k.value = double(v);
    std::fclose(f);
    if (std::FILE* r = std::fopen("/sys/module/page_reporting/parameters/reported_kib", "r")) {
        if (std::fscanf(r, "%llu", &v) == 1) c.reported_kib = double(v);
        std::fclose(r);
    }
    return c;
}

child_result in_child(const std::function<std::vector<double>()>& fn) {
    child_result res;
    int fds[2];
    if (pipe(fds) != 0) return res;
    std::fflush(nullptr);
    // The child starts with the parent's resident pages, and the parent's
    // heap may still hold what writing and scanning the run freed (up to
    // 28 MB in some runs, none in others), which would count against the
    // reader's peak.
    malloc_trim(0);
    const vm_counters vm0 = read_vm_counters();
    const pid_t pid = fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return res;
    }
    if (pid == 0) {
        ::close(fds[0]);
        // The library prints its diagnostics on standard output.
        if (int devnull = ::open("/dev/null", O_WRONLY); devnull >= 0) dup2(devnull, 1);
        const std::vector<double> v = fn();
        const size_t bytes = v.size() * sizeof(double);
        const bool ok = write(fds[1], v.data(), bytes) == ssize_t(bytes);
        _exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    double d;
    while (read(fds[0], &d, sizeof d) == ssize_t(sizeof d)) res.values.push_back(d);
    ::close(fds[0]);
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) == pid) {
        res.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        res.peak_rss = uint64_t(ru.ru_maxrss) * 1024;
        res.use = from_rusage(ru);
        res.cpu_s = res.use.user_s + res.use.sys_s;
    }
    res.vm = read_vm_counters() - vm0;
    return res;
}

}  // namespace zorv_bench
