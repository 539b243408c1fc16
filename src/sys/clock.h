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

// The wall clock when a timing line may be printed, else 0: the timing
// lines are for debugging, and reading the clock for every event and
// channel would cost more than the lookups it times.
inline double timing_clock_us(bool wanted) { return wanted ? wall_clock_us() : 0.0; }

// Time since construction on the monotonic clock; a stopwatch made idle
// never reads the clock and reports 0.
class stopwatch {
public:
    explicit stopwatch(bool running = true) : running_(running), start_(running ? clock::now() : clock::time_point()) {}
    double micros() const {
        if (!running_) return 0.0;
        return std::chrono::duration<double, std::micro>(clock::now() - start_).count();
    }
    double millis() const { return micros() / 1000.0; }

private:
    using clock = std::chrono::steady_clock;
    bool running_;
    clock::time_point start_;
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
