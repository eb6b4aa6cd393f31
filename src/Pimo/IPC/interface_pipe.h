// The abstract pipe through which every caller drives a pipe.
#pragma once

#include <cstddef>

#include "Pimo/OS/Linux/pimo_typedef.h"
#include "Pimo/OS/Linux/vimra_err.h"

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
};

}  // namespace IPC
}  // namespace Pimo
