#include "Pimo/OS/Linux/class_event.h"

#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Pimo/OS/Linux/named_object_protocol.h"
#include "Pimo/OS/Linux/vimra_time.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Pimo {
namespace OS {

using named_object::class_named_session;

namespace {

const size_t c_record_size = sizeof(class_event::struct_event_object);

// Locks the record; a holder that died inside is recovered from (the flags are single
// bytes and a counter, consistent at every instant). 0, or the failure.
int lock_record(class_event::struct_event_object* pin_rec) {
    int e = pthread_mutex_lock(&pin_rec->mutex);
    if (e == EOWNERDEAD) return pthread_mutex_consistent(&pin_rec->mutex);
    if (e != 0) Utility::print_error("pthread_mutex_lock");
    return e;
}

void unlock_record(class_event::struct_event_object* pin_rec) {
    if (pthread_mutex_unlock(&pin_rec->mutex) != 0) Utility::print_error("pthread_mutex_unlock");
}

// Wakes waiters after a change of the flags: all of them on a manual event, one otherwise.
void wake(class_event::struct_event_object* pin_rec) {
    if (pin_rec->manual)
        pthread_cond_broadcast(&pin_rec->cond);
    else
        pthread_cond_signal(&pin_rec->cond);
}

struct call_failed {
    const char* m_call;
};

void check(int in_result, const char* in_call) {
    if (in_result != 0) throw call_failed{in_call};
}

}  // namespace

vimra_err_t class_event::eproc_create(bool in_manual) {
    m_fd = -1;
    mp_evt_obj = new struct_event_object();
    mp_evt_obj->canceled = false;
    mp_evt_obj->manual = in_manual;
    mp_evt_obj->set = false;
    pthread_mutex_init(&mp_evt_obj->mutex, nullptr);
    pthread_cond_init(&mp_evt_obj->cond, nullptr);
    return c_vimra_success;
}

vimra_err_t class_event::eproc_build_record(bool in_manual) {
    mp_evt_obj->canceled = false;
    mp_evt_obj->manual = in_manual;
    mp_evt_obj->set = false;
    mp_evt_obj->pulse_pending = 0;
    mp_evt_obj->generation = 0;
    check(pthread_mutexattr_init(&m_mutex_attr), "pthread_mutexattr_init");
    check(pthread_condattr_init(&m_cond_attr), "pthread_condattr_init");
    m_attr_built = true;
    check(pthread_mutexattr_setpshared(&m_mutex_attr, PTHREAD_PROCESS_SHARED), "pthread_mutex_process_shared");
    check(pthread_mutexattr_settype(&m_mutex_attr, PTHREAD_MUTEX_ERRORCHECK), "pthread_mutexattr_settype");
    // A process killed inside an operation must not hang every other user of the event.
    check(pthread_mutexattr_setrobust(&m_mutex_attr, PTHREAD_MUTEX_ROBUST), "pthread_mutexattr_setrobust");
    check(pthread_condattr_setpshared(&m_cond_attr, PTHREAD_PROCESS_SHARED), "pthread_cond_process_shared");
    check(pthread_mutex_init(&mp_evt_obj->mutex, &m_mutex_attr), "pthread_mutex_init");
    check(pthread_cond_init(&mp_evt_obj->cond, &m_cond_attr), "pthread_cond_init");
    return c_vimra_success;
}

vimra_err_t class_event::eproc_create(const std::string& in_name, bool in_manual, mode_t in_chmod) {
    m_name = in_name;
    m_fd = -1;
    mp_evt_obj = nullptr;
    bool owned = false;
    try {
        class_named_session session;
        vimra_err_t r = session.eproc_begin(m_name, true, in_chmod);
        if (r == c_vimra_success) r = class_named_session::eproc_claim_create(m_name, in_chmod, &m_fd);
        if (r != c_vimra_success) {
            proc_destroy();
            return r;
        }
        owned = true;
        check(ftruncate(m_fd, c_record_size), "ftruncate");
        void* p = mmap(nullptr, c_record_size, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
        if (p == MAP_FAILED) throw call_failed{"mmap"};
        mp_evt_obj = static_cast<struct_event_object*>(p);
        return eproc_build_record(in_manual);
    } catch (const call_failed& in_failure) {
        Utility::print_error(in_failure.m_call);
    } catch (...) {
    }
    // Still under the companion lock when the session is ours: nobody sees the half-built name.
    bool had_record = mp_evt_obj != nullptr;
    proc_destroy();
    if (owned && !had_record) shm_unlink(m_name.c_str());
    return c_vimra_unknown;
}

vimra_err_t class_event::eproc_create_global(const std::string& in_name, bool in_manual) {
    return eproc_create(named_object::c_global_prefix + in_name, in_manual, 0777);
}

bool class_event::is_held_global(const std::string& in_name) {
    return named_object::test_held(named_object::c_global_prefix + in_name);
}

vimra_err_t class_event::eproc_create_local(const std::string& in_name, bool in_manual) {
    return eproc_create(in_name, in_manual, 0777);
}

vimra_err_t class_event::eproc_open(const std::string& in_name, mode_t /*in_chmod*/) {
    m_name = in_name;
    m_fd = -1;
    mp_evt_obj = nullptr;
    try {
        class_named_session session;
        vimra_err_t r = session.eproc_begin(m_name, false, 0);
        if (r == c_vimra_success) r = class_named_session::eproc_claim_open(m_name, 0, &m_fd);
        if (r != c_vimra_success) {
            proc_close();
            return r;
        }
        check(ftruncate(m_fd, c_record_size), "ftruncate");
        void* p = mmap(nullptr, c_record_size, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
        if (p == MAP_FAILED) throw call_failed{"mmap"};
        mp_evt_obj = static_cast<struct_event_object*>(p);
        return c_vimra_success;
    } catch (const call_failed& in_failure) {
        Utility::print_error(in_failure.m_call);
    } catch (...) {
    }
    proc_close();
    return c_vimra_unknown;
}

vimra_err_t class_event::eproc_open_global(const std::string& in_name) {
    return eproc_open(named_object::c_global_prefix + in_name, 0777);
}

vimra_err_t class_event::eproc_open_local(const std::string& in_name) { return eproc_open(in_name, 0777); }

void class_event::proc_destroy() {
    if (mp_evt_obj) {
        if (m_fd < 0) {
            pthread_cond_destroy(&mp_evt_obj->cond);
            pthread_mutex_destroy(&mp_evt_obj->mutex);
            delete mp_evt_obj;
        } else {
            if (munmap(mp_evt_obj, c_record_size) != 0) Utility::print_error("munmap");
            if (shm_unlink(m_name.c_str()) != 0) Utility::print_error("shm_unlink");
        }
        mp_evt_obj = nullptr;
    }
    if (m_attr_built) {
        if (pthread_mutexattr_destroy(&m_mutex_attr) != 0) Utility::print_error("pthread_mutexattr_destroy");
        if (pthread_condattr_destroy(&m_cond_attr) != 0) Utility::print_error("pthread_condxattr_destroy");
        m_attr_built = false;
    }
    named_object::proc_close_fd(m_fd);
}

void class_event::proc_close() {
    // An unnamed record lives on the heap, not in a mapping: closing it is its end.
    if (mp_evt_obj && m_fd < 0) {
        proc_destroy();
        return;
    }
    if (mp_evt_obj) {
        if (munmap(mp_evt_obj, c_record_size) != 0) Utility::print_error("munmap");
        mp_evt_obj = nullptr;
    }
    named_object::proc_close_fd(m_fd);
}

void class_event::proc_set() {
    struct_event_object* p = mp_evt_obj;
    if (!p || lock_record(p) != 0) return;
    p->set = true;
    // A manual set releases every current waiter even if a reset follows before they run;
    // an automatic one is taken by whoever clears the flag.
    if (p->manual) ++p->generation;
    wake(p);
    unlock_record(p);
}

void class_event::proc_pulse() {
    struct_event_object* p = mp_evt_obj;
    if (!p || lock_record(p) != 0) return;
    p->set = false;
    ++p->generation;
    if (!p->manual) p->pulse_pending = 1;
    wake(p);
    unlock_record(p);
}

void class_event::proc_reset() {
    struct_event_object* p = mp_evt_obj;
    if (!p || lock_record(p) != 0) return;
    p->set = false;
    unlock_record(p);
}

void class_event::proc_cancel() {
    struct_event_object* p = mp_evt_obj;
    if (!p || lock_record(p) != 0) return;
    p->canceled = true;
    pthread_cond_broadcast(&p->cond);
    unlock_record(p);
}

vimra_err_t class_event::eproc_wait() { return eproc_wait(mp_evt_obj ? mp_evt_obj->manual : false, c_wait, 0.0); }

vimra_err_t class_event::eproc_wait_try() { return eproc_wait(mp_evt_obj ? mp_evt_obj->manual : false, c_try, 0.0); }

vimra_err_t class_event::eproc_wait_timeout(double in_wait_time) {
    return eproc_wait(mp_evt_obj ? mp_evt_obj->manual : false, c_timeout, in_wait_time);
}

vimra_err_t class_event::eproc_wait(bool in_manual) { return eproc_wait(in_manual, c_wait, 0.0); }

vimra_err_t class_event::eproc_wait_try(bool in_manual) { return eproc_wait(in_manual, c_try, 0.0); }

vimra_err_t class_event::eproc_wait_timeout(bool in_manual, double in_wait_time) {
    return eproc_wait(in_manual, c_timeout, in_wait_time);
}

vimra_err_t class_event::eproc_wait(bool in_manual, enum_wait_type in_wait_type, double in_wait_time) {
    struct_event_object* p = mp_evt_obj;
    if (!p) return c_vimra_not_created;
    if (lock_record(p) != 0) return c_vimra_unknown;

    vimra_err_t r = c_vimra_success;
    if (p->canceled) {
        r = c_vimra_canceled;
    } else if (!p->set && in_wait_type == c_try) {
        r = c_vimra_timeout;
    } else if (!p->set) {
        timespec deadline{};
        if (in_wait_type == c_timeout) {
            clock_gettime(CLOCK_REALTIME, &deadline);
            long long ns = deadline.tv_nsec + static_cast<long long>(get_nano_second_part(in_wait_time));
            deadline.tv_sec += static_cast<time_t>(get_second_part(in_wait_time)) + ns / 1000000000;
            deadline.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        u_int32_t seen = p->generation;
        // Only a set, a pulse, a cancel or the deadline ends the wait; other wakes sleep again.
        for (;;) {
            int e = in_wait_type == c_wait ? pthread_cond_wait(&p->cond, &p->mutex)
                                           : pthread_cond_timedwait(&p->cond, &p->mutex, &deadline);
            if (e == EOWNERDEAD) pthread_mutex_consistent(&p->mutex);
            if (p->canceled) {
                r = c_vimra_canceled;
                break;
            }
            if (e == ETIMEDOUT) {
                r = c_vimra_timeout;
                break;
            }
            if (e != 0 && e != EOWNERDEAD) {
                Utility::print_error(in_wait_type == c_wait ? "pthread_cond_wait" : "pthread_cond_timedwait");
                r = c_vimra_unknown;
                break;
            }
            if (p->set) break;
            if (p->generation != seen) {
                if (p->manual) break;
                if (p->pulse_pending) {  // an automatic pulse releases one waiter
                    p->pulse_pending = 0;
                    break;
                }
                seen = p->generation;
            }
        }
    }
    if (r == c_vimra_success && !in_manual) p->set = false;
    unlock_record(p);
    return r;
}

}  // namespace OS
}  // namespace Pimo
