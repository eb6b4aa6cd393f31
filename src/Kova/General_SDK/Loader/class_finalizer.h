// Finalises the SDK on a thread of its own for a caller that cannot do it itself: a
// callback, a thread inside a public call or an SDK wait, or a signal handler that landed
// on such a thread. The real finalize then runs once that caller has let go of the SDK.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <mutex>

#include "Pimo/OS/Linux/class_thread.h"

namespace Kova {
namespace SDK {
namespace Loader {

class class_finalizer : private Pimo::OS::class_thread {
public:
    // Runs the real finalize; in_signal is the signal that asked for it, or 0.
    typedef void (*finalize_t)(int in_signal);

    explicit class_finalizer(finalize_t in_finalize);
    // Releases nothing: the process's single instance may still have its thread at exit.
    ~class_finalizer() {}
    class_finalizer(const class_finalizer&) = delete;
    class_finalizer& operator=(const class_finalizer&) = delete;

    // At initialize: joins a predecessor, forgets earlier requests and starts the thread.
    Pimo::OS::vimra_err_t eproc_start();
    // Asks for one finalize. Safe in a signal handler.
    void proc_request(int in_signal);
    // Ends the thread and joins it. On the thread itself, which ends by itself after its
    // finalize, nothing.
    void proc_stop();

private:
    static void* thread_finalizer(Pimo::OS::class_thread* pin_thread);

    finalize_t mp_finalize;
    sem_t m_wake;
    std::atomic<bool> m_requested;
    std::atomic<int> m_signal;
    // Decides between the thread ending detached and proc_stop joining it: exactly one wins.
    std::mutex m_mutex;
    bool m_stop;
};

}  // namespace Loader
}  // namespace SDK
}  // namespace Kova
