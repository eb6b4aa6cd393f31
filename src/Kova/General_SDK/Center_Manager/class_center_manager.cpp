#include "Kova/General_SDK/Center_Manager/class_center_manager.h"

#include <memory>

#include "Kova/Common/Interface/struct_token.h"

#include "Kova/General_Common/IPC/kova_named_objects.h"
#include "Kova/General_Common/IPC/struct_service_token.h"
#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace SDK {
namespace Center_Manager {

std::set<domain_t> g_total_domain;
std::mutex g_total_domain_mutex;

std::set<domain_t> get_total_domain() {
    std::lock_guard<std::mutex> lock(g_total_domain_mutex);
    return g_total_domain;
}

class_center_manager::class_center_manager(const char* in_service_name, const std::atomic<bool>* pin_abort) {
    while (m_service_ipc.eproc_open(in_service_name) != Pimo::OS::c_vimra_success) {
        if (pin_abort && pin_abort->load()) return;
        Pimo::OS::msleep(100);
    }
    Interface::gp_center_manager = this;
}

class_center_manager::~class_center_manager() {
    Interface::gp_center_manager = nullptr;
    {
        Pimo::OS::class_locker lock(m_mutex_01);
        for (auto& entry : m_center_ipc_map) {
            if (entry.second == nullptr) continue;
            entry.second->proc_close();
            delete entry.second;
            entry.second = nullptr;
        }
    }
    m_service_ipc.proc_close();
}

Pimo::IPC::interface_pipe* class_center_manager::get_center_pipe(domain_t in_domain) {
    {
        std::lock_guard<std::mutex> lock(g_total_domain_mutex);
        g_total_domain.insert(in_domain);
    }
    Pimo::OS::class_locker lock(m_mutex_01);
    IPC::class_center_ipc*& entry = m_center_ipc_map[in_domain];
    if (entry != nullptr) return entry;

    std::unique_ptr<IPC::class_center_ipc> pipe(new IPC::class_center_ipc);
    if (pipe->eproc_open_serving(in_domain) != Pimo::OS::c_vimra_success) {
        proc_post_start(in_domain);
        // A center that is still ending holds the domain, and so does the service's watch of
        // one that has ended until the watch sees it (once a second): the center just asked
        // for fails to start beside either. So the request goes again each time a center is
        // seen to end, and once a watch period has passed without a center.
        bool previous = is_center_running(in_domain);
        double posted_s = 0;
        Pimo::OS::vimra_update_cpu_hz();
        const Pimo::OS::vimra_clock_t start = Pimo::OS::vimra_cpu_clock();
        bool opened = false;
        for (;;) {
            if (pipe->eproc_open_serving(in_domain) == Pimo::OS::c_vimra_success) {
                opened = true;
                break;
            }
            const double hz = static_cast<double>(Pimo::OS::vimra_cpu_hz());
            const double waited_s = hz > 0 ? static_cast<double>(Pimo::OS::vimra_cpu_clock() - start) / hz : 0;
            if (waited_s > c_center_wait_s) break;
            const bool running = is_center_running(in_domain);
            if (!running && (previous || waited_s - posted_s >= c_center_repost_s)) {
                proc_post_start(in_domain);
                posted_s = waited_s;
            }
            previous = running;
            // A short sleep instead of a spin: the center is found within a millisecond.
            Pimo::OS::msleep(1);
        }
        if (!opened) return nullptr;
    }
    entry = pipe.release();
    return entry;
}

Pimo::IPC::interface_pipe* class_center_manager::find_center_pipe(domain_t in_domain) {
    Pimo::OS::class_locker lock(m_mutex_01);
    const auto entry = m_center_ipc_map.find(in_domain);
    return entry == m_center_ipc_map.end() ? nullptr : entry->second;
}

void class_center_manager::proc_wake_centers() {
    const struct_token wake;
    Pimo::OS::class_locker lock(m_mutex_01);
    for (auto& entry : m_center_ipc_map)
        if (entry.second != nullptr) entry.second->eproc_send(reinterpret_cast<const Pimo::byte_t*>(&wake), 0);
}

void class_center_manager::proc_post_start(domain_t in_domain) {
    General_Common::IPC::struct_service_token request{in_domain,
                                                      General_Common::IPC::struct_service_token::c_msg_start_center};
    m_service_ipc.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&request), 0);
}

bool class_center_manager::is_center_running(domain_t in_domain) {
    return Pimo::OS::class_event::is_held_global(General_Common::IPC::get_center_killer_name(in_domain));
}

}  // namespace Center_Manager
}  // namespace SDK
}  // namespace Kova
