// An application's listen pipe: packets for its objects, written by the centers
// it uses, which watch the application through it.
#pragma once

#include <string>

#include "Pimo/IPC/class_shared_observer_pipe.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace General_Common {
namespace IPC {

class class_process_listen_ipc : public Pimo::IPC::class_shared_observer_pipe {
public:
    static const char* const c_str_name;  // "kova_process_listen_ipc"

    Pimo::OS::process_id_t m_process_id;

    // Its tokens are told to the process's ledger.
    class_process_listen_ipc();

    // "kova_process_listen_ipc" + "_" + pid in decimal.
    static std::string get_name(Pimo::OS::process_id_t in_pid);

    Pimo::OS::vimra_err_t eproc_create(Pimo::OS::process_id_t in_pid, Pimo::u_int32_t in_depth);
    // Opens the pipe and watches the application that created it.
    Pimo::OS::vimra_err_t eproc_open(Pimo::OS::process_id_t in_pid);

    // The center overrides this to clean up after the application.
    void* on_destroy() override { return nullptr; }
};

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
