#include "Kova/General_Center/IPC/class_process_return_center_ipc.h"

namespace Kova {
namespace General_Center {
namespace IPC {

Pimo::OS::vimra_err_t class_process_return_center_ipc::final_if_gone(Pimo::OS::vimra_err_t in_result) const {
    if (in_result != Pimo::OS::c_vimra_success && mp_listen != nullptr && mp_listen->is_gone())
        return Pimo::OS::c_vimra_shutdown;
    return in_result;
}

Pimo::OS::vimra_err_t class_process_return_center_ipc::eproc_push(const Pimo::byte_t* pin_elem, size_t in_min) {
    return final_if_gone(class_process_return_ipc::eproc_push(pin_elem, in_min));
}

Pimo::OS::vimra_err_t class_process_return_center_ipc::eproc_send(const Pimo::byte_t* pin_elem, size_t in_min) {
    return final_if_gone(class_process_return_ipc::eproc_send(pin_elem, in_min));
}

}  // namespace IPC
}  // namespace General_Center
}  // namespace Kova
