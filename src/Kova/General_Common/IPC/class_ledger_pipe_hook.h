// What the packet pipes tell the process's ledger (gp_ledger): a token that leaves through
// a push is no longer this process's, one that arrives is, each marked in transit while the
// ring changes. The hook of the debug channel does the same for the reference a trace record
// holds to its token's header block. A transit a dead process left is settled by the next
// process to hold the pipe's lock that keeps a ledger.
#pragma once

#include "Pimo/IPC/interface_pipe_hook.h"
#include "Pimo/Memory/class_handle_ledger.h"

namespace Kova {
namespace General_Common {
namespace IPC {

class class_ledger_pipe_hook : public Pimo::IPC::interface_pipe_hook {
public:
    // For pipes of tokens, and for the debug channel of trace records.
    static class_ledger_pipe_hook* for_tokens();
    static class_ledger_pipe_hook* for_trace_records();

    bool get_refs(const Pimo::byte_t* in_elem, refs_t& out_refs) override;
    void on_leaving(const refs_t& in_refs) override;
    void on_left(const refs_t& in_refs) override;
    void on_arriving(const refs_t& in_refs) override;
    void on_arrived(const refs_t& in_refs) override;
    bool on_dead_transit(Pimo::u_int32_t in_pid, const refs_t& in_refs, bool in_push, bool in_changed) override;

private:
    explicit class_ledger_pipe_hook(bool in_records) : m_records(in_records) {}
    void for_each_ref(const refs_t& in_refs, void (Pimo::Memory::class_handle_ledger::*pin_step)(Pimo::Memory::mm_t));
    bool m_records;
};

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
