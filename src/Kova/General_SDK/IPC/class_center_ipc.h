// The SDK's end of a domain's center pipe; it watches the center that created it.
#pragma once

#include "Kova/General_Common/IPC/abstract_center_ipc.h"

namespace Kova {
namespace SDK {
namespace IPC {

class class_center_ipc : public General_Common::IPC::abstract_center_ipc {
public:
    class_center_ipc() {}
    ~class_center_ipc() override {}

    // Stops watching and closes the pipe.
    void proc_close() { Pimo::IPC::class_shared_observer_pipe::proc_close(); }

protected:
    // The center has gone: the application ends a second later, without finalising.
    void* on_destroy() override;
};

}  // namespace IPC
}  // namespace SDK
}  // namespace Kova
