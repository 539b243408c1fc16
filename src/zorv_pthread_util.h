// Small helpers the reader stack shares: a scoped pthread mutex lock and the
// wall clock of the timing lines. Internal to the library; not installed.
#ifndef ZORV_PTHREAD_UTIL_H
#define ZORV_PTHREAD_UTIL_H

#include <pthread.h>
#include <sys/time.h>

namespace zorv {

// Holds a pthread mutex for its scope.
class mutex_lock {
public:
    explicit mutex_lock(pthread_mutex_t& m) : m_(m) { pthread_mutex_lock(&m_); }
    explicit mutex_lock(pthread_mutex_t* m) : mutex_lock(*m) {}
    ~mutex_lock() { pthread_mutex_unlock(&m_); }
    mutex_lock(const mutex_lock&) = delete;
    mutex_lock& operator=(const mutex_lock&) = delete;

private:
    pthread_mutex_t& m_;
};

// Microseconds since the epoch.
inline double wall_clock_us() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return double(tv.tv_sec) * 1e6 + double(tv.tv_usec);
}

}  // namespace zorv

#endif
