// Process-wide cap on the decoding threads a slicer gives each channel, and
// the processors a process may decode on.
#ifndef ZORV_WORKER_LIMIT_H
#define ZORV_WORKER_LIMIT_H

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "zorv_export.h"

namespace zorv {

// Internal to the library: the fuzz entries set it to one, since they decode
// one small input at a time, where thread starts and hand-overs cost more
// than the decoding and only slow the search down. 0: no cap. Defined once
// in the library and exported: an inline variable would be hidden like the
// library's other symbols, and a program linked against the shared library
// would then set a copy of its own that no slicer reads.
ZORV_EXPORT extern std::atomic<int> worker_limit;

// The processors this process may run on: those online, fewer when its CPU
// affinity allows fewer (a pinned process, a container's cpuset), and at
// most ZORV_DAQ_DECODE_THREADS when that is set to a positive number (for
// several reading processes on one machine, each of which would otherwise
// start a worker per processor and compete with the others for them).
// Affinity and environment are read at each call (they may change after
// start-up); the processors online once (reading them opens a file).
inline int usable_processors() {
    static const long online = sysconf(_SC_NPROCESSORS_ONLN);
    long n = online;
#ifdef CPU_COUNT
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0 && CPU_COUNT(&set) < n)
        n = CPU_COUNT(&set);
#endif
    if (const char* s = std::getenv("ZORV_DAQ_DECODE_THREADS")) {
        char* end = nullptr;
        const long cap = std::strtol(s, &end, 10);
        if (end != s && *end == '\0' && cap > 0 && cap < n) n = cap;
    }
    return int(n < 1 ? 1 : n > 1024 ? 1024 : n);
}

}  // namespace zorv

#endif
