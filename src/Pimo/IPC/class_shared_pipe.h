// A named queue of fixed-size elements in shared memory, usable by any process of the host.
#pragma once

#include "Pimo/IPC/class_queue.h"
#include "Pimo/IPC/interface_pipe.h"
#include "Pimo/IPC/interface_pipe_hook.h"
#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/class_process_lock.h"
#include "Pimo/OS/Linux/class_shared_memory.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Pimo {
namespace IPC {

class class_shared_pipe : public interface_pipe {
public:
    static const char* const str_name;

    class_shared_pipe() : mp_queue(nullptr), mp_hook(nullptr), m_qsize(0), m_elem_size(0), m_live(false) {}
    ~class_shared_pipe() override {}

    OS::vimra_err_t eproc_create(const char* in_name, const u_int32_t& in_size, const u_int32_t& in_elem_size);
    OS::vimra_err_t eproc_create_app(const char* in_name, const u_int32_t& in_size, const u_int32_t& in_elem_size);
    // in_elem_size 0 accepts the creator's element size; otherwise it must match.
    OS::vimra_err_t eproc_open(const char* in_name, u_int32_t in_elem_size = 0);
    OS::vimra_err_t eproc_open_app(const char* in_name, OS::process_id_t pid, u_int32_t in_elem_size = 0);
    void proc_close();
    void proc_destroy();

    void proc_shutdown() override;
    // Shuts the pipe down only while it is empty, in one step under its lock: 0, or 8 when
    // something waits in it (a push that comes later is refused with 5).
    OS::vimra_err_t eproc_shutdown_if_empty();
    bool test_empty() override;
    bool test_full() override;
    OS::vimra_err_t eproc_push(const byte_t* pin_elem, size_t in_min) override;
    OS::vimra_err_t eproc_send(const byte_t* in_elem, size_t in_min) override;
    OS::vimra_err_t eproc_receive(byte_t* pout_elem) override;
    OS::vimra_err_t eproc_receive_timeout(byte_t* pout_elem, const double& in_timeout) override;
    OS::vimra_err_t eproc_pop(byte_t* pout_elem) override;
    // Also true for a pipe that is not live.
    bool test_shutdown() override;
    // One hold of the lock for all the elements, one wake.
    OS::vimra_err_t eproc_send_n(const byte_t* pin_elems, size_t in_elem_size, size_t in_count, size_t in_min,
                                 size_t* pout_sent) override;
    OS::vimra_err_t eproc_receive_n(byte_t* pout_elems, size_t in_elem_size, size_t in_max,
                                    size_t* pout_received) override;

    u_int32_t get_size();
    // This process's pushes and takes are told to in_hook (null: to nobody).
    void set_hook(interface_pipe_hook* pin_hook) { mp_hook = pin_hook; }
    u_int32_t get_capacity() const { return m_qsize ? m_qsize - 1 : 0; }
    u_int32_t get_elem_size() const { return m_elem_size; }

private:
    OS::vimra_err_t create(const char* in_name, const u_int32_t& in_size, const u_int32_t& in_elem_size, bool in_app);
    OS::vimra_err_t open(const char* in_name, u_int32_t in_elem_size, bool in_app);
    // Takes up to in_max elements (at least one, waiting for it); *pout_received is how many.
    OS::vimra_err_t receive(byte_t* pout_elems, size_t in_max, size_t* pout_received, bool in_timed,
                            double in_timeout);
    // eproc_push's checks and copy; the lock is held.
    OS::vimra_err_t push_locked(const byte_t* pin_elem, size_t in_min);
    // Takes the front element of a ring that is not empty; the lock is held.
    void take_locked(byte_t* pout_elem);
    // The transit record (see interface_pipe_hook.h), with the lock held: a record a dead
    // holder left is judged and, where this process's hook can, settled; a move of this
    // process begins and ends one when its hook keeps an account of the element.
    void proc_settle_transit();
    bool begin_transit(const byte_t* pin_elem, u_int32_t in_kind, u_int32_t in_position,
                       interface_pipe_hook::refs_t& out_refs);
    void end_transit();

    OS::class_process_lock m_mutex;
    OS::class_event m_event;
    class_queue* mp_queue;
    interface_pipe_hook* mp_hook;
    OS::class_shared_memory m_memory;
    // Geometry fixed at create/open; the shared header is checked against it on every access.
    u_int32_t m_qsize;
    u_int32_t m_elem_size;
    bool m_live;
};

}  // namespace IPC
}  // namespace Pimo
