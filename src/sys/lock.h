// A pthread mutex held for a scope. Internal to the project; not installed.
#ifndef ZORV_SYS_LOCK_H
#define ZORV_SYS_LOCK_H

#include <pthread.h>

namespace zorv {
namespace sys {

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

}  // namespace sys
}  // namespace zorv

#endif
