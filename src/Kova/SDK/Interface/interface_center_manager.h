// The SDK's link to the host's centers: the center pipe of a domain.
#pragma once

#include <atomic>

#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/IPC/interface_pipe.h"

namespace Kova {
namespace SDK {
namespace Interface {

class interface_center_manager {
public:
    interface_center_manager() {}
    virtual ~interface_center_manager() {}
    // Null when the domain has no running center (after a wait for one).
    virtual Pimo::IPC::interface_pipe* get_center_pipe(domain_t in_domain) = 0;
    // The domain's pipe when this process holds it already, else null: never asks the
    // service for a center nor waits. For answers, whose domain the packet chose.
    virtual Pimo::IPC::interface_pipe* find_center_pipe(domain_t in_domain) = 0;
    // This process's listen or return pipe has drained to half: every center it holds a pipe
    // of is told with the empty token (one try each), so that a center keeping packets for
    // this process pushes them on now.
    virtual void proc_wake_centers() {}
};

// Set while the process's center manager exists.
extern std::atomic<interface_center_manager*> gp_center_manager;

}  // namespace Interface
}  // namespace SDK
}  // namespace Kova
