#include "Kova/General_SDK/Loader/class_finalizer.h"

#include <pthread.h>

#include <cerrno>

namespace Kova {
namespace SDK {
namespace Loader {

class_finalizer::class_finalizer(finalize_t in_finalize)
    : mp_finalize(in_finalize), m_requested(false), m_signal(0), m_stop(false) {
    sem_init(&m_wake, 0, 0);
}

Pimo::OS::vimra_err_t class_finalizer::eproc_start() {
    proc_stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
    }
    m_requested = false;
    m_signal = 0;
    while (sem_trywait(&m_wake) == 0) {
    }
    return eproc_create(thread_finalizer, this);
}

void class_finalizer::proc_request(int in_signal) {
    if (in_signal != 0) m_signal = in_signal;
    if (!m_requested.exchange(true)) sem_post(&m_wake);
}

void class_finalizer::proc_stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!is_created() || pthread_equal(get_thread_id(), pthread_self())) return;
        m_stop = true;
    }
    sem_post(&m_wake);
    proc_wait_exit();
}

void* class_finalizer::thread_finalizer(Pimo::OS::class_thread* pin_thread) {
    class_finalizer* self = static_cast<class_finalizer*>(pin_thread);
    for (;;) {
        while (sem_wait(&self->m_wake) != 0 && errno == EINTR) {
        }
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            if (self->m_stop) return nullptr;
        }
        if (!self->m_requested.exchange(false)) continue;
        self->mp_finalize(self->m_signal.exchange(0));
        // The SDK this thread served is gone: end, detached unless proc_stop joins.
        std::lock_guard<std::mutex> lock(self->m_mutex);
        if (!self->m_stop) {
            pthread_detach(pthread_self());
            self->mp_proc = nullptr;
        }
        return nullptr;
    }
}

}  // namespace Loader
}  // namespace SDK
}  // namespace Kova
