// Parsers of a DAQ file's index tables: the file reference table found through
// the trailer, the event index table, the channel dictionary, the
// event-channel pointers (packed on file, dense column-major in memory), the
// environment dictionary and the XML channel description. One implementation
// serves both layouts through the layout traits.
//
// Every table is read with full-length pread calls and decoded from its
// big-endian bytes through range-checked access. Positions, lengths and
// counts are checked against the file length before anything is read or
// allocated; failure codes are listed in table_status.h.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "be_reader.h"
#include "event_util.h"
#include "sys/fd.h"
#include "sys/memory.h"
#include "table_status.h"
#include "zorv_layout.h"

namespace zorv {
namespace {

using byte = unsigned char;

template <class T>
using malloc_ptr = sys::c_ptr<T>;

// A record's `length` is a signed 32-bit word, which bounds every table.
constexpr uint64_t max_record_bytes = INT32_MAX;
constexpr uint64_t table_head_bytes = 8;  // pattern, length
constexpr uint64_t ref_table_bytes = 168;
constexpr uint64_t eit_entry_head_bytes = 32;
constexpr uint64_t event_info_bytes = 16;
constexpr uint64_t ecpt_head_bytes = 16;   // pattern, length, maxev, ncols
constexpr uint64_t ecpt_dir_bytes = 8;     // first, count
constexpr uint64_t ecpt_entry_bytes = 16;  // evhd, sbhd, chhd, data
constexpr uint64_t ecpt_record_head = offsetof(zorv_event_chan_pointers_table, chptr);
static_assert(sizeof(zorv_file_reference_table_2010) == ref_table_bytes, "reference table");
static_assert(sizeof(zorv_event_chan_ptr_entry) == ecpt_entry_bytes, "ECPT entry");

// A zeroed block of `bytes`, never smaller than the record's declared size so
// that a record with an empty trailing array can still be addressed whole.
template <class T>
malloc_ptr<T> new_record(uint64_t bytes) {
    if (bytes > max_record_bytes) return nullptr;
    const size_t n = std::max<size_t>(static_cast<size_t>(bytes), sizeof(T));
    return malloc_ptr<T>(static_cast<T*>(std::calloc(1, n)));
}

// Host-order words from big-endian bytes; src and dst may be the same.
void decode_words(const void* src, void* dst, uint64_t nwords) {
    const auto* s = static_cast<const byte*>(src);
    auto* d = static_cast<byte*>(dst);
    for (uint64_t i = 0; i < nwords; ++i) {
        const uint32_t w = load_be32(s + 4 * i);
        std::memcpy(d + 4 * i, &w, 4);
    }
}

// The open file; every read is checked against its length first.
class file_source {
public:
    file_source(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t size() const { return size_; }

    int read_into(uint64_t pos, void* dst, uint64_t len) const {
        if (!in_range(pos, len, size_)) return table_out_of_file;
        return sys::pread_full(fd_, dst, static_cast<size_t>(len), pos) ? table_ok : table_io_error;
    }

    // [pos, pos + len) in a new heap buffer.
    int read(uint64_t pos, uint64_t len, malloc_ptr<byte>* out) const {
        if (!in_range(pos, len, size_)) return table_out_of_file;
        if (len > max_record_bytes) return table_no_memory;
        malloc_ptr<byte> buf(static_cast<byte*>(std::malloc(len ? static_cast<size_t>(len) : 1)));
        if (!buf) return table_no_memory;
        const int rc = read_into(pos, buf.get(), len);
        if (rc == table_ok) *out = std::move(buf);
        return rc;
    }

private:
    int fd_;
    uint64_t size_;
};

// Checks the {pattern, length} head of the table at `pos`: its pattern, a
// length of `head` bytes plus whole `entry`-byte entries, and the whole
// table inside the file. The table length goes to *len.
int read_table_head(const file_source& f, uint64_t pos, uint32_t pattern, uint64_t head,
                    uint64_t entry, uint64_t* len) {
    byte h[table_head_bytes];
    const int rc = f.read_into(pos, h, sizeof h);
    if (rc != table_ok) return rc;
    if (load_be32(h) != pattern) return table_bad_pattern;
    const int32_t length = static_cast<int32_t>(load_be32(h + 4));
    if (length < 0 || uint64_t(length) < head || (uint64_t(length) - head) % entry != 0)
        return table_inconsistent;
    if (!in_range(pos, uint64_t(length), f.size())) return table_out_of_file;
    *len = uint64_t(length);
    return table_ok;
}

// The whole table at `pos` after its head passed read_table_head.
int read_table(const file_source& f, uint64_t pos, uint32_t pattern, uint64_t head, uint64_t entry,
               malloc_ptr<byte>* bytes, uint64_t* len) {
    const int rc = read_table_head(f, pos, pattern, head, entry, len);
    return rc != table_ok ? rc : f.read(pos, *len, bytes);
}

// A table's bytes as read from the file, and the record they are decoded into.
template <class R>
struct table_bytes {
    malloc_ptr<byte> raw;
    uint64_t len = 0;  // the table's length on file
    malloc_ptr<R> rec;
};

// Reads the table at `pos` (a head, then entries of `entry` bytes) and
// allocates its zeroed record of the table's length plus `extra` bytes.
template <class R>
int read_table_record(const file_source& f, uint64_t pos, uint32_t pattern, uint64_t entry,
                      uint64_t extra, table_bytes<R>* t) {
    const int rc = read_table(f, pos, pattern, table_head_bytes, entry, &t->raw, &t->len);
    if (rc != table_ok) return rc;
    t->rec = new_record<R>(t->len + extra);
    return t->rec ? table_ok : table_no_memory;
}

// ----- file reference table -------------------------------------------------

// Every table and basket named by the reference table must at least have
// room for its head before the trailer; an event type's EIT entry is 0
// (no events of that type) or has room for its entry head.
template <class Ref>
bool ref_positions_inside(const Ref& r, uint64_t limit) {
    const uint32_t heads[] = {r.eit_pos_ref, r.cdt_ref,   r.ecp_ref,   r.eidt_ref,
                              r.xcd_ref,     r.evhdb_ref, r.srvbb_ref, r.chanb_ref};
    for (uint32_t p : heads)
        if (!in_range(p, table_head_bytes, limit)) return false;
    for (uint32_t p : r.eite_pos_ref)
        if (p != 0 && !in_range(p, eit_entry_head_bytes, limit)) return false;
    return true;
}

template <class L>
int load_ref_table(const byte* tail, size_t tail_len, const file_source& f,
                   malloc_ptr<typename L::ref_table>* out) {
    if (f.size() < 4) return table_out_of_file;
    const uint64_t trailer_pos = f.size() - 4;
    byte trailer[4];
    if (tail) {
        // The mapping ends where the file ends; its last word is the trailer.
        if (tail_len < 4 || tail_len > f.size()) return table_bad_argument;
        std::memcpy(trailer, tail + tail_len - 4, 4);
    } else {
        const int rc = f.read_into(trailer_pos, trailer, 4);
        if (rc != table_ok) return rc;
    }
    const uint64_t pos = load_be32(trailer);
    if (!in_range(pos, ref_table_bytes, trailer_pos)) return table_out_of_file;

    byte raw[ref_table_bytes];
    const int rc = f.read_into(pos, raw, sizeof raw);
    if (rc != table_ok) return rc;
    auto rec = new_record<typename L::ref_table>(ref_table_bytes);
    if (!rec) return table_no_memory;
    decode_words(raw, rec.get(), ref_table_bytes / 4);
    if (rec->pattern != L::pattern_ref) return table_bad_pattern;
    if (uint64_t(rec->length) != ref_table_bytes) return table_inconsistent;
    if (!ref_positions_inside(*rec, trailer_pos)) return table_out_of_file;
    *out = std::move(rec);
    return table_ok;
}

// ----- event index table ----------------------------------------------------

// Walks the `n` entries of an EIT whose bytes run to `limit` (from the table
// start): event types strictly ascending within 0..31, each entry 32 + 16 n
// bytes long and inside the limit. `head_at(off, buf)` fetches the 32-byte
// head at table offset off. The table's byte length goes to *total.
template <class FetchHead>
int walk_eit_entries(int32_t n, uint64_t limit, FetchHead head_at, uint64_t* total) {
    uint64_t off = table_head_bytes;
    int32_t prev_type = -1;
    for (int32_t i = 0; i < n; ++i) {
        if (!in_range(off, eit_entry_head_bytes, limit)) return table_out_of_file;
        byte h[eit_entry_head_bytes];
        const int rc = head_at(off, h);
        if (rc != table_ok) return rc;
        const int32_t type = static_cast<int32_t>(load_be32(h));
        const int32_t len = static_cast<int32_t>(load_be32(h + 28));
        if (type <= prev_type || type >= ZORV_EV_EVMAX) return table_inconsistent;
        if (len < int32_t(eit_entry_head_bytes) ||
            (uint64_t(len) - eit_entry_head_bytes) % event_info_bytes != 0)
            return table_inconsistent;
        if (!in_range(off, uint64_t(len), limit)) return table_out_of_file;
        off += uint64_t(len);
        prev_type = type;
    }
    *total = off;
    return table_ok;
}

// Within each decoded entry the head's first and last event numbers must be
// those of its first and last event, which exposes an entry length that lies,
// and every event header position must lie inside the file.
bool eit_entries_consistent(const byte* table, uint64_t total, uint64_t file_size) {
    for (uint64_t off = table_head_bytes; off < total;) {
        zorv_event_index_entry head;
        std::memcpy(&head, table + off, eit_entry_head_bytes);
        const uint64_t n = (uint64_t(head.length) - eit_entry_head_bytes) / event_info_bytes;
        const byte* infos = table + off + eit_entry_head_bytes;
        for (uint64_t i = 0; i < n; ++i) {
            zorv_event_info info;
            std::memcpy(&info, infos + i * event_info_bytes, sizeof info);
            if (!in_range(info.offset, sizeof(zorv_eventheader), file_size)) return false;
            if (i == 0 && info.event_number != head.event_number_first) return false;
            if (i == n - 1 && info.event_number != head.event_number_last) return false;
        }
        off += uint64_t(head.length);
    }
    return true;
}

template <class L>
int load_eit(const file_source& f, const typename L::ref_table& ref,
             malloc_ptr<typename L::eit>* out) {
    const uint64_t pos = ref.eit_pos_ref;
    byte h[table_head_bytes];
    int rc = f.read_into(pos, h, sizeof h);
    if (rc != table_ok) return rc;
    if (load_be32(h) != L::pattern_eit) return table_bad_pattern;
    const int32_t n = static_cast<int32_t>(load_be32(h + 4));
    if (n < 0 || n > ZORV_EV_EVMAX) return table_inconsistent;

    uint64_t total = 0;
    rc = walk_eit_entries(
        n, f.size() - pos, [&](uint64_t off, byte* dst) { return f.read_into(pos + off, dst, 32); },
        &total);
    if (rc != table_ok) return rc;
    malloc_ptr<byte> raw;
    rc = f.read(pos, total, &raw);
    if (rc != table_ok) return rc;
    // Walk again over the bytes actually read: they are what gets decoded.
    uint64_t again = 0;
    rc = walk_eit_entries(
        n, total,
        [&](uint64_t off, byte* dst) {
            std::memcpy(dst, raw.get() + off, eit_entry_head_bytes);
            return int(table_ok);
        },
        &again);
    if (rc != table_ok || again != total) return table_inconsistent;

    auto rec = new_record<typename L::eit>(total);
    if (!rec) return table_no_memory;
    decode_words(raw.get(), rec.get(), total / 4);
    if (!eit_entries_consistent(reinterpret_cast<const byte*>(rec.get()), total, f.size()))
        return table_inconsistent;
    *out = std::move(rec);
    return table_ok;
}

// ----- channel dictionary ---------------------------------------------------

template <class L>
int cdt_entry_count(const typename L::cdt* cdt) {
    if (!cdt || cdt->length < int32_t(table_head_bytes)) return 0;
    return int((uint64_t(cdt->length) - table_head_bytes) / L::cdt_entry_size);
}

template <class L>
int find_channel(const typename L::cdt* cdt, const char* name, typename L::cdt_entry** entry) {
    if (entry) *entry = nullptr;
    if (!cdt || !name || std::strlen(name) >= size_t(L::chan_name_len)) return -1;
    const int n = cdt_entry_count<L>(cdt);
    const auto* entries = cdt->entry;
    for (int i = 0; i < n; ++i) {
        if (std::strncmp(entries[i].chan_name, name, L::chan_name_len) == 0) {
            if (entry) *entry = const_cast<typename L::cdt_entry*>(entries + i);
            return i;
        }
    }
    return -1;
}

template <class L>
int load_cdt(const file_source& f, const typename L::ref_table& ref,
             malloc_ptr<typename L::cdt>* out) {
    constexpr uint64_t esize = L::cdt_entry_size;
    constexpr uint64_t nlen = L::chan_name_len;
    table_bytes<typename L::cdt> t;
    const int rc = read_table_record(f, ref.cdt_ref, L::pattern_cdt, esize, 0, &t);
    if (rc != table_ok) return rc;
    t.rec->pattern = L::pattern_cdt;
    t.rec->length = int32_t(t.len);

    be_reader r(t.raw.get(), static_cast<size_t>(t.len));
    auto* entries = t.rec->entry;
    const uint64_t n = (t.len - table_head_bytes) / esize;
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t off = table_head_bytes + i * esize;
        auto& e = entries[i];
        e.key = r.u32(off);
        r.chars(off + 4, e.chan_name, nlen);
        e.chan_name[nlen - 1] = '\0';  // a name that fills its field is cut by one
        e.ev_mask = r.u32(off + 4 + nlen);
        e.dtype_mask = r.u32(off + 8 + nlen);
        e.count = r.i32(off + 12 + nlen);
        if (e.count < 0) return table_inconsistent;
    }
    if (!r.ok()) return table_inconsistent;
    *out = std::move(t.rec);
    return table_ok;
}

// ----- event-channel pointers -----------------------------------------------

// Where the parts of the packed on-file ECPT lie.
struct ecpt_geometry {
    int32_t maxev = 0;
    uint64_t ncols = 0;
    uint64_t dir_pos = 0;     // column directory, ncols x {first, count}
    uint64_t packed_pos = 0;  // packed entries
    uint64_t npacked = 0;
};

template <class L>
int read_ecpt_geometry(const file_source& f, uint64_t pos, ecpt_geometry* g) {
    byte h[ecpt_head_bytes];
    const int rc = f.read_into(pos, h, sizeof h);
    if (rc != table_ok) return rc;
    if (load_be32(h) != L::pattern_ecpt) return table_bad_pattern;
    const int32_t length = static_cast<int32_t>(load_be32(h + 4));
    const int32_t maxev = static_cast<int32_t>(load_be32(h + 8));
    const int32_t ncols = static_cast<int32_t>(load_be32(h + 12));
    if (length < int32_t(ecpt_head_bytes) || maxev < 0 || ncols < 0) return table_inconsistent;
    if (!in_range(pos, uint64_t(length), f.size())) return table_out_of_file;
    const uint64_t body = uint64_t(length) - ecpt_head_bytes;
    if (uint64_t(ncols) > body / ecpt_dir_bytes) return table_inconsistent;
    const uint64_t packed = body - uint64_t(ncols) * ecpt_dir_bytes;
    if (packed % ecpt_entry_bytes != 0) return table_inconsistent;
    g->maxev = maxev;
    g->ncols = uint64_t(ncols);
    g->dir_pos = pos + ecpt_head_bytes;
    g->packed_pos = g->dir_pos + g->ncols * ecpt_dir_bytes;
    g->npacked = packed / ecpt_entry_bytes;
    return table_ok;
}

// The directory must have one column per CDT entry, each with its entry's
// count and lying inside the packed array, and maxev must be the largest
// count (so that the dense in-memory table is no larger than needed).
template <class L>
int check_ecpt_directory(const ecpt_geometry& g, const byte* dir, const typename L::cdt& cdt) {
    if (g.ncols != uint64_t(cdt_entry_count<L>(&cdt))) return table_cdt_mismatch;
    const auto* entries = cdt.entry;
    uint64_t largest = 0;
    for (uint64_t c = 0; c < g.ncols; ++c) {
        const uint64_t first = load_be32(dir + c * ecpt_dir_bytes);
        const uint64_t count = load_be32(dir + c * ecpt_dir_bytes + 4);
        if (entries[c].count < 0 || count != uint64_t(entries[c].count)) return table_cdt_mismatch;
        if (!in_range(first, count, g.npacked)) return table_out_of_file;
        largest = std::max(largest, count);
    }
    return largest == uint64_t(g.maxev) ? table_ok : table_inconsistent;
}

// Reads column c's entries into `dst` (room for its count) in host order;
// every position in them must lie inside the file.
int read_ecpt_column(const file_source& f, const ecpt_geometry& g, const byte* dir, uint64_t c,
                     zorv_event_chan_ptr_entry* dst) {
    const uint64_t first = load_be32(dir + c * ecpt_dir_bytes);
    const uint64_t count = load_be32(dir + c * ecpt_dir_bytes + 4);
    const int rc =
        f.read_into(g.packed_pos + first * ecpt_entry_bytes, dst, count * ecpt_entry_bytes);
    if (rc != table_ok) return rc;
    decode_words(dst, dst, count * (ecpt_entry_bytes / 4));
    for (uint64_t i = 0; i < count; ++i) {
        const auto& e = dst[i];
        for (uint32_t p : {e.evhd, e.sbhd, e.chhd, e.data})
            if (p >= f.size()) return table_out_of_file;
    }
    return table_ok;
}

// The CDT entry shown in column `col`: the column itself for a full table,
// the listed name's entry (or -1) for a table by list.
template <class L>
int column_source(const std::vector<char*>* chans, const typename L::cdt& cdt, uint64_t col) {
    if (!chans) return int(col);
    return find_channel<L>(&cdt, (*chans)[col], nullptr);
}

// Loads the ECPT for all CDT entries (`chans` null) or for the listed names
// in list order, reading only the columns shown.
template <class L>
int load_ecpt(const file_source& f, const typename L::ref_table& ref, const typename L::cdt& cdt,
              const std::vector<char*>* chans, malloc_ptr<zorv_event_chan_pointers_table>* out) {
    ecpt_geometry g;
    int rc = read_ecpt_geometry<L>(f, ref.ecp_ref, &g);
    if (rc != table_ok) return rc;
    malloc_ptr<byte> dir;
    rc = f.read(g.dir_pos, g.ncols * ecpt_dir_bytes, &dir);
    if (rc != table_ok) return rc;
    rc = check_ecpt_directory<L>(g, dir.get(), cdt);
    if (rc != table_ok) return rc;

    const uint64_t ncols = chans ? chans->size() : g.ncols;
    uint64_t maxev = uint64_t(g.maxev);
    if (chans) {
        // No listed name in the file: every column stays empty and the table
        // still loads, so that the file's other tables can be used (a file
        // that lacks the channels is not a damaged file).
        int64_t largest = 0;
        for (uint64_t col = 0; col < ncols; ++col) {
            const int src = column_source<L>(chans, cdt, col);
            if (src >= 0) largest = std::max<int64_t>(largest, (cdt.entry + src)->count);
        }
        maxev = uint64_t(largest);
    }
    if (maxev != 0 && ncols > (max_record_bytes - ecpt_record_head) / ecpt_entry_bytes / maxev)
        return table_no_memory;
    const uint64_t bytes = ecpt_record_head + ncols * maxev * ecpt_entry_bytes;
    auto rec = new_record<zorv_event_chan_pointers_table>(bytes);
    if (!rec) return table_no_memory;
    rec->pattern = L::pattern_ecpt;
    rec->length = int32_t(bytes);
    rec->maxev = int32_t(maxev);

    zorv_event_chan_ptr_entry* slots = rec->chptr;
    for (uint64_t col = 0; col < ncols; ++col) {
        const int src = column_source<L>(chans, cdt, col);
        if (src < 0) continue;  // a listed name not in the file: empty column
        rc = read_ecpt_column(f, g, dir.get(), uint64_t(src), slots + col * maxev);
        if (rc != table_ok) return rc;
    }
    *out = std::move(rec);
    return table_ok;
}

// ----- environment dictionary and XML description ---------------------------

template <class L>
int load_eidt(const file_source& f, const typename L::ref_table& ref,
              malloc_ptr<typename L::eidt>* out) {
    table_bytes<typename L::eidt> t;
    const int rc = read_table_record(f, ref.eidt_ref, L::pattern_eidt, sizeof(zorv_env_dictionary_entry), 0, &t);
    if (rc != table_ok) return rc;
    decode_words(t.raw.get(), t.rec.get(), t.len / 4);
    *out = std::move(t.rec);
    return table_ok;
}

template <class L>
int load_xcd(const file_source& f, const typename L::ref_table& ref,
             malloc_ptr<typename L::xcd>* out) {
    // One byte more than on file, so that the text always ends in a NUL.
    table_bytes<typename L::xcd> t;
    const int rc = read_table_record(f, ref.xcd_ref, L::pattern_xcd, 1, 1, &t);
    if (rc != table_ok) return rc;
    t.rec->pattern = L::pattern_xcd;
    t.rec->length = int32_t(t.len);
    const uint64_t n = t.len - table_head_bytes;
    std::memcpy(t.rec->xml, t.raw.get() + table_head_bytes, n);
    t.rec->xml[n] = '\0';
    *out = std::move(t.rec);
    return table_ok;
}

// ----- entry points -----------------------------------------------------------

// Checks the common arguments (`args_ok` covers the tables a parser is
// given), runs `load` on the file and hands its record out only on success.
template <class Out, class Load>
int run_parser(bool args_ok, off_t file_len, int fd, Out** out, Load load) {
    if (!out) return table_bad_argument;
    *out = nullptr;
    if (!args_ok || file_len <= 0 || fd < 0) return table_bad_argument;
    malloc_ptr<Out> rec;
    const int rc = load(file_source(fd, uint64_t(file_len)), &rec);
    if (rc == table_ok) *out = rec.release();
    return rc;
}

template <class L>
int get_ref_table(const byte* tail, size_t tail_len, off_t file_len, int fd,
                  typename L::ref_table** out) {
    return run_parser(true, file_len, fd, out, [&](const file_source& f, auto* rec) {
        return load_ref_table<L>(tail, tail_len, f, rec);
    });
}

// A table found through the reference table, read by `load`.
template <class L, class R>
int get_by_ref(off_t file_len, const typename L::ref_table* ref, int fd, R** out,
               int (*load)(const file_source&, const typename L::ref_table&, malloc_ptr<R>*)) {
    return run_parser(ref != nullptr, file_len, fd, out,
                      [&](const file_source& f, malloc_ptr<R>* rec) { return load(f, *ref, rec); });
}

template <class L>
int get_ecpt(off_t file_len, const typename L::ref_table* ref, int fd,
             zorv_event_chan_pointers_table** out) {
    return run_parser(ref != nullptr, file_len, fd, out, [&](const file_source& f, auto* rec) {
        malloc_ptr<typename L::cdt> cdt;
        const int rc = load_cdt<L>(f, *ref, &cdt);
        return rc != table_ok ? rc : load_ecpt<L>(f, *ref, *cdt, nullptr, rec);
    });
}

template <class L>
int get_ecpt_by_list(off_t file_len, const typename L::ref_table* ref, int fd,
                     const std::vector<char*>* chans, const typename L::cdt* cdt,
                     zorv_event_chan_pointers_table** out) {
    return run_parser(ref && cdt, file_len, fd, out, [&](const file_source& f, auto* rec) {
        if (!chans || chans->empty()) return int(table_no_listed_channel);
        return load_ecpt<L>(f, *ref, *cdt, chans, rec);
    });
}

}  // namespace
}  // namespace zorv

