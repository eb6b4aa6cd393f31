// The loader: starts a center per domain on request, watches the centers that report up,
// forgets a center when it has gone and orders the reset of the packet memory when no
// watched center is left.
#pragma once

#include <map>
#include <memory>

#include "Kova/General_Common/IPC/struct_service_token.h"
#include "Kova/General_Service/Global/class_reset_gate.h"
#include "Kova/General_Service/IPC/class_center_ipc.h"
#include "Pimo/OS/Linux/class_thread.h"

namespace Kova {
namespace General_Service {
namespace Center_Manager {

class class_center_loader {
public:
    // A watcher is closed (a notice still being retried stopped, its thread joined) before it is
    // freed: its destructor releases nothing.
    struct struct_close_watcher {
        void operator()(IPC::class_center_ipc* pin_watcher) const {
            pin_watcher->proc_close();
            delete pin_watcher;
        }
    };
    typedef std::unique_ptr<IPC::class_center_ipc, struct_close_watcher> watcher_ptr_t;
    typedef std::map<unsigned long, watcher_ptr_t> center_map_t;

    // Creates the service channel (16 tokens) and starts the loader thread.
    explicit class_center_loader(Global::class_reset_gate* pin_gate);
    // Stops the loader thread and every watcher before the service channel goes.
    ~class_center_loader();
    class_center_loader(const class_center_loader&) = delete;
    class_center_loader& operator=(const class_center_loader&) = delete;

    // The loader loop; 0 once the service channel is shut down.
    void* thread_service();

private:
    static void* thread_service_entry(Pimo::OS::class_thread* pin_thread);
    void proc_start_center(domain_t in_domain);
    void proc_watch_center(domain_t in_domain);
    void proc_forget_center(domain_t in_domain);
    // A watched center has gone: what its pipe still holds and what it held itself (its
    // ledger, and those of any other dead process) go back to the packet memory.
    void proc_release_center_leftovers(IPC::class_center_ipc& in_pipe);

    center_map_t m_center_map;
    Global::class_reset_gate* mp_gate;
    Pimo::OS::class_thread m_service_thread;
};

}  // namespace Center_Manager
}  // namespace General_Service
}  // namespace Kova
