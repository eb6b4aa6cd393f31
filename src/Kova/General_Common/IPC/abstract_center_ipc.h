// The center pipe of a domain: tokens from applications and the center's own
// threads to the center thread. Users watch the center through it.
#pragma once

#include <string>

#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/IPC/class_shared_observer_pipe.h"

namespace Kova {
namespace General_Common {
namespace IPC {

class abstract_center_ipc : public Pimo::IPC::class_shared_observer_pipe {
public:
    static const char* const str_name;  // "kova_center_ipc"
    static constexpr Pimo::u_int32_t c_depth = 32;
    // The center's network threads fill the pipe up to this many tokens: the rest stays for
    // the host's applications, whose single tries a flood from the network must not starve.
    static constexpr Pimo::u_int32_t c_network_depth = 24;

    domain_t domain;

    // Its tokens are told to the process's ledger.
    abstract_center_ipc();

    // "kova_center_ipc" + domain in decimal.
    static std::string get_name(domain_t in_domain);

    Pimo::OS::vimra_err_t eproc_create(domain_t in_domain, Pimo::u_int32_t in_depth);
    // Opens the pipe and watches the center that created it.
    Pimo::OS::vimra_err_t eproc_open(domain_t in_domain);
    // The same, refusing (5) the pipe of a center that is already ending.
    Pimo::OS::vimra_err_t eproc_open_serving(domain_t in_domain);

    // The center's own pipe keeps this; the SDK's and the service's watchers override it.
    void* on_destroy() override { return nullptr; }
};

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
