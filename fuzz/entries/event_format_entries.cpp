// Fuzz entry points of the event-format library (see zorv_fuzz.h).
#include "zorv_fuzz.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "event_util.h"
#include "sys/fd.h"
#include "sys/memory.h"
#include "zorv_layout.h"

namespace {

using c_block = zorv::sys::c_ptr<unsigned char>;

// Sub-header size of a block type: the current codes (>= 33) and the shared
// codes read as current carry the current sub-header, the rest the legacy one.
size_t subhead_size(int type, int layout) {
    const bool current = type >= 33 || (type >= 24 && type <= 28 && layout != ZORV_LAYOUT_LEGACY);
    return current ? sizeof(zorv_serv_block_subhead_2010) : sizeof(zorv_serv_block_subhead);
}

// A block of exactly sub-header + payload bytes, so that any read past the
// payload leaves the allocation.
c_block make_block(int dtype, size_t sh, const uint8_t* payload, size_t len) {
    c_block b(static_cast<unsigned char*>(std::calloc(1, sh + len + (sh + len == 0))));
    if (!b) return b;
    const int32_t ldata = static_cast<int32_t>(sh + len);
    if (sh == sizeof(zorv_serv_block_subhead_2010)) {
        auto* h = reinterpret_cast<zorv_serv_block_subhead_2010*>(b.get());
        std::strcpy(h->chname, "FUZZ");
        h->dtype = dtype;
        h->ldata = ldata;
    } else {
        auto* h = reinterpret_cast<zorv_serv_block_subhead*>(b.get());
        std::strcpy(h->chname, "FUZZ");
        h->dtype = dtype;
        h->ldata = ldata;
    }
    if (len) std::memcpy(b.get() + sh, payload, len);
    return b;
}

// Every query a decoder makes of a converted block. The queries that take a
// layout selector are told the sub-header's layout, or left to guess it.
void query_block(const unsigned char* block, size_t sh, int type, int layout, int sub) {
    const bool current = sh == sizeof(zorv_serv_block_subhead_2010);
    const int own = current ? ZORV_LAYOUT_CURRENT : ZORV_LAYOUT_LEGACY;
    const int sel = layout == ZORV_LAYOUT_AUTO ? ZORV_LAYOUT_AUTO : own;
    const int n = get_channel_number(type, block, sel);
    for (int i = -1; i <= n && i < 70; ++i) get_chan_name(type, i);
    void* one = nullptr;
    const bool failed = current ? device_to_one_channel_2010(block, sub, 0, 0, &one)
                                : device_to_one_channel_2009(block, sub, 0, 0, &one);
    if (!failed) std::free(one);
    one = nullptr;
    if (!device_to_one_channel(block, sub, 0, 0, &one)) std::free(one);

    float start, inc, gi;
    float* mean;
    int ndata, groups;
    zorv_spect_statistics_2010* stat;
    for (int m = -1; m <= n && m < 70; ++m) {
        if (current) {
            get_pointer_to_data_2010(reinterpret_cast<const zorv_serv_block_subhead_2010*>(block), m);
            get_spect_params_for_data_type_2010(
                reinterpret_cast<const zorv_serv_block_subhead_2010*>(block), &start, &inc, &mean,
                &ndata, &groups, &gi, &stat, m);
        } else {
            get_pointer_to_data_2009(reinterpret_cast<const zorv_serv_block_subhead*>(block), m);
            get_spect_params_for_data_type_2009(
                reinterpret_cast<const zorv_serv_block_subhead*>(block), &start, &inc, &mean,
                &ndata, m);
        }
    }
    if (current)
        get_spect_code_description_2010(reinterpret_cast<const zorv_serv_block_subhead_2010*>(block));

    const int nupd = get_number_of_upd_channels(block, sel);
    char* name;
    int status;
    time_stamp t;
    float value;
    for (int k = -1; k <= nupd && k < 4096; ++k) get_update_params(block, k, &name, &status, &t, &value, sel);
}

void query_image(const unsigned char* payload, size_t len, int type) {
    char text[256];
    uint32_t evnum;
    if (type == ZORV_BLOCK_IMAGE && len >= sizeof(zorv_image_frame_head)) {
        zorv_image_frame_head head;
        std::memcpy(&head, payload, sizeof head);
        int x, y, bpp;
        get_image_params(&head, &x, &y, &bpp, &evnum, text);
    } else if (type == ZORV_BLOCK_IMAGE_EXT && len >= sizeof(zorv_image_ext_frame_head)) {
        zorv_image_ext_frame_head head, out;
        std::memcpy(&head, payload, sizeof head);
        get_image_ext_params(&head, &out, &evnum, text);
    }
}

// A scratch catalogue directory for the whole process, removed at exit.
class catalog_scratch {
public:
    catalog_scratch() {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zorv-fuzz-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) return;
        dir_ = buf.data();
        if (::mkdir((dir_ + "/linac").c_str(), 0700) != 0) dir_.clear();
    }
    ~catalog_scratch() {
        if (dir_.empty()) return;
        ::unlink(run_file().c_str());
        ::rmdir((dir_ + "/linac").c_str());
        ::rmdir(dir_.c_str());
    }
    const std::string& dir() const { return dir_; }
    std::string run_file() const { return dir_ + "/linac/run1234.xml"; }

private:
    std::string dir_;
};

