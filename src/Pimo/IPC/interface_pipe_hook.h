// Told of every element that leaves this process through a pipe or arrives in it, inside
// the pipe's lock, right next to the change of the ring: for whoever must know what the
// elements carry (references to blocks of the shared heap, for one).
#pragma once

#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Pimo {
namespace IPC {

class interface_pipe_hook {
public:
    virtual ~interface_pipe_hook() {}
    // The push of in_elem is about to take effect: nothing can refuse it any more.
    virtual void on_leaving(const byte_t* in_elem) = 0;
    // in_elem has just been taken out of the ring.
    virtual void on_arrived(const byte_t* in_elem) = 0;
};

}  // namespace IPC
}  // namespace Pimo
