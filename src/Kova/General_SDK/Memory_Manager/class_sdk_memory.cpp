#include "Kova/General_SDK/Memory_Manager/class_sdk_memory.h"

#include <unistd.h>

#include "Kova/Common/Global/kova_global.h"
#include "Pimo/Memory/class_handle_ledger.h"
#include "Pimo/Utility/pimo_error_hook.h"
#include "Pimo/Utility/pimo_module_path.h"

namespace Kova {
namespace SDK {
namespace Memory_Manager {

using Common::Global::gp_memory;

class_sdk_memory::class_sdk_memory(const char* in_name) {
    if (eproc_open(in_name) == Pimo::OS::c_vimra_success) {
        gp_memory = this;
        return;
    }
    Pimo::Utility::alert(
        "Kova General Service가 실행되지 않았습니다.\n프로그램을 종료합니다.\n Kova General Service를 실행한후 다시 "
        "시작해주시기 바랍니다.",
        Pimo::Utility::get_module_filename());
    _exit(-1);
}

class_sdk_memory::~class_sdk_memory() {
    if (gp_memory == this) gp_memory = nullptr;
    proc_close();
}

void* class_sdk_memory::on_destroy() {
    // The memory is made anew by the next service: nothing to give back into it.
    if (Pimo::Memory::class_handle_ledger* ledger = Common::Global::gp_ledger) ledger->proc_abandon();
    Pimo::Utility::alert("Kova General Service 가 종료되었습니다.", "Kova General SDK 4");
    _exit(-1);
    return nullptr;
}

}  // namespace Memory_Manager
}  // namespace SDK
}  // namespace Kova
