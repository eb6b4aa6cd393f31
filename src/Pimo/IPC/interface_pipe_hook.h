// Told of every element that leaves this process through a pipe or arrives in it, inside
// the pipe's lock, on both sides of the change of the ring: for whoever must know what the
// elements carry (references to blocks of the shared heap, for one).
//
// A process can be killed between the two sides. So that what the element carries is
// neither lost nor given back twice, the pipe keeps a transit record in its header while the
// ring changes (struct_pipe_transit), and the hook marks the element's references as in
// transit in the process's own account. A record found still set by the next holder of the
// lock was left by a dead process; that holder alone sees whether the ring had changed, and
// its hook settles the marks (on_dead_transit).
#pragma once

#include <cstddef>

#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Pimo {
namespace IPC {

// References one element carries at most.
constexpr size_t c_transit_refs = 2;

// Written by the holder of the pipe's lock before the ring changes, cleared after.
struct struct_pipe_transit {
    u_int32_t state;     // none, or a push or take; once judged, whether the ring had changed
    u_int32_t pid;       // the process in the middle of it
    u_int32_t position;  // the tail before a push, the head before a take
    u_int32_t refs[c_transit_refs];
};

class interface_pipe_hook {
public:
    typedef u_int32_t refs_t[c_transit_refs];

    virtual ~interface_pipe_hook() {}
    // The references in_elem carries (0 for none). False when this process keeps no account of
    // them now: the element then moves without a transit record.
    virtual bool get_refs(const byte_t* in_elem, refs_t& out_refs) = 0;
    // A push: before the ring takes the element (nothing can refuse it any more), and after.
    virtual void on_leaving(const refs_t& in_refs) = 0;
    virtual void on_left(const refs_t& in_refs) = 0;
    // A take: before the ring gives the element up, and after.
    virtual void on_arriving(const refs_t& in_refs) = 0;
    virtual void on_arrived(const refs_t& in_refs) = 0;
    // The process in_pid died inside a push (in_push) or a take of in_refs, after the ring had
    // changed (in_changed) or before. False when this process cannot settle it: the record then
    // waits for a holder that can.
    virtual bool on_dead_transit(u_int32_t in_pid, const refs_t& in_refs, bool in_push, bool in_changed) = 0;
};

}  // namespace IPC
}  // namespace Pimo
