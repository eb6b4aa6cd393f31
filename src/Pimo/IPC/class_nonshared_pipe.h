// A pipe of element copies for the threads of one process, behind the same interface as the
// shared pipe. It counts as full only when more than its capacity is queued.
#pragma once

#include <cstddef>

#include "Pimo/IPC/interface_pipe.h"
#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Pimo {
namespace IPC {

class class_nonshared_pipe : public interface_pipe {
public:
    class_nonshared_pipe();
    // Frees the element copies still queued along with the queue.
    ~class_nonshared_pipe() override;
    class_nonshared_pipe(const class_nonshared_pipe&) = delete;
    class_nonshared_pipe& operator=(const class_nonshared_pipe&) = delete;

    OS::vimra_err_t eproc_create(const unsigned long& in_size, const size_t& in_elem_size);
    void proc_destroy();

    void proc_shutdown() override;
    bool test_empty() override;
    bool test_full() override;
    OS::vimra_err_t eproc_push(const byte_t* pin_elem, size_t in_min) override;
    OS::vimra_err_t eproc_send(const byte_t* in_elem, size_t in_min) override;
    OS::vimra_err_t eproc_receive(byte_t* pout_elem) override;
    OS::vimra_err_t eproc_receive_timeout(byte_t* pout_elem, const double& in_timeout) override;
    OS::vimra_err_t eproc_pop(byte_t* pout_elem) override;
    bool test_shutdown() override;
    // A take that brings the queue from above half its capacity to half or below sets the
    // room event its refused senders wait on.
    OS::vimra_err_t eproc_wait_room(const double& in_timeout) override;
    void proc_pass_room() override;

private:
    class class_element_queue;

    // Copies the oldest element out and drops it; the queue must not be empty. True when the
    // take makes room for waiting senders (the lock is held; the caller sets the event after).
    bool take(byte_t* pout_elem);

    bool m_valid;
    OS::class_event m_event;
    OS::class_event m_room;
    class_element_queue* mp_queue;
    OS::class_thread_lock m_lock;
    unsigned long m_size;
    size_t m_elem_size;
};

}  // namespace IPC
}  // namespace Pimo
