// The debug channel: trace records to the service's log thread. A process that
// holds one sends records from then on, whether or not its open succeeded (a pipe
// that never became live refuses every send).
#pragma once

#include "Pimo/IPC/class_shared_pipe.h"

namespace Kova {
namespace General_Common {
namespace IPC {

class class_debug_ipc : public Pimo::IPC::class_shared_pipe {
public:
    static const char* const str_name;  // "kova_debug_ipc"
    static constexpr Pimo::u_int32_t c_depth = 65536;

    // Publishes itself as the process's gp_debug_ipc. The reference each record holds is
    // told to the process's ledger.
    class_debug_ipc();
    ~class_debug_ipc() override;

    // in_name is the host's channel; another name keeps a test off a live host's channel.
    Pimo::OS::vimra_err_t eproc_create(Pimo::u_int32_t in_depth, const char* in_name = str_name);
    Pimo::OS::vimra_err_t eproc_open(const char* in_name = str_name);
};

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
