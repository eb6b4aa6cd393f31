#include "Kova/kova_sdk_utility/kova_sdk_utility.h"

#include <csignal>
#include <string>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_function.h"
#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Kova/SDK/Interface/interface_center_manager.h"
#include "Kova/SDK/Interface/interface_sdk_object_manager.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
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

kova_err_t eproc_test_running() {
    if (SDK_Processor::gp_processor.load() == nullptr || Interface::gp_object_manager.load() == nullptr ||
        Interface::gp_center_manager.load() == nullptr)
        return c_kova_err_not_initailize;
    return c_kova_success;
}

void proc_install_sig_finalizer() {
    for (int signal_number : {SIGINT, SIGILL, SIGFPE, SIGSEGV, SIGTERM, SIGABRT})
        std::signal(signal_number, sig_finalizer);
}

}  // namespace SDK
}  // namespace Kova
