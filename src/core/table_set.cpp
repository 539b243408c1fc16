// zorv::table_set: loading a file's tables and baskets all or nothing, and
// releasing them. Instantiated for both layouts at the end.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "be_reader.h"
#include "core/layout_text.h"
#include "sys/clock.h"
#include "sys/fd.h"
#include "sys/lock.h"
#include "sys/mapping.h"
#include "sys/memory.h"
#include "zorv_table_set.h"

namespace zorv {

namespace table_set_detail {

using namespace table_set_status;

using sys::c_ptr;
using sys::mapping;


// Frees the descriptions of a list and empties it; an inconsistent count is
// reported, and the records are released all the same.
inline void free_descr_list(std::vector<chan_descr_2010*>& list) {
    for (chan_descr_2010* d : list) {
        if (!d) continue;
        if (d->nbits == 0 && !d->bits.empty())
            std::printf("ERROR: nbits = 0, but bits.size()=%zu\n", d->bits.size());
        if (d->ndims == 0 && !d->dims.empty())
            std::printf("ERROR: ndims = 0, but ndims.size()=%zu\n", d->dims.size());
        zorv_free_chan_descr(d);
    }
    list.clear();
}

struct descr_holder {
    std::vector<chan_descr_2010*> list;
    ~descr_holder() { free_descr_list(list); }
};

// One basket as held in memory: mapped (map) or copied (copy).
struct basket_hold {
    mapping map;
    c_ptr<unsigned char> copy;
    u_long offset = 0;               // file position of region()[0]
    u_long size = 0;                 // bytes of the region
    unsigned char* basket = nullptr;  // the basket record inside the region

    unsigned char* region() const { return copy ? copy.get() : map.data(); }
};

struct basket_spec {
    const char* what;
    uint32_t pos;      // file position of the basket
    size_t head;       // size of the basket record with its first entry
    uint32_t pattern;  // expected basket pattern
    int code_head;     // failure of the head: mapping, position, pattern
    int code_whole;    // failure of the whole basket: mapping, length
};

// Brings one basket into memory: maps its head to learn its length, checks
// pattern and length against the file, then maps it whole and, in copy mode,
// copies it to the heap and drops the mapping.
inline int load_basket(int fd, off_t file_len, const basket_spec& s, bool copy, int debug,
                       basket_hold& out) {
    const uint64_t flen = static_cast<uint64_t>(file_len);
    constexpr uint64_t basket_head = 8;  // pattern and length
    if (!in_range(s.pos, basket_head, flen)) {
        if (debug)
            std::printf("%s basket at %u lies outside the file (%lld bytes)\n", s.what, s.pos,
                        static_cast<long long>(file_len));
        return s.code_head;
    }
    off_t delta = 0;
    const off_t offset = zorv_get_page_offset(file_len, s.pos, &delta);
    // The head record may reach past the end of a small file; map only what exists.
    const size_t head = static_cast<size_t>(std::min<uint64_t>(s.head, flen - s.pos));
    mapping m;
    if (!m.map(fd, offset, static_cast<size_t>(delta) + head)) {
        if (debug) std::perror("mmap");
        return s.code_head;
    }
    be_reader rd(m.data() + delta, head);
    const uint32_t pattern = rd.u32(0);
    const int32_t length = rd.i32(4);
    if (!rd.ok() || pattern != s.pattern) {
        if (debug)
            std::printf("%s basket at %u: pattern 0x%08x, expected 0x%08x\n", s.what, s.pos,
                        pattern, s.pattern);
        return s.code_head;
    }
    if (length < static_cast<int32_t>(basket_head) || !in_range(s.pos, uint32_t(length), flen)) {
        if (debug)
            std::printf("%s basket at %u: length %d runs past the end of the file (%lld bytes)\n",
                        s.what, s.pos, length, static_cast<long long>(file_len));
        return s.code_whole;
    }
    const size_t whole = static_cast<size_t>(delta) + static_cast<size_t>(length);
    if (!m.map(fd, offset, whole)) {
        if (debug) std::perror("mmap");
        return s.code_whole;
    }
    if (copy) {
        c_ptr<unsigned char> c(static_cast<unsigned char*>(std::malloc(size_t(length))));
        if (!c) {
            if (debug) std::printf("%s basket: no memory for %d bytes\n", s.what, length);
            return s.code_whole;
        }
        std::memcpy(c.get(), m.data() + delta, size_t(length));
        out.offset = s.pos;
        out.size = u_long(length);
        out.basket = c.get();
        out.copy = std::move(c);
    } else {
        out.offset = u_long(offset);
        out.size = whole;
        out.basket = m.data() + delta;
        out.map = std::move(m);
    }
    return 0;
}

}  // namespace table_set_detail

// Everything get_all_tables obtains, held by guards until the whole set is
// loaded; a failure at any step releases what was obtained so far.
template <class L>
struct table_set<L>::loading {
    sys::unique_fd fd;
    off_t len = 0;
    table_set_detail::c_ptr<ref_table_t> ref;
    table_set_detail::c_ptr<eit_t> eit;
    table_set_detail::c_ptr<cdt_t> cdt;
    table_set_detail::c_ptr<ecpt_t> ecp;
    table_set_detail::c_ptr<eidt_t> eidt;
    table_set_detail::c_ptr<xcd_t> xcd;
    table_set_detail::descr_holder descr;
    int copy_mode = 0;
    table_set_detail::basket_hold evh;
    table_set_detail::basket_hold sbh;

