#include "Kova/Common/Global/kova_send.h"

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Open/Kova/kova_err.h"

namespace Kova {
namespace Common {
namespace Global {

kova_err_t send_kova_center(struct_token& in_token) {
    Interface::interface_kova_pipe* pipe = gp_center_pipe;
    if (pipe == nullptr) return c_kova_err_center_shutdown;
    switch (pipe->eproc_send(reinterpret_cast<const Pimo::byte_t*>(&in_token), 0)) {
    case Pimo::OS::c_vimra_success: return c_kova_success;
    case Pimo::OS::c_vimra_shutdown: return c_kova_err_center_shutdown;
    case Pimo::OS::c_vimra_busy: return c_kova_err_center_busy;
    default: return c_kova_err_unknown;
    }
}

}  // namespace Global
}  // namespace Common
}  // namespace Kova
