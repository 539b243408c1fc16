// Process-wide cap on the decoding threads a slicer gives each channel.
// Internal to the library: the fuzz entries set it to one, since they decode
// one small input at a time, where thread starts and hand-overs cost more
// than the decoding and only slow the search down.
#ifndef ZORV_WORKER_LIMIT_H
#define ZORV_WORKER_LIMIT_H

#include <atomic>

namespace zorv {

// 0: no cap (a worker per processor, up to ten).
inline std::atomic<int> worker_limit{0};

}  // namespace zorv

#endif
