// The center's registry: the owner process of every local object and the listen and
// return pipes of every registered process. Only the center thread uses it.
#pragma once
#include <map>
#include <memory>

#include "Kova/Center/Interface/interface_center_object_manager.h"
#include "Kova/General_Center/IPC/class_process_listen_center_ipc.h"
#include "Kova/General_Center/IPC/class_process_return_center_ipc.h"

namespace Kova {
namespace General_Center {
namespace Object_Manager {

class class_object_manager : public Kova::Center::Interface::interface_center_object_manager {
public:
    // Publishes itself as gp_object_manager.
    explicit class_object_manager(domain_t in_domain);
    // Closes every registered process's pipes (each watcher joined).
    ~class_object_manager() override;
    class_object_manager(const class_object_manager&) = delete;
    class_object_manager& operator=(const class_object_manager&) = delete;

    Pimo::IPC::interface_pipe* get_object_listen_pipe(object_id_t in_id) override;
    Pimo::IPC::interface_pipe* get_object_return_pipe(object_id_t in_id) override;
    Pimo::IPC::interface_pipe* get_process_listen_pipe(int in_pid) override;
    Pimo::IPC::interface_pipe* get_process_return_pipe(int in_pid) override;
    void get_all_listen_pipe(std::vector<Pimo::IPC::interface_pipe*>& pout_pipes) override;
    void get_all_return_pipe(std::vector<Pimo::IPC::interface_pipe*>& pout_pipes) override;
    void get_proxy_listen_pipe(std::vector<Pimo::IPC::interface_pipe*>& pout_pipes) override;
    void get_all_object(std::vector<object_id_t>& pout_ids) override;
    void get_all_object_of_process(int in_pid, std::vector<object_id_t>& pout_ids) override;
    bool open_object_pipe(object_id_t in_id, int in_pid) override;
    bool close_process(int in_pid) override;
    bool close_object(object_id_t in_id) override;
    int get_pid(object_id_t in_id) override;
    int get_process_count() override;

    // close_process of every registered process; the tear-down runs it before the center pipe goes.
    void proc_close_all();
    // Takes every token out of the pipe without waiting and releases it.
    static void clean_pipe(Pimo::IPC::interface_pipe* pin_pipe);

private:
    // A registered pipe goes in one order: the tokens still in it are released, it is closed (a
    // listen pipe's watcher is joined), then it is freed.
    struct struct_release_pipe {
        template <typename T>
        void operator()(T* pin_pipe) const {
            clean_pipe(pin_pipe);
            pin_pipe->proc_close();
            delete pin_pipe;
        }
    };
    typedef std::unique_ptr<IPC::class_process_listen_center_ipc, struct_release_pipe> listen_ptr_t;
    typedef std::unique_ptr<IPC::class_process_return_center_ipc, struct_release_pipe> return_ptr_t;

    domain_t m_domain;
    std::map<object_id_t, int> m_object_map;
    std::map<int, int> m_process_ref;
    // Proxies registered per process (none: no entry).
    std::map<int, int> m_process_proxies;
    void proc_count_proxy(object_id_t in_id, int in_pid, int in_change);
    // A return pipe refers to the listen pipe of its process, so it always goes first.
    std::map<int, listen_ptr_t> m_process_listen_map;
    std::map<int, return_ptr_t> m_process_return_map;
};

}  // namespace Object_Manager
}  // namespace General_Center
}  // namespace Kova
