// Ownership of memory from the C allocator (records the tables and the
// decoders hand out with malloc). Internal to the project; not installed.
#ifndef ZORV_SYS_MEMORY_H
#define ZORV_SYS_MEMORY_H

#include <cstdlib>
#include <memory>

namespace zorv {
namespace sys {

struct free_deleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// A malloc'ed record, freed when it goes.
template <class T>
using c_ptr = std::unique_ptr<T, free_deleter>;

}  // namespace sys
}  // namespace zorv

#endif
