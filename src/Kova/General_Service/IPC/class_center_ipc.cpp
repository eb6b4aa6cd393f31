#include "Kova/General_Service/IPC/class_center_ipc.h"

#include "Kova/General_Common/IPC/struct_service_token.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace General_Service {
namespace IPC {

using General_Common::IPC::struct_service_token;

void class_center_ipc::proc_close() {
    m_closing = true;
    abstract_center_ipc::proc_close();
}

void* class_center_ipc::on_destroy() {
    struct_service_token token;
    token.domain = domain;
    token.msg = struct_service_token::c_msg_center_gone;
    // The service channel has no "room again" signal; its 16 places drain within milliseconds.
    while (mp_service_ipc->eproc_send(reinterpret_cast<const Pimo::byte_t*>(&token), 0) == Pimo::OS::c_vimra_busy &&
           !m_closing.load())
        Pimo::OS::msleep(10);
    return nullptr;
}

}  // namespace IPC
}  // namespace General_Service
}  // namespace Kova
