// Clocks and time-stamp arithmetic in microseconds: the wall clock of the
// timing lines, a stopwatch, and conversions between a time stamp (seconds
// and microseconds) and a count of microseconds. Internal to the project;
// not installed.
#ifndef ZORV_SYS_CLOCK_H
#define ZORV_SYS_CLOCK_H

#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <limits>

#include "event.h"

namespace zorv {
namespace sys {

constexpr uint64_t us_per_second = 1000000u;

// Microseconds since the epoch.
inline double wall_clock_us() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return double(tv.tv_sec) * 1e6 + double(tv.tv_usec);
}

// Time since construction on the monotonic clock.
class stopwatch {
public:
    double micros() const {
        return std::chrono::duration<double, std::micro>(clock::now() - start_).count();
    }
    double millis() const { return micros() / 1000.0; }

private:
    using clock = std::chrono::steady_clock;
    clock::time_point start_ = clock::now();
};

// A time stamp as microseconds since the epoch (exact in 64 bits).
constexpr uint64_t to_micros(const time_stamp& t) { return uint64_t(t.timeup) * us_per_second + t.timelow; }

// The same as a double, for differences and tolerances.
constexpr double micros(const time_stamp& t) { return double(t.timeup) * 1e6 + double(t.timelow); }

// Microseconds as a time stamp; seconds beyond the 32-bit range saturate.
constexpr time_stamp from_micros(uint64_t us) {
    const uint64_t secs = us / us_per_second;
    const uint64_t cap = std::numeric_limits<uint32_t>::max();
    return {static_cast<uint32_t>(secs < cap ? secs : cap), static_cast<uint32_t>(us % us_per_second)};
}

}  // namespace sys
}  // namespace zorv

#endif
