// One serial queue: deliveries of the message addresses that share it, one at a time
// in arrival order.
#pragma once

#include <deque>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/SDK/Interface/interface_object_core.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Kova {

struct struct_qtoken {
    SDK::Interface::interface_object_core* p_object;
    struct_token token;  // holds its own reference to each block
};

// Freed only when no address maps to it and no listener holds it: a listener that
// queued an entry keeps the queue until its own drain is over.
class class_thread_qbuffer : public std::deque<struct_qtoken> {
public:
    class_thread_qbuffer() : m_run(false), m_ref(1), m_hold(0), mp_merged(nullptr) {}

    Pimo::OS::class_thread_lock m_lock;  // guards the queue, m_run and m_hold
    bool m_run;                          // a thread is draining the queue
    int m_ref;                           // message addresses that map to this queue
    int m_hold;                          // listeners that queued an entry and have not drained yet
    class_thread_qbuffer* mp_merged;     // the queue that took this one's addresses and entries
};

}  // namespace Kova
