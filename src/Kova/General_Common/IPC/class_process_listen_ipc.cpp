#include "Kova/General_Common/IPC/class_process_listen_ipc.h"

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/General_Common/IPC/class_ledger_pipe_hook.h"

namespace Kova {
namespace General_Common {
namespace IPC {

const char* const class_process_listen_ipc::c_str_name = "kova_process_listen_ipc";

class_process_listen_ipc::class_process_listen_ipc() : m_process_id(0) {
    set_hook(class_ledger_pipe_hook::for_tokens());
}

std::string class_process_listen_ipc::get_name(Pimo::OS::process_id_t in_pid) {
    return std::string(c_str_name) + "_" + std::to_string(in_pid);
}

Pimo::OS::vimra_err_t class_process_listen_ipc::eproc_create(Pimo::OS::process_id_t in_pid,
                                                             Pimo::u_int32_t in_depth) {
    m_process_id = in_pid;
    return eproc_create_app(get_name(in_pid).c_str(), in_depth, sizeof(struct_token));
}

Pimo::OS::vimra_err_t class_process_listen_ipc::eproc_open(Pimo::OS::process_id_t in_pid) {
    m_process_id = in_pid;
    return eproc_open_app(get_name(in_pid).c_str(), in_pid, sizeof(struct_token));
}

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
