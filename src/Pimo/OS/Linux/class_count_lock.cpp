#include "Pimo/OS/Linux/class_count_lock.h"

namespace Pimo {
namespace OS {

class_thread_count_lock::class_thread_count_lock() { pthread_rwlock_init(&m_rw_lock, nullptr); }
class_thread_count_lock::~class_thread_count_lock() { pthread_rwlock_destroy(&m_rw_lock); }
void class_thread_count_lock::proc_read_lock() { pthread_rwlock_rdlock(&m_rw_lock); }
void class_thread_count_lock::proc_read_unlock() { pthread_rwlock_unlock(&m_rw_lock); }
void class_thread_count_lock::proc_write_lock() { pthread_rwlock_wrlock(&m_rw_lock); }
void class_thread_count_lock::proc_write_unlock() { pthread_rwlock_unlock(&m_rw_lock); }

void class_thread_rw_lock::proc_create() { pthread_rwlock_init(&m_rw_lock, nullptr); }
void class_thread_rw_lock::proc_destroy() { pthread_rwlock_destroy(&m_rw_lock); }
void class_thread_rw_lock::proc_read_wait() { pthread_rwlock_rdlock(&m_rw_lock); }
void class_thread_rw_lock::proc_write_wait() { pthread_rwlock_wrlock(&m_rw_lock); }
void class_thread_rw_lock::proc_read_release() { pthread_rwlock_unlock(&m_rw_lock); }
void class_thread_rw_lock::proc_write_release() { pthread_rwlock_unlock(&m_rw_lock); }

}  // namespace OS
}  // namespace Pimo
