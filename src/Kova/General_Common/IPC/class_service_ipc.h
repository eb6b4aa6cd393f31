// The service channel: service tokens {domain, msg} to the service's loader.
#pragma once

#include "Pimo/IPC/class_shared_pipe.h"

namespace Kova {
namespace General_Common {
namespace IPC {

class class_service_ipc : public Pimo::IPC::class_shared_pipe {
public:
    static const char* const str_name;  // "kova_service_ipc"
    static constexpr Pimo::u_int32_t c_depth = 16;

    // in_name is the host's channel; another name keeps a test off a live host's channel.
    Pimo::OS::vimra_err_t eproc_create(Pimo::u_int32_t in_depth, const char* in_name = str_name);
    Pimo::OS::vimra_err_t eproc_open(const char* in_name = str_name);
};

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
