// Owns one domain's relay: the registry, the network relay, the center pipe and the
// center thread that takes one token at a time from the pipe and routes it.
#pragma once
#include "Kova/Center/Center_Relay/class_center_relay.h"
#include "Kova/General_Center/Center_Relay/class_center_network.h"
#include "Kova/General_Center/IPC/class_center_ipc.h"
#include "Kova/General_Center/Object_Manager/class_object_manager.h"
#include "Pimo/OS/Linux/class_thread.h"

namespace Kova {
namespace General_Center {
namespace Center_Relay {

class class_center_relay_control {
public:
    Kova::Center::Center_Relay::class_center_relay center_relay;
    Pimo::OS::class_thread center_thread;
    IPC::class_center_ipc* p_center_ipc;
    domain_t m_domain;
    Object_Manager::class_object_manager m_object_manager;

    // Starts the relay; never throws. Success shows in is_init().
    explicit class_center_relay_control(domain_t in_domain);
    ~class_center_relay_control();
    class_center_relay_control(const class_center_relay_control&) = delete;
    class_center_relay_control& operator=(const class_center_relay_control&) = delete;

    bool is_init() const { return p_center_ipc != nullptr; }

    static void* thread_center(Pimo::OS::class_thread* pin_thread);
    void* thread_center();
    // One step of the center thread: 0 to go on, 5 to end.
    int eproc_relay_from_kova_to_kova();
    // The idle check: true when the center is to stop.
    bool center_kill_control();

private:
    void proc_end_start();

    class_center_network m_network;
    bool m_network_up;
    // The tokens one step takes from the center pipe at once, under one hold of its lock.
    static constexpr std::size_t c_batch = 16;
    struct_token m_batch[c_batch];
};

}  // namespace Center_Relay
}  // namespace General_Center
}  // namespace Kova
