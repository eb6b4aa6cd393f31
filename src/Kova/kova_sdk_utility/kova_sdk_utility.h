// Small helpers of the SDK's free functions.
#pragma once

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {

// The calling thread's last error; stubs set it before on_shutdown callbacks.
extern thread_local kova_err_t g_last_error;

namespace SDK {

// True while the domain's center pipe exists (its lock can be opened).
bool is_running_center_logic(domain_t in_domain);

// c_kova_success when the processor, the registry and the center manager all exist;
// c_kova_err_not_initailize during start-up, shut-down or when not running, so that a
// public operation reports instead of reaching a manager that is not there.
kova_err_t eproc_test_running();

// Installs Kova::sig_finalizer for SIGINT, SIGILL, SIGFPE, SIGSEGV, SIGTERM and SIGABRT, in that order.
void proc_install_sig_finalizer();

}  // namespace SDK
}  // namespace Kova
