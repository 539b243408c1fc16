// File-name helpers. Internal to the project; not installed.
#ifndef ZORV_SYS_PATH_H
#define ZORV_SYS_PATH_H

#include <cstring>

namespace zorv {
namespace sys {

// The part of a path after its last '/'.
inline const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace sys
}  // namespace zorv

#endif
