#include "Kova/General_Center/IPC/class_process_listen_center_ipc.h"

#include <cfloat>
#include <cstdint>
#include <cstring>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/Memory/class_handle_ledger.h"

namespace Kova {
namespace General_Center {
namespace IPC {

using namespace Kova::Common::Interface;

void* class_process_listen_center_ipc::on_destroy() {
    // What the application held goes back; its pipes are the center thread's to drain.
    if (Pimo::Memory::class_handle_ledger* ledger = Kova::Common::Global::gp_ledger) ledger->proc_release_dead();
    struct_token token;
    proc_alloc_header_force(token, __FILE__, __LINE__);
    proc_alloc_data_force(token.data_mm, 8, __FILE__, __LINE__);
    struct_packet* pkt = get_header(token);
    std::memset(static_cast<void*>(pkt), 0, sizeof(*pkt));
    pkt->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    pkt->initialize_header(4, 0, c_mt_ctrl, c_mccr_process_destroy, c_kova_err_none);
    pkt->set_source(c_local_host, m_domain, 0);
    pkt->set_destination(c_broadcast_ip, m_domain, c_broadcast_proxy_id);
    const std::int32_t pid = m_process_id;
    std::memcpy(get_data(token), &pid, sizeof(pid));

    for (;;) {
        // Read each time: the center pipe may already be gone at tear-down.
        Kova::Common::Interface::interface_kova_pipe* center = Kova::Common::Global::gp_center_pipe;
        const Pimo::OS::vimra_err_t r =
            center ? center->eproc_send(reinterpret_cast<const Pimo::byte_t*>(&token), 0) : Pimo::OS::c_vimra_shutdown;
        if (r == Pimo::OS::c_vimra_success) return nullptr;
        if (r != Pimo::OS::c_vimra_busy) break;
        Pimo::OS::thread_yield();
    }
    safe_free_token(token, __FILE__, __LINE__);
    return nullptr;
}

}  // namespace IPC
}  // namespace General_Center
}  // namespace Kova
