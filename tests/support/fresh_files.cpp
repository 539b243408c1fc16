// Every test program writes its data files just before reading them, so
// each one accepts files changed in the last 30 seconds by itself, whether
// it runs under CTest or directly. A test of the refusal unsets the variable
// for its own scope (scoped_env).
#include <cstdlib>

namespace {

const bool fresh_files_accepted = [] {
    setenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1", 0);
    return true;
}();

}  // namespace
