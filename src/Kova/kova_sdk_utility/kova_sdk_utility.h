// Small helpers of the SDK's free functions.
#pragma once

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {

// The calling thread's last error; stubs set it before on_shutdown callbacks.
extern thread_local kova_err_t g_last_error;

namespace SDK {

// True while the domain's center pipe exists (its lock can be opened).
bool is_running_center_logic(domain_t in_domain);

}  // namespace SDK
}  // namespace Kova
