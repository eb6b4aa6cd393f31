// The center's own center pipe, published as gp_center_pipe while it lives.
#pragma once
#include "Kova/General_Common/IPC/abstract_center_ipc.h"

namespace Kova {
namespace General_Center {
namespace IPC {

class class_center_ipc : public Kova::General_Common::IPC::abstract_center_ipc {
public:
    // Creates "kova_center_ipc" + domain; gp_center_pipe stays null on failure.
    class_center_ipc(domain_t in_domain, Pimo::u_int32_t in_depth);
    ~class_center_ipc() override;
    class_center_ipc(const class_center_ipc&) = delete;
    class_center_ipc& operator=(const class_center_ipc&) = delete;
};

}  // namespace IPC
}  // namespace General_Center
}  // namespace Kova
