// A shared pipe whose users learn when its creator is gone.
#pragma once

#include "Pimo/IPC/class_shared_pipe.h"
#include "Pimo/Observer/class_observer.h"

namespace Pimo {
namespace IPC {

class class_shared_observer_pipe : public class_shared_pipe, private Observer::class_observer {
public:
    OS::vimra_err_t eproc_create(const char* in_name, const u_int32_t& in_size, const u_int32_t& in_elem_size);
    OS::vimra_err_t eproc_create_app(const char* in_name, const u_int32_t& in_size, const u_int32_t& in_elem_size);
    OS::vimra_err_t eproc_open(const char* in_name, u_int32_t in_elem_size = 0);
    OS::vimra_err_t eproc_open_app(const char* in_name, OS::process_id_t pid, u_int32_t in_elem_size = 0);
    // As eproc_open, but a pipe its creator has already shut down is not opened (5): its
    // creator is ending, and watching it would only report that end.
    OS::vimra_err_t eproc_open_serving(const char* in_name, u_int32_t in_elem_size = 0);
    void proc_close();
    void proc_destroy();

    // Once this user's watcher has fired, a failed send means the creator is gone: 5.
    OS::vimra_err_t eproc_send(const byte_t* in_elem, size_t in_min) override;
    // Also true once this user's watcher has fired.
    bool test_shutdown() override;

    using Observer::class_observer::is_live;

protected:
    using Observer::class_observer::on_destroy;

private:
    OS::vimra_err_t add_observer_created(OS::vimra_err_t in_pipe_result, const char* in_name);
    OS::vimra_err_t add_observer_opened(OS::vimra_err_t in_pipe_result, const char* in_name);
};

}  // namespace IPC
}  // namespace Pimo
