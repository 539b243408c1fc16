// zorv-daq validate: checks every index table and every block of each file,
// decoding all blocks through the library's channel readers, and prints each
// problem with its file position. Exit status 1 when anything is wrong.
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "be_reader.h"
#include "cli_common.h"
#include "commands.h"
#include "decode.h"
#include "inspect.h"

namespace {

using namespace zorv_cli;

struct validate_options {
    std::vector<std::string> files;
};

template <class L>
class file_checker {
public:
    file_checker(open_file<L>& f, std::vector<problem>* out) : f_(f), out_(out), r_(f.map.data(), f.map.size()) {}

    void check_channel(int c) {
        const std::string name = f_.channel_name(c);
        check_positions(c, name);
        decode_all(name);
    }

    // Every event the event index lists has a header at its position in the
    // event-header basket, with the pattern, number, type and time the index
    // gives, and a type of known structure (the readers cannot place the
    // others).
    void check_event_headers() {
        const auto* eit = f_.tables.eit_tab;
        const auto* ref = f_.tables.ref_tbl;
        if (!eit || !ref) return;
        zorv::be_reader r = r_;
        const uint32_t evh_len = r.u32(uint64_t(ref->evhdb_ref) + 4);
        const auto* base = reinterpret_cast<const unsigned char*>(eit);
        size_t off = offsetof(typename L::eit, entry);
        for (int k = 0; k < eit->nevent_types; ++k) {
            const auto* e = reinterpret_cast<const zorv_event_index_entry*>(base + off);
            const int n = (e->length - int(offsetof(zorv_event_index_entry, event_info))) / int(sizeof(zorv_event_info));
            const auto* infos = base + off + offsetof(zorv_event_index_entry, event_info);
            for (int i = 0; i < n; ++i) {
                zorv_event_info info;
                std::memcpy(&info, infos + size_t(i) * sizeof info, sizeof info);
                check_event_header(e->event_type, info, ref->evhdb_ref, evh_len);
            }
            check_index_span(*e, uint64_t(ref->eit_pos_ref) + off, n, infos);
            if (e->length <= 0) break;
            off += size_t(e->length);
        }
    }

private:
    using subhead = typename L::subhead;

    void add_event(uint64_t pos, uint32_t number, const std::string& what) {
        out_->push_back({pos, "event " + std::to_string(number) + ": " + what});
    }

    // An event type's first and last time are those of its first and last
    // event: readers choose a file for a time window by them, and a span
    // that is wrong (or runs backwards) would place the file's events
    // wrongly.
    void check_index_span(const zorv_event_index_entry& e, uint64_t pos, int n, const unsigned char* infos) {
        if (n <= 0) return;
        zorv_event_info first, last;
        std::memcpy(&first, infos, sizeof first);
        std::memcpy(&last, infos + size_t(n - 1) * sizeof last, sizeof last);
        const auto differs = [](const time_stamp& a, const time_stamp& b) {
            return a.timeup != b.timeup || a.timelow != b.timelow;
        };
        const std::string type = "event index of type " + std::to_string(e.event_type) + ": ";
        if (differs(e.event_time_first, first.time))
            out_->push_back({pos, type + "first time " + time_text(e.event_time_first) + ", its first event's " +
                                      time_text(first.time)});
        if (differs(e.event_time_last, last.time))
            out_->push_back({pos, type + "last time " + time_text(e.event_time_last) + ", its last event's " +
                                      time_text(last.time)});
    }

    void check_event_header(int type, const zorv_event_info& info, uint32_t basket, uint32_t basket_len) {
        if (!inside(info.offset, sizeof(zorv_eventheader), basket, basket_len))
            return add_event(info.offset, info.event_number, "event header outside the event-header basket");
        zorv::be_reader r = r_;
        const uint64_t at = info.offset;
        if (r.u32(at) != L::pattern_event) return add_event(at, info.event_number, "event header with a wrong pattern");
        const uint32_t number = r.u32(at + offsetof(zorv_eventheader, event_number));
        const int32_t own_type = r.i32(at + offsetof(zorv_eventheader, event_type));
        const time_stamp t{r.u32(at + offsetof(zorv_eventheader, event_time)),
                           r.u32(at + offsetof(zorv_eventheader, event_time) + 4)};
        if (number != info.event_number)
            add_event(at, info.event_number, "event header holds event number " + std::to_string(number));
        if (get_event_struct_type(own_type) == ZORV_EV_STRUCT_UNKNOWN)
            add_event(at, info.event_number, "event header holds event type " + std::to_string(own_type) +
                                                 ", of no known structure");
        else if (own_type != type)
            add_event(at, info.event_number, "event header holds event type " + std::to_string(own_type) +
                                                 ", the index lists it as " + std::to_string(type));
        if (t.timeup != info.time.timeup || t.timelow != info.time.timelow)
            add_event(at, info.event_number, "event header holds time " + time_text(t) + ", the index " +
                                                 time_text(info.time));
    }

    void add(uint64_t pos, const std::string& name, int i, const std::string& what) {
        out_->push_back({pos, "channel " + name + " entry " + std::to_string(i) + ": " + what});
    }

