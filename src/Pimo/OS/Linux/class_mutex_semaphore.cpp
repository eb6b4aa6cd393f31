#include "Pimo/OS/Linux/class_mutex_semaphore.h"

namespace Pimo {
namespace OS {

vimra_err_t class_mutex_semaphore::eproc_create(const std::string& in_name, bool in_global, int64_t in_maxcount,
                                                int64_t in_initial_count) {
    vimra_err_t r = in_global ? m_lock.eproc_create_global(in_name, false) : m_lock.eproc_create_local(in_name, false);
    if (r != c_vimra_success) return r;
    r = in_global ? m_semaphore.eproc_create_global(in_name, in_maxcount, in_initial_count)
                  : m_semaphore.eproc_create_local(in_name, in_maxcount, in_initial_count);
    if (r != c_vimra_success) {
        m_lock.proc_close();
        return r;
    }
    m_maxcount = in_maxcount;
    m_initial_count = in_initial_count;
    return c_vimra_success;
}

vimra_err_t class_mutex_semaphore::eproc_create_local(const std::string& in_name, int64_t in_maxcount,
                                                      int64_t in_initial_count) {
    return eproc_create(in_name, false, in_maxcount, in_initial_count);
}

vimra_err_t class_mutex_semaphore::eproc_create_global(const std::string& in_name, int64_t in_maxcount,
                                                       int64_t in_initial_count) {
    return eproc_create(in_name, true, in_maxcount, in_initial_count);
}

void class_mutex_semaphore::proc_destroy() {
    m_lock.proc_destroy();
    m_semaphore.proc_destroy();
}

void class_mutex_semaphore::proc_wait_counts(int64_t in_counts) {
    m_lock.proc_wait();
    for (int64_t i = 0; i < in_counts; ++i) m_semaphore.proc_wait();
    m_lock.proc_release();
}

vimra_err_t class_mutex_semaphore::eproc_wait_counts(int64_t in_counts, bool in_timed, double in_timeout) {
    vimra_err_t r = in_timed ? m_lock.eproc_wait_timeout(in_timeout) : m_lock.eproc_wait_try();
    if (r != c_vimra_success) return r;
    for (int64_t taken = 0; taken < in_counts; ++taken) {
        r = in_timed ? m_semaphore.eproc_wait_timeout(in_timeout) : m_semaphore.eproc_wait_try();
        if (r != c_vimra_success) {
            // Nothing of a failed wait stays held, the lock included.
            if (taken) m_semaphore.proc_release(taken);
            m_lock.proc_release();
            return r;
        }
    }
    m_lock.proc_release();
    return c_vimra_success;
}

void class_mutex_semaphore::proc_wait_all() { proc_wait_counts(m_maxcount); }

vimra_err_t class_mutex_semaphore::eproc_wait_all_try() { return eproc_wait_counts(m_maxcount, false, 0.0); }

vimra_err_t class_mutex_semaphore::eproc_wait_all_timeout(double in_timeout) {
    return eproc_wait_counts(m_maxcount, true, in_timeout);
}

void class_mutex_semaphore::proc_wait_all_recursion() { proc_wait_counts(m_maxcount - 1); }

vimra_err_t class_mutex_semaphore::eproc_wait_all_recursion_try() {
    return eproc_wait_counts(m_maxcount - 1, false, 0.0);
}

vimra_err_t class_mutex_semaphore::eproc_wait_all_recursion_timeout(double in_timeout) {
    return eproc_wait_counts(m_maxcount - 1, true, in_timeout);
}

void class_mutex_semaphore::proc_release_all() { m_semaphore.proc_release(m_maxcount); }

void class_mutex_semaphore::proc_release_all_recursion() { m_semaphore.proc_release(m_maxcount - 1); }

}  // namespace OS
}  // namespace Pimo