using zorv::layout_current;
using zorv::layout_legacy;

// The table parsers of one layout, named by its suffix: "_2010" for the
// current layout, none for the legacy one.
#define ZORV_TABLE_PARSERS(S, L)                                                                         \
    int get_zorv_file_reference_table_m##S(const unsigned char* tail, size_t tail_len, off_t file_len,   \
                                           int fd, L::ref_table** out) {                                 \
        return zorv::get_ref_table<L>(tail, tail_len, file_len, fd, out);                                \
    }                                                                                                    \
    int zorv_get_event_index_table_m##S(off_t file_len, const L::ref_table* ref, int fd, L::eit** out) { \
        return zorv::get_by_ref<L>(file_len, ref, fd, out, &zorv::load_eit<L>);                          \
    }                                                                                                    \
    int zorv_get_channel_dictionary_table_m##S(off_t file_len, const L::ref_table* ref, int fd,          \
                                               L::cdt** out) {                                           \
        return zorv::get_by_ref<L>(file_len, ref, fd, out, &zorv::load_cdt<L>);                          \
    }                                                                                                    \
    int zorv_get_event_chan_pointers_table_m##S(off_t file_len, const L::ref_table* ref, int fd,         \
                                                L::ecpt** out) {                                         \
        return zorv::get_ecpt<L>(file_len, ref, fd, out);                                                \
    }                                                                                                    \
    int zorv_get_event_chan_pointers_table_by_list_m##S(off_t file_len, const L::ref_table* ref,         \
                                                        int fd, const std::vector<char*>* chans,         \
                                                        const L::cdt* cdt, L::ecpt** out) {              \
        return zorv::get_ecpt_by_list<L>(file_len, ref, fd, chans, cdt, out);                            \
    }                                                                                                    \
    int zorv_get_env_index_dictionary_table_m##S(off_t file_len, const L::ref_table* ref, int fd,        \
                                                 L::eidt** out) {                                        \
        return zorv::get_by_ref<L>(file_len, ref, fd, out, &zorv::load_eidt<L>);                         \
    }                                                                                                    \
    int zorv_get_chan_descr_table_m##S(off_t file_len, const L::ref_table* ref, int fd, L::xcd** out) {  \
        return zorv::get_by_ref<L>(file_len, ref, fd, out, &zorv::load_xcd<L>);                          \
    }                                                                                                    \
    int zorv_find_channel_by_name##S(const L::cdt* cdt, const char* name, L::cdt_entry** entry) {        \
        return zorv::find_channel<L>(cdt, name, entry);                                                  \
    }

ZORV_TABLE_PARSERS(_2010, layout_current)
ZORV_TABLE_PARSERS(, layout_legacy)
#undef ZORV_TABLE_PARSERS

int zorv_cdt_entry_count(const zorv_chan_dictionary_table_2010* cdt) {
    return zorv::cdt_entry_count<layout_current>(cdt);
}
int zorv_cdt_entry_count(const zorv_chan_dictionary_table* cdt) {
    return zorv::cdt_entry_count<layout_legacy>(cdt);
}

off_t zorv_get_page_offset(off_t /*file_len*/, off_t position, off_t* delta) {
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) page = 4096;
    if (position < 0) position = 0;
    const off_t offset = position - position % page;
    if (delta) *delta = position - offset;
    return offset;
}
