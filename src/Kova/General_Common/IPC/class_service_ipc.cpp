#include "Kova/General_Common/IPC/class_service_ipc.h"

#include "Kova/General_Common/IPC/struct_service_token.h"

namespace Kova {
namespace General_Common {
namespace IPC {

const char* const class_service_ipc::str_name = "kova_service_ipc";

Pimo::OS::vimra_err_t class_service_ipc::eproc_create(Pimo::u_int32_t in_depth, const char* in_name) {
    return class_shared_pipe::eproc_create(in_name, in_depth, sizeof(struct_service_token));
}

Pimo::OS::vimra_err_t class_service_ipc::eproc_open(const char* in_name) {
    return class_shared_pipe::eproc_open(in_name, sizeof(struct_service_token));
}

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
