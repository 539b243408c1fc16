// Helpers shared by the tests: scratch directories and environment settings.
#ifndef ZORV_TEST_SUPPORT_H
#define ZORV_TEST_SUPPORT_H

#include <string>

namespace zorv_test {

// A fresh directory below $TMPDIR (or /tmp), removed with its content when
// the object goes out of scope.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets an environment variable for the lifetime of the object and restores
// the previous value afterwards.
class scoped_env {
public:
    scoped_env(const char* name, const char* value);
    ~scoped_env();
    scoped_env(const scoped_env&) = delete;
    scoped_env& operator=(const scoped_env&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_old_ = false;
};

// Whole content of a file ("" when unreadable).
std::string read_file(const std::string& path);
// Writes `bytes` to `path`, replacing it; false on failure.
bool write_file(const std::string& path, const std::string& bytes);

// Waits (ten seconds at most) until every other thread of the process has
// ended or sleeps waiting for work, seen so twice in a row; false when that
// did not happen.
bool other_threads_idle();

}  // namespace zorv_test

#endif
