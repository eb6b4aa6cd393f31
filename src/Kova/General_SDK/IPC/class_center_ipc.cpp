#include "Kova/General_SDK/IPC/class_center_ipc.h"

#include <unistd.h>

#include <cstdio>

#include "Kova/General_SDK/Loader/class_loader.h"
#include "Pimo/OS/Linux/vimra_time.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Kova {
namespace SDK {
namespace IPC {

void* class_center_ipc::on_destroy() {
    std::fflush(stdout);
    Pimo::Utility::alert("Kova General Center 가 종료되었습니다.", "Kova General SDK 4");
    Pimo::OS::sleep(1);
    // The center that would see this process die is the one that has gone.
    if (Loader::class_loader* loader = gp_loader.load()) loader->proc_release_for_exit();
    _exit(-1);
    return nullptr;
}

}  // namespace IPC
}  // namespace SDK
}  // namespace Kova
