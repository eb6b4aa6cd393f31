// Lets a process learn that the creator of a named object has gone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "Pimo/OS/Linux/class_process_lock.h"
#include "Pimo/OS/Linux/class_thread.h"

namespace Pimo {
namespace Observer {

class class_observer : private OS::class_thread {
public:
    class_observer() : m_using_observer(false), m_closing(false) {}
    virtual ~class_observer() {}

    // Creator side: holds "Global\" + name + "observer" for its life.
    OS::vimra_err_t eproc_create(const char* in_name);
    // User side: opens the lock and starts the watcher.
    OS::vimra_err_t eproc_open(const char* in_name);
    void proc_destroy();
    void proc_close();
    bool is_live() const { return m_using_observer.load(); }

    // Runs once on the watcher thread when the creator has gone.
    virtual void* on_destroy() { return nullptr; }

private:
    static void* thread_destroy_observer(OS::class_thread* in_thread);

    OS::class_process_lock m_mutex;
    std::atomic<bool> m_using_observer;
    // Decides between the watcher firing and proc_close closing: exactly one wins.
    std::mutex m_state;
    bool m_closing;
    // Wakes the watcher between its tries when it is closed.
    std::condition_variable m_wake;
};

}  // namespace Observer
}  // namespace Pimo
