// QxPalThread: a mutex and its scoped lock.
#pragma once

#include <qxpal/export.h>

#include <mutex>

namespace QxPalThread {

// A non-recursive mutex. Not copyable.
class QXPAL_API Mutex_t {
public:
    Mutex_t() = default;
    Mutex_t(const Mutex_t&) = delete;
    Mutex_t& operator=(const Mutex_t&) = delete;
    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Holds `mutex` from construction until destruction.
class QXPAL_API MutexLock_t {
public:
    explicit MutexLock_t(Mutex_t& mutex) : mutex_(mutex) { mutex_.Lock(); }
    ~MutexLock_t() { mutex_.Unlock(); }
    MutexLock_t(const MutexLock_t&) = delete;
    MutexLock_t& operator=(const MutexLock_t&) = delete;

private:
    Mutex_t& mutex_;
};

}  // namespace QxPalThread
