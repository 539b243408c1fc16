// Links that give renamed files their start time back (see timed_names.h).
#include "timed_names.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "event_util.h"

namespace zorv_cli {

void timed_names::remove_dir::operator()(std::string* dir) const {
    std::error_code ec;
    std::filesystem::remove_all(*dir, ec);
    delete dir;
}

std::string timed_names::name_for(const std::string& path, const time_stamp& first) {
    time_t t = 0;
    if (!get_time_from_file_name(path.c_str(), &t) || first.timeup == 0) return path;
    if (!dir_) {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zorv-daq-XXXXXX";
        if (!mkdtemp(&tmpl[0])) return path;
        dir_.reset(new std::string(tmpl));
    }
    char target[PATH_MAX];
    if (!realpath(path.c_str(), target)) return path;
    const time_t start = time_t(first.timeup);
    struct tm tmv;
    gmtime_r(&start, &tmv);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &tmv);
    const std::string stem = std::filesystem::path(path).stem().string();
    const std::string link = *dir_ + "/" + std::to_string(given_.size()) + "_" + stem + "_" + stamp + ".raw";
    if (symlink(target, link.c_str()) != 0) return path;
    given_[link] = path;
    return link;
}

std::string timed_names::original(const std::string& name) const {
    const auto it = given_.find(name);
    return it == given_.end() ? name : it->second;
}

}  // namespace zorv_cli
