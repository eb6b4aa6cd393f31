// Scoped holders of locks and count locks; each lives on the stack of one operation.
#pragma once

#include <pthread.h>

#include "Pimo/OS/Linux/class_count_lock.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Pimo {
namespace OS {

class class_locker {
public:
    // Tests the state byte: a byte already set means a holder died inside the lock.
    class_locker(class_lock& in_lock, byte_t* pin_lock_state = nullptr);
    // Never tests the byte; the lock may be null.
    class_locker(class_lock* pin_lock, byte_t* pin_lock_state = nullptr);
    ~class_locker();
    class_locker(const class_locker&) = delete;
    class_locker& operator=(const class_locker&) = delete;

    bool is_crashed() const { return m_crashed; }
    void unlock();

private:
    class_lock* mp_lock;
    byte_t* mp_lock_state;
    bool m_crashed;
};

class class_unlocker {
public:
    explicit class_unlocker(class_lock* pin_lock) : mp_lock(pin_lock) {
        if (mp_lock) mp_lock->unlock();
    }
    explicit class_unlocker(class_lock& in_lock) : class_unlocker(&in_lock) {}
    ~class_unlocker() {
        if (mp_lock) mp_lock->lock();
    }
    class_unlocker(const class_unlocker&) = delete;
    class_unlocker& operator=(const class_unlocker&) = delete;

private:
    class_lock* mp_lock;
};

// The four count-lock holders: call on entry, the inverse on exit, skipping a null lock.
template <void (class_count_lock::*Enter)(), void (class_count_lock::*Leave)()>
class class_count_holder {
public:
    explicit class_count_holder(class_count_lock* pin_lock) : mp_lock(pin_lock) {
        if (mp_lock) (mp_lock->*Enter)();
    }
    explicit class_count_holder(class_count_lock& in_lock) : class_count_holder(&in_lock) {}
    ~class_count_holder() {
        try {
            if (mp_lock) (mp_lock->*Leave)();
        } catch (...) {
        }
    }
    class_count_holder(const class_count_holder&) = delete;
    class_count_holder& operator=(const class_count_holder&) = delete;

private:
    class_count_lock* mp_lock;
};

typedef class_count_holder<&class_count_lock::proc_write_lock, &class_count_lock::proc_write_unlock>
    class_write_locker;
typedef class_count_holder<&class_count_lock::proc_write_unlock, &class_count_lock::proc_write_lock>
    class_write_unlocker;
typedef class_count_holder<&class_count_lock::proc_read_lock, &class_count_lock::proc_read_unlock>
    class_read_locker;
typedef class_count_holder<&class_count_lock::proc_read_unlock, &class_count_lock::proc_read_lock>
    class_read_unlocker;

class pthread_mutex_locker {
public:
    explicit pthread_mutex_locker(pthread_mutex_t& in_mutex) : m_mutex(in_mutex) { pthread_mutex_lock(&m_mutex); }
    ~pthread_mutex_locker() { pthread_mutex_unlock(&m_mutex); }
    pthread_mutex_locker(const pthread_mutex_locker&) = delete;
    pthread_mutex_locker& operator=(const pthread_mutex_locker&) = delete;

private:
    pthread_mutex_t& m_mutex;
};

}  // namespace OS
}  // namespace Pimo
