#include "Kova/General_Center/Object_Manager/class_object_manager.h"

#include "Kova/Center/Global/center_global.h"
#include "Kova/Common/Interface/kova_memory_interface.h"

namespace Kova {
namespace General_Center {
namespace Object_Manager {

using Kova::Center::Global::gp_object_manager;
using Pimo::IPC::interface_pipe;

namespace {
// Ids from here on are proxies'.
constexpr object_id_t c_first_proxy_id = 0x8000;
}  // namespace

class_object_manager::class_object_manager(domain_t in_domain) : m_domain(in_domain) { gp_object_manager = this; }

class_object_manager::~class_object_manager() {
    proc_close_all();
    if (gp_object_manager == this) gp_object_manager = nullptr;
}

void class_object_manager::proc_close_all() {
    m_process_return_map.clear();
    m_process_listen_map.clear();
}

void class_object_manager::clean_pipe(interface_pipe* pin_pipe) {
    struct_token token;
    while (pin_pipe->eproc_pop(reinterpret_cast<Pimo::byte_t*>(&token)) == Pimo::OS::c_vimra_success)
        Kova::Common::Interface::safe_free_token(token, __FILE__, __LINE__);
}

// Only proxies take what is sent to every proxy; an id registered again moves its count.
void class_object_manager::proc_count_proxy(object_id_t in_id, int in_pid, int in_change) {
    if (in_id < c_first_proxy_id) return;
    if (in_change > 0) {
        ++m_process_proxies[in_pid];
        return;
    }
    const auto found = m_process_proxies.find(in_pid);
    if (found != m_process_proxies.end() && --found->second <= 0) m_process_proxies.erase(found);
}

bool class_object_manager::open_object_pipe(object_id_t in_id, int in_pid) {
    if (m_process_listen_map.count(in_pid) != 0) {
        ++m_process_ref[in_pid];
    } else {
        std::unique_ptr<IPC::class_process_listen_center_ipc> listen(new IPC::class_process_listen_center_ipc);
        listen->m_domain = m_domain;
        std::unique_ptr<IPC::class_process_return_center_ipc> ret(
            new IPC::class_process_return_center_ipc(listen.get()));
        const bool listen_open = listen->eproc_open(in_pid) == Pimo::OS::c_vimra_success;
        const bool return_open = listen_open && ret->eproc_open(in_pid) == Pimo::OS::c_vimra_success;
        if (!return_open) {
            if (listen_open) listen->proc_close();  // nothing was queued on it: closing is all it needs
            return false;
        }
        m_process_listen_map[in_pid] = listen_ptr_t(listen.release());
        m_process_return_map[in_pid] = return_ptr_t(ret.release());
        m_process_ref[in_pid] = 1;
    }
    const auto before = m_object_map.find(in_id);
    if (before != m_object_map.end()) proc_count_proxy(in_id, before->second, -1);
    m_object_map[in_id] = in_pid;
    proc_count_proxy(in_id, in_pid, 1);
    return true;
}

bool class_object_manager::close_object(object_id_t in_id) {
    const auto found = m_object_map.find(in_id);
    if (found == m_object_map.end()) return false;
    const int pid = found->second;
    m_object_map.erase(found);
    proc_count_proxy(in_id, pid, -1);
    const auto ref = m_process_ref.find(pid);
    if (ref == m_process_ref.end()) return false;
    --ref->second;
    return true;
}

bool class_object_manager::close_process(int in_pid) {
    const auto listen = m_process_listen_map.find(in_pid);
    const auto ret = m_process_return_map.find(in_pid);
    if (listen == m_process_listen_map.end() || ret == m_process_return_map.end()) return false;
    m_process_return_map.erase(ret);
    m_process_listen_map.erase(listen);  // stops watching the process; joins its watcher
    return true;
}

interface_pipe* class_object_manager::get_object_listen_pipe(object_id_t in_id) {
    return get_process_listen_pipe(get_pid(in_id));
}

interface_pipe* class_object_manager::get_object_return_pipe(object_id_t in_id) {
    return get_process_return_pipe(get_pid(in_id));
}

interface_pipe* class_object_manager::get_process_listen_pipe(int in_pid) {
    const auto found = m_process_listen_map.find(in_pid);
    return found == m_process_listen_map.end() ? nullptr : found->second.get();
}

interface_pipe* class_object_manager::get_process_return_pipe(int in_pid) {
    const auto found = m_process_return_map.find(in_pid);
    return found == m_process_return_map.end() ? nullptr : found->second.get();
}

void class_object_manager::get_all_listen_pipe(std::vector<interface_pipe*>& pout_pipes) {
    for (const auto& entry : m_process_listen_map)
        if (entry.second != nullptr) pout_pipes.push_back(entry.second.get());
}

void class_object_manager::get_proxy_listen_pipe(std::vector<interface_pipe*>& pout_pipes) {
    for (const auto& entry : m_process_proxies) {
        interface_pipe* pipe = get_process_listen_pipe(entry.first);
        if (pipe != nullptr) pout_pipes.push_back(pipe);
    }
}

void class_object_manager::get_all_return_pipe(std::vector<interface_pipe*>& pout_pipes) {
    for (const auto& entry : m_process_return_map)
        if (entry.second != nullptr) pout_pipes.push_back(entry.second.get());
}

void class_object_manager::get_all_object(std::vector<object_id_t>& pout_ids) {
    for (const auto& entry : m_object_map) pout_ids.push_back(entry.first);
}

void class_object_manager::get_all_object_of_process(int in_pid, std::vector<object_id_t>& pout_ids) {
    for (const auto& entry : m_object_map)
        if (entry.second == in_pid) pout_ids.push_back(entry.first);
}

int class_object_manager::get_pid(object_id_t in_id) {
    const auto found = m_object_map.find(in_id);
    return found == m_object_map.end() ? 0 : found->second;
}

int class_object_manager::get_process_count() { return static_cast<int>(m_process_listen_map.size()); }

}  // namespace Object_Manager
}  // namespace General_Center
}  // namespace Kova
