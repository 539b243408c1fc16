// Shared helpers of the zorv-daq subcommands (see cli_common.h).
#include "cli_common.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>

#include <CLI/CLI.hpp>

#include "be_reader.h"

namespace zorv_cli {

// ---------------------------------------------------------------------------
// Errors and the data stream.
// ---------------------------------------------------------------------------

void warn(const char* command, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "zorv-daq %s: %s\n", command, message.c_str());
}

void fail(const char* command, int status, const std::string& message) {
    warn(command, message);
    throw CLI::RuntimeError(status);
}

namespace {

FILE* data_stream = nullptr;
int data_fd = -1;

}  // namespace

void separate_data_output() {
    if (data_stream) return;
    std::fflush(stdout);
    data_fd = dup(STDOUT_FILENO);
    if (data_fd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        data_stream = stdout;  // cannot separate: data and diagnostics share stdout
        return;
    }
    data_stream = fdopen(data_fd, "w");
    if (!data_stream) data_stream = stdout;
    std::atexit([] {
        if (data_stream) std::fflush(data_stream);
    });
}

FILE* data_out() { return data_stream ? data_stream : stdout; }

void put_line(const std::string& line) {
    FILE* f = data_out();
    std::fwrite(line.data(), 1, line.size(), f);
    std::fputc('\n', f);
}

void library_output_to_data(bool on) {
    if (!data_stream || data_stream == stdout) return;
    std::fflush(stdout);
    std::fflush(data_stream);
    dup2(on ? data_fd : STDERR_FILENO, STDOUT_FILENO);
}

// ---------------------------------------------------------------------------
// Files and layouts.
// ---------------------------------------------------------------------------

const char* layout_name(file_layout l) { return l == file_layout::legacy ? "legacy" : "current"; }

mapped_file::mapped_file(const std::string& path) {
    fd_.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_) {
        error_ = std::string("cannot open: ") + std::strerror(errno);
        return;
    }
    struct stat st;
    if (fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = "not a regular file";
        return;
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ == 0) {
        ok_ = true;
        return;
    }
    if (!map_.map(fd_.get(), 0, size_)) {
        error_ = std::string("cannot map: ") + std::strerror(errno);
        size_ = 0;
        return;
    }
    data_ = map_.data();
    ok_ = true;
}

namespace {

constexpr uint32_t pattern_low_mask = 0xFFFFFF00u;

// Layout named by the low byte of a table pattern whose high bytes match.
bool layout_of_pattern(uint32_t word, uint32_t current_pattern, file_layout* out) {
    if ((word & pattern_low_mask) != (current_pattern & pattern_low_mask)) return false;
    if ((word & 0xFFu) == (current_pattern & 0xFFu)) *out = file_layout::current;
    else if (word == zorv::layout_legacy::pattern_ref || word == zorv::layout_legacy::pattern_cdt)
        *out = file_layout::legacy;
    else return false;
    return true;
}

// Layout named by the event-header basket a DAQ file starts with; false
// when the file does not start like one.
bool layout_of_start(const mapped_file& f, file_layout* out) {
    zorv::be_reader r(f.data(), f.size());
    const uint32_t word = r.u32(0);
    if (!r.ok()) return false;
    if (word == zorv::layout_current::pattern_evh_basket) *out = file_layout::current;
    else if (word == zorv::layout_legacy::pattern_evh_basket) *out = file_layout::legacy;
    else return false;
    return true;
}

}  // namespace

bool detect_layout(const mapped_file& f, file_layout* out, std::string* why) {
    if (!f.ok()) return *why = f.error(), false;
    zorv::be_reader r(f.data(), f.size());
    const uint32_t ref = f.size() >= 8 ? r.u32(f.size() - 4) : 0;
    file_layout by_ref;
    if (f.size() < 8 || !layout_of_pattern(r.u32(ref), zorv::layout_current::pattern_ref, &by_ref) || !r.ok()) {
        // A file that starts like a DAQ file but whose table of contents
        // cannot be found is a damaged one (cut short while being copied or
        // written): its layout is that of its start, and the check of its
        // tables says what is wrong. Anything else is of another format.
        if (layout_of_start(f, out)) return true;
        return *why = f.size() < 8 ? "not a DAQ raw file (too short)"
                                   : "not a DAQ raw file (no table of contents at its end)",
               false;
    }
    // The channel dictionary's pattern decides; the reference table's serves
    // when the dictionary cannot be reached.
    constexpr uint64_t cdt_ref_offset = offsetof(zorv_file_reference_table_2010, cdt_ref);
    const uint32_t cdt = r.u32(uint64_t(ref) + cdt_ref_offset);
    file_layout by_cdt;
    if (r.ok() && layout_of_pattern(r.u32(cdt), zorv::layout_current::pattern_cdt, &by_cdt) && r.ok())
        *out = by_cdt;
    else
        *out = by_ref;
    return true;
}

