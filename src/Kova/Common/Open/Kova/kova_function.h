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

// Diagnostics: stall or fill the pipes that carry this process's packets, to see how the
// system behaves under load. The center forms drive the center pipe of in_domain (0 at
// once when it cannot be had), the process forms this process's listen pipe, the return
// forms its return pipe (c_kova_err_not_initailize when the SDK does not run). A negative
// in_sec is refused with c_kova_err_boundout_buffer; a pipe that nobody reads any more
// gives c_kova_err_center_shutdown.
// delay: the pipe's reader sleeps in_sec seconds once it reaches this order.
KOVA_API kova_err_t kova_delay_center(domain_t in_domain, int in_sec);
KOVA_API kova_err_t kova_delay_process(int in_sec);
KOVA_API kova_err_t kova_delay_return(int in_sec);
// busy: once the pipe is empty, its reader sleeps in_sec seconds and the pipe is filled;
// c_kova_err_busy_localhost when filled.
KOVA_API kova_err_t kova_busy_center(domain_t in_domain, int in_sec);
KOVA_API kova_err_t kova_busy_process(int in_sec);
KOVA_API kova_err_t kova_busy_return(int in_sec);
// clean: waits until the pipe is empty. From a callback the process form waits for ever.
KOVA_API kova_err_t kova_clean_center(domain_t in_domain);
KOVA_API kova_err_t kova_clean_process();
KOVA_API kova_err_t kova_clean_return();
// A self-test of the reply keys' order; it reports nothing.
KOVA_API void kova_sdk_test_etc();

}  // namespace Kova
