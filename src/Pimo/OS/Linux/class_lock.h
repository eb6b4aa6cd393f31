// Lock interface with per-thread recursion over an underlying lock.
#pragma once

#include <pthread.h>

#include <atomic>

#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Pimo {
namespace OS {

typedef pthread_t thread_id_t;

class class_lock {
public:
    class_lock() : m_tid(0), m_ref(0) {}
    virtual ~class_lock() {}
    virtual void proc_lock() = 0;
    virtual void proc_unlock() = 0;

    void lock();
    void unlock();

protected:
    // The owner's id, 0 when free. Every thread reads it to learn whether it owns the lock
    // already; only the owner writes it, under the lock. A reader that is not the owner may see
    // 0 or any other thread's id, and never its own: relaxed order is enough.
    std::atomic<thread_id_t> m_tid;
    u_int32_t m_ref;  // the owner's depth: touched by the owner alone
};

class class_thread_lock : public class_lock {
public:
    explicit class_thread_lock(const u_int32_t& in_spin_count = 0);
    ~class_thread_lock() override;
    void proc_lock() override;
    void proc_unlock() override;

private:
    pthread_mutex_t m_handle;
};

extern class_thread_lock int_lock;

void locked_increment(volatile int* in_value);
void locked_decrement(volatile int* in_value);

}  // namespace OS
}  // namespace Pimo
