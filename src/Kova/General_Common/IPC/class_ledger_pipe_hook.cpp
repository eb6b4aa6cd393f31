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

bool class_ledger_pipe_hook::get_refs(const Pimo::byte_t* in_elem, refs_t& out_refs) {
    Pimo::Memory::class_handle_ledger* ledger = Common::Global::gp_ledger;
    if (ledger == nullptr || !ledger->is_live()) return false;
    const struct_token token = token_of(in_elem, m_records);
    out_refs[0] = token.header_mm;
    out_refs[1] = token.data_mm;
    return true;
}

void class_ledger_pipe_hook::on_leaving(const refs_t& in_refs) {
    for_each_ref(in_refs, &Pimo::Memory::class_handle_ledger::on_leaving);
}

void class_ledger_pipe_hook::on_left(const refs_t& in_refs) {
    for_each_ref(in_refs, &Pimo::Memory::class_handle_ledger::on_left);
}

void class_ledger_pipe_hook::on_arriving(const refs_t& in_refs) {
    for_each_ref(in_refs, &Pimo::Memory::class_handle_ledger::on_arriving);
}

void class_ledger_pipe_hook::on_arrived(const refs_t& in_refs) {
    for_each_ref(in_refs, &Pimo::Memory::class_handle_ledger::on_arrived);
}

bool class_ledger_pipe_hook::on_dead_transit(Pimo::u_int32_t in_pid, const refs_t& in_refs, bool in_push,
                                             bool in_changed) {
    Pimo::Memory::class_handle_ledger* ledger = Common::Global::gp_ledger;
    if (ledger == nullptr || !ledger->is_live()) return false;
    const Pimo::Memory::mm_t refs[Pimo::IPC::c_transit_refs] = {in_refs[0], in_refs[1]};
    ledger->proc_settle_dead_transit(in_pid, refs, Pimo::IPC::c_transit_refs, in_push, in_changed);
    return true;
}

void class_ledger_pipe_hook::for_each_ref(const refs_t& in_refs,
                                          void (Pimo::Memory::class_handle_ledger::*pin_step)(Pimo::Memory::mm_t)) {
    Pimo::Memory::class_handle_ledger* ledger = Common::Global::gp_ledger;
    if (ledger == nullptr) return;
    for (Pimo::Memory::mm_t mm : in_refs) (ledger->*pin_step)(mm);
}

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
