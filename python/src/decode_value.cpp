#include "decode_value.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>

#include "block_types.h"
#include "zorv_daq_data.h"
#include "hl/records.h"
#include "zorv_layout.h"

namespace zorvpy {
namespace {

template <class L>
using block = zorv::block_view<L>;

struct kind_row {
    const char* word;
    kind k;
};
constexpr kind_row kind_rows[] = {
    {"update", kind::update},         {"env", kind::env},       {"env_dict", kind::env_dict},
    {"spectrum", kind::spectrum},     {"roi", kind::roi},       {"image", kind::image},
    {"name_value", kind::name_value}, {"equipment", kind::equipment},
};

std::string text_of(const char* field, size_t len) { return std::string(field, strnlen(field, len)); }

// Bytes [p, p + len) lie inside the payload of b.
template <class L>
bool inside(const block<L>& b, const void* p, size_t len) {
    const auto* start = reinterpret_cast<const unsigned char*>(b.payload());
    const auto* q = static_cast<const unsigned char*>(p);
    return start && q >= start && size_t(q - start) <= b.payload_len() &&
           len <= b.payload_len() - size_t(q - start);
}

// Adds name/value pairs. A name the block has given before is told apart by
// its occurrence ("VAL0#2"): under one key, the later value would hide the
// earlier one. Short lists are searched in place; a long one gets an index of
// its names, so that thousands of names are not searched once per name.
class pair_adder {
public:
    explicit pair_adder(value_view* v) : v_(v) {}
    void add(std::string name, float value) {
        if (holds(name)) {
            int k = 2;
            while (holds(name + "#" + std::to_string(k))) ++k;
            name += "#" + std::to_string(k);
        }
        if (indexed_) names_.insert(name);
        v_->pairs.push_back({std::move(name), value});
    }

private:
    static constexpr size_t scan_limit = 32;
    bool holds(const std::string& name) {
        if (!indexed_ && v_->pairs.size() > scan_limit) {
            for (const auto& p : v_->pairs) names_.insert(p.name);
            indexed_ = true;
        }
        if (indexed_) return names_.count(name) != 0;
        for (const auto& p : v_->pairs)
            if (p.name == name) return true;
        return false;
    }
    value_view* v_;
    bool indexed_ = false;
    std::unordered_set<std::string> names_;
};

// A block's pairs as read, with repeated names told apart. Blocks rarely
// repeat a name: one sort finds out, and only a block that does is added
// again pair by pair.
void tell_repeated_names_apart(value_view* v) {
    if (v->pairs.size() < 2) return;
    std::vector<const std::string*> names;
    names.reserve(v->pairs.size());
    for (const auto& p : v->pairs) names.push_back(&p.name);
    std::sort(names.begin(), names.end(), [](const std::string* a, const std::string* b) { return *a < *b; });
    const auto same = [](const std::string* a, const std::string* b) { return *a == *b; };
    if (std::adjacent_find(names.begin(), names.end(), same) == names.end()) return;
    std::vector<pair_view> read;
    read.swap(v->pairs);
    pair_adder pairs(v);
    for (auto& p : read) pairs.add(std::move(p.name), p.value);
}

// Every record of an update-kind block; the first one is the value.
template <class L>
void read_update(zorv_daq_getdata&, const block<L>& b, int, value_view* v) {
    const int sel = L::payload_selector;
    const int n = get_number_of_upd_channels(b.head(), sel);
    for (int k = 0; k < n; ++k) {
        char* name = nullptr;
        int status = 0;
        time_stamp t{};
        float value = 0;
        if (get_update_params(b.head(), k, &name, &status, &t, &value, sel)) break;
        const std::string prop = name ? text_of(name, L::upd_prop_len) : std::string();
        if (k == 0) {
            v->value = value;
            v->status = status;
            v->sec = t.timeup;
            v->usec = t.timelow;
            v->prop = prop;
        }
        v->pairs.push_back({prop, value});
    }
    if (v->pairs.empty()) v->error = "update block holds no readable record";
}

template <class L>
void read_env(zorv_daq_getdata&, const block<L>& b, int, value_view* v) {
    zorv_env_data_block e;
    if (b.payload_len() < sizeof e) {
        v->error = "environment value shorter than its record";
        return;
    }
    std::memcpy(&e, b.payload(), sizeof e);
    v->index = e.env_ch_idx;
    v->status = e.env_ch_status;
    v->sec = e.env_ch_time.timeup;
    v->usec = e.env_ch_time.timelow;
    v->value = e.env_ch_data;
}

template <class L>
void read_env_dict(zorv_daq_getdata&, const block<L>& b, int, value_view* v) {
    constexpr size_t rec = sizeof(zorv_env_dict_entry);
    for (size_t off = 0; off + rec <= b.payload_len(); off += rec) {
        zorv_env_dict_entry e;
        std::memcpy(&e, b.payload() + off, rec);
        v->pairs.push_back({text_of(e.name, sizeof e.name), float(e.key)});
    }
    tell_repeated_names_apart(v);
}

template <class L>
void read_name_value(zorv_daq_getdata& g, const block<L>&, int, value_view* v) {
    int id = 0, n = 0;
    char* comment = nullptr;
    zorv_name_value_channel* recs = nullptr;
    // The decoder hands the block out only when its count fits the payload.
    if (g.GetValNamPrm(nullptr, &id, &comment, &n, &recs)) {
        v->error = "name/value block does not hold its records";
        return;
    }
    v->index = id;
    v->prop = comment ? text_of(comment, sizeof zorv_name_value_block::comment) : std::string();
    for (int i = 0; i < n; ++i) v->pairs.push_back({text_of(recs[i].name, sizeof recs[i].name), recs[i].value});
    tell_repeated_names_apart(v);
}

template <class L>
void read_spectrum(zorv_daq_getdata& g, const block<L>& b, int subchan, value_view* v) {
    const int n = g.GetNmemb();
    for (int m = 0; m < n; ++m) {
        member_view mv;
        if (g.GetSpectPar(&mv.start, &mv.inc, nullptr, &mv.ndata, m, &mv.groups, &mv.groups_inc, nullptr) != 0) {
            v->error = "spectrum member " + std::to_string(m) + " unreadable";
            return;
        }
        if (L::legacy || mv.groups < 1) mv.groups = 1;
        mv.samples = g.GetSpect(m);
        mv.count = size_t(mv.ndata < 0 ? 0 : mv.ndata) * size_t(mv.groups);
        if (!mv.samples || mv.ndata < 0 || !inside(b, mv.samples, mv.count * sizeof(float))) {
            v->error = "spectrum samples do not fit the block";
            return;
        }
        mv.name = zorv_common::member_name(b.head()->dtype, n, m, subchan, g.GetMembName(m));
        v->members.push_back(std::move(mv));
    }
}

template <class L>
void read_image(zorv_daq_getdata& g, const block<L>& b, int, value_view* v) {
    int length = 0;
    const int rc = g.GetImagePar(nullptr, nullptr, &v->bytes_per_pixel, &length);
    if (rc != 0) {
        v->error = "image shorter than its frame head";
        return;
    }
    int xstart = 0, xinc = 0, ystart = 0, yinc = 0;
    g.GetImageSize(&xstart, &xinc, &v->width, &ystart, &yinc, &v->height);
    const auto* px = reinterpret_cast<const unsigned char*>(g.GetImage());
    const uint64_t need = uint64_t(v->width < 0 ? 0 : v->width) * uint64_t(v->height < 0 ? 0 : v->height) *
                          uint64_t(v->bytes_per_pixel < 0 ? 0 : v->bytes_per_pixel);
    const bool sized = v->width > 0 && v->height > 0 &&
                       (v->bytes_per_pixel == 1 || v->bytes_per_pixel == 2 || v->bytes_per_pixel == 4);
    if (length < 0 || !px || !sized || need > uint64_t(length) || !inside(b, px, size_t(need))) {
        v->error = "image of " + std::to_string(v->width) + "x" + std::to_string(v->height) + "x" +
                   std::to_string(v->bytes_per_pixel) + " bytes does not fit its " + std::to_string(length) +
                   " pixel bytes";
        v->width = v->height = 0;
        return;
    }
    v->pixels = px;
    v->length = size_t(need);
}

// Equipment words and blocks of unknown types: the raw payload.
template <class L>
void read_raw(zorv_daq_getdata&, const block<L>& b, int, value_view* v) {
    v->payload = reinterpret_cast<const unsigned char*>(b.payload());
    v->length = b.payload_len();
}

// How each kind is read, and whether through the event decoder (which must
// first take the entry's headers).
template <class L>
struct kind_reader {
    kind k;
    bool via_decoder;
    void (*read)(zorv_daq_getdata&, const block<L>&, int, value_view*);
};
template <class L>
constexpr kind_reader<L> kind_readers[] = {
    {kind::update, false, read_update<L>},          {kind::env, false, read_env<L>},
    {kind::env_dict, false, read_env_dict<L>},      {kind::name_value, true, read_name_value<L>},
    {kind::spectrum, true, read_spectrum<L>},       {kind::roi, true, read_spectrum<L>},
    {kind::image, true, read_image<L>},             {kind::equipment, false, read_raw<L>},
    {kind::unknown, false, read_raw<L>},
};

template <class L>
void decode_in(const zorv_channel_entry_long& e, int subchan, value_view* v) {
    const block<L> b(zorv::hl::at_address<void>(e.sbchdata[0].chhd));
    v->dtype = b.type();
    v->k = kind_of_type(v->dtype);
    v->status = int(b.head()->error & ~int32_t(ZORV_CHAN_ZIP_FLAG));
    for (const auto& r : kind_readers<L>) {
        if (r.k != v->k) continue;
        zorv_daq_getdata g;
        std::vector<zorv_channel_entry_long*> one{const_cast<zorv_channel_entry_long*>(&e)};
        if (r.via_decoder && !(g.SetRes(&one) > 0 && g.data_2010 == !L::legacy)) {
            v->error = "event headers missing or of the other layout";
            return;
        }
        r.read(g, b, subchan, v);
        return;
    }
}

}  // namespace

const char* kind_word(kind k) {
    for (const auto& r : kind_rows)
        if (r.k == k) return r.word;
    return "unknown";
}

kind kind_of_type(int dtype) {
    const char* word = zorv_common::block_type_kind(dtype);
    if (word)
        for (const auto& r : kind_rows)
            if (std::strcmp(r.word, word) == 0) return r.k;
    return kind::unknown;
}

namespace {

// Resets a view for the next block, keeping its vectors' storage: a read
// decodes every channel of every event into the same view.
void reset(value_view* v) {
    std::vector<member_view> members;
    std::vector<pair_view> pairs;
    members.swap(v->members);
    pairs.swap(v->pairs);
    members.clear();
    pairs.clear();
    *v = value_view{};
    v->members.swap(members);
    v->pairs.swap(pairs);
}

}  // namespace

void decode_value(const zorv_channel_entry_long& e, bool legacy, int subchan, value_view* out) {
    reset(out);
    if (!e.sbchdata[0].chhd) {
        out->error = "no data";
        return;
    }
    if (legacy) decode_in<zorv::layout_legacy>(e, subchan, out);
    else decode_in<zorv::layout_current>(e, subchan, out);
}

}  // namespace zorvpy