bool detect_layout(const std::string& path, file_layout* out, std::string* why) {
    mapped_file f(path);
    return detect_layout(f, out, why);
}

// ---------------------------------------------------------------------------
// Times and names.
// ---------------------------------------------------------------------------

std::string time_text(const time_stamp& t) {
    const time_t s = static_cast<time_t>(t.timeup);
    struct tm tmv;
    gmtime_r(&s, &tmv);
    char buf[48];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tmv);
    std::snprintf(buf + n, sizeof buf - n, ".%06uZ", t.timelow % 1000000u);
    return buf;
}

namespace {

// Seconds east of UTC of a zone suffix: "Z", "+01:00", "-0530" or "+01";
// false when the text is none of these.
bool zone_offset(const char* c, long* seconds) {
    *seconds = 0;
    if (*c == '\0' || ((c[0] == 'Z' || c[0] == 'z') && c[1] == '\0')) return true;
    if (c[0] != '+' && c[0] != '-') return false;
    int h = 0, m = 0, used = 0;
    if (std::sscanf(c + 1, "%2d:%2d%n", &h, &m, &used) == 2 && used == 5 && c[6] == '\0') {
    } else if (std::sscanf(c + 1, "%2d%2d%n", &h, &m, &used) == 2 && used == 4 && c[5] == '\0') {
    } else if (std::sscanf(c + 1, "%2d%n", &h, &used) == 1 && used == 2 && c[3] == '\0') {
        m = 0;
    } else {
        return false;
    }
    if (h > 14 || m > 59) return false;
    *seconds = (c[0] == '-' ? -1 : 1) * (h * 3600L + m * 60L);
    return true;
}

// A calendar time "20101004T120000" or "2010-10-04[T ]12:00:00", with an
// optional fraction and zone; false when `c` does not start like one.
bool parse_calendar(const char* c, bool* valid, time_stamp* out) {
    struct tm tmv {};
    int used = 0;
    if (!(std::sscanf(c, "%4d%2d%2dT%2d%2d%2d%n", &tmv.tm_year, &tmv.tm_mon, &tmv.tm_mday, &tmv.tm_hour,
                      &tmv.tm_min, &tmv.tm_sec, &used) == 6 && used == 15) &&
        !(std::sscanf(c, "%4d-%2d-%2d%*1[T ]%2d:%2d:%2d%n", &tmv.tm_year, &tmv.tm_mon, &tmv.tm_mday,
                      &tmv.tm_hour, &tmv.tm_min, &tmv.tm_sec, &used) == 6 && used == 19))
        return false;
    // The fraction is digits only (no exponent); one that rounds up to a
    // whole second stays in its second, as with plain seconds.
    double frac = 0;
    if (c[used] == '.') {
        const size_t digits = std::strspn(c + used + 1, "0123456789");
        frac = std::strtod(std::string(c + used, digits + 1).c_str(), nullptr);
        used += 1 + static_cast<int>(digits);
    }
    long zone = 0;
    *valid = zone_offset(c + used, &zone) && tmv.tm_mon >= 1 && tmv.tm_mon <= 12 && tmv.tm_mday >= 1 &&
             tmv.tm_mday <= 31 && tmv.tm_hour <= 23 && tmv.tm_min <= 59 && tmv.tm_sec <= 60;
    if (!*valid) return true;
    tmv.tm_year -= 1900;
    tmv.tm_mon -= 1;
    const long long t = static_cast<long long>(timegm(&tmv)) - zone;
    *valid = t >= 0 && t <= 0xFFFFFFFFll;
    if (*valid) *out = {static_cast<uint32_t>(t), std::min(static_cast<uint32_t>(frac * 1e6 + 0.5), 999999u)};
    return true;
}

}  // namespace

bool parse_time(const std::string& text, time_stamp* out) {
    bool valid = false;
    if (parse_calendar(text.c_str(), &valid, out)) return valid;
    std::string s = text;
    if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) s.pop_back();
    if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos) return false;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (*end || v < 0 || v >= 4294967296.0) return false;
    out->timeup = static_cast<uint32_t>(v);
    out->timelow = static_cast<uint32_t>((v - out->timeup) * 1e6 + 0.5);
    if (out->timelow >= 1000000u) out->timelow = 999999u;
    return true;
}

