// An application's return pipe: replies to its proxies, written by the centers it uses.
#pragma once

#include <string>

#include "Pimo/IPC/class_shared_pipe.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace General_Common {
namespace IPC {

class class_process_return_ipc : public Pimo::IPC::class_shared_pipe {
public:
    static const char* const c_str_name;  // "kova_process_return_ipc"

    // Its tokens are told to the process's ledger.
    class_process_return_ipc();

    // "kova_process_return_ipc" + pid in decimal, without a separator.
    static std::string get_name(Pimo::OS::process_id_t in_pid);

    Pimo::OS::vimra_err_t eproc_create(Pimo::OS::process_id_t in_pid, Pimo::u_int32_t in_depth);
    Pimo::OS::vimra_err_t eproc_open(Pimo::OS::process_id_t in_pid);
};

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
