#include "block_types.h"

#include "block_type_names.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zorv_common {

// Both come from the event-format library's type table.
const char* block_type_name(int dtype) { return zorv::block_type_name(dtype); }

const char* block_type_kind(int dtype) { return zorv::block_kind_word(dtype); }

std::string member_name(int dtype, int n, int m, int subchan, const char* decoder_name) {
    const int device = (dtype >> 16) & 0xFFFF;
    const bool cut = n == 1 && subchan >= 0;
    const int index = cut ? subchan : m;
    const char* name = cut ? get_chan_name(device ? device : dtype & 0xFFFF, index) : decoder_name;
    return name ? name : "CH" + std::to_string(index + 1);
}

namespace {

// The run numbers of a request's range to ask the catalogue for: every number
// of a narrow range; of a wide one only those the catalogue holds, rather
// than one entry per number (a range up to 2^31 would take gigabytes).
std::vector<int> run_numbers(const zorv_daq_request& req, const std::string& exp) {
    constexpr int64_t max_listed_runs = 10000;
    const int last = std::max(req.run_first, req.run_last);
    std::vector<int> numbers;
    if (int64_t(last) - req.run_first < max_listed_runs) {
        for (int64_t n = req.run_first; n <= last; ++n) numbers.push_back(int(n));
    } else {
        get_runs_in_range(req.run_first, last, &numbers, &exp, req.cdir);
    }
    return numbers;
}

}  // namespace

std::vector<std::string> catalogue_dirs(const zorv_daq_request& req) {
    std::vector<zorv_root_xml_files*> records;
    std::string desc, exp = req.exp_name;
    constexpr int catalogue_mode = 1;
    if (req.run_first > 0) {
        std::vector<int> numbers = run_numbers(req, exp);
        std::vector<int*> runs;
        for (int& n : numbers) runs.push_back(&n);
        get_files_for_runs(&runs, &records, &desc, &exp, req.cdir, catalogue_mode);
    } else {
        const uint32_t stop = req.stop_time.time.timeup ? req.stop_time.time.timeup : UINT32_MAX;
        get_files_for_period(req.start_time.time.timeup, stop, &records, &desc, &exp, req.cdir, catalogue_mode);
    }
    std::vector<std::string> dirs;
    for (zorv_root_xml_files* rec : records) {
        for (char* path : rec->rfiles) {
            const char* slash = path ? std::strrchr(path, '/') : nullptr;
            if (slash && slash != path) {
                std::string d(path, size_t(slash - path));
                if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) dirs.push_back(std::move(d));
            }
            delete[] path;
        }
        delete[] rec->xmlfile;
        delete rec;
    }
    return dirs;
}

}  // namespace zorv_common
