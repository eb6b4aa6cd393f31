#include "Pimo/Observer/class_observer.h"

#include <pthread.h>

#include <chrono>
#include <string>

namespace Pimo {
namespace Observer {

using namespace OS;

vimra_err_t class_observer::eproc_create(const char* in_name) {
    std::string n = std::string(in_name) + "observer";
    m_closing = false;
    m_using_observer = true;
    vimra_err_t r = m_mutex.eproc_create_global(n.c_str(), true);
    if (r != c_vimra_success) m_using_observer = false;
    return r;
}

vimra_err_t class_observer::eproc_open(const char* in_name) {
    std::string n = std::string(in_name) + "observer";
    vimra_err_t r = m_mutex.eproc_open_global(n.c_str());
    if (r != c_vimra_success) return r;
    m_closing = false;
    m_using_observer = true;
    r = class_thread::eproc_create(&class_observer::thread_destroy_observer, this);
    if (r != c_vimra_success) {
        m_using_observer = false;
        m_mutex.proc_close();
    }
    return r;
}

void* class_observer::thread_destroy_observer(class_thread* in_thread) {
    class_observer* self = static_cast<class_observer*>(in_thread);
    vimra_err_t r = c_vimra_timeout;
    {
        std::unique_lock<std::mutex> guard(self->m_state);
        while (!self->m_closing && self->m_using_observer.load()) {
            guard.unlock();
            r = self->m_mutex.eproc_wait_try();
            guard.lock();
            if (r != c_vimra_busy) break;
            r = c_vimra_timeout;
            // About once a second; a close wakes it at once instead of being waited out.
            self->m_wake.wait_for(guard, std::chrono::seconds(1),
                                  [self] { return self->m_closing || !self->m_using_observer.load(); });
        }
        if (self->m_closing || !self->m_using_observer.load()) {
            if (r == c_vimra_success) self->m_mutex.proc_release();
            return nullptr;
        }
        self->m_using_observer = false;
    }
    // Let the watchers of other processes take the lock in turn.
    if (r == c_vimra_success) self->m_mutex.proc_release();
    return self->on_destroy();
}

void class_observer::proc_destroy() {
    m_using_observer = false;
    m_mutex.proc_release();
    m_mutex.proc_destroy();
}

void class_observer::proc_close() {
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_closing = true;
        m_using_observer = false;
    }
    m_wake.notify_all();
    if (is_created()) {
        if (pthread_equal(get_thread_id(), pthread_self())) {
            // Closed from on_destroy itself: the thread cannot join itself, so it ends detached.
            pthread_detach(get_thread_id());
            mp_proc = nullptr;
        } else {
            proc_wait_exit();  // also joins a watcher that has already fired
        }
    }
    m_mutex.proc_close();
}

}  // namespace Observer
}  // namespace Pimo
