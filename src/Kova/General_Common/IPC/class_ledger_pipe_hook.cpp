#include "Kova/General_Common/IPC/class_ledger_pipe_hook.h"

#include <cstddef>
#include <cstring>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/struct_debug_token.h"
#include "Pimo/Memory/class_handle_ledger.h"

namespace Kova {
namespace General_Common {
namespace IPC {

namespace {

// The token an element carries: the element itself, or a trace record's.
struct_token token_of(const Pimo::byte_t* in_elem, bool in_records) {
    struct_token token;
    std::memcpy(&token, in_elem + (in_records ? offsetof(struct_debug_token, token) : 0), sizeof(token));
    return token;
}

}  // namespace

class_ledger_pipe_hook* class_ledger_pipe_hook::for_tokens() {
    static class_ledger_pipe_hook s_hook(false);
    return &s_hook;
}

class_ledger_pipe_hook* class_ledger_pipe_hook::for_trace_records() {
    static class_ledger_pipe_hook s_hook(true);
    return &s_hook;
}

void class_ledger_pipe_hook::on_leaving(const Pimo::byte_t* in_elem) { proc_tell(in_elem, false); }

void class_ledger_pipe_hook::on_arrived(const Pimo::byte_t* in_elem) { proc_tell(in_elem, true); }

void class_ledger_pipe_hook::proc_tell(const Pimo::byte_t* in_elem, bool in_taken) {
    Pimo::Memory::class_handle_ledger* ledger = Common::Global::gp_ledger;
    if (ledger == nullptr) return;
    const struct_token token = token_of(in_elem, m_records);
    for (Pimo::Memory::mm_t mm : {token.header_mm, token.data_mm}) {
        if (in_taken)
            ledger->on_taken(mm);
        else
            ledger->on_released(mm);
    }
}

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
