#include "Kova/General_Common/IPC/class_debug_ipc.h"

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/General_Common/IPC/class_ledger_pipe_hook.h"

namespace Kova {
namespace General_Common {
namespace IPC {

const char* const class_debug_ipc::str_name = "kova_debug_ipc";

class_debug_ipc::class_debug_ipc() {
    Common::Global::gp_debug_ipc = this;
    set_hook(class_ledger_pipe_hook::for_trace_records());
}

class_debug_ipc::~class_debug_ipc() {
    if (Common::Global::gp_debug_ipc == this) Common::Global::gp_debug_ipc = nullptr;
}

Pimo::OS::vimra_err_t class_debug_ipc::eproc_create(Pimo::u_int32_t in_depth, const char* in_name) {
    return class_shared_pipe::eproc_create(in_name, in_depth, sizeof(struct_debug_token));
}

Pimo::OS::vimra_err_t class_debug_ipc::eproc_open(const char* in_name) {
    return class_shared_pipe::eproc_open(in_name, sizeof(struct_debug_token));
}

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
