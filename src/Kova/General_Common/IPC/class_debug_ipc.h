// The debug channel: trace records to the service's log thread. A process that
// holds one sends records from then on, whether or not its open succeeded (a pipe
// that never became live refuses every send).
//
// Beside the pipe the creator publishes one word in the segment <name> + "switch": whether it
// makes rows of 'A' and 'F' records at all. An opener that finds the word 0 sends no such
// records; one that finds no word, or does not look for it, sends every kind.
#pragma once

#include "Pimo/IPC/class_shared_pipe.h"
#include "Pimo/OS/Linux/class_shared_memory.h"

namespace Kova {
namespace General_Common {
namespace IPC {

class class_debug_ipc : public Pimo::IPC::class_shared_pipe {
public:
    static const char* const str_name;  // "kova_debug_ipc"
    static constexpr Pimo::u_int32_t c_depth = 65536;
    static const char* const c_switch_suffix;  // "switch"

    // Publishes itself as the process's gp_debug_ipc. The reference each record holds is
    // told to the process's ledger.
    class_debug_ipc();
    ~class_debug_ipc() override;

    // in_name is the host's channel; another name keeps a test off a live host's channel.
    // in_block_traces_logged: whether rows are made of 'A' and 'F' records (the service's LOG).
    Pimo::OS::vimra_err_t eproc_create(Pimo::u_int32_t in_depth, const char* in_name = str_name,
                                       bool in_block_traces_logged = true);
    // Also reads the creator's word; a channel without one takes every kind.
    Pimo::OS::vimra_err_t eproc_open(const char* in_name = str_name);
    void proc_close();
    void proc_destroy();

private:
    Pimo::OS::class_shared_memory m_switch;  // the creator's, for its life
    bool m_switch_read = false;               // this opener set the process's word
};

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
