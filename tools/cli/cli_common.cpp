// Shared helpers of the zorv-daq subcommands (see cli_common.h).
#include "cli_common.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
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
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = std::string("cannot open: ") + std::strerror(errno);
        return;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = "not a regular file";
        return;
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ == 0) {
        ok_ = true;
        return;
    }
    void* p = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
        error_ = std::string("cannot map: ") + std::strerror(errno);
        size_ = 0;
        return;
    }
    data_ = static_cast<const unsigned char*>(p);
    ok_ = true;
}

mapped_file::~mapped_file() {
    if (data_) munmap(const_cast<unsigned char*>(data_), size_);
    if (fd_ >= 0) close(fd_);
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

bool parse_time(const std::string& text, time_stamp* out) {
    std::string s = text;
    if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) s.pop_back();
    struct tm tmv {};
    int used = 0;
    double frac = 0;
    const char* c = s.c_str();
    bool calendar = false;
    if (std::sscanf(c, "%4d%2d%2dT%2d%2d%2d%n", &tmv.tm_year, &tmv.tm_mon, &tmv.tm_mday,
                    &tmv.tm_hour, &tmv.tm_min, &tmv.tm_sec, &used) == 6 && used == 15) {
        calendar = true;
    } else if (std::sscanf(c, "%4d-%2d-%2d%*1[T ]%2d:%2d:%2d%n", &tmv.tm_year, &tmv.tm_mon,
                           &tmv.tm_mday, &tmv.tm_hour, &tmv.tm_min, &tmv.tm_sec, &used) == 6) {
        calendar = true;
    }
    if (calendar) {
        if (c[used] == '.') {
            char* end = nullptr;
            frac = std::strtod(c + used, &end);
            used = static_cast<int>(end - c);
        }
        if (c[used] != '\0' || tmv.tm_mon < 1 || tmv.tm_mon > 12 || tmv.tm_mday < 1 ||
            tmv.tm_mday > 31 || tmv.tm_hour > 23 || tmv.tm_min > 59 || tmv.tm_sec > 60)
            return false;
        tmv.tm_year -= 1900;
        tmv.tm_mon -= 1;
        const time_t t = timegm(&tmv);
        if (t < 0 || t > 0xFFFFFFFFll) return false;
        out->timeup = static_cast<uint32_t>(t);
        out->timelow = static_cast<uint32_t>(frac * 1e6 + 0.5) % 1000000u;
        return true;
    }
    if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos) return false;
    char* end = nullptr;
    const double v = std::strtod(c, &end);
    if (*end || v < 0 || v >= 4294967296.0) return false;
    out->timeup = static_cast<uint32_t>(v);
    out->timelow = static_cast<uint32_t>((v - out->timeup) * 1e6 + 0.5);
    if (out->timelow >= 1000000u) out->timelow = 999999u;
    return true;
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
std::string tsv_cell(const json& v) {
    std::string s;
    if (v.is_string()) {
        s = v.get<std::string>();
    } else if (v.is_array() && std::all_of(v.begin(), v.end(), [](const auto& e) { return e.is_primitive(); })) {
        for (const auto& e : v) s += (s.empty() ? "" : ",") + (e.is_string() ? e.get<std::string>() : compact(e));
    } else if (!v.is_null()) {
        s = compact(v);
    }
    for (char& ch : s)
        if (ch == '\t' || ch == '\n' || ch == '\r') ch = ' ';
    return s;
}

}  // namespace

record_writer::record_writer(bool tsv, std::vector<std::string> columns)
    : tsv_(tsv), columns_(std::move(columns)) {}

void record_writer::write(const json& record) {
    if (!tsv_) {
        put_line(compact(record));
        return;
    }
    std::string line;
    if (!header_done_) {
        for (size_t i = 0; i < columns_.size(); ++i) line += (i ? "\t" : "") + columns_[i];
        put_line(line);
        header_done_ = true;
        line.clear();
    }
    for (size_t i = 0; i < columns_.size(); ++i) {
        const auto it = record.find(columns_[i]);
        line += (i ? "\t" : "") + (it == record.end() ? std::string() : tsv_cell(*it));
    }
    put_line(line);
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