bool parse_offset(const std::string& text, double* seconds) {
    if (text.size() < 2 || text[0] != '+') return false;
    const char* c = text.c_str() + 1;
    int h = 0, m = 0, used = 0;
    double sec = 0;
    char* end = nullptr;
    if (std::sscanf(c, "%d:%2d%n", &h, &m, &used) == 2 && used >= 4 && c[used - 3] == ':') {
        if (c[used] == ':') {
            sec = std::strtod(c + used + 1, &end);
            if (end == c + used + 1 || *end || sec >= 60) return false;
        } else if (c[used] != '\0') {
            return false;
        }
        if (h < 0 || m > 59) return false;
        *seconds = h * 3600.0 + m * 60.0 + sec;
        return true;
    }
    sec = std::strtod(c, &end);
    if (end == c || !(sec >= 0) || sec > 4294967295.0) return false;
    if (*end == 's' && end[1] == '\0') ++end;
    if (*end) return false;
    *seconds = sec;
    return true;
}

time_stamp add_seconds(const time_stamp& t, double seconds) {
    const double us = double(t.timeup) * 1e6 + double(t.timelow) + seconds * 1e6 + 0.5;
    const double capped = std::min(us, 4294967295.0 * 1e6);
    const uint64_t v = uint64_t(capped);
    return {uint32_t(v / 1000000u), uint32_t(v % 1000000u)};
}

std::vector<std::string> event_type_names(uint32_t ev_mask) {
    std::vector<std::string> out;
    for (int e = 0; e < 32; ++e)
        if ((ev_mask >> e) & 1u) out.emplace_back(event_name_itoa(e));
    return out;
}

namespace {

std::string compact(const json& v) {
    return v.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Texts as they are, lists of plain values joined by ",", the rest as JSON.
std::string plain_cell(const json& v) {
    std::string s;
    if (v.is_string()) {
        s = v.get<std::string>();
    } else if (v.is_array() && std::all_of(v.begin(), v.end(), [](const auto& e) { return e.is_primitive(); })) {
        for (const auto& e : v) s += (s.empty() ? "" : ",") + (e.is_string() ? e.get<std::string>() : compact(e));
    } else if (!v.is_null()) {
        s = compact(v);
    }
    return s;
}

// A TSV cell has no tabs or line ends; a CSV cell is quoted when it holds
// the separator, a quote or a line end.
std::string table_cell(const std::string& text, table_format f) {
    std::string s = text;
    if (f == table_format::tsv) {
        for (char& ch : s)
            if (ch == '\t' || ch == '\n' || ch == '\r') ch = ' ';
        return s;
    }
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string q = "\"";
    for (char ch : s) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return q + "\"";
}

}  // namespace

void add_table_flags(CLI::App* sub, table_flags* flags) {
    CLI::Option* tsv = sub->add_flag("--tsv", flags->tsv, "tab-separated lines under a header instead of JSON lines");
    sub->add_flag("--csv", flags->csv, "comma-separated lines under a header instead of JSON lines")->excludes(tsv);
}

record_writer::record_writer(table_format f, std::vector<std::string> columns, std::vector<std::string> header)
    : format_(f), columns_(std::move(columns)), header_(std::move(header)) {
    if (header_.size() != columns_.size()) header_ = columns_;
}

void record_writer::put_row(const std::vector<std::string>& cells) {
    const char* sep = format_ == table_format::csv ? "," : "\t";
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) line += (i ? sep : "") + table_cell(cells[i], format_);
    put_line(line);
}

void record_writer::write(const json& record) {
    if (format_ == table_format::json) {
        put_line(compact(record));
        return;
    }
    if (!header_done_) {
        put_row(header_);
        header_done_ = true;
    }
    std::vector<std::string> cells;
    for (const auto& c : columns_) {
        const auto it = record.find(c);
        cells.push_back(it == record.end() ? std::string() : plain_cell(*it));
    }
    put_row(cells);
}

// ---------------------------------------------------------------------------
// Progress bar.
// ---------------------------------------------------------------------------

progress::progress(const char* what, size_t files)
    : what_(what), total_(files), shown_(files > 1 && isatty(STDERR_FILENO)) {}

progress::~progress() {
    if (shown_ && last_width_) std::fprintf(stderr, "\r%*s\r", static_cast<int>(last_width_), "");
}

void progress::update(size_t done, const std::string& note) {
    if (!shown_) return;
    constexpr int bar = 30;
    const int filled = total_ ? static_cast<int>(bar * std::min(done, total_) / total_) : bar;
    std::string line = std::string("\r") + what_ + " [" + std::string(filled, '#') +
                       std::string(bar - filled, '.') + "] " + std::to_string(done) + "/" +
                       std::to_string(total_);
    if (!note.empty()) line += " " + note;
    if (line.size() < last_width_) line += std::string(last_width_ - line.size(), ' ');
    last_width_ = line.size();
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

c_strings::c_strings(const std::vector<std::string>& v) : text(v) {
    for (auto& s : text) ptrs.push_back(&s[0]);
}

}  // namespace zorv_cli
