// Fuzz entry points of the reader stack (see zorv_fuzz.h).
#include "zorv_fuzz.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "zorv_daq_read_chan.h"
#include "zorv_daq_read_chan_2010.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"
#include "zorv_worker_limit.h"

namespace {

// The input as a file that open() and mmap() accept, without touching disk.
class memory_file {
public:
    memory_file(const uint8_t* data, size_t size) {
        fd_ = ::memfd_create("zorv-fuzz", MFD_CLOEXEC);
        if (fd_ < 0) return;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd_, data + done, size - done);
            if (n <= 0) return;
            done += size_t(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~memory_file() {
        if (fd_ >= 0) ::close(fd_);
    }
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;

    bool ok() const { return !path_.empty(); }
    char* path() { return &path_[0]; }

private:
    int fd_ = -1;
    std::string path_;
};

// The input as a regular file under a data file's name (the reader takes
// the file's start from its name), in a scratch directory of the process.
class named_file {
public:
    named_file(const uint8_t* data, size_t size) {
        static const std::string dir = make_dir();
        if (dir.empty()) return;
        path_ = dir + "/linac_main_run1_file1_20101004T120000.raw";
        std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path_.c_str(), "wb"), &std::fclose);
        if (!f || (size && std::fwrite(data, 1, size, f.get()) != size)) path_.clear();
    }
    ~named_file() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    named_file(const named_file&) = delete;
    named_file& operator=(const named_file&) = delete;

    bool ok() const { return !path_.empty(); }
    char* path() { return &path_[0]; }

private:
    static std::string make_dir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/zorv-fuzz-XXXXXX";
        if (!mkdtemp(&t[0])) return {};
        static struct remover {
            std::string d;
            ~remover() { ::rmdir(d.c_str()); }
        } r{t};
        return t;
    }
    std::string path_;
};

template <class L>
std::vector<std::string> channel_names(zorv::table_set<L>& t) {
    std::vector<std::string> names;
    const int n = zorv_cdt_entry_count(t.get_cdt_table());
    for (int i = 0; i < n && i < 64; ++i) {
        const auto& e = t.get_cdt_table()->entry[i];
        names.emplace_back(e.chan_name, strnlen(e.chan_name, sizeof e.chan_name));
    }
    return names;
}

template <class L>
int load_table_set(char* path) {
    zorv::table_set<L> all(0);
    const int rc = all.get_all_tables(path, 1, nullptr);
    if (rc != 0) return rc;
    std::vector<std::string> names = channel_names(all);
    names.emplace_back("NO-SUCH-CHANNEL");
    std::vector<char*> list;
    for (std::string& s : names) list.push_back(&s[0]);
    zorv::table_set<L> listed(0);
    listed.get_all_tables(path, 0, &list);
    return 0;
}

// One worker thread per channel, and the caller decodes beside it (as the
// slicer does): a fuzz input is small, so a thread start and a hand-over
// cost more than its decoding, and waiting for a thread to be scheduled on a
// busy machine would set the pace of the search.
void decode_alone() { zorv::worker_limit.store(1, std::memory_order_relaxed); }

// Visits every event forwards by event number and backwards by time. Each
// walk is bounded by the entry count: a reader that keeps answering past it
// is itself at fault.
template <class L>
void walk_events(zorv::read_chan<L>& rc) {
    const int limit = rc.out_total + 2;
    zorv_channel_entry_long* e = nullptr;
    int rs = rc.get_chan_data(nullptr, &e, ZORV_DAQ_READ_CHAN_EVENT_FIRST);
    for (int k = 0; rs == ZORV_DAQ_READ_CHAN_OK && e && k < limit; ++k) {
        zorv_time_id id = e->event_id;
        zorv_time_id by_time{0, id.time};
        zorv_channel_entry_long* same = nullptr;
        rc.get_chan_data(&by_time, &same, ZORV_DAQ_READ_CHAN_EVENT_CUR);
        rs = rc.get_chan_data(&id, &e, ZORV_DAQ_READ_CHAN_EVENT_NEXT);
    }
    rs = rc.get_chan_data(nullptr, &e, ZORV_DAQ_READ_CHAN_EVENT_LAST);
    for (int k = 0; rs == ZORV_DAQ_READ_CHAN_OK && e && k < limit; ++k) {
        zorv_time_id id = e->event_id;
        id.event_number = 0;
        rs = rc.get_chan_data(&id, &e, ZORV_DAQ_READ_CHAN_EVENT_PREV);
    }
}

