#include "Kova/General_Service/Center_Manager/class_center_loader.h"

#include <string>

#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/String/kova_string.h"
#include "Kova/General_Service/Global/kova_service_global.h"
#include "Pimo/Memory/class_handle_ledger.h"
#include "Pimo/Utility/pimo_excute.h"
#include "Pimo/Utility/pimo_module_path.h"

namespace Kova {
namespace General_Service {
namespace Center_Manager {

using General_Common::IPC::struct_service_token;
using Global::g_service_ipc;

namespace {
// The reset order names this place, whatever the file is called on disk.
constexpr const char* c_reset_source = "src/Kova/General_Service/Center_Manager/class_center_loader";
constexpr int c_reset_line = 148;
}  // namespace

class_center_loader::class_center_loader(Global::class_reset_gate* pin_gate) : mp_gate(pin_gate) {
    g_service_ipc.eproc_create(General_Common::IPC::class_service_ipc::c_depth);
    m_service_thread.eproc_create(&class_center_loader::thread_service_entry, this);
}

class_center_loader::~class_center_loader() {
    g_service_ipc.proc_shutdown();
    if (m_service_thread.is_created()) m_service_thread.proc_wait_exit();
    m_center_map.clear();
    g_service_ipc.proc_destroy();
}

void* class_center_loader::thread_service_entry(Pimo::OS::class_thread* pin_thread) {
    return static_cast<class_center_loader*>(pin_thread->get_thread_param())->thread_service();
}

void* class_center_loader::thread_service() {
    struct_service_token token;
    for (;;) {
        const Pimo::OS::vimra_err_t r = g_service_ipc.eproc_receive(reinterpret_cast<Pimo::byte_t*>(&token));
        if (r != Pimo::OS::c_vimra_success) break;  // shut down (or a channel that never came up)
        switch (token.msg) {
        case struct_service_token::c_msg_start_center: proc_start_center(token.domain); break;
        case struct_service_token::c_msg_center_up: proc_watch_center(token.domain); break;
        default: proc_forget_center(token.domain); break;
        }
    }
    return nullptr;
}

void class_center_loader::proc_start_center(domain_t in_domain) {
    const std::string directory = Pimo::Utility::get_module_directory();
    // Without our own directory there is no center to start: never run a bare name from PATH.
    if (directory.empty()) return;
    if (mp_gate) mp_gate->proc_note_activity();
    Pimo::OS::excute(directory + Common::String::str_kova_general_center_filename, std::to_string(in_domain));
}

void class_center_loader::proc_watch_center(domain_t in_domain) {
    if (m_center_map.count(in_domain)) return;
    if (mp_gate) mp_gate->proc_note_activity();
    // Never opened, a watcher that fails has nothing to close.
    std::unique_ptr<IPC::class_center_ipc> watcher(new IPC::class_center_ipc(&g_service_ipc));
    if (watcher->eproc_open(in_domain) != Pimo::OS::c_vimra_success) return;
    m_center_map[in_domain] = watcher_ptr_t(watcher.release());
}

void class_center_loader::proc_release_center_leftovers(IPC::class_center_ipc& in_pipe) {
    // No later push is taken: its sender keeps the token (and ends soon after, its center
    // gone). No new center can have made the pipe again while this watcher holds it.
    in_pipe.proc_shutdown();
    Pimo::Memory::class_dynamic_shared_memory_pool& pool = Global::g_kova_memory.get_pool();
    struct_token token;
    while (in_pipe.eproc_pop(reinterpret_cast<Pimo::byte_t*>(&token)) == Pimo::OS::c_vimra_success) {
        if (token.header_mm != 0) pool.proc_free_if_allocated(token.header_mm);
        if (token.data_mm != 0) pool.proc_free_if_allocated(token.data_mm);
    }
    Pimo::Memory::class_handle_ledger::proc_release_dead(pool);
}

void class_center_loader::proc_forget_center(domain_t in_domain) {
    auto it = m_center_map.find(in_domain);
    if (it != m_center_map.end()) {
        proc_release_center_leftovers(*it->second);
        m_center_map.erase(it);
    }
    if (!m_center_map.empty()) return;
    // The epoch rides after the text's end: the row still reads "reset", and the log thread
    // resets only if no center was started or watched since.
    const Pimo::u_int32_t epoch = mp_gate ? mp_gate->get_epoch() : 0;
    Common::Global::kova_debug_send('Z', struct_token(), c_reset_source, c_reset_line, "reset%c%u", '\0', epoch);
}

}  // namespace Center_Manager
}  // namespace General_Service
}  // namespace Kova
