// Channel selection of the zorv-daq subcommands (see select.h).
#include "select.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "decode.h"
#include "inspect.h"

namespace zorv_cli {
namespace {

bool has_members(int type) {
    const std::string kind = type_kind(type);
    return kind == "spectrum" || kind == "roi";
}

// Members of a generic spectrum are counted in each block: the first block
// of the channel in this file tells them.
template <class L>
int members_in_first_block(open_file<L>& f, const std::string& name, int type) {
    decoded_channel<L> ch(&f.tables, name);
    if (ch.start() != 0) return 0;
    const auto& r = ch.reader();
    for (int i = 0; i < r.out_total; ++i)
        if (const auto* h = reinterpret_cast<const void*>(r.out[i].sbchdata[0].chhd))
            return get_channel_number(type, h, L::payload_selector);
    return 0;
}

template <class L>
known_channel describe(open_file<L>& f, int i) {
    known_channel k;
    k.name = f.channel_name(i);
    const chan_descr_2010* d = f.description(k.name);
    const std::vector<int> types = mask_types(f.channel(i).dtype_mask, f.layout, d ? int(d->dtype) : 0);
    k.type = types.empty() ? 0 : types.front();
    if (d) k.units = d->units;
    if (!has_members(k.type)) return k;
    k.members = (k.type & 0xFFFF) == ZORV_BLOCK_GENERIC_SPECT ? members_in_first_block(f, k.name, k.type)
                                                             : get_channel_number(k.type, nullptr);
    for (int m = 0; m < k.members; ++m) {
        const char* n = get_chan_name(k.type, m);
        k.member_names.push_back(n ? n : "CH" + std::to_string(m + 1));
    }
    return k;
}

bool is_glob(const std::string& s) { return s.find_first_of("*?[") != std::string::npos; }

size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const bool same = std::toupper((unsigned char)a[i - 1]) == std::toupper((unsigned char)b[j - 1]);
            const size_t next = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
            diag = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

std::string member_list(const known_channel& k) {
    std::string s;
    for (int m = 0; m < k.members; ++m) s += (m ? ", " : "") + std::to_string(m) + " " + k.member_names[size_t(m)];
    return s;
}

// The member a selector names, by number or by name; false with the reason.
bool member_of(const known_channel& k, const std::string& text, int* member, std::string* why) {
    if (k.members == 0) return *why = "channel " + k.name + " has no members to choose from", false;
    if (!text.empty() && text.size() < 7 && text.find_first_not_of("0123456789") == std::string::npos) {
        *member = std::stoi(text);
        if (*member < k.members) return true;
    } else {
        const auto it = std::find(k.member_names.begin(), k.member_names.end(), text);
        *member = int(it - k.member_names.begin());
        if (it != k.member_names.end()) return true;
    }
    *why = "channel " + k.name + " has no member \"" + text + "\" (members: " + member_list(k) + ")";
    return false;
}

const known_channel* find_known(const std::vector<known_channel>& known, const std::string& name) {
    for (const auto& k : known)
        if (k.name == name) return &k;
    return nullptr;
}

}  // namespace

std::vector<known_channel> known_channels(const std::vector<std::string>& files, file_layout l) {
    std::vector<known_channel> out;
    std::set<std::string> seen;
    for (const auto& path : files) {
        with_layout(l, [&](auto tag) {
            open_file<decltype(tag)> f(path);
            std::vector<problem> problems;
            if (!load(f, &problems)) return;
            for (int i = 0; i < f.channel_count(); ++i)
                if (seen.insert(f.channel_name(i)).second) out.push_back(describe(f, i));
        });
    }
    return out;
}

std::vector<std::string> closest_names(const std::string& name, const std::vector<std::string>& candidates) {
    const size_t limit = std::max<size_t>(2, name.size() / 3);
    std::vector<std::pair<size_t, std::string>> close;
    for (const auto& c : candidates) {
        const size_t d = edit_distance(name, c);
        if (d <= limit) close.emplace_back(d, c);
    }
    std::stable_sort(close.begin(), close.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> out;
    for (size_t i = 0; i < close.size() && i < 3; ++i) out.push_back(close[i].second);
    return out;
}

std::string did_you_mean(const std::string& name, const std::vector<std::string>& candidates) {
    std::string s;
    for (const auto& c : closest_names(name, candidates)) s += (s.empty() ? "" : ", ") + c;
    return s.empty() ? s : "did you mean " + s + "?";
}

bool choose_channels(const std::vector<std::string>& selectors, const std::vector<known_channel>& known,
                     std::vector<chosen_channel>* out, std::string* why) {
    std::vector<std::string> names;
    for (const auto& k : known) names.push_back(k.name);
    std::set<std::pair<std::string, int>> taken;
    std::map<std::string, std::string> keys;  // record key -> the channel it names
    for (const auto& sel : selectors) {
        const size_t semi = sel.find(';');
        const std::string nick = semi == std::string::npos ? "" : sel.substr(semi + 1);
        const std::string body = sel.substr(0, semi);
        const size_t colon = body.find(':');
        const std::string name = body.substr(0, colon);
        const bool member_given = colon != std::string::npos;
        const std::string member_text = member_given ? body.substr(colon + 1) : "";

        std::vector<const known_channel*> matches;
        if (is_glob(name)) {
            if (!nick.empty()) return *why = "a nickname names one channel, not the pattern " + name, false;
            for (const auto& k : known)
                if (fnmatch(name.c_str(), k.name.c_str(), 0) == 0) matches.push_back(&k);
            if (matches.empty()) return *why = "no channel matches " + name, false;
        } else if (const known_channel* k = find_known(known, name)) {
            matches.push_back(k);
        } else {
            const std::string hint = did_you_mean(name, names);
            return *why = "channel " + name + " is in none of the files" + (hint.empty() ? "" : "; " + hint), false;
        }
        for (const known_channel* k : matches) {
            chosen_channel c{k->name, k->name, k, -1};
            if (member_given) {
                if (!member_of(*k, member_text, &c.member, why)) return false;
                c.request += ":" + std::to_string(c.member);
                c.key += ":" + member_text;
            }
            if (!taken.insert({k->name, c.member}).second) continue;
            if (!nick.empty()) {
                c.request += ";" + nick;
                c.key = nick;
            }
            // Two channels under one key would share one field of a record,
            // the later one's values hiding the earlier one's.
            const auto used = keys.emplace(c.key, c.request);
            if (!used.second)
                return *why = "the name " + c.key + " is given to two channels (" + used.first->second + " and " +
                              c.request + ")",
                       false;
            out->push_back(std::move(c));
        }
    }
    return true;
}

}  // namespace zorv_cli
