// What the packet pipes tell the process's ledger (gp_ledger): a token that leaves through
// a push is no longer this process's, one that arrives is. The hook of the debug channel
// does the same for the reference a trace record holds to its token's header block.
#pragma once

#include "Pimo/IPC/interface_pipe_hook.h"

namespace Kova {
namespace General_Common {
namespace IPC {

class class_ledger_pipe_hook : public Pimo::IPC::interface_pipe_hook {
public:
    // For pipes of tokens, and for the debug channel of trace records.
    static class_ledger_pipe_hook* for_tokens();
    static class_ledger_pipe_hook* for_trace_records();

    void on_leaving(const Pimo::byte_t* in_elem) override;
    void on_arrived(const Pimo::byte_t* in_elem) override;

private:
    explicit class_ledger_pipe_hook(bool in_records) : m_records(in_records) {}
    // The element's references taken (in_taken) or given up.
    void proc_tell(const Pimo::byte_t* in_elem, bool in_taken);
    bool m_records;
};

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
