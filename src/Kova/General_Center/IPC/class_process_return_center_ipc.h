// The center's end of an application's return pipe. Once the application's death has
// been seen on its listen pipe, pushes answer 5 instead of waiting for a reader that
// will never come: the center thread must not spin on a dead process's full pipe.
#pragma once
#include "Kova/General_Center/IPC/class_process_listen_center_ipc.h"
#include "Kova/General_Common/IPC/class_process_return_ipc.h"

namespace Kova {
namespace General_Center {
namespace IPC {

class class_process_return_center_ipc : public Kova::General_Common::IPC::class_process_return_ipc {
public:
    explicit class_process_return_center_ipc(const class_process_listen_center_ipc* pin_listen) : mp_listen(pin_listen) {}

    Pimo::OS::vimra_err_t eproc_push(const Pimo::byte_t* pin_elem, size_t in_min) override;
    Pimo::OS::vimra_err_t eproc_send(const Pimo::byte_t* pin_elem, size_t in_min) override;

private:
    // A refusal once the process is gone is final: shutdown instead of busy.
    Pimo::OS::vimra_err_t final_if_gone(Pimo::OS::vimra_err_t in_result) const;

    const class_process_listen_center_ipc* mp_listen;
};

}  // namespace IPC
}  // namespace General_Center
}  // namespace Kova
