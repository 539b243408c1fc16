// One DAQ file opened for inspection (ls, info, validate, dump, image): its
// mapping, its table set and its channel descriptions, and the check of its
// index tables one by one, which tells where a file that cannot be loaded
// goes wrong.
#ifndef ZORV_CLI_INSPECT_H
#define ZORV_CLI_INSPECT_H

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "be_reader.h"
#include "cli_common.h"
#include "event_util.h"
#include "parse_chan_descr.h"
#include "table_status.h"
#include "zorv_layout.h"
#include "zorv_daq_read_chan.h"
#include "zorv_daq_read_chan_2010.h"
#include "zorv_read_chan_core.h"
#include "zorv_table_set.h"

namespace zorv_cli {

// One thing wrong with a file, at a file position.
struct problem {
    uint64_t pos;
    std::string what;
};

// "at 1234: what".
std::string problem_text(const problem& p);
// Words of a table parser's failure code.
const char* table_status_words(int code);

template <class L>
struct open_file {
    static constexpr file_layout layout = L::legacy ? file_layout::legacy : file_layout::current;
    using layout_type = L;

    std::string path;
    mapped_file map;
    zorv::table_set<L> tables{0};
    std::vector<chan_descr_2010*> descr;  // owned
    std::vector<char> c_path;              // the table set keeps pointing at it

    explicit open_file(const std::string& p) : path(p), map(p), c_path(p.begin(), p.end()) {
        c_path.push_back('\0');
    }
    ~open_file() {
        for (auto* d : descr) zorv_free_chan_descr(d);
    }
    open_file(const open_file&) = delete;
    open_file& operator=(const open_file&) = delete;

    int channel_count() const { return zorv_cdt_entry_count(tables.cdt_tab); }
    const typename L::cdt_entry& channel(int i) const { return tables.cdt_tab->entry[i]; }
    std::string channel_name(int i) const {
        return std::string(channel(i).chan_name, strnlen(channel(i).chan_name, L::chan_name_len));
    }
    int find_channel(const std::string& name) const {
        for (int i = 0; i < channel_count(); ++i)
            if (channel_name(i) == name) return i;
        return -1;
    }
    const chan_descr_2010* description(const std::string& name) const {
        for (const auto* d : descr)
            if (name == d->daq_name) return d;
        return nullptr;
    }
};

// Parses each index table with the event-format library and checks the
// event-header and server-block baskets; appends what is wrong.
template <class L>
void check_tables(const mapped_file& f, std::vector<problem>* out) {
    zorv::be_reader r(f.data(), f.size());
    if (f.size() < 8) {
        out->push_back({0, "truncated or damaged: " + std::to_string(f.size()) +
                               " bytes, too short for a table of contents"});
        return;
    }
    const uint64_t trailer = f.size() - 4;
    const uint32_t ref_pos = r.u32(trailer);
    typename L::ref_table* ref = nullptr;
    int rc = L::get_ref_table(f.data() + trailer, 4, off_t(f.size()), f.fd(), &ref);
    if (rc) {
        out->push_back({trailer, "truncated or damaged: no readable table of contents (the trailer points to " +
                                     std::to_string(ref_pos) + " in a file of " + std::to_string(f.size()) +
                                     " bytes: " + table_status_words(rc) + ")"});
        return;
    }
    struct table_step {
        const char* name;
        uint32_t pos;
        int code;
    };
    auto parse = [&](auto parser, auto** table) {
        const int c = parser(off_t(f.size()), ref, f.fd(), table);
        std::free(*table);
        return c;
    };
    typename L::eit* eit = nullptr;
    typename L::cdt* cdt = nullptr;
    typename L::ecpt* ecp = nullptr;
    typename L::eidt* eidt = nullptr;
    const table_step steps[] = {
        {"event index table", ref->eit_pos_ref, parse(L::get_eit_table, &eit)},
        {"channel dictionary", ref->cdt_ref, parse(L::get_cdt_table, &cdt)},
        {"event-channel pointers table", ref->ecp_ref, parse(L::get_ecp_table, &ecp)},
        {"environment dictionary", ref->eidt_ref, parse(L::get_eidt_table, &eidt)},
    };
    for (const auto& s : steps)
        if (s.code) out->push_back({s.pos, std::string(s.name) + ": " + table_status_words(s.code)});

    typename L::xcd* xcd = nullptr;
    rc = L::get_xcd_table(off_t(f.size()), ref, f.fd(), &xcd);
    if (rc) {
        out->push_back({ref->xcd_ref, std::string("channel descriptions: ") + table_status_words(rc)});
    } else {
        std::vector<chan_descr_2010*> list;
        if (zorv_load_chan_descr(xcd, &list))
            out->push_back({ref->xcd_ref, "channel descriptions: malformed XML"});
        for (auto* d : list) zorv_free_chan_descr(d);
        std::free(xcd);
    }

    const struct {
        const char* name;
        uint32_t pos;
        uint32_t pattern;
    } baskets[] = {{"event-header basket", ref->evhdb_ref, L::pattern_evh_basket},
                   {"server-block basket", ref->srvbb_ref, L::pattern_sbh_basket}};
    for (const auto& b : baskets) {
        zorv::be_reader br(f.data(), f.size());
        const uint32_t pattern = br.u32(b.pos);
        const int32_t length = br.i32(uint64_t(b.pos) + 4);
        if (!br.ok()) out->push_back({b.pos, std::string(b.name) + " lies outside the file"});
        else if (pattern != b.pattern) out->push_back({b.pos, std::string(b.name) + ": wrong pattern"});
        else if (length < 8 || !zorv::in_range(b.pos, uint32_t(length), f.size()))
            out->push_back({b.pos, std::string(b.name) + ": length runs past the end of the file"});
    }
    std::free(ref);
}

// Loads the file's tables and descriptions. False when the file cannot be
// used: `problems` then says why (other format, or what is broken).
template <class L>
bool load(open_file<L>& f, std::vector<problem>* problems) {
    const int rc = f.tables.get_all_tables(f.c_path.data(), 0, nullptr);
    if (rc != 0) {
        const size_t before = problems->size();
        if (f.map.ok()) check_tables<L>(f.map, problems);
        if (problems->size() == before)
            problems->push_back({0, "tables cannot be loaded (status " + std::to_string(rc) + ")"});
        return false;
    }
    if (f.tables.xcd_tab)
        zorv_load_chan_descr(f.tables.xcd_tab, &f.descr);
    return true;
}

// The time span of a file's events, from its event index table.
struct span {
    time_stamp first{0, 0};
    time_stamp last{0, 0};
};

inline bool earlier(const time_stamp& a, const time_stamp& b) {
    return a.timeup != b.timeup ? a.timeup < b.timeup : a.timelow < b.timelow;
}

// Events per event type and the time span, from the event index table.
template <class L>
json event_counts(const open_file<L>& f, span* s) {
    json counts = json::object();
    const auto* eit = f.tables.eit_tab;
    if (!eit) return counts;
    const auto* base = reinterpret_cast<const unsigned char*>(eit);
    size_t off = offsetof(typename L::eit, entry);
    for (int k = 0; k < eit->nevent_types; ++k) {
        const auto* e = reinterpret_cast<const zorv_event_index_entry*>(base + off);
        const int n = (e->length - int(offsetof(zorv_event_index_entry, event_info))) /
                      int(sizeof(zorv_event_info));
        counts[event_name_itoa(e->event_type)] = n;
        if (n > 0 && e->event_time_first.timeup &&
            (!s->first.timeup || earlier(e->event_time_first, s->first)))
            s->first = e->event_time_first;
        if (n > 0 && earlier(s->last, e->event_time_last)) s->last = e->event_time_last;
        if (e->length <= 0) break;
        off += size_t(e->length);
    }
    return counts;
}

// A channel reader started on a loaded table set (whole channel, no
// description); start() waits until every entry is decoded or every worker
// has ended, so that the result array can be read without locks.
template <class L>
class decoded_channel {
public:
    decoded_channel(zorv::table_set<L>* tables, const std::string& name, int subchan = -1)
        : name_(name.c_str(), name.c_str() + name.size() + 1),
          reader_(tables, name_.data(), subchan, nullptr) {}
    decoded_channel(const decoded_channel&) = delete;
    decoded_channel& operator=(const decoded_channel&) = delete;

