// Sending into the host channels of the calling process: trace records to the
// service's log and tokens into the center pipe.
#pragma once

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace Common {
namespace Global {

// Puts the token into gp_center_pipe (whole capacity); on failure the caller still owns it.
// 0; c_kova_err_center_shutdown when the pipe is shut down, its center gone or there is no
// center pipe; c_kova_err_center_busy when full; c_kova_err_unknown otherwise.
kova_err_t send_kova_center(struct_token& in_token);

}  // namespace Global
}  // namespace Common
}  // namespace Kova
