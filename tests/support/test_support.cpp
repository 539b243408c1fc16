#include "test_support.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <filesystem>

namespace zorv_test {

temp_dir::temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zorv-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed for " + tmpl);
    path_ = tmpl;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

scoped_env::scoped_env(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        had_old_ = true;
        old_ = old;
    }
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

scoped_env::~scoped_env() {
    if (had_old_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bool(out);
}

namespace {

// True when no thread but the calling one is running or in the middle of a
// system call ('S': sleeping interruptibly, as on a condition variable).
bool others_sleep() {
    const std::string self = std::to_string(::gettid());
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == self) continue;
        std::ifstream in(task.path() / "stat");
        std::string stat;
        std::getline(in, stat);  // empty when the thread ended meanwhile
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        if (close + 2 >= stat.size() || stat[close + 2] != 'S') return false;
    }
    return true;
}

}  // namespace

bool other_threads_idle() {
    for (int k = 0, quiet = 0; k < 1000; ++k) {
        quiet = others_sleep() ? quiet + 1 : 0;
        if (quiet == 2) return true;
        ::usleep(10000);
    }
    return false;
}

}  // namespace zorv_test