template <class L>
int read_channel(zorv::table_set<L>& t, std::string name, int subch) {
    zorv::read_chan<L> rc(&t, &name[0], subch, nullptr);
    rc.set_max_number_of_threads(1);
    const int rs = rc.start(nullptr, nullptr, nullptr);
    rc.decode_here();
    rc.wait_decoded();
    if (rs == ZORV_DAQ_READ_CHAN_OK) walk_events(rc);
    return rs;
}

// Reads every channel with a table set loaded for the list of all channels,
// as a slicer loads it (baskets of fast channels copied). *loaded tells
// whether the file's tables were readable in this layout.
template <class L>
int read_all_channels(char* path, bool* loaded) {
    *loaded = false;
    std::vector<std::string> names;
    {
        zorv::table_set<L> all(0);
        const int rc = all.get_all_tables(path, 0, nullptr);
        if (rc != 0) return rc;
        names = channel_names(all);
    }
    std::vector<char*> list;
    for (std::string& s : names) list.push_back(&s[0]);
    zorv::table_set<L> t(1);
    const int rc = t.get_all_tables(path, 1, list.empty() ? nullptr : &list);
    if (rc != 0) return rc;
    *loaded = true;
    int status = 0;
    int cuts = 0;
    for (const std::string& name : names) {
        const int rs = read_channel(t, name, -1);
        if (status == 0) status = rs;
        if (cuts < 2) {
            // Members of a device record; for other kinds the cut is refused.
            read_channel(t, name, cuts++);
        }
    }
    return status;
}

// Entries of the file's channels: an upper bound of the events a reader can
// hand out for it.
template <class L>
long entry_total(zorv::table_set<L>& t) {
    long total = 0;
    const int n = zorv_cdt_entry_count(t.get_cdt_table());
    for (int i = 0; i < n; ++i) total += std::max(0, int(t.get_cdt_table()->entry[i].count));
    return total;
}

template <class Reader, class L>
int read_with_reader(char* path, bool* loaded) {
    *loaded = false;
    std::vector<std::string> names;
    long limit = 0;
    {
        zorv::table_set<L> t(0);
        const int rc = t.get_all_tables(path, 0, nullptr);
        if (rc != 0) return rc;
        names = channel_names(t);
        limit = entry_total(t) + 2;
    }
    *loaded = true;
    if (!names.empty()) names.push_back(names.front() + ":1");
    Reader r;
    int status = r.add_file(path, false);
    for (std::string& n : names) {
        daq_channel_entry e{};
        e.name = &n[0];
        if (status == 0) status = r.add_channel(&e);
    }
    if (status == 0) status = r.set_synch_mode(ZORV_DAQ_SLICER_SYNCH_MODE_EVID);
    if (status == 0) status = r.start();
    if (status == 0) {
        std::vector<zorv_channel_entry_long*> out;
        long events = 0;
        int s = 0;
        while ((s = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT)) == 0) {
            if (++events > limit) {
                s = ZORV_FUZZ_ENDLESS;
                break;
            }
        }
        if (s != ZORV_DAQ_READER_OUT_OF_WINDOW && s != ZORV_DAQ_READER_NO_DATA) status = s;
    }
    r.clean_up();
    return status;
}

}  // namespace

extern "C" int zorv_fuzz_table_set(const uint8_t* data, size_t size) {
    memory_file f(data, size);
    if (!f.ok()) return -1;
    const int current = load_table_set<zorv::layout_current>(f.path());
    const int legacy = load_table_set<zorv::layout_legacy>(f.path());
    return current == 0 ? 0 : legacy;
}

extern "C" int zorv_fuzz_read_channels(const uint8_t* data, size_t size) {
    memory_file f(data, size);
    if (!f.ok()) return -1;
    bool loaded = false;
    const int current = read_all_channels<zorv::layout_current>(f.path(), &loaded);
    if (loaded) return current;
    return read_all_channels<zorv::layout_legacy>(f.path(), &loaded);
}

extern "C" int zorv_fuzz_reader(const uint8_t* data, size_t size) {
    ::setenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1", 0);
    decode_alone();
    named_file f(data, size);
    if (!f.ok()) return -1;
    bool loaded = false;
    const int current = read_with_reader<zorv_daq_reader_2010, zorv::layout_current>(f.path(), &loaded);
    if (loaded) return current;
    return read_with_reader<zorv_daq_reader, zorv::layout_legacy>(f.path(), &loaded);
}