void release(std::vector<zorv_root_xml_files*>& out) {
    for (zorv_root_xml_files* r : out) {
        for (char* s : r->rfiles) delete[] s;
        delete[] r->xmlfile;
        delete r;
    }
    out.clear();
}

// The input as a file descriptor the table parsers can pread, kept in memory;
// none when it cannot be made.
zorv::sys::unique_fd memory_file(const uint8_t* data, size_t size) {
    zorv::sys::unique_fd fd(::memfd_create("zorv-fuzz-tables", MFD_CLOEXEC));
    for (size_t done = 0; fd && done < size;) {
        const ssize_t n = ::write(fd.get(), data + done, size - done);
        if (n <= 0) fd.reset();
        done += size_t(n > 0 ? n : 0);
    }
    return fd;
}

template <class T>
using c_table = zorv::sys::c_ptr<T>;

// Parses every table of the input in layout L, as the table set does, but
// goes on past a failed table wherever the reference table allows it. The
// tail handed to the reference parser ends where the input ends, so a read
// past the file's last byte leaves the fuzzer's buffer.
template <class L>
void parse_tables(const uint8_t* data, size_t size, int fd) {
    if (size < 4) return;
    const off_t len = off_t(size);
    off_t delta = 0;
    const off_t offset = zorv_get_page_offset(len, len - 4, &delta);
    if (offset < 0 || offset > len) return;
    typename L::ref_table* r = nullptr;
    L::get_ref_table(data + offset, size_t(len - offset), len, fd, &r);
    c_table<typename L::ref_table> ref(r);
    if (!ref) return;

    typename L::eit* e = nullptr;
    L::get_eit_table(len, ref.get(), fd, &e);
    c_table<typename L::eit> eit(e);
    typename L::cdt* c = nullptr;
    L::get_cdt_table(len, ref.get(), fd, &c);
    c_table<typename L::cdt> cdt(c);
    typename L::ecpt* p = nullptr;
    L::get_ecp_table(len, ref.get(), fd, &p);
    std::free(p);
    if (cdt) {
        std::vector<std::string> names;
        const int n = zorv_cdt_entry_count(cdt.get());
        for (int i = 0; i < n && i < 8; ++i) {
            const char* name = cdt->entry[i].chan_name;
            names.emplace_back(name, strnlen(name, sizeof cdt->entry[i].chan_name));
            typename L::cdt_entry* found = nullptr;
            L::find_channel_by_name(cdt.get(), names.back().c_str(), &found);
        }
        names.emplace_back("NO-SUCH-CHANNEL");
        std::vector<char*> list;
        for (std::string& s : names) list.push_back(&s[0]);
        p = nullptr;
        L::get_ecp_table_by_list(len, ref.get(), fd, &list, cdt.get(), &p);
        std::free(p);
    }
    typename L::eidt* d = nullptr;
    L::get_eidt_table(len, ref.get(), fd, &d);
    std::free(d);
    typename L::xcd* x = nullptr;
    L::get_xcd_table(len, ref.get(), fd, &x);
    std::free(x);
}

// The catalogue queries, one of which an input asks for (each parses the run
// file afresh, so one per input keeps the search fast).
void query_runs(const char* cdir) {
    std::string exp = "linac";
    std::string desc;
    std::vector<zorv_root_xml_files*> out;
    int numbers[] = {1234, 1, 1234};
    std::vector<int*> runs{&numbers[0], &numbers[1], &numbers[2]};
    get_files_for_runs(&runs, &out, &desc, &exp, cdir, 1);
    release(out);
}

void query_periods(const char* cdir) {
    std::string exp = "linac";
    std::string desc;
    std::vector<zorv_root_xml_files*> out;
    get_files_for_period(0, 0x7FFFFFFF, &out, &desc, &exp, cdir, 1);
    release(out);
    get_files_for_period(1286193600, 1286193900, &out, &desc, &exp, cdir, 1);
    release(out);
}

