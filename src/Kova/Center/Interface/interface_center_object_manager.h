// The center's registry of local objects and their processes, as the relay uses it.
#pragma once
#include <vector>

#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/IPC/interface_pipe.h"

namespace Kova {
namespace Center {
namespace Interface {

class interface_center_object_manager {
public:
    virtual ~interface_center_object_manager() {}

    virtual Pimo::IPC::interface_pipe* get_object_listen_pipe(object_id_t in_id) = 0;
    virtual Pimo::IPC::interface_pipe* get_object_return_pipe(object_id_t in_id) = 0;
    virtual Pimo::IPC::interface_pipe* get_process_listen_pipe(int in_pid) = 0;
    virtual Pimo::IPC::interface_pipe* get_process_return_pipe(int in_pid) = 0;
    // Append in ascending pid (object id) order.
    virtual void get_all_listen_pipe(std::vector<Pimo::IPC::interface_pipe*>& pout_pipes) = 0;
    virtual void get_all_return_pipe(std::vector<Pimo::IPC::interface_pipe*>& pout_pipes) = 0;
    // The listen pipes of the processes that hold a proxy, in ascending pid order. A registry
    // that cannot tell gives every one.
    virtual void get_proxy_listen_pipe(std::vector<Pimo::IPC::interface_pipe*>& pout_pipes) {
        get_all_listen_pipe(pout_pipes);
    }
    virtual void get_all_object(std::vector<object_id_t>& pout_ids) = 0;
    virtual void get_all_object_of_process(int in_pid, std::vector<object_id_t>& pout_ids) = 0;
    virtual bool open_object_pipe(object_id_t in_id, int in_pid) = 0;
    virtual bool close_process(int in_pid) = 0;
    virtual bool close_object(object_id_t in_id) = 0;
    // 0 when the object is not registered.
    virtual int get_pid(object_id_t in_id) = 0;
    virtual int get_process_count() = 0;
};

}  // namespace Interface
}  // namespace Center
}  // namespace Kova
