// One packet queued on several serial queues of one object, to be delivered once, behind
// whatever each of those queues held before it: a client's end (a proxy destroyed, the link
// to its node lost) reaches every connection kind's handler after the packets the client
// sent before it on that kind's queue, and the bound stub's end reaches a proxy after what
// its stub sent before it.
//
// Each queue that reaches its entry is parked: nothing behind the entry is delivered until
// the last of the queues has reached its own. That one delivers the packet, once, and sets
// the parked queues going again. Parking holds no lock and no thread: a parked queue keeps
// the hold of the thread that parked it, and the barrier hands that hold to the thread that
// sets it going. An entry dropped undelivered (its queue or its object ended) counts as
// reached; when the last one is dropped, nobody delivers, and the parked queues are let go
// without being drained.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

namespace Kova {

class class_thread_qbuffer;

class class_queue_barrier {
public:
    explicit class_queue_barrier(std::size_t in_entries) : m_left(in_entries) {}
    class_queue_barrier(const class_queue_barrier&) = delete;
    class_queue_barrier& operator=(const class_queue_barrier&) = delete;

    // pin_queue's drainer has taken the barrier's entry off it, holding the queue's lock.
    // False: pin_queue is parked (the caller marks it and leaves its hold with the
    // barrier). True: it was the last; the caller delivers the packet, then
    // proc_take_parked, and deletes the barrier.
    bool proc_reach(class_thread_qbuffer* pin_queue);
    // The queues parked at it, each with a hold for the caller to drain with and release.
    std::vector<class_thread_qbuffer*> proc_take_parked();
    // An entry dropped undelivered. When it was the last, the parked queues are let go and
    // the barrier deleted. The caller holds no queue lock.
    static void proc_drop(class_queue_barrier* pin_barrier);

private:
    std::mutex m_mutex;
    std::size_t m_left;  // entries neither reached nor dropped
    std::vector<class_thread_qbuffer*> m_parked;
};

}  // namespace Kova
