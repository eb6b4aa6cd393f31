#include "Kova/General_SDK/Loader/class_loader.h"

#include <clocale>
#include <cstdio>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

std::atomic<SDK::Loader::class_loader*> gp_loader{nullptr};

namespace SDK {
namespace Loader {

namespace {

bool is_aborted(const std::atomic<bool>* pin_abort) { return pin_abort && pin_abort->load(); }

template <typename create_t>
Pimo::OS::vimra_err_t eproc_create_retrying(create_t in_create, const std::atomic<bool>* pin_abort) {
    const double start = static_cast<double>(Pimo::OS::vimra_clock()) / 1000.0;
    for (;;) {
        const Pimo::OS::vimra_err_t r = in_create();
        if (r == Pimo::OS::c_vimra_success || is_aborted(pin_abort)) return r;
        if (static_cast<double>(Pimo::OS::vimra_clock()) / 1000.0 - start >= class_loader::c_pipe_retry_s) return r;
        Pimo::OS::msleep(100);
    }
}

}  // namespace

class_loader::class_loader(unsigned int in_thread_count, unsigned int, unsigned int, const std::atomic<bool>* pin_abort)
    : p_object_manger(nullptr), p_sdk_memory(nullptr), p_center_manger(nullptr), m_started(false) {
    Pimo::OS::vimra_update_cpu_hz();
    std::setlocale(LC_ALL, "korean");
    while (m_debug_ipc.eproc_open() != Pimo::OS::c_vimra_success) {
        if (is_aborted(pin_abort)) return;
        Pimo::OS::usleep(100000);
    }
    p_sdk_memory = new Memory_Manager::class_sdk_memory;
    if (m_ledger.eproc_create(p_sdk_memory->get_pool()) == Pimo::OS::c_vimra_success)
        Common::Global::gp_ledger = &m_ledger;
    p_center_manger =
        new Center_Manager::class_center_manager(General_Common::IPC::class_service_ipc::str_name, pin_abort);
    if (!p_center_manger->is_open()) return;
    p_object_manger = new Object_Manager::class_object_manager;

    const Pimo::OS::process_id_t pid = Pimo::OS::get_process_id();
    const Pimo::u_int32_t depth = static_cast<Pimo::u_int32_t>(Common::Interface::c_pipe_size);
    const Pimo::OS::vimra_err_t listen =
        eproc_create_retrying([&] { return m_process_listen_ipc.eproc_create(pid, depth); }, pin_abort);
    const Pimo::OS::vimra_err_t ret =
        eproc_create_retrying([&] { return m_process_return_ipc.eproc_create(pid, depth); }, pin_abort);
    if (is_aborted(pin_abort)) return;
    // A center that keeps packets for this process learns from these that it may push them.
    m_process_listen_ipc.set_room_hook(p_center_manger);
    m_process_return_ipc.set_room_hook(p_center_manger);
    // A pipe that could not be made is said once and handed to nobody: the threads that
    // would read it end at once instead of spinning on it.
    if (listen != Pimo::OS::c_vimra_success)
        std::fprintf(stderr, "Kova: the listen pipe of this process could not be made (%d): nothing reaches its objects\n",
                     listen);
    if (ret != Pimo::OS::c_vimra_success)
        std::fprintf(stderr, "Kova: the return pipe of this process could not be made (%d): its requests get no replies\n",
                     ret);
    SDK_Processor::gp_processor.load()->start_kova(listen == Pimo::OS::c_vimra_success ? &m_process_listen_ipc : nullptr,
                                                    ret == Pimo::OS::c_vimra_success ? &m_process_return_ipc : nullptr,
                                                    in_thread_count);
    m_started = true;
}

class_loader::~class_loader() {
    SDK_Processor::kova_sdk_processor* processor = SDK_Processor::gp_processor.load();
    if (processor) processor->exit_kova();
    m_process_listen_ipc.set_room_hook(nullptr);
    m_process_return_ipc.set_room_hook(nullptr);
    delete p_object_manger;
    p_object_manger = nullptr;
    delete p_center_manger;
    p_center_manger = nullptr;
    m_process_listen_ipc.proc_destroy();
    m_process_return_ipc.proc_destroy();
    m_debug_ipc.proc_close();
    Common::Global::gp_ledger = nullptr;
    m_ledger.proc_close();
    delete p_sdk_memory;
    p_sdk_memory = nullptr;
}

void class_loader::proc_release_for_exit() {
    if (!m_ledger.is_live() || p_sdk_memory == nullptr) return;
    p_sdk_memory->proc_stop();  // let go of only by the end of the process
    m_process_listen_ipc.set_room_hook(nullptr);
    m_process_return_ipc.set_room_hook(nullptr);
    struct_token token;
    Pimo::byte_t* elem = reinterpret_cast<Pimo::byte_t*>(&token);
    // Popped, the tokens are in the ledger with the rest.
    while (m_process_listen_ipc.eproc_pop(elem) == Pimo::OS::c_vimra_success) {
    }
    while (m_process_return_ipc.eproc_pop(elem) == Pimo::OS::c_vimra_success) {
    }
    m_ledger.proc_release_own_for_exit();
}

}  // namespace Loader
}  // namespace SDK
}  // namespace Kova