    int start() {
        const int rc = reader_.start(nullptr, nullptr, nullptr);
        if (rc == 0) reader_.wait_decoded();
        return rc;
    }

    zorv::read_chan<L>& reader() { return reader_; }

private:
    std::vector<char> name_;
    zorv::read_chan<L> reader_;
};

// Opens `path`, tells its layout, loads its tables and calls fn(file) with
// the open_file of that layout. Returns exit_ok, or, after reporting on
// standard error, exit_bad_input for a missing file or one of another format
// and exit_problems for a file whose tables are broken.
template <class F>
int try_inspect(const char* command, const std::string& path, F&& fn) {
    file_layout lay;
    std::string why;
    if (!detect_layout(path, &lay, &why)) {
        warn(command, path + ": " + why);
        return exit_bad_input;
    }
    return with_layout(lay, [&](auto tag) {
        open_file<decltype(tag)> f(path);
        std::vector<problem> problems;
        if (!load(f, &problems)) {
            for (const auto& p : problems) warn(command, path + ": " + problem_text(p));
            warn(command, path + ": cannot be read");
            return int(exit_problems);
        }
        fn(f);
        return int(exit_ok);
    });
}

// The same for a single file: a failure ends the subcommand with its status.
template <class F>
void inspect_file(const char* command, const std::string& path, F&& fn) {
    if (const int rc = try_inspect(command, path, std::forward<F>(fn))) throw CLI::RuntimeError(rc);
}

// "NAME" or "NAME:SUB" (the sub-channel of a device record); false when the
// text after ":" is no number >= 0.
bool split_channel(const std::string& text, std::string* name, int* subchan);

}  // namespace zorv_cli

#endif
