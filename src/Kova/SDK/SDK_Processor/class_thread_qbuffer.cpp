#include "Kova/SDK/SDK_Processor/class_thread_qbuffer.h"

#include "Kova/SDK/SDK_Processor/class_queue_barrier.h"

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

class_thread_qbuffer::~class_thread_qbuffer() {
    for (struct_qtoken& entry : *this) {
        Common::Interface::safe_free_token(entry.token, __FILE__, __LINE__);
        if (entry.p_barrier) class_queue_barrier::proc_drop(entry.p_barrier);
    }
}

class_thread_qbuffer* class_thread_qbuffer::proc_release(class_thread_qbuffer* pin_queue, int in_addresses,
                                                         int in_holds) {
    class_thread_qbuffer* merged = nullptr;
    bool last = false;
    {
        Pimo::OS::class_locker lock(pin_queue->m_lock);
        pin_queue->m_ref -= in_addresses;
        pin_queue->m_hold -= in_holds;
        merged = pin_queue->mp_merged;
        last = pin_queue->m_ref == 0 && pin_queue->m_hold == 0;
    }
    if (last) delete pin_queue;
    return merged;
}

}  // namespace Kova
