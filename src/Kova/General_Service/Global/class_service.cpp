#include "Kova/General_Service/Global/class_service.h"

#include <memory>

#include "Kova/General_Service/Center_Manager/class_center_loader.h"
#include "Kova/General_Service/Global/class_packet_log.h"
#include "Kova/General_Service/Global/kova_service_global.h"
#include "Pimo/Memory/class_handle_ledger.h"
#include "Pimo/OS/Linux/vimra_time.h"
#include "Pimo/Utility/pimo_module_path.h"

namespace Kova {
namespace General_Service {

class_service g_service;

void class_service::memory_service(Pimo::u_int32_t in_size) {
    m_size = in_size;
    if (Global::g_kova_memory.eproc_create(m_size) != Pimo::OS::c_vimra_success) return;
    // What the processes of the memory's former life recorded names nothing any more.
    Pimo::Memory::class_handle_ledger::proc_drop_dead(Global::g_kova_memory.get_pool());

    // Read once for the whole life of the service. Rows of 'A' and 'F' records are made only in
    // the rotating log: without it, senders are told not to send them.
    m_log_settings = Global::struct_log_settings::read(Global::c_str_ini_path);
    using General_Common::IPC::class_debug_ipc;
    m_debug_ipc.eproc_create(class_debug_ipc::c_depth, class_debug_ipc::str_name, m_log_settings.log);
    m_debug_thread.eproc_create(&class_service::thread_debug_entry, this);
    const bool have_end_event = m_end_event.eproc_create(false) == Pimo::OS::c_vimra_success;
    std::unique_ptr<Center_Manager::class_center_loader> loader(
        new Center_Manager::class_center_loader(&m_reset_gate));

    // Only end_service ends the wait: a wake-up without it is not an order to stop.
    while (have_end_event && !m_end_requested.load()) {
        if (m_end_event.eproc_wait() != Pimo::OS::c_vimra_success) Pimo::OS::msleep(100);
    }

    // The loader and its watchers go first: they use the channels and the memory.
    loader.reset();
    if (have_end_event) m_end_event.proc_close();
    m_debug_ipc.proc_shutdown();
    if (m_debug_thread.is_created()) m_debug_thread.proc_wait_exit();
    m_debug_ipc.proc_destroy();
    Global::g_kova_memory.proc_destroy();
}

void* class_service::thread_debug_entry(Pimo::OS::class_thread* pin_thread) {
    return static_cast<class_service*>(pin_thread->get_thread_param())->thread_debug();
}

void* class_service::thread_debug() {
    Global::class_packet_log log(&Global::g_kova_memory, &m_reset_gate, Pimo::OS::get_process_id(),
                                 Global::c_str_log_directory, m_log_settings);
    log.set_mark_channel(&m_debug_ipc);
    log.proc_open();
    log.run(m_debug_ipc);
    return nullptr;
}

void class_service::end_service() {
    m_end_requested = true;
    m_end_event.proc_set();
}

void class_service::proc_stop() { Global::g_kova_memory.proc_stop(); }
void class_service::proc_continue() { Global::g_kova_memory.proc_continue(); }

int main(int, char*[]) {
    const char* directory = Pimo::Utility::get_module_directory();
    if (directory[0] != 0) Pimo::Utility::set_current_directory(directory);
    g_service.memory_service(Global::get_memory_size(Global::c_str_ini_path));
    return 0;
}

}  // namespace General_Service
}  // namespace Kova
