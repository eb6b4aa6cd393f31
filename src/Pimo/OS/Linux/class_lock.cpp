#include "Pimo/OS/Linux/class_lock.h"

#include <cstring>

namespace Pimo {
namespace OS {

class_thread_lock int_lock(0);

void class_lock::lock() {
    thread_id_t me = pthread_self();
    if (me != m_tid.load(std::memory_order_relaxed)) {
        proc_lock();
        m_tid.store(me, std::memory_order_relaxed);
        m_ref = 0;
    }
    ++m_ref;
}

void class_lock::unlock() {
    if (m_tid.load(std::memory_order_relaxed) != pthread_self()) return;  // not the owner: ignored
    if (--m_ref == 0) {
        m_tid.store(0, std::memory_order_relaxed);
        proc_unlock();
    }
}

class_thread_lock::class_thread_lock(const u_int32_t&) {
    // The state of the platform's static recursive initialiser, without an init call.
    pthread_mutex_t init = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    std::memcpy(&m_handle, &init, sizeof m_handle);
}

class_thread_lock::~class_thread_lock() { pthread_mutex_destroy(&m_handle); }

void class_thread_lock::proc_lock() { pthread_mutex_lock(&m_handle); }

void class_thread_lock::proc_unlock() { pthread_mutex_unlock(&m_handle); }

void locked_increment(volatile int* in_value) {
    int_lock.lock();
    *in_value = *in_value + 1;
    int_lock.unlock();
}

void locked_decrement(volatile int* in_value) {
    int_lock.lock();
    *in_value = *in_value - 1;
    int_lock.unlock();
}

}  // namespace OS
}  // namespace Pimo
