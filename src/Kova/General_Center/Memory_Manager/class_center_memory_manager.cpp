#include "Kova/General_Center/Memory_Manager/class_center_memory_manager.h"

#include "Kova/Common/Global/kova_global.h"
#include "Pimo/Memory/class_handle_ledger.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace General_Center {
namespace Memory_Manager {

class_center_memory_manager::class_center_memory_manager(Pimo::OS::class_event* pin_event, const char* in_name)
    : mp_event(pin_event) {
    Kova::Common::Global::gp_memory = this;
    while (eproc_open(in_name) != Pimo::OS::c_vimra_success) Pimo::OS::rtsleep(0.1);
}

class_center_memory_manager::~class_center_memory_manager() { proc_close(); }

void* class_center_memory_manager::on_destroy() {
    // The service has gone: the memory is made anew by the next one, nothing goes back into it.
    if (Pimo::Memory::class_handle_ledger* ledger = Kova::Common::Global::gp_ledger) ledger->proc_abandon();
    if (mp_event != nullptr) mp_event->proc_set();
    return nullptr;
}

}  // namespace Memory_Manager
}  // namespace General_Center
}  // namespace Kova
