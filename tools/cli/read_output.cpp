// Output forms of `read` (see read_output.h).
#include "read_output.h"

#include "decode.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <set>

namespace zorv_cli {
namespace {

// One plain column of a channel's value: its name after "KEY." (empty for
// the channel's value itself) and whether it carries the channel's units.
struct cell {
    std::string suffix;
    json value;
    bool in_units;
};

json summary(const json& samples, const char* what) {
    if (!samples.is_array() || samples.empty()) return nullptr;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo, sum = 0;
    for (const auto& s : samples) {
        const double v = s.get<double>();
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        sum += v;
    }
    const std::string w = what;
    const double v = w == "mean" ? sum / double(samples.size()) : w == "min" ? lo : hi;
    return tidy(float(v));  // the samples' own precision
}

// A name the block gives twice (two values or members called alike) is
// numbered "#2", "#3"... so that each keeps a column of its own.
std::vector<cell> with_distinct_names(std::vector<cell> cells) {
    std::set<std::string> taken;
    for (auto& c : cells) {
        std::string name = c.suffix;
        for (int n = 2; !taken.insert(name).second; ++n) name = c.suffix + "#" + std::to_string(n);
        c.suffix = name;
    }
    return cells;
}

// The plain columns of one decoded value, by its kind, as the block names them.
std::vector<cell> flatten_kind(const json& v) {
    std::vector<cell> out;
    if (v.contains("error")) return {{"error", v["error"], false}};
    if (v.contains("value")) {
        out.push_back({"", v["value"], true});
        if (v.contains("time")) out.push_back({"time", v["time"], false});
    } else if (v.contains("records")) {
        for (const auto& r : v["records"]) out.push_back({r.value("prop", ""), r["value"], true});
    } else if (v.contains("members")) {
        const bool one = v["members"].size() == 1;
        for (const auto& m : v["members"]) {
            const std::string prefix = one ? "" : m.value("name", "") + ".";
            for (const char* what : {"mean", "min", "max"})
                out.push_back({prefix + what, summary(m["samples"], what), true});
        }
    } else if (v.contains("values")) {
        for (const auto& p : v["values"]) out.push_back({p.value("name", ""), p["value"], true});
    } else if (v.contains("crc32")) {
        for (const char* k : {"width", "height", "crc32"}) out.push_back({k, v[k], false});
    } else if (v.contains("words")) {
        out.push_back({"words", v["words"], false});
    } else if (v.contains("entries")) {
        out.push_back({"entries", v["entries"].size(), false});
    } else if (v.contains("bytes")) {
        out.push_back({"bytes", v["bytes"], false});
    }
    return out;
}

// The plain columns of one decoded value, each under a name of its own.
std::vector<cell> flatten(const json& v) { return with_distinct_names(flatten_kind(v)); }

std::string column_name(const std::string& key, const std::string& suffix) {
    return suffix.empty() ? key : key + "." + suffix;
}

std::string with_units(const std::string& name, const cell& c, const std::string& units) {
    return c.in_units && !units.empty() ? name + " [" + units + "]" : name;
}

// The samples of one decoded value, one row each: member, index, value.
void sample_rows(const json& v, const std::function<void(const json&, size_t, const json&)>& row) {
    if (v.contains("value")) return row("", 0, v["value"]);
    if (v.contains("records"))
        for (const auto& r : v["records"]) row(r.value("prop", ""), 0, r["value"]);
    if (v.contains("members"))
        for (const auto& m : v["members"])
            for (size_t i = 0; i < m["samples"].size(); ++i) row(m.value("name", ""), i, m["samples"][i]);
    if (v.contains("values"))
        for (size_t i = 0; i < v["values"].size(); ++i) row(v["values"][i].value("name", ""), i, v["values"][i]["value"]);
}

}  // namespace

struct event_output::impl {
    table_format format;
    bool samples;
    std::vector<output_channel> channels;
    std::unique_ptr<record_writer> writer;
    std::set<std::string> columns;     // of the wide table
    std::set<std::string> overflowed;  // channels with values the table has no column for

    // One row per event: the columns every channel's example gives, and a
    // last column naming the channels that have nothing at the event.
    void open_wide() {
        std::vector<std::string> columns = {"event", "time"}, header = columns;
        for (const auto& ch : channels) {
            std::vector<cell> cells = ch.example.is_null() ? std::vector<cell>{{"", nullptr, true}} : flatten(ch.example);
            for (const auto& c : cells) {
                columns.push_back(column_name(ch.key, c.suffix));
                this->columns.insert(columns.back());
                header.push_back(with_units(columns.back(), c, ch.units));
            }
        }
        columns.push_back("missing");
        header.push_back("missing");
        writer = std::make_unique<record_writer>(format, columns, header);
    }

    void write_wide(const json& rec, const std::vector<std::string>& states) {
        json row = {{"event", rec["event"]}, {"time", rec["time"]}};
        std::string missing;
        for (size_t i = 0; i < channels.size(); ++i) {
            const auto& key = channels[i].key;
            const auto it = rec["channels"].find(key);
            if (it != rec["channels"].end())
                for (const auto& c : flatten(*it)) place(row, key, column_name(key, c.suffix), c.value, rec["event"]);
            else if (i < states.size())
                missing += (missing.empty() ? "" : "; ") + key + ": " + states[i];
        }
        row["missing"] = missing;
        writer->write(row);
    }

    // A value whose column the table lacks (a block of another shape than
    // the first one) is reported, once per channel, and makes the read end
    // with problems.
    void place(json& row, const std::string& key, const std::string& column, const json& value, const json& event) {
        if (columns.count(column)) {
            row[column] = value;
            return;
        }
        if (overflowed.insert(key).second)
            warn("read", key + " at event " + event.dump() + " has a value the table has no column for (" + column +
                             "); such values are left out of the table: read the channel as JSON or with --samples");
    }

    void write_long(const json& rec, const std::vector<std::string>& states) {
        for (size_t i = 0; i < channels.size(); ++i) {
            const auto& ch = channels[i];
            const std::string state = i < states.size() ? states[i] : "";
            json base = {{"event", rec["event"]}, {"time", rec["time"]}, {"channel", ch.key},
                         {"unit", ch.units}, {"state", state}};
            const auto it = rec["channels"].find(ch.key);
            if (it == rec["channels"].end()) {
                writer->write(base);
                continue;
            }
            bool any = false;
            sample_rows(*it, [&](const json& member, size_t index, const json& value) {
                json row = base;
                row.update({{"member", member}, {"index", index}, {"value", value}});
                writer->write(row);
                any = true;
            });
            // Images and other blocks without samples still show they came.
            if (!any) {
                base["state"] = state + " (" + it->value("kind", "") + ": no samples)";
                writer->write(base);
            }
        }
    }
};

event_output::event_output(table_format format, bool samples, std::vector<output_channel> channels)
    : impl_(new impl{format, samples && format != table_format::json, std::move(channels), nullptr, {}, {}}) {
    if (format == table_format::json) impl_->writer = std::make_unique<record_writer>(format, std::vector<std::string>{});
    else if (impl_->samples)
        impl_->writer = std::make_unique<record_writer>(
            format, std::vector<std::string>{"event", "time", "channel", "member", "index", "value", "unit", "state"});
    else impl_->open_wide();
}

event_output::~event_output() = default;

bool event_output::complete() const { return impl_->overflowed.empty(); }

void event_output::write(const json& record, const std::vector<std::string>& states) {
    if (impl_->format == table_format::json) impl_->writer->write(record);
    else if (impl_->samples) impl_->write_long(record, states);
    else impl_->write_wide(record, states);
}

}  // namespace zorv_cli
