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

class class_thread_qbuffer : public std::deque<struct_qtoken> {
public:
    class_thread_qbuffer() : m_run(false), m_orphan(false), m_ref(1) {}

    Pimo::OS::class_thread_lock m_lock;  // guards the queue and m_run
    bool m_run;                          // a thread is draining the queue
    bool m_orphan;                       // left by its last address while drained: the drainer frees it
    int m_ref;                           // message addresses that map to this queue
};

}  // namespace Kova
