// One serial queue: deliveries of the message addresses that share it, one at a time
// in arrival order.
#pragma once

#include <deque>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/SDK/Interface/interface_object_core.h"
#include "Kova/SDK/SDK_Processor/class_queue_charges.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Kova {

class class_queue_barrier;

struct struct_qtoken {
    SDK::Interface::interface_object_core* p_object;
    struct_token token;  // holds its own reference to each block
    // Set for a packet queued on several queues of the object at once, delivered by the
    // last of them to reach it.
    class_queue_barrier* p_barrier = nullptr;
    // The charge of a one-way packet this entry holds (c_none: none).
    std::uint32_t charge = SDK::SDK_Processor::class_queue_charges::c_none;
};

// Kept while a message address maps to it or a listener holds it: a listener that
// queued an entry keeps the queue until its own drain is over.
class class_thread_qbuffer : public std::deque<struct_qtoken> {
public:
    // The charges of the entries go back to pin_charges (null: they hold none).
    explicit class_thread_qbuffer(SDK::SDK_Processor::class_queue_charges* pin_charges = nullptr)
        : m_run(false), m_parked(false), m_ref(1), m_hold(0), mp_merged(nullptr), mp_charges(pin_charges) {}
    // Frees the entries still waiting (their own references and charges); a barrier's entry
    // counts as dropped.
    ~class_thread_qbuffer();
    class_thread_qbuffer(const class_thread_qbuffer&) = delete;
    class_thread_qbuffer& operator=(const class_thread_qbuffer&) = delete;

    // An entry that leaves the queue undelivered, or after its delivery: its token freed, its
    // charge given back (its barrier is the caller's). The caller holds m_lock or owns the entry.
    void proc_release_entry(struct_qtoken& io_entry);
    // The last one out frees the queue: in_addresses of the addresses that map to it and
    // in_holds of the listeners' holds leave it, and it is deleted once neither is left.
    // Returns the queue that took this one's addresses and entries, if any.
    static class_thread_qbuffer* proc_release(class_thread_qbuffer* pin_queue, int in_addresses, int in_holds);

    Pimo::OS::class_thread_lock m_lock;  // guards the queue, m_run, m_parked and m_hold
    bool m_run;                          // a thread is draining the queue
    bool m_parked;                       // at a barrier: nobody drains it until the barrier lets it go
    int m_ref;                           // message addresses that map to this queue
    int m_hold;                          // listeners that queued an entry and have not drained yet
    class_thread_qbuffer* mp_merged;     // the queue that took this one's addresses and entries
    SDK::SDK_Processor::class_queue_charges* const mp_charges;
};

}  // namespace Kova
