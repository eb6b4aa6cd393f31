// Lock interface with per-thread recursion over an underlying lock.
#pragma once

#include <pthread.h>

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
    thread_id_t m_tid;
    u_int32_t m_ref;
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
