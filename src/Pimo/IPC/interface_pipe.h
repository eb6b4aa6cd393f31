// The abstract pipe through which every caller drives a pipe.
#pragma once

#include <cstddef>

#include "Pimo/OS/Linux/pimo_typedef.h"
#include "Pimo/OS/Linux/vimra_err.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Pimo {
namespace IPC {

class interface_pipe {
public:
    virtual ~interface_pipe() {}
    virtual void proc_shutdown() = 0;
    virtual bool test_empty() = 0;
    virtual bool test_full() = 0;
    // in_min 0 refuses when full; a limit n refuses when n or more elements are queued.
    virtual OS::vimra_err_t eproc_push(const byte_t* pin_elem, size_t in_min) = 0;
    virtual OS::vimra_err_t eproc_send(const byte_t* in_elem, size_t in_min) = 0;
    virtual OS::vimra_err_t eproc_receive(byte_t* pout_elem) = 0;
    virtual OS::vimra_err_t eproc_receive_timeout(byte_t* pout_elem, const double& in_timeout) = 0;
    virtual OS::vimra_err_t eproc_pop(byte_t* pout_elem) = 0;
    // True once nothing will read the pipe any more: it was shut down (or, for the user of an
    // observer pipe, its creator has gone). A pipe that cannot tell says false.
    virtual bool test_shutdown() { return false; }

    // Sends in_count elements of in_elem_size bytes laid end to end, in their order, until one is
    // refused; *pout_sent is how many went in (always the first ones). The result is the refusal's,
    // or 0. This form wakes a reader for each; a pipe may push them under one hold of its lock
    // and wake once.
    virtual OS::vimra_err_t eproc_send_n(const byte_t* pin_elems, size_t in_elem_size, size_t in_count,
                                         size_t in_min, size_t* pout_sent) {
        *pout_sent = 0;
        for (; *pout_sent < in_count; ++*pout_sent) {
            const OS::vimra_err_t r = eproc_send(pin_elems + *pout_sent * in_elem_size, in_min);
            if (r != OS::c_vimra_success) return r;
        }
        return OS::c_vimra_success;
    }
    // A sender that found the pipe full waits here for a receive to make room: at most
    // in_timeout seconds; 0 when woken, 2 after the time. A pipe that cannot tell waits a
    // moment (c_room_poll_s) instead, so that the caller tries again soon.
    virtual OS::vimra_err_t eproc_wait_room(const double& in_timeout) {
        OS::rtsleep(in_timeout < c_room_poll_s ? in_timeout : c_room_poll_s);
        return OS::c_vimra_timeout;
    }
    // A woken sender that has pushed passes the wake on to the next waiting one.
    virtual void proc_pass_room() {}
    static constexpr double c_room_poll_s = 0.001;

    // Receives as eproc_receive, then takes whatever else is waiting up to in_max elements in all,
    // laid end to end in pout_elems; *pout_received is how many (0 unless the result is 0). A pipe
    // may take them under one hold of its lock.
    virtual OS::vimra_err_t eproc_receive_n(byte_t* pout_elems, size_t in_elem_size, size_t in_max,
                                            size_t* pout_received) {
        *pout_received = 0;
        const OS::vimra_err_t r = eproc_receive(pout_elems);
        if (r != OS::c_vimra_success) return r;
        for (*pout_received = 1; *pout_received < in_max; ++*pout_received)
            if (eproc_pop(pout_elems + *pout_received * in_elem_size) != OS::c_vimra_success) break;
        return OS::c_vimra_success;
    }
};

}  // namespace IPC
}  // namespace Pimo
