// The SDK's free functions: start and stop in this process, message delivery and
// its order, and small queries.
#pragma once

#include "kova_api.h"
#include "kova_message_address.h"
#include "kova_typedef.h"

namespace Kova {

typedef void (*sigfunc_t)(int in_signal);

// Application hooks run by the SDK's signal handler before it finalises.
extern KOVA_API sigfunc_t sigint_func_;  // SIGINT
extern KOVA_API sigfunc_t sigill_func_;  // SIGILL
extern KOVA_API sigfunc_t sigabt_func_;  // SIGABRT
extern KOVA_API sigfunc_t sigfpe_func_;  // SIGFPE
extern KOVA_API sigfunc_t sigseg_func_;  // SIGSEGV
extern KOVA_API sigfunc_t sigter_func_;  // SIGTERM
extern KOVA_API sigfunc_t sigbrk_func_;  // never called

// Starts the SDK with 8 listener threads.
KOVA_API void initialize();
// The two buffer counts are accepted and not used. A call while running only
// reinstalls the signal handler.
KOVA_API void initialize(const unsigned int& in_thread_count, const unsigned int& in_call_buffer_count,
                         const unsigned int& in_udp_buffer_count);
// Stops the SDK if it runs; safe to call more than once.
KOVA_API void finalize();
KOVA_API void sig_finalizer(int in_signal);

// Delivers one packet on the calling thread; false once the SDK is shut down or not running.
KOVA_API bool dispatch_message();
KOVA_API bool dispatch_message(const double& in_seconds);

// Delivery order per message address: at once, in arrival order alone, or in
// arrival order shared with another address. c_kova_err_not_initailize when not running.
KOVA_API kova_err_t msg_processing_by_parallel(const msg_addr_t& in_a);
KOVA_API kova_err_t msg_processing_by_serial_alone(const msg_addr_t& in_a);
KOVA_API kova_err_t msg_processing_by_serial_group(const msg_addr_t& in_a, const msg_addr_t& in_b);

// The calling thread's last error (set before on_shutdown callbacks).
KOVA_API kova_err_t get_last_error();
KOVA_API bool is_running_center(const domain_t& in_domain);
// Blocks until no domain this process used has a running center.
KOVA_API void wait_clean_domain();

}  // namespace Kova