    // Runs a parser of the tables the reference table points to, into
    // `slot`; the parser's code (a table it returned is kept either way).
    template <class Table, class Parser, class... Extra>
    int parse(table_set_detail::c_ptr<Table>& slot, Parser parser, int fd, Extra... extra) {
        Table* table = nullptr;
        const int r = parser(len, ref.get(), fd, extra..., &table);
        slot.reset(table);
        return r;
    }
};

template <class L>
table_set<L>::table_set(int d_mode) : descr_mode(d_mode) {
    pthread_mutex_init(&mx, nullptr);
}

template <class L>
table_set<L>::~table_set() {
    clean_up();
    pthread_mutex_destroy(&mx);
}

template <class L>
int table_set<L>::get_ecp_tab_entry_index(const char* chan) const {
    if (!chan || !*chan) return -1;
    for (size_t i = 0; i < chans.size(); ++i)
        if (chans[i] && std::strcmp(chans[i], chan) == 0) return static_cast<int>(i);
    return -1;
}

template <class L>
int table_set<L>::get_all_tables(char* file, int d_mode, std::vector<char*>* chs) {
    const sys::stopwatch sw;
    clean_up();
    descr_mode = d_mode;
    if (chs) chans.assign(chs->begin(), chs->end());
    if (!file || !*file) return table_set_detail::no_file;

    loading ld;
    if (const int rc = load(file, ld)) {
        clean_up();
        return rc;
    }
    adopt(ld);
    file_name = file;
    if (debug < 0)
        std::printf(L::text::ts_timing, sw.millis(), file);
    return 0;
}

template <class L>
int table_set<L>::load(char* file, loading& ld) {
    using namespace table_set_detail;
    using T = typename L::text;
    ld.fd.reset(::open(file, O_RDONLY));
    if (ld.fd.get() < 0) {
        if (debug) std::perror("open");
        return open_failed;
    }
    ld.len = ::lseek(ld.fd.get(), 0, SEEK_END);
    ::lseek(ld.fd.get(), 0, SEEK_SET);

    if (const int rc = load_tables(ld)) return rc;

    if (descr_mode) {
        const int r = zorv_load_chan_descr(ld.xcd.get(), &ld.descr.list);
        if (r) {
            if (debug) std::printf(T::ts_load_xcd, r);
            return descr_failed;
        }
    }

    const bool copy = ld.copy_mode != 0;
    const basket_spec evh{"event-header",  ld.ref->evhdb_ref,       sizeof(evh_basket_t),
                          L::pattern_evh_basket, evh_head_failed, evh_whole_failed};
    if (const int rc = load_basket(ld.fd.get(), ld.len, evh, copy, debug, ld.evh)) return rc;
    const basket_spec sbh{"server-block",  ld.ref->srvbb_ref,       sizeof(sbh_basket_t),
                          L::pattern_sbh_basket, sbh_head_failed, sbh_whole_failed};
    return load_basket(ld.fd.get(), ld.len, sbh, copy, debug, ld.sbh);
}

// The file's tables through the event-format library, in file-independent
// order: reference table, event index, channel dictionary, event-channel
// pointers, environment dictionary, XML description.
template <class L>
int table_set<L>::load_tables(loading& ld) {
    using namespace table_set_detail;
    using T = typename L::text;
    const int fd_ = ld.fd.get();
    auto failed = [this](const char* msg, int r, int code) {
        if (debug) std::printf(msg, r);
        return code;
    };

    // The trailer (the last word) holds the reference table's position.
    if (ld.len < 4) {
        if (debug)
            std::printf("File too short for a table of contents: %lld bytes\n",
                        static_cast<long long>(ld.len));
        return tail_map_failed;
    }
    off_t delta = 0;
    const off_t offset = zorv_get_page_offset(ld.len, ld.len - 4, &delta);
    const size_t tail_len = static_cast<size_t>(ld.len - offset);
    if constexpr (T::ts_tail_mapping != nullptr)
        if (debug)
            std::printf(T::ts_tail_mapping, static_cast<long>(tail_len), static_cast<long>(offset), fd_);
    ref_table_t* ref = nullptr;
    {
        mapping tail;
        if (!tail.map(fd_, offset, tail_len)) {
            if (debug) std::perror("mmap");
            return tail_map_failed;
        }
        const int r = L::get_ref_table(tail.data(), tail.size(), ld.len, fd_, &ref);
        ld.ref.reset(ref);
        if (r) return failed(T::ts_ref, r, ref_failed);
    }
    if (!ld.ref) return failed(T::ts_ref, -1, ref_failed);

    if (int r = ld.parse(ld.eit, L::get_eit_table, fd_)) return failed(T::ts_eit, r, index_failed);
    if (int r = ld.parse(ld.cdt, L::get_cdt_table, fd_)) return failed(T::ts_cdt, r, index_failed);
    if (!chans.empty()) {
        if (int r = ld.parse(ld.ecp, L::get_ecp_table_by_list, fd_, &chans, ld.cdt.get()))
            return failed(T::ts_ecpt_list, r, r);
    } else if (int r = ld.parse(ld.ecp, L::get_ecp_table, fd_)) {
        return failed(T::ts_ecpt, r, r);
    }
    ld.copy_mode = choose_basket_mode(ld);
    if (int r = ld.parse(ld.eidt, L::get_eidt_table, fd_)) return failed(T::ts_eidt, r, eidt_failed);
    if (int r = ld.parse(ld.xcd, L::get_xcd_table, fd_)) return failed(T::ts_xcd, r, xcd_failed);
    return 0;
}

// Baskets are copied when a listed channel occurs in a fast event type: its
// reader then walks them entry by entry and a private copy avoids page faults
// on the shared mapping. Without a list they stay mapped.
template <class L>
int table_set<L>::choose_basket_mode(const loading& ld) const {
    if constexpr (!L::copies_baskets) {
        (void)ld;
        return 0;
    } else {
        for (char* name : chans) {
            if (!name) continue;
            typename L::cdt_entry* entry = nullptr;
            if (L::find_channel_by_name(ld.cdt.get(), name, &entry) < 0 || !entry) continue;
            for (int e = 0; e < 32; ++e)
                if (((entry->ev_mask >> e) & 1u) && !is_slow_event(e)) return 1;
        }
        return 0;
    }
}

template <class L>
void table_set<L>::adopt(loading& ld) {
    fd = ld.fd.release();
    len = ld.len;
    lref_tbl = ref_tbl = ld.ref.release();
    leit_tab = eit_tab = ld.eit.release();
    lcdt_tab = cdt_tab = ld.cdt.release();
    lecp_tab = ecp_tab = ld.ecp.release();
    leidt_tab = eidt_tab = ld.eidt.release();
    lxcd_tab = xcd_tab = ld.xcd.release();
    descr_list.swap(ld.descr.list);
    basket_copy_mode = ld.copy_mode;

    evh_offset = ld.evh.offset;
    evh_base_size = ld.evh.size;
    evhb = reinterpret_cast<evh_basket_t*>(ld.evh.basket);
    sbh_offset = ld.sbh.offset;
    sbh_base_size = ld.sbh.size;
    sbhb = reinterpret_cast<sbh_basket_t*>(ld.sbh.basket);
    if (basket_copy_mode) {
        ld.evh.copy.release();
        ld.sbh.copy.release();
    } else {
        evh_base = ld.evh.map.release();
        sbh_base = ld.sbh.map.release();
    }
}

template <class L>
void table_set<L>::clean_up() {
    sys::mutex_lock lock(mx);
    release_all();
}

template <class L>
void table_set<L>::release_all() {
    table_set_detail::free_descr_list(descr_list);

    ref_tbl = nullptr;
    eit_tab = nullptr;
    cdt_tab = nullptr;
    ecp_tab = nullptr;
    eidt_tab = nullptr;
    xcd_tab = nullptr;
    std::free(std::exchange(lref_tbl, nullptr));
    std::free(std::exchange(leit_tab, nullptr));
    std::free(std::exchange(lcdt_tab, nullptr));
    std::free(std::exchange(lecp_tab, nullptr));
    std::free(std::exchange(leidt_tab, nullptr));
    std::free(std::exchange(lxcd_tab, nullptr));

    if (basket_copy_mode) {
        std::free(evhb);
        std::free(sbhb);
    } else {
        if (evh_base) ::munmap(evh_base, evh_base_size);
        if (sbh_base) ::munmap(sbh_base, sbh_base_size);
    }
    if (fd >= 0) ::close(fd);

    basket_copy_mode = 0;
    evh_base = sbh_base = nullptr;
    evh_offset = sbh_offset = 0;
    evh_base_size = sbh_base_size = 0;
    evhb = nullptr;
    sbhb = nullptr;
    fd = -1;
    len = 0;
    file_name = nullptr;
    chans.clear();
    clientsn = 0;
}

// What each failure of get_all_tables means for a reader of the file.
const char* table_set_failure(int status) {
    using namespace table_set_status;
    struct reason {
        int status;
        const char* text;
    };
    static constexpr reason reasons[] = {
        {no_file, "no file name"},
        {open_failed, "cannot be opened"},
        {tail_map_failed, "cannot be mapped"},
        {evh_head_failed, "damaged event-header basket"},
        {evh_whole_failed, "damaged event-header basket"},
        {sbh_head_failed, "damaged server-block basket"},
        {sbh_whole_failed, "damaged server-block basket"},
    };
    for (const reason& r : reasons)
        if (r.status == status) return r.text;
    return "damaged tables";
}

template class table_set<layout_current>;
template class table_set<layout_legacy>;

}  // namespace zorv
