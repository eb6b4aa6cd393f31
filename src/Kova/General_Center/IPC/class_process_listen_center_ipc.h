// The center's end of an application's listen pipe: when the application dies, the
// watcher gives back what the dead hold (their ledgers) and turns the death into a
// process-destroy packet in the center pipe.
#pragma once
#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Kova/General_Common/IPC/class_process_listen_ipc.h"

namespace Kova {
namespace General_Center {
namespace IPC {

class class_process_listen_center_ipc : public Kova::General_Common::IPC::class_process_listen_ipc {
public:
    domain_t m_domain = 0;

    // The watcher has fired: the process that created the pipe is gone.
    bool is_gone() const { return !is_live(); }

protected:
    void* on_destroy() override;
};

}  // namespace IPC
}  // namespace General_Center
}  // namespace Kova
