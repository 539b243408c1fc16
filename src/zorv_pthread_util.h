// The reader stack's names for the scoped mutex lock and the wall clock of
// the timing lines, which the toolkit provides. Internal to the library; not
// installed.
#ifndef ZORV_PTHREAD_UTIL_H
#define ZORV_PTHREAD_UTIL_H

#include "sys/clock.h"
#include "sys/lock.h"

namespace zorv {

using sys::mutex_lock;
using sys::wall_clock_us;

}  // namespace zorv

#endif
