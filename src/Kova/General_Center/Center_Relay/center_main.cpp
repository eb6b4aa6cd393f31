#include "Kova/General_Center/Center_Relay/center_main.h"

#include <cstdlib>
#include <cstring>

#include "Kova/General_Center/Center_Relay/class_center_relay_control.h"
#include "Kova/Common/Global/kova_global.h"
#include "Kova/General_Center/Memory_Manager/class_center_memory_manager.h"
#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "Kova/General_Common/IPC/kova_named_objects.h"
#include "Pimo/INet/pimo_inet.h"
#include "Pimo/Memory/class_handle_ledger.h"
#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace General_Center {

int center_main(domain_t in_domain) {
    Pimo::INet::eproc_initialize();
    Pimo::OS::class_event stop;
    if (stop.eproc_create_global(Kova::General_Common::IPC::get_center_killer_name(in_domain), false) !=
        Pimo::OS::c_vimra_success)
        return -1;
    Pimo::OS::vimra_update_cpu_hz();
    {
        Memory_Manager::class_center_memory_manager memory(&stop);
        // What the center holds is recorded, so that the service gives it back should the
        // center die; an orderly end leaves nothing in it.
        Pimo::Memory::class_handle_ledger ledger;
        if (ledger.eproc_create(memory.get_pool()) == Pimo::OS::c_vimra_success)
            Kova::Common::Global::gp_ledger = &ledger;
        Kova::General_Common::IPC::class_debug_ipc debug;
        debug.eproc_open();
        {
            Center_Relay::class_center_relay_control control(in_domain);
            if (control.is_init()) stop.eproc_wait();
        }
        debug.proc_close();
        Kova::Common::Global::gp_ledger = nullptr;
        ledger.proc_close();
    }
    stop.proc_destroy();
    Pimo::INet::proc_destroy();
    return 0;
}

int main(int argc, char** argv) {
    const domain_t domain = static_cast<domain_t>(std::atoi(argv[1]));
    if (argc > 2 && std::strcmp(argv[2], "debug") == 0) {
        // accepted; changes nothing
    }
    return center_main(domain);
}

}  // namespace General_Center
}  // namespace Kova
