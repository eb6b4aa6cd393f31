#include "Kova/General_Common/IPC/class_debug_ipc.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/General_Common/IPC/class_ledger_pipe_hook.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace General_Common {
namespace IPC {

const char* const class_debug_ipc::str_name = "kova_debug_ipc";
const char* const class_debug_ipc::c_switch_suffix = "switch";

namespace {
// The published words: 1 when rows are made of 'A' and 'F' records, 0 when not; the last mark.
constexpr std::size_t c_switch_size = sizeof(Pimo::u_int32_t);
constexpr std::size_t c_mark_offset = 8;
constexpr std::size_t c_words_size = c_mark_offset + sizeof(Pimo::u_int64_t);
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
    if (m_switch.eproc_create(std::string(in_name) + c_switch_suffix, c_words_size) == Pimo::OS::c_vimra_success)
        __atomic_store_n(static_cast<Pimo::u_int32_t*>(m_switch.get_pointer()), in_block_traces_logged ? 1u : 0u,
                         __ATOMIC_RELEASE);
    const Pimo::OS::vimra_err_t r = class_shared_pipe::eproc_create(in_name, in_depth, sizeof(struct_debug_token));
    if (r != Pimo::OS::c_vimra_success) m_switch.proc_destroy();
    return r;
}

Pimo::OS::vimra_err_t class_debug_ipc::eproc_open(const char* in_name) {
    const Pimo::OS::vimra_err_t r = class_shared_pipe::eproc_open(in_name, sizeof(struct_debug_token));
    if (r != Pimo::OS::c_vimra_success) return r;
    // The switch is fixed for the creator's life and read once; the view stays for the mark.
    if (m_switch.eproc_open(std::string(in_name) + c_switch_suffix) == Pimo::OS::c_vimra_success &&
        m_switch.get_size() >= c_switch_size) {
        Common::Global::g_debug_block_traces_off =
            __atomic_load_n(static_cast<const Pimo::u_int32_t*>(m_switch.get_pointer()), __ATOMIC_ACQUIRE) == 0;
        m_switch_read = true;
    }
    return r;
}

void class_debug_ipc::proc_close() {
    if (m_switch_read) Common::Global::g_debug_block_traces_off = false;
    m_switch_read = false;
    m_switch.proc_close();
    class_shared_pipe::proc_close();
}

void class_debug_ipc::proc_destroy() {
    class_shared_pipe::proc_destroy();
    m_switch.proc_destroy();
}

bool class_debug_ipc::get_mark(const struct_debug_token& in_record, Pimo::u_int64_t* pout_mark) {
    if (in_record.type != c_mark_kind) return false;
    // The text comes from any process of the host: never trust its terminator.
    char number[16] = {};
    std::memcpy(number, in_record.str, sizeof number - 1);
    *pout_mark = make_mark(in_record.pid, static_cast<Pimo::u_int32_t>(std::strtoul(number, nullptr, 10)));
    return true;
}

Pimo::OS::vimra_err_t class_debug_ipc::eproc_send_mark(Pimo::u_int32_t in_number) {
    struct_debug_token record;
    std::memset(static_cast<void*>(&record), 0, sizeof record);
    record.type = c_mark_kind;
    record.pid = Pimo::OS::get_process_id();
    std::snprintf(record.str, sizeof record.str, "%u", in_number);
    return eproc_send(reinterpret_cast<const Pimo::byte_t*>(&record), 0);
}

Pimo::u_int64_t* class_debug_ipc::get_mark_word() const {
    if (m_switch.get_pointer() == nullptr || m_switch.get_size() < c_words_size) return nullptr;
    return reinterpret_cast<Pimo::u_int64_t*>(static_cast<Pimo::byte_t*>(m_switch.get_pointer()) + c_mark_offset);
}

Pimo::u_int64_t class_debug_ipc::get_last_mark() const {
    const Pimo::u_int64_t* word = get_mark_word();
    return word ? __atomic_load_n(word, __ATOMIC_ACQUIRE) : 0;
}

void class_debug_ipc::proc_note_mark(Pimo::u_int64_t in_mark) {
    if (Pimo::u_int64_t* word = get_mark_word()) __atomic_store_n(word, in_mark, __ATOMIC_RELEASE);
}

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
