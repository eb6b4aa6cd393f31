#include "Pimo/IPC/class_shared_observer_pipe.h"

namespace Pimo {
namespace IPC {

using namespace OS;

vimra_err_t class_shared_observer_pipe::add_observer_created(vimra_err_t in_pipe_result, const char* in_name) {
    if (in_pipe_result != c_vimra_success) return in_pipe_result;
    vimra_err_t r = class_observer::eproc_create(in_name);
    if (r != c_vimra_success) {
        class_observer::proc_destroy();
        class_shared_pipe::proc_destroy();
    }
    return r;
}

vimra_err_t class_shared_observer_pipe::add_observer_opened(vimra_err_t in_pipe_result, const char* in_name) {
    if (in_pipe_result != c_vimra_success) return in_pipe_result;
    vimra_err_t r = class_observer::eproc_open(in_name);
    if (r != c_vimra_success) class_shared_pipe::proc_close();
    return r;
}

vimra_err_t class_shared_observer_pipe::eproc_create(const char* in_name, const u_int32_t& in_size,
                                                     const u_int32_t& in_elem_size) {
    return add_observer_created(class_shared_pipe::eproc_create(in_name, in_size, in_elem_size), in_name);
}

vimra_err_t class_shared_observer_pipe::eproc_create_app(const char* in_name, const u_int32_t& in_size,
                                                         const u_int32_t& in_elem_size) {
    return add_observer_created(class_shared_pipe::eproc_create_app(in_name, in_size, in_elem_size), in_name);
}

vimra_err_t class_shared_observer_pipe::eproc_open(const char* in_name, u_int32_t in_elem_size) {
    return add_observer_opened(class_shared_pipe::eproc_open(in_name, in_elem_size), in_name);
}

vimra_err_t class_shared_observer_pipe::eproc_open_app(const char* in_name, process_id_t pid, u_int32_t in_elem_size) {
    return add_observer_opened(class_shared_pipe::eproc_open_app(in_name, pid, in_elem_size), in_name);
}

vimra_err_t class_shared_observer_pipe::eproc_open_serving(const char* in_name, u_int32_t in_elem_size) {
    vimra_err_t r = class_shared_pipe::eproc_open(in_name, in_elem_size);
    if (r == c_vimra_success && class_shared_pipe::test_shutdown()) {
        class_shared_pipe::proc_close();
        r = c_vimra_shutdown;
    }
    return add_observer_opened(r, in_name);
}

void class_shared_observer_pipe::proc_close() {
    class_observer::proc_close();
    class_shared_pipe::proc_close();
}

void class_shared_observer_pipe::proc_destroy() {
    class_observer::proc_destroy();
    class_shared_pipe::proc_destroy();
}

vimra_err_t class_shared_observer_pipe::eproc_send(const byte_t* in_elem, size_t in_min) {
    vimra_err_t r = class_shared_pipe::eproc_send(in_elem, in_min);
    if (r != c_vimra_success && !is_live()) r = c_vimra_shutdown;
    return r;
}

bool class_shared_observer_pipe::test_shutdown() { return !is_live() || class_shared_pipe::test_shutdown(); }

}  // namespace IPC
}  // namespace Pimo
