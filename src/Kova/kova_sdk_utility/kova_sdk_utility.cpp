#include "Kova/kova_sdk_utility/kova_sdk_utility.h"

#include <string>

#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Pimo/OS/Linux/class_process_lock.h"

namespace Kova {
namespace SDK {

bool is_running_center_logic(domain_t in_domain) {
    Pimo::OS::class_process_lock lock;
    const std::string name = General_Common::IPC::abstract_center_ipc::get_name(in_domain) + "pipe";
    if (lock.eproc_open_global(name) != Pimo::OS::c_vimra_success) return false;
    lock.proc_close();
    return true;
}

}  // namespace SDK
}  // namespace Kova
