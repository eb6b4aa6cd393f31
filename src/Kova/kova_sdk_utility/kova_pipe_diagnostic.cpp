// The diagnostic pipe functions: delay orders (a token without a header block whose data
// handle is a number of seconds) and empty tokens sent into the pipes of this process.
#include <memory>
#include <vector>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_history.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_function.h"
#include "Kova/SDK/Interface/interface_center_manager.h"
#include "Kova/SDK/History/struct_letter_case.h"
#include "Kova/SDK/SDK_Processor/class_sdk_gate.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Kova/SDK/sdk_typedef/struct_return_key.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using Pimo::IPC::interface_pipe;
using SDK::SDK_Processor::class_sdk_entry;
using SDK::SDK_Processor::g_sdk_gate;
using SDK::SDK_Processor::kova_sdk_processor;

namespace {

enum enum_pipe { c_center_pipe, c_listen_pipe, c_return_pipe };

Pimo::OS::vimra_err_t proc_send(interface_pipe* pin_pipe, Pimo::Memory::mm_t in_seconds) {
    struct_token token;
    token.data_mm = in_seconds;
    return pin_pipe->eproc_send(reinterpret_cast<const Pimo::byte_t*>(&token), 0);
}

// Waits until the pipe is empty; gives up when nobody reads it any more, or when the SDK
// is being finalised.
kova_err_t eproc_clean(interface_pipe* pin_pipe) {
    while (!pin_pipe->test_empty()) {
        if (pin_pipe->test_shutdown()) return c_kova_err_center_shutdown;
        if (g_sdk_gate.is_closing()) return c_kova_err_not_initailize;
        Pimo::OS::sleep(0);
    }
    return c_kova_success;
}

kova_err_t eproc_delay(interface_pipe* pin_pipe, int in_sec) {
    for (;;) {
        const Pimo::OS::vimra_err_t r = proc_send(pin_pipe, static_cast<Pimo::Memory::mm_t>(in_sec));
        if (r == Pimo::OS::c_vimra_shutdown) return c_kova_err_center_shutdown;
        if (r != Pimo::OS::c_vimra_busy) return c_kova_success;
        if (g_sdk_gate.is_closing()) return c_kova_err_not_initailize;
    }
}

kova_err_t eproc_busy(interface_pipe* pin_pipe, int in_sec) {
    kova_err_t result = eproc_clean(pin_pipe);
    if (result != c_kova_success) return result;
    if (proc_send(pin_pipe, static_cast<Pimo::Memory::mm_t>(in_sec)) == Pimo::OS::c_vimra_shutdown)
        return c_kova_err_center_shutdown;
    // Empty again: the reader has taken the order and sleeps.
    result = eproc_clean(pin_pipe);
    if (result != c_kova_success) return result;
    Pimo::OS::vimra_err_t r = Pimo::OS::c_vimra_success;
    while (r == Pimo::OS::c_vimra_success) r = proc_send(pin_pipe, 0);
    return r == Pimo::OS::c_vimra_shutdown ? c_kova_err_center_shutdown : c_kova_err_busy_localhost;
}

// Runs in_work on the pipe, inside the SDK for its whole length. A center pipe that cannot
// be had, also when the SDK does not run, is 0 at once.
template <typename work_t>
kova_err_t eproc_on_pipe(enum_pipe in_pipe, domain_t in_domain, int in_sec, work_t in_work) {
    if (in_sec < 0) return c_kova_err_boundout_buffer;
    class_sdk_entry entry;
    kova_sdk_processor* processor = entry.get();
    if (in_pipe == c_center_pipe) {
        SDK::Interface::interface_center_manager* centers =
            processor ? SDK::Interface::gp_center_manager.load() : nullptr;
        interface_pipe* pipe = centers ? centers->get_center_pipe(in_domain) : nullptr;
        return pipe ? in_work(pipe, in_sec) : c_kova_success;
    }
    if (!processor) return c_kova_err_not_initailize;
    interface_pipe* pipe = in_pipe == c_listen_pipe ? processor->get_listen_pipe() : processor->get_return_pipe();
    return pipe ? in_work(pipe, in_sec) : c_kova_err_center_shutdown;
}

kova_err_t eproc_clean_on(interface_pipe* pin_pipe, int) { return eproc_clean(pin_pipe); }

}  // namespace

kova_err_t kova_delay_center(domain_t in_domain, int in_sec) {
    return eproc_on_pipe(c_center_pipe, in_domain, in_sec, eproc_delay);
}
kova_err_t kova_delay_process(int in_sec) { return eproc_on_pipe(c_listen_pipe, 0, in_sec, eproc_delay); }
kova_err_t kova_delay_return(int in_sec) { return eproc_on_pipe(c_return_pipe, 0, in_sec, eproc_delay); }

kova_err_t kova_busy_center(domain_t in_domain, int in_sec) {
    return eproc_on_pipe(c_center_pipe, in_domain, in_sec, eproc_busy);
}
kova_err_t kova_busy_process(int in_sec) { return eproc_on_pipe(c_listen_pipe, 0, in_sec, eproc_busy); }
kova_err_t kova_busy_return(int in_sec) { return eproc_on_pipe(c_return_pipe, 0, in_sec, eproc_busy); }

kova_err_t kova_clean_center(domain_t in_domain) { return eproc_on_pipe(c_center_pipe, in_domain, 0, eproc_clean_on); }
kova_err_t kova_clean_process() { return eproc_on_pipe(c_listen_pipe, 0, 0, eproc_clean_on); }
kova_err_t kova_clean_return() { return eproc_on_pipe(c_return_pipe, 0, 0, eproc_clean_on); }

void kova_sdk_test_etc() {
    // Keys that differ from the first in one field each, and in the error alone, which is not
    // part of the identity: the order must follow the fields in their order.
    const struct_return_key base(0x0100007F, 7000, 5, 48, 1, 10, 0x8001);
    std::vector<struct_return_key> keys(8, base);
    keys[1].ip += 1;
    keys[2].domain += 1;
    keys[3].obj_id += 1;
    keys[4].msg_type += 1;
    keys[5].msg_code += 1;
    keys[6].msg_num += 1;
    keys[7].err = c_kova_err_local_timeout;
    volatile bool consistent = !(keys[0] < keys[7]) && !(keys[7] < keys[0]);
    for (std::size_t i = 1; i + 1 < keys.size(); ++i)
        consistent = consistent && keys[0] < keys[i] && !(keys[i] < keys[0]);
    (void)consistent;

    // The history handles on a fresh header block: a copy holds a reference of its own, an
    // index past the end reads as zeros, and clearing both gives every reference back.
    class_sdk_entry entry;
    struct_token token;
    if (!entry.get() || Common::Interface::eproc_alloc_header(token, __FILE__, __LINE__) != c_kova_success) return;
    std::unique_ptr<struct_letter_case> letters(new struct_letter_case);
    letters->token_vect.push_back(token);
    template_history<int> history(letters.release());
    template_history<int> copy(history);
    const template_history_elem<int> newest = copy[0];
    const template_history_elem<int> past = copy[copy.size()];
    volatile bool handled = copy.size() == history.size() && !newest.p_buffer && !past.p_buffer && past.size == 0;
    (void)handled;
    copy.clear();
    history.clear();
}

}  // namespace Kova
