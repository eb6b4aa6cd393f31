// The SDK's exported free functions.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_function.h"
#include "Kova/General_SDK/Center_Manager/class_center_manager.h"
#include "Kova/General_SDK/Loader/class_finalizer.h"
#include "Kova/General_SDK/Loader/class_loader.h"
#include "Kova/SDK/SDK_Processor/class_sdk_gate.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Kova/kova_sdk_utility/kova_sdk_utility.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using SDK::SDK_Processor::g_sdk_gate;
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
// Set while initialize builds the SDK; a signal meanwhile takes it and ends the start.
std::atomic<bool> g_starting{false};
std::atomic<bool> g_start_abort{false};
std::atomic<int> g_start_signal{0};
// The calling thread is inside the real finalize.
thread_local bool t_finalizing = false;

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

void proc_say_finalized(int in_signal) {
    std::printf("THANKS. KOVA FINALIZED!!!(%d)\n", in_signal);
    std::fflush(stdout);
}

// Ends the process by the signal's own default action (status 128 + signal).
[[noreturn]] void proc_end_by_signal(int in_signal) {
    signal(in_signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, in_signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(in_signal);
    _exit(128 + in_signal);
}

void proc_finalize_for(int in_signal);
SDK::Loader::class_finalizer g_finalizer(&proc_finalize_for);

// The real finalize. Threads inside the SDK's waits are woken and have left before
// anything is freed; the loader's teardown then joins the SDK's own threads.
void proc_finalize_now() {
    {
        static Pimo::OS::class_thread_lock s_lock;
        Pimo::OS::class_locker lock(s_lock);
        t_finalizing = true;
        SDK::Loader::class_loader* loader = gp_loader.load();
        kova_sdk_processor* processor = gp_processor.load();
        if (processor) {
            g_sdk_gate.proc_close();
            processor->proc_begin_exit();
            g_sdk_gate.proc_wait_empty();
        }
        if (loader) {
            delete loader;
            gp_loader = nullptr;
        }
        if (processor) {
            gp_processor = nullptr;
            delete processor;
        }
        t_finalizing = false;
    }
    g_finalizer.proc_stop();
}

void proc_finalize_for(int in_signal) {
    proc_finalize_now();
    if (in_signal != 0) proc_say_finalized(in_signal);
}

// Finalising on this thread would wait for the thread itself: it holds the processor's
// lock (a callback, a public call) or is inside one of the SDK's waits.
bool is_finalize_deferred() { return kova_sdk_processor::is_lock_holder() || SDK::SDK_Processor::class_sdk_gate::is_inside(); }

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

// A change of the serial model, under the processor's write lock.
template <typename op_t>
kova_err_t proc_change_model(op_t in_op) {
    kova_sdk_processor* processor = gp_processor.load();
    if (processor == nullptr) return c_kova_err_not_initailize;
    Pimo::OS::class_write_locker lock(processor);
    in_op(*processor);
    return c_kova_success;
}

}  // namespace

void initialize() { initialize(8, 16, 1); }

void initialize(const unsigned int& in_thread_count, const unsigned int& in_call_buffer_count,
                const unsigned int& in_udp_buffer_count) {
    SDK::proc_install_sig_finalizer();
    if (gp_processor.load() || gp_loader.load()) return;
    g_start_abort = false;
    g_starting = true;
    gp_processor = new kova_sdk_processor;
    g_sdk_gate.proc_open();
    g_finalizer.eproc_start();
    gp_loader = new SDK::Loader::class_loader(in_thread_count, in_call_buffer_count, in_udp_buffer_count, &g_start_abort);
    bool starting = true;
    if (gp_loader.load()->is_started() && g_starting.compare_exchange_strong(starting, false)) return;
    // A signal came while the SDK was starting (most likely still waiting for the service):
    // take down what was built, then end as that signal ends a process.
    const int signal_number = g_start_signal.load();
    proc_finalize_now();
    proc_say_finalized(signal_number);
    proc_end_by_signal(signal_number);
}

void finalize() {
    if (t_finalizing) return;
    if (is_finalize_deferred()) {
        g_finalizer.proc_request(0);
        return;
    }
    proc_finalize_now();
}

void sig_finalizer(int in_signal) {
    bool expected = false;
    if (!g_in_handler.compare_exchange_strong(expected, true)) {
        // A second signal while finalising: a fault ends the process, a stop waits its turn.
        if (is_fault(in_signal)) proc_end_by_signal(in_signal);
        return;
    }
    if (sigfunc_t hook = hook_of(in_signal)) hook(in_signal);
    std::printf("TRYING KOVA to FINALIZE!!!(%d)\n", in_signal);
    if (is_fault(in_signal)) {
        proc_finalize_after_fault();
        proc_say_finalized(in_signal);
        // Returning would run the faulting instruction again, for ever.
        proc_end_by_signal(in_signal);
    }
    bool starting = true;
    if (g_starting.compare_exchange_strong(starting, false)) {
        // initialize ends the start, then the process.
        g_start_signal = in_signal;
        g_start_abort = true;
    } else if (is_finalize_deferred()) {
        // The interrupted call completes once the handler returns; another thread finalises
        // and says so.
        g_finalizer.proc_request(in_signal);
    } else if (!t_finalizing) {
        proc_finalize_now();
        proc_say_finalized(in_signal);
    }
    std::fflush(stdout);
    g_in_handler = false;
}

bool dispatch_message() {
    SDK::SDK_Processor::class_sdk_entry entry;
    return entry.get() && entry.get()->listener() != Pimo::OS::c_vimra_shutdown;
}

bool dispatch_message(const double& in_seconds) {
    SDK::SDK_Processor::class_sdk_entry entry;
    return entry.get() && entry.get()->listener(in_seconds) != Pimo::OS::c_vimra_shutdown;
}

kova_err_t msg_processing_by_parallel(const msg_addr_t& in_a) {
    return proc_change_model([&](kova_sdk_processor& in_processor) { in_processor.msg_processing_by_parallel(in_a); });
}

kova_err_t msg_processing_by_serial_alone(const msg_addr_t& in_a) {
    return proc_change_model([&](kova_sdk_processor& in_processor) { in_processor.msg_processing_by_serial_alone(in_a); });
}

kova_err_t msg_processing_by_serial_group(const msg_addr_t& in_a, const msg_addr_t& in_b) {
    return proc_change_model([&](kova_sdk_processor& in_processor) { in_processor.msg_processing_by_serial_group(in_a, in_b); });
}

kova_err_t get_last_error() { return g_last_error; }

bool is_running_center(const domain_t& in_domain) { return SDK::is_running_center_logic(in_domain); }

void wait_clean_domain() {
    for (domain_t domain : SDK::Center_Manager::get_total_domain())
        while (SDK::is_running_center_logic(domain)) Pimo::OS::sleep(1);
}

}  // namespace Kova
