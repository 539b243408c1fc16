#include "block_types.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zorv_common {
namespace {

struct type_row {
    int code;
    const char* name;
    const char* kind;
};

// Block types and the kind of payload each one carries.
constexpr type_row type_rows[] = {
    {1, "UPD_BLOCK", "update"},          {2, "ENV_DICT_BLOCK", "env_dict"},
    {3, "ENV_BLOCK", "env"},             {4, "BOR_BLOCK", "update"},
    {5, "EOR_BLOCK", "update"},          {6, "BLOCK_BPM", "spectrum"},
    {7, "BLOCK_BPM_Z", "spectrum"},      {8, "BLOCK_BPM_S", "spectrum"},
    {9, "BLOCK_SINGLE", "spectrum"},     {10, "BLOCK_TOROID", "spectrum"},
    {11, "BLOCK_RF_250K", "spectrum"},   {12, "BLOCK_ENERGY", "spectrum"},
    {13, "BLOCK_IMAGE", "image"},        {14, "BLOCK_WS_FAST", "spectrum"},
    {15, "BLOCK_WS_SLOW", "spectrum"},   {16, "BLOCK_CPLINTL", "spectrum"},
    {17, "BLOCK_GUNINTL", "spectrum"},   {18, "BLOCK_MCP", "spectrum"},
    {19, "BLOCK_PHM", "spectrum"},       {20, "BLOCK_WSS_RAW", "spectrum"},
    {21, "BLOCK_WSS_COR", "spectrum"},   {22, "BLOCK_NAME_VALUE", "name_value"},
    {23, "BLOCK_EQDATA", "equipment"},   {24, "BLOCK_IMG_ROI1", "roi"},
    {25, "BLOCK_IMG_ROI2", "roi"},       {26, "BLOCK_IMG_ROI3", "roi"},
    {27, "BLOCK_IMAGE_EXT", "image"},    {28, "BLOCK_GENERIC_SPECT", "spectrum"},
    {33, "UPD_BLOCK_2010", "update"},    {34, "ENV_DICT_BLOCK_2010", "env_dict"},
    {35, "ENV_BLOCK_2010", "env"},       {36, "BOR_BLOCK_2010", "update"},
    {37, "EOR_BLOCK_2010", "update"},    {38, "BLOCK_BPM_2010", "spectrum"},
    {39, "BLOCK_BPM_Z_2010", "spectrum"}, {40, "BLOCK_BPM_S_2010", "spectrum"},
    {41, "BLOCK_1CHAN_2010", "spectrum"}, {42, "BLOCK_TOROID_2010", "spectrum"},
    {43, "BLOCK_RF_250K_2010", "spectrum"}, {44, "BLOCK_ENERGY_2010", "spectrum"},
    {45, "BLOCK_2CHAN_2010", "spectrum"}, {46, "BLOCK_WS_2010", "spectrum"},
    {47, "BLOCK_4CHAN_2010", "spectrum"}, {48, "BLOCK_CPLINTL_2010", "spectrum"},
    {49, "BLOCK_GUNINTL_2010", "spectrum"}, {50, "BLOCK_MCP_2010", "spectrum"},
    {51, "BLOCK_PHM_2010", "spectrum"},  {52, "BLOCK_6CHAN_2010", "spectrum"},
    {53, "BLOCK_8CHAN_2010", "spectrum"}, {60, "BLOCK_3CHAN_2010", "spectrum"},
    {61, "BLOCK_5CHAN_2010", "spectrum"}, {62, "BLOCK_7CHAN_2010", "spectrum"},
};

const type_row* row_of(int dtype) {
    const int code = dtype & 0xFFFF;
    for (const auto& r : type_rows)
        if (r.code == code) return &r;
    return nullptr;
}

}  // namespace

const char* block_type_name(int dtype) {
    const type_row* r = row_of(dtype);
    return r ? r->name : nullptr;
}

const char* block_type_kind(int dtype) {
    const type_row* r = row_of(dtype);
    return r ? r->kind : nullptr;
}

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
