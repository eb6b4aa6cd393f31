// The daemon: creates the host's packet memory and channels, runs the log thread and the
// loader, and waits until it is told to end (which nothing in the system does).
#pragma once

#include <atomic>

#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "Kova/General_Service/Global/class_packet_log.h"
#include "Kova/General_Service/Global/class_reset_gate.h"
#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/class_thread.h"
#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Kova {
namespace General_Service {

class class_service {
public:
    class_service() : m_size(0), m_log_settings(), m_end_requested(false) {}

    // Creates everything, waits for the end, and tears down; returns at once when the packet
    // memory cannot be created (another service holds it).
    void memory_service(Pimo::u_int32_t in_size);
    // The log thread's body; 0 once the debug channel is shut down.
    void* thread_debug();
    void end_service();
    // Freeze and release every allocation on the host.
    void proc_stop();
    void proc_continue();

private:
    static void* thread_debug_entry(Pimo::OS::class_thread* pin_thread);

    Pimo::u_int32_t m_size;
    Pimo::OS::class_event m_end_event;
    // Building it makes it the process's debug pipe: the loader's reset order goes to our own log.
    General_Common::IPC::class_debug_ipc m_debug_ipc;
    Pimo::OS::class_thread m_debug_thread;
    Global::struct_log_settings m_log_settings;  // read at start, before the channel is made
    Global::class_reset_gate m_reset_gate;
    std::atomic<bool> m_end_requested;
};

extern class_service g_service;

// Start-up from the executable's own directory; always 0.
int main(int argc, char* argv[]);

}  // namespace General_Service
}  // namespace Kova