void query_run_time(const char* cdir) {
    time_t t1, t2;
    get_time_for_run(1234, &t1, &t2, "linac", cdir);
}

void query_data_dir(const char* cdir) {
    ::setenv("ZORV_DAQ_CATALOG_DIR", cdir, 1);
    char buf[256];
    int bsize = sizeof buf;
    get_pnfs_dir("linac", "linac_main_run1234_file1_20101004T120000.raw", buf, &bsize, 0);
    bsize = 4;
    get_pnfs_dir("linac", "linac_main_run1234_file1_20101004T120000.raw", buf, &bsize, 0);
}

constexpr void (*catalog_queries[])(const char*) = {query_runs, query_periods, query_run_time,
                                                    query_data_dir};

}  // namespace

extern "C" int zorv_fuzz_payload(const uint8_t* data, size_t size) {
    if (size < 3 || size > (1u << 20)) return 0;
    const int type = data[0] & 0x3F;
    const int layout = data[1] % 3;
    const int sub = data[2];
    const uint8_t* payload = data + 3;
    const size_t len = size - 3;
    const size_t sh = subhead_size(type, layout);

    // Conversion into a separate buffer and in place must agree.
    c_block dst(static_cast<unsigned char*>(std::malloc(len + (len == 0))));
    if (!dst) return 0;
    const int apart = zorv_convert_data(payload, dst.get(), type, int(len), layout);
    c_block block = make_block(type, sh, payload, len);
    if (!block) return 0;
    const int inplace = zorv_convert_data(block.get() + sh, block.get() + sh, type, int(len), layout);
    if ((apart == 0) != (inplace == 0)) std::abort();
    if (inplace != 0) return 0;
    query_block(block.get(), sh, type, layout, sub);
    query_image(block.get() + sh, len, type);
    return 0;
}

extern "C" int zorv_fuzz_chan_descr(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    // As the table parser hands it over: pattern, length, NUL-terminated text.
    const size_t head = offsetof(zorv_xml_chan_descr_header_2010, xml);
    c_block xcd(static_cast<unsigned char*>(std::calloc(1, head + size + 1)));
    if (!xcd) return 0;
    auto* h = reinterpret_cast<zorv_xml_chan_descr_header_2010*>(xcd.get());
    h->pattern = 0xACDCACF3u;
    h->length = int32_t(head + size + 1);
    if (size) std::memcpy(h->xml, data, size);

    // Loaded from the table and from the bare text (the same parser behind
    // two doors); each description printed (every field within its bounds),
    // copied and freed.
    for (const bool from_table : {true, false}) {
        std::vector<chan_descr_2010*> list;
        const char* text = reinterpret_cast<const char*>(h->xml);
        if ((from_table ? zorv_load_chan_descr(h, &list) : zorv_load_chan_descr_text(text, &list)) != 0)
            continue;
        if (from_table) print_zorv_chan_descr(&list);
        for (chan_descr_2010* d : list) {
            zorv_free_chan_descr(zorv_copy_chan_descr(d));
            zorv_free_chan_descr(d);
        }
    }
    return 0;
}

extern "C" int zorv_fuzz_run_catalog(const uint8_t* data, size_t size) {
    static catalog_scratch scratch;
    if (scratch.dir().empty() || size < 1 || size > (1u << 20)) return 0;
    const auto query = catalog_queries[data[0] % std::size(catalog_queries)];
    const std::string path = scratch.run_file();
    {
        std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
        if (!f || (size > 1 && std::fwrite(data + 1, 1, size - 1, f.get()) != size - 1)) return 0;
    }
    query(scratch.dir().c_str());
    return 0;
}

extern "C" int zorv_fuzz_file_names(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    std::vector<std::unique_ptr<char[]>> names;
    size_t begin = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != '\n') continue;
        auto name = std::make_unique<char[]>(i - begin + 1);
        std::memcpy(name.get(), data + begin, i - begin);
        name[i - begin] = '\0';
        time_t t;
        get_time_from_file_name(name.get(), &t);
        names.push_back(std::move(name));
        begin = i + 1;
    }
    std::vector<char*> order;
    for (auto& n : names) order.push_back(n.get());
    sort_files(&order);
    return 0;
}

extern "C" int zorv_fuzz_tables(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const zorv::sys::unique_fd fd = memory_file(data, size);
    if (fd.get() < 0) return 0;
    parse_tables<zorv::layout_current>(data, size, fd.get());
    parse_tables<zorv::layout_legacy>(data, size, fd.get());
    return 0;
}
