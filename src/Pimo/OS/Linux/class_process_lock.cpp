#include "Pimo/OS/Linux/class_process_lock.h"

#include <sys/file.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "Pimo/OS/Linux/named_object_protocol.h"
#include "Pimo/OS/Linux/vimra_time.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Pimo {
namespace OS {

namespace {

void init_recursive(pthread_mutex_t* pout_mutex) {
    pthread_mutex_t init = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    std::memcpy(pout_mutex, &init, sizeof init);
}

}  // namespace

using named_object::class_named_session;

class_process_lock::class_process_lock() : m_depth(0), m_create_fd(-1), m_lock_fd(-1) {
    // A lock never made live still has a usable mutex, so its waits fail cleanly.
    init_recursive(&m_cs);
}

void class_process_lock::proc_setup(const std::string& in_name) {
    init_recursive(&m_cs);
    m_depth = 0;
    m_name = in_name;
    m_create_fd = -1;
    m_lock_fd = -1;
}

// Creation and opening differ only in the presence claim and the immediate lock.
vimra_err_t class_process_lock::eproc_make_live(const std::string& in_name, bool in_create,
                                                bool in_immediately_lock, mode_t in_chmod) {
    try {
        proc_setup(in_name);
        class_named_session session;
        vimra_err_t r = session.eproc_begin(m_name, true, in_create ? in_chmod : 0777);
        if (r == c_vimra_success)
            r = in_create ? class_named_session::eproc_claim_create(m_name + "_create", in_chmod, &m_create_fd)
                          : class_named_session::eproc_claim_open(m_name + "_create", in_chmod, &m_create_fd);
        if (r == c_vimra_success) {
            m_lock_fd = named_object::open_object(m_name + "_lock", true, in_chmod);
            if (m_lock_fd < 0) {
                Utility::print_error("shm_open");
                r = c_vimra_unknown;
            } else if (in_immediately_lock && named_object::flock_retry(m_lock_fd, LOCK_EX) != 0) {
                Utility::print_error("flock");
                r = c_vimra_unknown;
            }
        }
        if (r != c_vimra_success) proc_destroy();
        return r;
    } catch (...) {
        proc_destroy();
        return c_vimra_unknown;
    }
}

vimra_err_t class_process_lock::eproc_create(const std::string& in_name, bool in_immediately_lock,
                                             mode_t in_chmod) {
    return eproc_make_live(in_name, true, in_immediately_lock, in_chmod);
}

vimra_err_t class_process_lock::eproc_create_global(const std::string& in_name, bool in_immediately_lock) {
    return eproc_create(named_object::c_global_prefix + in_name, in_immediately_lock, 0777);
}

vimra_err_t class_process_lock::eproc_create_local(const std::string& in_name, bool in_immediately_lock) {
    return eproc_create(in_name, in_immediately_lock, 0777);
}

vimra_err_t class_process_lock::eproc_open(const std::string& in_name, mode_t in_chmod) {
    return eproc_make_live(in_name, false, false, in_chmod);
}

vimra_err_t class_process_lock::eproc_open_global(const std::string& in_name) {
    return eproc_open(named_object::c_global_prefix + in_name, 0777);
}

// As specified, the local form opens the global name too.
vimra_err_t class_process_lock::eproc_open_local(const std::string& in_name) {
    return eproc_open(named_object::c_global_prefix + in_name, 0777);
}

void class_process_lock::proc_destroy() {
    named_object::proc_unlock_close(m_lock_fd);
    named_object::proc_unlock_close(m_create_fd);
    if (pthread_mutex_destroy(&m_cs) != 0) Utility::print_error("pthread_mutex_destroy");
}

void class_process_lock::proc_wait() {
    if (pthread_mutex_lock(&m_cs) != 0) {
        Utility::print_error("pthread_mutex_lock");
        return;
    }
    if (m_depth == 0 && named_object::flock_retry(m_lock_fd, LOCK_EX) != 0) {
        // Not held: give the thread exclusion back so the matching release does nothing.
        Utility::print_error("flock");
        if (pthread_mutex_unlock(&m_cs) != 0) Utility::print_error("pthread_mutex_unlock");
        return;
    }
    ++m_depth;
}

void class_process_lock::proc_release() {
    if (m_depth == 0) return;
    if (--m_depth == 0 && named_object::flock_retry(m_lock_fd, LOCK_UN) != 0) Utility::print_error("flock");
    if (pthread_mutex_unlock(&m_cs) != 0) Utility::print_error("pthread_mutex_unlock");
}

vimra_err_t class_process_lock::eproc_wait_try() {
    int e = pthread_mutex_trylock(&m_cs);
    if (e == EBUSY) return c_vimra_busy;
    if (e != 0) {
        Utility::print_error("pthread_mutex_trylock");
        return c_vimra_unknown;
    }
    if (m_depth == 0) {
        e = named_object::flock_retry(m_lock_fd, LOCK_EX | LOCK_NB);
        if (e != 0) {
            if (pthread_mutex_unlock(&m_cs) != 0) Utility::print_error("pthread_mutex_unlock");
            if (e == EWOULDBLOCK) return c_vimra_busy;
            Utility::print_error("flock");
            return c_vimra_unknown;
        }
    }
    ++m_depth;
    return c_vimra_success;
}

vimra_err_t class_process_lock::eproc_wait_timeout(double in_timeout) {
    timeval start;
    gettimeofday(&start, nullptr);
    const long long s = get_second_part(in_timeout);
    const long long u = get_micro_second_part(in_timeout);
    for (;;) {
        vimra_err_t r = eproc_wait_try();
        if (r != c_vimra_busy) return r;
        timeval now;
        gettimeofday(&now, nullptr);
        long long es = static_cast<long long>(now.tv_sec) - start.tv_sec;
        long long eu = static_cast<long long>(now.tv_usec) - start.tv_usec;
        if (eu < 0) {
            --es;
            eu += 1000000;
        }
        // At or past the time: a time-out of 0 is a single try even within one microsecond.
        if (es > s || (es == s && eu >= u)) return c_vimra_timeout;
        OS::sleep(1);
    }
}

}  // namespace OS
}  // namespace Pimo
