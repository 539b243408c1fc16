// Lock requirements written into the code: Clang's thread-safety analysis
// (-Wthread-safety) checks them; under other compilers the macros are empty.
// A member marked ZORV_GUARDED_BY(m) is read and written only with m held; a
// function marked ZORV_REQUIRES(m) is called only with m held.
#ifndef ZORV_THREAD_SAFETY_H
#define ZORV_THREAD_SAFETY_H

#include <pthread.h>

#if defined(__clang__)
#define ZORV_TSA(x) __attribute__((x))
#else
#define ZORV_TSA(x)
#endif

#define ZORV_CAPABILITY(name) ZORV_TSA(capability(name))
#define ZORV_SCOPED_CAPABILITY ZORV_TSA(scoped_lockable)
#define ZORV_GUARDED_BY(m) ZORV_TSA(guarded_by(m))
#define ZORV_PT_GUARDED_BY(m) ZORV_TSA(pt_guarded_by(m))
#define ZORV_REQUIRES(...) ZORV_TSA(requires_capability(__VA_ARGS__))
#define ZORV_ACQUIRE(...) ZORV_TSA(acquire_capability(__VA_ARGS__))
#define ZORV_RELEASE(...) ZORV_TSA(release_capability(__VA_ARGS__))
#define ZORV_EXCLUDES(...) ZORV_TSA(locks_excluded(__VA_ARGS__))
#define ZORV_NO_THREAD_SAFETY_ANALYSIS ZORV_TSA(no_thread_safety_analysis)

namespace zorv {

// A pthread mutex the analysis knows as a lock. `native` serves the
// condition waits and callers outside the analysis.
class ZORV_CAPABILITY("mutex") checked_mutex {
public:
    checked_mutex() { pthread_mutex_init(&native, nullptr); }
    ~checked_mutex() { pthread_mutex_destroy(&native); }
    checked_mutex(const checked_mutex&) = delete;
    checked_mutex& operator=(const checked_mutex&) = delete;

    void lock() ZORV_ACQUIRE() { pthread_mutex_lock(&native); }
    void unlock() ZORV_RELEASE() { pthread_mutex_unlock(&native); }
    // Waits on `cond`; the mutex is held again on return.
    void wait(pthread_cond_t& cond) ZORV_REQUIRES(this) { pthread_cond_wait(&cond, &native); }

    pthread_mutex_t native;
};

// Holds a checked_mutex for its scope.
class ZORV_SCOPED_CAPABILITY checked_lock {
public:
    explicit checked_lock(checked_mutex& m) ZORV_ACQUIRE(m) : m_(m) { m_.lock(); }
    ~checked_lock() ZORV_RELEASE() { m_.unlock(); }
    checked_lock(const checked_lock&) = delete;
    checked_lock& operator=(const checked_lock&) = delete;

private:
    checked_mutex& m_;
};

}  // namespace zorv

#endif
