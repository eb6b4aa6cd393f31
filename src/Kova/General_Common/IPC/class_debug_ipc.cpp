#include "Kova/General_Common/IPC/class_debug_ipc.h"

#include <cstddef>
#include <string>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/General_Common/IPC/class_ledger_pipe_hook.h"

namespace Kova {
namespace General_Common {
namespace IPC {

const char* const class_debug_ipc::str_name = "kova_debug_ipc";
const char* const class_debug_ipc::c_switch_suffix = "switch";

namespace {
// The published word: 1 when rows are made of 'A' and 'F' records, 0 when not.
constexpr std::size_t c_switch_size = sizeof(Pimo::u_int32_t);
}  // namespace

class_debug_ipc::class_debug_ipc() {
    Common::Global::gp_debug_ipc = this;
    set_hook(class_ledger_pipe_hook::for_trace_records());
}

class_debug_ipc::~class_debug_ipc() {
    if (Common::Global::gp_debug_ipc == this) Common::Global::gp_debug_ipc = nullptr;
}

Pimo::OS::vimra_err_t class_debug_ipc::eproc_create(Pimo::u_int32_t in_depth, const char* in_name,
                                                    bool in_block_traces_logged) {
    // The word goes first: whoever opens the pipe finds it.
    if (m_switch.eproc_create(std::string(in_name) + c_switch_suffix, c_switch_size) == Pimo::OS::c_vimra_success)
        __atomic_store_n(static_cast<Pimo::u_int32_t*>(m_switch.get_pointer()), in_block_traces_logged ? 1u : 0u,
                         __ATOMIC_RELEASE);
    const Pimo::OS::vimra_err_t r = class_shared_pipe::eproc_create(in_name, in_depth, sizeof(struct_debug_token));
    if (r != Pimo::OS::c_vimra_success) m_switch.proc_destroy();
    return r;
}

Pimo::OS::vimra_err_t class_debug_ipc::eproc_open(const char* in_name) {
    const Pimo::OS::vimra_err_t r = class_shared_pipe::eproc_open(in_name, sizeof(struct_debug_token));
    if (r != Pimo::OS::c_vimra_success) return r;
    // The word is fixed for the creator's life: read once, the segment is not kept.
    Pimo::OS::class_shared_memory word;
    if (word.eproc_open(std::string(in_name) + c_switch_suffix) == Pimo::OS::c_vimra_success) {
        if (word.get_size() >= c_switch_size) {
            Common::Global::g_debug_block_traces_off =
                __atomic_load_n(static_cast<const Pimo::u_int32_t*>(word.get_pointer()), __ATOMIC_ACQUIRE) == 0;
            m_switch_read = true;
        }
        word.proc_close();
    }
    return r;
}

void class_debug_ipc::proc_close() {
    if (m_switch_read) Common::Global::g_debug_block_traces_off = false;
    m_switch_read = false;
    class_shared_pipe::proc_close();
}

void class_debug_ipc::proc_destroy() {
    class_shared_pipe::proc_destroy();
    m_switch.proc_destroy();
}

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