    // The four positions of each entry lead to an event header, a server-block
    // header and a block of this channel inside the file.
    void check_positions(int c, const std::string& name) {
        const auto* ecp = f_.tables.ecp_tab;
        const auto* ref = f_.tables.ref_tbl;
        const int count = f_.channel(c).count;
        zorv::be_reader r = r_;
        const uint32_t evh_len = r.u32(uint64_t(ref->evhdb_ref) + 4);
        const uint32_t sbh_len = r.u32(uint64_t(ref->srvbb_ref) + 4);
        for (int i = 0; i < count && i < ecp->maxev; ++i) {
            const auto& p = ecp->chptr[size_t(c) * size_t(ecp->maxev) + size_t(i)];
            if (!inside(p.evhd, sizeof(zorv_eventheader), ref->evhdb_ref, evh_len))
                add(p.evhd, name, i, "event header outside the event-header basket");
            else if (r.u32(p.evhd) != L::pattern_event)
                add(p.evhd, name, i, "event header with a wrong pattern");
            if (!inside(p.sbhd, L::sbhead_size, ref->srvbb_ref, sbh_len))
                add(p.sbhd, name, i, "server-block header outside the server-block basket");
            check_block(p, name, i);
        }
    }

    void check_block(const zorv_event_chan_ptr_entry& p, const std::string& name, int i) {
        zorv::be_reader r = r_;
        if (!r.has(p.chhd, L::subhead_size)) return add(p.chhd, name, i, "sub-header outside the file");
        char chname[sizeof(subhead::chname) + 1] = {};
        r.chars(p.chhd, chname, sizeof(subhead::chname));
        if (name.compare(0, sizeof(subhead::chname), chname) != 0)
            add(p.chhd, name, i, std::string("block belongs to channel \"") + chname + "\"");
        const uint32_t error = r.u32(uint64_t(p.chhd) + offsetof(subhead, error));
        const int32_t ldata = r.i32(uint64_t(p.chhd) + offsetof(subhead, ldata));
        if (ldata < L::subhead_size || !r.has(p.chhd, uint32_t(ldata)))
            return add(p.chhd, name, i, "block length " + std::to_string(ldata) + " runs past the file");
        const uint32_t payload = p.chhd + L::subhead_size + ((error & ZORV_CHAN_ZIP_FLAG) ? 12 : 0);
        if (p.data != payload && !L::is_update_type(r.i32(uint64_t(p.chhd) + offsetof(subhead, dtype)) & 0xFFFF))
            add(p.data, name, i, "data position does not follow the sub-header");
        if (error & ZORV_CHAN_ZIP_FLAG) {
            const uint32_t zipped = r.u32(uint64_t(p.chhd) + L::subhead_size + 8);
            if (uint64_t(L::subhead_size) + 12 + zipped > uint64_t(ldata))
                add(p.chhd, name, i, "compressed length runs past the block");
        }
    }

    static bool inside(uint32_t pos, uint32_t len, uint32_t basket, uint32_t basket_len) {
        return pos >= basket && zorv::in_range(pos - basket, len, basket_len);
    }

    // Decodes every block with a channel reader and checks what it made.
    void decode_all(const std::string& name) {
        decoded_channel<L> ch(&f_.tables, name);
        if (const int rc = ch.start()) {
            out_->push_back({0, "channel " + name + ": cannot be read (status " + std::to_string(rc) + ")"});
            return;
        }
        auto& rd = ch.reader();
        uint32_t previous = 0;
        for (int i = 0; i < rd.out_total; ++i) {
            const zorv_channel_entry_long& e = rd.out[i];
            const zorv_event_chan_ptr_entry* p = rd.get_data_table_pointer(i);
            const uint64_t pos = p ? p->chhd : 0;
            if (e.event_id.event_number == rd.unfinished) {
                add(pos, name, i, "block could not be decoded");
                continue;
            }
            if (!e.sbchdata[0].chhd) {
                add(pos, name, i, "block cannot be decompressed or converted");
                continue;
            }
            if (i > 0 && e.event_id.event_number && e.event_id.event_number < previous)
                add(pos, name, i, "event numbers out of order");
            previous = e.event_id.event_number;
            const json v = decode_entry(e, open_file<L>::layout, -1);
            if (v.contains("error")) add(pos, name, i, v["error"].get<std::string>());
        }
    }

    open_file<L>& f_;
    std::vector<problem>* out_;
    zorv::be_reader r_;
};

// Problems of one file; false when it is missing or of another format.
bool validate_file(const std::string& path, std::vector<problem>* out, std::string* why) {
    file_layout lay;
    if (!detect_layout(path, &lay, why)) return false;
    with_layout(lay, [&](auto tag) {
        using L = decltype(tag);
        open_file<L> f(path);
        check_tables<L>(f.map, out);
        std::vector<problem> load_problems;
        if (!out->empty() || !load(f, &load_problems)) {
            if (out->empty()) *out = load_problems;
            return;
        }
        file_checker<L> checker(f, out);
        checker.check_event_headers();
        for (int c = 0; c < f.channel_count(); ++c) checker.check_channel(c);
    });
    return true;
}

void run_validate(const validate_options& o) {
    separate_data_output();
    const int status = check_each_file("validate", o.files, [](const std::string& path) {
        std::vector<problem> problems;
        std::string why;
        if (!validate_file(path, &problems, &why)) {
            warn("validate", path + ": " + why);
            return int(exit_bad_input);
        }
        for (const auto& p : problems) put_line(path + ": " + problem_text(p));
        put_line(path + ": " + (problems.empty() ? std::string("ok")
                                                 : std::to_string(problems.size()) + " problem(s)"));
        return int(problems.empty() ? exit_ok : exit_problems);
    });
    if (status) throw CLI::RuntimeError(status);
}

void add_validate_options(CLI::App* sub, validate_options* o) {
    add_files_argument(sub, &o->files);
}

}  // namespace

ZORV_CLI_COMMAND(validate,
                 "check every table and every block of DAQ files (all blocks are "
                 "decoded); prints each problem with its file position and exits 1 "
                 "when anything is wrong",
                 add_validate_options, run_validate)
