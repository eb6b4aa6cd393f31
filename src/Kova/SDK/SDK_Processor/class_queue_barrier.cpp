#include "Kova/SDK/SDK_Processor/class_queue_barrier.h"

#include "Kova/SDK/SDK_Processor/class_thread_qbuffer.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

bool class_queue_barrier::proc_reach(class_thread_qbuffer* pin_queue) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (--m_left == 0) return true;
    m_parked.push_back(pin_queue);
    return false;
}

std::vector<class_thread_qbuffer*> class_queue_barrier::proc_take_parked() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<class_thread_qbuffer*> parked;
    parked.swap(m_parked);
    return parked;
}

void class_queue_barrier::proc_drop(class_queue_barrier* pin_barrier) {
    {
        std::lock_guard<std::mutex> lock(pin_barrier->m_mutex);
        if (--pin_barrier->m_left != 0) return;
    }
    for (class_thread_qbuffer* queue : pin_barrier->proc_take_parked()) {
        {
            Pimo::OS::class_locker lock(queue->m_lock);
            queue->m_parked = false;
        }
        // A merge hands the hold on to the queue that took the entries.
        for (class_thread_qbuffer* q = queue; q != nullptr;) q = class_thread_qbuffer::proc_release(q, 0, 1);
    }
    delete pin_barrier;
}

}  // namespace Kova
