// Builds the SDK's runtime of a process in a fixed order and tears it down in reverse.
#pragma once

#include <atomic>

#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "Kova/General_Common/IPC/class_process_listen_ipc.h"
#include "Kova/General_Common/IPC/class_process_return_ipc.h"
#include "Kova/General_SDK/Center_Manager/class_center_manager.h"
#include "Kova/General_SDK/Memory_Manager/class_sdk_memory.h"
#include "Kova/General_SDK/Object_Manager/class_object_manager.h"
#include "Pimo/Memory/class_handle_ledger.h"

namespace Kova {
namespace SDK {
namespace Loader {

class class_loader {
public:
    // Returns once the SDK is up; waits for the service, ends the process without packet memory.
    // A set pin_abort ends the waits early, with the SDK not started (is_started false);
    // the destructor takes down what was built.
    class_loader(unsigned int in_thread_count, unsigned int in_call_buffer_count, unsigned int in_udp_buffer_count,
                 const std::atomic<bool>* pin_abort = nullptr);
    ~class_loader();
    class_loader(const class_loader&) = delete;
    class_loader& operator=(const class_loader&) = delete;

    // How long creating this process's pipes is retried (a center may still hold
    // the pipes of a finalisation just before).
    static constexpr double c_pipe_retry_s = 5.0;

    bool is_started() const { return m_started; }
    // The process ends right after (a death watch fired): gives back every block it holds
    // and every token its pipes hold, and keeps the packet memory held until the end.
    void proc_release_for_exit();

    Object_Manager::class_object_manager* p_object_manger;
    Memory_Manager::class_sdk_memory* p_sdk_memory;
    Center_Manager::class_center_manager* p_center_manger;
    General_Common::IPC::class_process_listen_ipc m_process_listen_ipc;
    General_Common::IPC::class_process_return_ipc m_process_return_ipc;
    General_Common::IPC::class_debug_ipc m_debug_ipc;
    // What this process holds, for the center that sees it die.
    Pimo::Memory::class_handle_ledger m_ledger;

private:
    bool m_started;
};

}  // namespace Loader
}  // namespace SDK

// Set while the SDK runs in this process.
extern std::atomic<SDK::Loader::class_loader*> gp_loader;

}  // namespace Kova
