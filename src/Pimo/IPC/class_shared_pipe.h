// A named queue of fixed-size elements in shared memory, usable by any process of the host.
#pragma once

#include <atomic>
#include <string>

#include "Pimo/IPC/class_queue.h"
#include "Pimo/IPC/interface_pipe.h"
#include "Pimo/IPC/interface_pipe_hook.h"
#include "Pimo/IPC/interface_room_hook.h"
#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/class_process_lock.h"
#include "Pimo/OS/Linux/class_shared_memory.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Pimo {
namespace IPC {

class class_shared_pipe : public interface_pipe {
public:
    static const char* const str_name;

    class_shared_pipe()
        : mp_queue(nullptr), mp_hook(nullptr), mp_room_hook(nullptr), m_qsize(0), m_elem_size(0), m_live(false),
          m_want_room(false), m_has_room(false) {}
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
    // As eproc_receive_n, each wait bounded as in eproc_receive_timeout (2 after it).
    OS::vimra_err_t eproc_receive_n_timeout(byte_t* pout_elems, size_t in_elem_size, size_t in_max,
                                            size_t* pout_received, const double& in_timeout);

    // Asked before eproc_create or eproc_open: the pipe then has a second event, "room"
    // (named after the pipe's event with "room" appended), which a receive sets when it takes
    // the ring from above half its capacity to half or below, so that senders refused as full
    // (or at a limit above half) wait for room instead of sleeping a fixed time. Without it
    // (a creator that made none) eproc_wait_room polls.
    void proc_want_room() { m_want_room = true; }
    bool has_room_event() const { return m_has_room; }
    // Whose on_room this process's receives call when they make room as above (null: nobody).
    void set_room_hook(interface_room_hook* pin_hook) { mp_room_hook.store(pin_hook); }
    OS::vimra_err_t eproc_wait_room(const double& in_timeout) override;
    void proc_pass_room() override;

    // Waits, taking nothing, until a send sets the pipe's event (a refused one too) or
    // in_timeout seconds pass: for the reader that holds back from the pipe and waits for a
    // sender's word. 0, 2 after the time, 5 after a shut-down.
    OS::vimra_err_t eproc_wait_arrival(const double& in_timeout);

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
    // Whether taking the ring from in_before to in_after elements makes room for the waiting
    // senders (read under the lock; the event is set after it).
    bool makes_room(u_int32_t in_before, u_int32_t in_after) const {
        const u_int32_t half = (m_qsize - 1) / 2;
        return (m_has_room || mp_room_hook.load(std::memory_order_relaxed) != nullptr) && in_before > half &&
               in_after <= half;
    }
    // The room that makes_room found: the event set, the hook told.
    void proc_tell_room();
    static std::string room_name(const std::string& in_segment) { return in_segment + "room"; }
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
    OS::class_event m_room;
    class_queue* mp_queue;
    interface_pipe_hook* mp_hook;
    std::atomic<interface_room_hook*> mp_room_hook;
    OS::class_shared_memory m_memory;
    // Geometry fixed at create/open; the shared header is checked against it on every access.
    u_int32_t m_qsize;
    u_int32_t m_elem_size;
    bool m_live;
    bool m_want_room;
    bool m_has_room;  // fixed at create/open
};

}  // namespace IPC
}  // namespace Pimo
