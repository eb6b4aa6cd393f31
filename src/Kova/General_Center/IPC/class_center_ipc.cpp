#include "Kova/General_Center/IPC/class_center_ipc.h"

#include "Kova/Common/Global/kova_global.h"

namespace Kova {
namespace General_Center {
namespace IPC {

using Kova::Common::Global::gp_center_pipe;

class_center_ipc::class_center_ipc(domain_t in_domain, Pimo::u_int32_t in_depth) {
    if (eproc_create(in_domain, in_depth) == Pimo::OS::c_vimra_success)
        gp_center_pipe = this;
    else
        gp_center_pipe = nullptr;
}

class_center_ipc::~class_center_ipc() {
    if (gp_center_pipe != nullptr) {
        gp_center_pipe = nullptr;
        proc_destroy();
    }
}

}  // namespace IPC
}  // namespace General_Center
}  // namespace Kova
