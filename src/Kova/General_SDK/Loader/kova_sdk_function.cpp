// The SDK's exported free functions.
#include <signal.h>

#include <atomic>
#include <cstdio>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_function.h"
#include "Kova/General_SDK/Center_Manager/class_center_manager.h"
#include "Kova/General_SDK/Loader/class_loader.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Kova/kova_sdk_utility/kova_sdk_utility.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using SDK::SDK_Processor::gp_processor;
using SDK::SDK_Processor::kova_sdk_processor;

KOVA_API sigfunc_t sigint_func_ = nullptr;
KOVA_API sigfunc_t sigill_func_ = nullptr;
KOVA_API sigfunc_t sigabt_func_ = nullptr;
KOVA_API sigfunc_t sigfpe_func_ = nullptr;
KOVA_API sigfunc_t sigseg_func_ = nullptr;
KOVA_API sigfunc_t sigter_func_ = nullptr;
KOVA_API sigfunc_t sigbrk_func_ = nullptr;

thread_local kova_err_t g_last_error = c_kova_success;  // declared in kova_sdk_utility.h

namespace {

std::atomic<bool> g_in_handler{false};

bool is_fault(int in_signal) {
    return in_signal == SIGSEGV || in_signal == SIGILL || in_signal == SIGFPE || in_signal == SIGABRT;
}

sigfunc_t hook_of(int in_signal) {
    switch (in_signal) {
    case SIGINT: return sigint_func_;
    case SIGILL: return sigill_func_;
    case SIGABRT: return sigabt_func_;
    case SIGFPE: return sigfpe_func_;
    case SIGSEGV: return sigseg_func_;
    case SIGTERM: return sigter_func_;
    default: return nullptr;
    }
}

// After a fault the process may hold any lock: finalise only where that cannot hang,
// on an application thread while nobody holds the processor's lock. Otherwise shut the
// pipes down so that no packet is delivered any more; the process is about to end.
void proc_finalize_after_fault() {
    kova_sdk_processor* processor = gp_processor.load();
    if (processor == nullptr) return;
    if (!processor->is_sdk_thread() && !kova_sdk_processor::is_listen_thread() && processor->test_lock_free()) {
        finalize();
        return;
    }
    SDK::Loader::class_loader* loader = gp_loader.load();
    if (loader) {
        loader->m_process_listen_ipc.proc_shutdown();
        loader->m_process_return_ipc.proc_shutdown();
    }
}

}  // namespace

void initialize() { initialize(8, 16, 1); }

void initialize(const unsigned int& in_thread_count, const unsigned int& in_call_buffer_count,
                const unsigned int& in_udp_buffer_count) {
    SDK::proc_install_sig_finalizer();
    if (gp_processor.load() || gp_loader.load()) return;
    gp_processor = new kova_sdk_processor;
    gp_loader = new SDK::Loader::class_loader(in_thread_count, in_call_buffer_count, in_udp_buffer_count);
}

void finalize() {
    static Pimo::OS::class_thread_lock s_lock;
    Pimo::OS::class_locker lock(s_lock);
    if (SDK::Loader::class_loader* loader = gp_loader.load()) {
        delete loader;
        gp_loader = nullptr;
    }
    if (kova_sdk_processor* processor = gp_processor.load()) {
        gp_processor = nullptr;
        delete processor;
    }
}

void sig_finalizer(int in_signal) {
    bool expected = false;
    if (!g_in_handler.compare_exchange_strong(expected, true)) {
        // A second signal while finalising: a fault ends the process, a stop waits its turn.
        if (is_fault(in_signal)) {
            signal(in_signal, SIG_DFL);
            raise(in_signal);
        }
        return;
    }
    if (sigfunc_t hook = hook_of(in_signal)) hook(in_signal);
    std::printf("TRYING KOVA to FINALIZE!!!(%d)\n", in_signal);
    if (is_fault(in_signal)) proc_finalize_after_fault();
    else finalize();
    std::printf("THANKS. KOVA FINALIZED!!!(%d)\n", in_signal);
    std::fflush(stdout);
    if (is_fault(in_signal)) {
        // Returning would run the faulting instruction again, for ever.
        signal(in_signal, SIG_DFL);
        raise(in_signal);
    }
    g_in_handler = false;
}

bool dispatch_message() {
    kova_sdk_processor* processor = gp_processor.load();
    if (processor == nullptr) return false;
    return processor->listener() != Pimo::OS::c_vimra_shutdown;
}

bool dispatch_message(const double& in_seconds) {
    kova_sdk_processor* processor = gp_processor.load();
    if (processor == nullptr) return false;
    return processor->listener(in_seconds) != Pimo::OS::c_vimra_shutdown;
}

kova_err_t msg_processing_by_parallel(const msg_addr_t& in_a) {
    kova_sdk_processor* processor = gp_processor.load();
    if (processor == nullptr) return c_kova_err_not_initailize;
    Pimo::OS::class_write_locker lock(processor);
    processor->msg_processing_by_parallel(in_a);
    return c_kova_success;
}

kova_err_t msg_processing_by_serial_alone(const msg_addr_t& in_a) {
    kova_sdk_processor* processor = gp_processor.load();
    if (processor == nullptr) return c_kova_err_not_initailize;
    Pimo::OS::class_write_locker lock(processor);
    processor->msg_processing_by_serial_alone(in_a);
    return c_kova_success;
}

kova_err_t msg_processing_by_serial_group(const msg_addr_t& in_a, const msg_addr_t& in_b) {
    kova_sdk_processor* processor = gp_processor.load();
    if (processor == nullptr) return c_kova_err_not_initailize;
    Pimo::OS::class_write_locker lock(processor);
    processor->msg_processing_by_serial_group(in_a, in_b);
    return c_kova_success;
}

kova_err_t get_last_error() { return g_last_error; }

bool is_running_center(const domain_t& in_domain) { return SDK::is_running_center_logic(in_domain); }

void wait_clean_domain() {
    for (domain_t domain : SDK::Center_Manager::get_total_domain())
        while (SDK::is_running_center_logic(domain)) Pimo::OS::sleep(1);
}

}  // namespace Kova
