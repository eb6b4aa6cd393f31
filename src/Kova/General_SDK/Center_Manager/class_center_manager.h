// Hands out the center pipe of a domain, opening it on first use and, when the
// domain has no running center, asking the service for one and waiting for it.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include "Kova/General_Common/IPC/class_service_ipc.h"
#include "Kova/General_SDK/IPC/class_center_ipc.h"
#include "Kova/SDK/Interface/interface_center_manager.h"
#include "Pimo/IPC/interface_room_hook.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Kova {
namespace SDK {
namespace Center_Manager {

class class_center_manager : public Interface::interface_center_manager, public Pimo::IPC::interface_room_hook {
public:
    // Waits without end, in 100 ms steps, for the service channel; a set pin_abort ends
    // the wait, leaving the manager closed.
    explicit class_center_manager(const char* in_service_name = General_Common::IPC::class_service_ipc::str_name,
                                  const std::atomic<bool>* pin_abort = nullptr);
    ~class_center_manager() override;

    // The service channel is open and the manager is published.
    bool is_open() const { return Interface::gp_center_manager.load() == this; }

    Pimo::IPC::interface_pipe* get_center_pipe(domain_t in_domain) override;
    Pimo::IPC::interface_pipe* find_center_pipe(domain_t in_domain) override;
    // A full center pipe is skipped: a center that busy tries its backlogs after each packet.
    void proc_wake_centers() override;
    // The process's own pipes call it when they have drained to half.
    void on_room() override { proc_wake_centers(); }

    // How long a missing center is waited for.
    static constexpr double c_center_wait_s = 5.0;
    // While none runs, how often the start of a center is asked for again (the service's
    // watch period).
    static constexpr double c_center_repost_s = 1.0;

private:
    // Asks the service, once, to start the domain's center.
    void proc_post_start(domain_t in_domain);
    // True while a center of the domain lives (it holds the domain's stop event).
    static bool is_center_running(domain_t in_domain);

    Pimo::OS::class_thread_lock m_mutex_01;
    std::map<domain_t, IPC::class_center_ipc*> m_center_ipc_map;
    General_Common::IPC::class_service_ipc m_service_ipc;
};

// Every domain this process ever asked a center pipe for; its own lock, since
// wait_clean_domain reads it from any thread.
extern std::set<domain_t> g_total_domain;
extern std::mutex g_total_domain_mutex;
std::set<domain_t> get_total_domain();

}  // namespace Center_Manager
}  // namespace SDK
}  // namespace Kova
