#include "Kova/General_Common/IPC/abstract_center_ipc.h"

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/General_Common/IPC/class_ledger_pipe_hook.h"

namespace Kova {
namespace General_Common {
namespace IPC {

const char* const abstract_center_ipc::str_name = "kova_center_ipc";

abstract_center_ipc::abstract_center_ipc() : domain(0) {
    set_hook(class_ledger_pipe_hook::for_tokens());
    // Its senders (applications, the center's network threads) wait for room when it is full.
    proc_want_room();
}

std::string abstract_center_ipc::get_name(domain_t in_domain) { return str_name + std::to_string(in_domain); }

Pimo::OS::vimra_err_t abstract_center_ipc::eproc_create(domain_t in_domain, Pimo::u_int32_t in_depth) {
    domain = in_domain;
    return class_shared_observer_pipe::eproc_create(get_name(in_domain).c_str(), in_depth, sizeof(struct_token));
}

Pimo::OS::vimra_err_t abstract_center_ipc::eproc_open(domain_t in_domain) {
    domain = in_domain;
    return class_shared_observer_pipe::eproc_open(get_name(in_domain).c_str(), sizeof(struct_token));
}

Pimo::OS::vimra_err_t abstract_center_ipc::eproc_open_serving(domain_t in_domain) {
    domain = in_domain;
    return class_shared_observer_pipe::eproc_open_serving(get_name(in_domain).c_str(), sizeof(struct_token));
}

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
