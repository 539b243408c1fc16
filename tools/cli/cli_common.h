// Helpers shared by the inspection and reading subcommands of zorv-daq:
// exit statuses and error lines, the split between data (standard output)
// and the library's diagnostics (standard error), layout detection, a
// read-only file mapping, the progress bar and time texts.
#ifndef ZORV_CLI_COMMON_H
#define ZORV_CLI_COMMON_H

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "event_util.h"
#include "sys/fd.h"
#include "sys/mapping.h"
#include "zorv_layout.h"

namespace CLI {
class App;
}

namespace zorv_cli {

// Records keep their keys in the order they were written.
using json = nlohmann::ordered_json;

// Exit statuses: 1 when a file had problems (reported, the rest still
// done), 2 when the input was unusable (missing file, other format, unknown
// channel, bad time or option).
enum exit_status { exit_ok = 0, exit_problems = 1, exit_bad_input = 2 };

// Prints "zorv-daq <command>: <message>" on standard error and ends the
// subcommand with `status`.
[[noreturn]] void fail(const char* command, int status, const std::string& message);
// The same line without ending the subcommand.
void warn(const char* command, const std::string& message);

// The library writes its diagnostics on standard output. A subcommand that
// produces data calls this first: from then on file descriptor 1 goes to
// standard error, and data_out() writes to the real standard output.
void separate_data_output();
FILE* data_out();
// Writes one line of data (a newline is appended).
void put_line(const std::string& line);
// Runs `fn` with the library's standard output going to the data stream
// (for the library's own text dumps, which are the data of `dump`).
template <class F>
void with_library_on_data(F&& fn);
void library_output_to_data(bool on);

template <class F>
void with_library_on_data(F&& fn) {
    library_output_to_data(true);
    fn();
    library_output_to_data(false);
}

// ---------------------------------------------------------------------------
// Files and layouts.
// ---------------------------------------------------------------------------

enum class file_layout { current, legacy };
const char* layout_name(file_layout l);

// Calls fn(zorv::layout_current{}) or fn(zorv::layout_legacy{}).
template <class F>
decltype(auto) with_layout(file_layout l, F&& fn) {
    if (l == file_layout::legacy) return fn(zorv::layout_legacy{});
    return fn(zorv::layout_current{});
}

// A whole file mapped read-only; empty when it could not be mapped.
class mapped_file {
public:
    explicit mapped_file(const std::string& path);
    mapped_file(const mapped_file&) = delete;
    mapped_file& operator=(const mapped_file&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    const unsigned char* data() const { return data_; }
    size_t size() const { return size_; }
    int fd() const { return fd_.get(); }

private:
    zorv::sys::unique_fd fd_;
    zorv::sys::mapping map_;
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
    bool ok_ = false;
    std::string error_;
};

// Tells the layout of a DAQ file from its channel dictionary's pattern
// (falling back to the reference table's). A file that starts like a DAQ
// file but has no readable table of contents (truncated or damaged) gets the
// layout of its start: loading its tables then reports the damage. False
// with the reason in `why` when the file is missing, unreadable or of
// another format.
bool detect_layout(const std::string& path, file_layout* out, std::string* why);
// The same on a mapped file.
bool detect_layout(const mapped_file& f, file_layout* out, std::string* why);

// ---------------------------------------------------------------------------
// Times, names and output helpers.
// ---------------------------------------------------------------------------

// "2010-10-04T12:00:00.100000Z".
std::string time_text(const time_stamp& t);
// Seconds (UTC) from "1286193600", "1286193600.25", "20101004T120000",
// "2010-10-04T12:00:00" or "2010-10-04 12:00:00"; the calendar forms take a
// fraction of a second and a zone: "Z", "+01:00", "-0530" (local time of
// that zone).
bool parse_time(const std::string& text, time_stamp* out);
// A time offset "+01:00" (hours and minutes), "+01:00:30.5", "+90" or
// "+90s" (seconds); false for anything else.
bool parse_offset(const std::string& text, double* seconds);
// t plus `seconds`, capped at the largest time stamp.
time_stamp add_seconds(const time_stamp& t, double seconds);

// Names of the event types set in a mask, e.g. ["NORMAL", "UPD"].
std::vector<std::string> event_type_names(uint32_t ev_mask);
enum class table_format { json, tsv, csv };

// Writes records as JSON lines, or as tab- or comma-separated lines of the
// values of `columns` (lists of plain values joined by ",", other nested
// values as compact JSON) under one header line (`header`, or the column
// names themselves).
// --tsv and --csv of a listing subcommand (they exclude each other).
struct table_flags {
    bool tsv = false;
    bool csv = false;
    table_format format() const { return csv ? table_format::csv : tsv ? table_format::tsv : table_format::json; }
};
void add_table_flags(CLI::App* sub, table_flags* flags);

class record_writer {
public:
    record_writer(table_format f, std::vector<std::string> columns, std::vector<std::string> header = {});
    void write(const json& record);

private:
    void put_row(const std::vector<std::string>& cells);

    table_format format_;
    bool header_done_ = false;
    std::vector<std::string> columns_;
    std::vector<std::string> header_;
};

// A progress bar on standard error, shown only when it is a terminal and
// there is more than one file to go through.
class progress {
public:
    progress(const char* what, size_t files);
    ~progress();
    progress(const progress&) = delete;
    progress& operator=(const progress&) = delete;
    // `done` files finished out of the total, `note` a short text.
    void update(size_t done, const std::string& note = std::string());

private:
    const char* what_;
    size_t total_;
    bool shown_;
    size_t last_width_ = 0;
};

// Calls `check(path)` for each of `files` under a progress bar named
// `what`; each call returns the file's exit status. Returns the worst of
// them once every file has been gone through.
template <class F>
int check_each_file(const char* what, const std::vector<std::string>& files, F check) {
    progress bar(what, files.size());
    int status = exit_ok;
    for (size_t i = 0; i < files.size(); ++i) {
        bar.update(i, files[i]);
        status = std::max(status, check(files[i]));
    }
    bar.update(files.size());
    return status;
}

// Owned copies of texts with a vector of pointers to them, for the
// library calls that take std::vector<char*>.
struct c_strings {
    std::vector<std::string> text;
    std::vector<char*> ptrs;
    explicit c_strings(const std::vector<std::string>& v);
};

}  // namespace zorv_cli

#endif
