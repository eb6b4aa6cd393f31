#include "Kova/General_SDK/IPC/class_center_ipc.h"

#include <unistd.h>

#include <cstdio>

#include "Pimo/OS/Linux/vimra_time.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Kova {
namespace SDK {
namespace IPC {

void* class_center_ipc::on_destroy() {
    std::fflush(stdout);
    Pimo::Utility::alert("Kova General Center 가 종료되었습니다.", "Kova General SDK 4");
    Pimo::OS::sleep(1);
    _exit(-1);
    return nullptr;
}

}  // namespace IPC
}  // namespace SDK
}  // namespace Kova
