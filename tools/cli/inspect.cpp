// Texts of the inspection helpers (see inspect.h).
#include "inspect.h"

namespace zorv_cli {

std::string problem_text(const problem& p) { return "at " + std::to_string(p.pos) + ": " + p.what; }

const char* table_status_words(int code) {
    switch (code) {
        case zorv::table_bad_argument: return "cannot be read (bad argument)";
        case zorv::table_io_error: return "read error, or the file is shorter than the table";
        case zorv::table_out_of_file: return "a position or length points outside the file";
        case zorv::table_bad_pattern: return "wrong pattern";
        case zorv::table_inconsistent: return "inconsistent lengths or counts";
        case zorv::table_no_memory: return "too large to hold in memory";
        case zorv::table_cdt_mismatch: return "does not match the channel dictionary";
        default: return "cannot be read";
    }
}

bool split_channel(const std::string& text, std::string* name, int* subchan) {
    const size_t colon = text.find(':');
    *name = text.substr(0, colon);
    *subchan = -1;
    if (colon == std::string::npos) return !name->empty();
    const std::string sub = text.substr(colon + 1);
    if (sub.empty() || sub.size() > 6 || sub.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *subchan = std::stoi(sub);
    return !name->empty();
}

}  // namespace zorv_cli
