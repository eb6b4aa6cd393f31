// The service's watcher of one center: tells the loader when the center process has gone.
#pragma once

#include <atomic>

#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Kova/General_Common/IPC/class_service_ipc.h"

namespace Kova {
namespace General_Service {
namespace IPC {

class class_center_ipc : public General_Common::IPC::abstract_center_ipc {
public:
    explicit class_center_ipc(General_Common::IPC::class_service_ipc* pin_service_ipc)
        : mp_service_ipc(pin_service_ipc), m_closing(false) {}

    // Stops a notice still being retried, joins the watcher (fired or not), closes the pipe.
    void proc_close();

protected:
    // Posts {domain, 2}, retried while the service channel is full: a lost notice would leave
    // the domain watched for ever and its next center ignored.
    void* on_destroy() override;

private:
    General_Common::IPC::class_service_ipc* mp_service_ipc;
    std::atomic<bool> m_closing;
};

}  // namespace IPC
}  // namespace General_Service
}  // namespace Kova
