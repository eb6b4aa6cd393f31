#include "Kova/SDK/SDK_Processor/class_thread_qbuffer.h"

#include "Kova/SDK/SDK_Processor/class_queue_barrier.h"

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

class_thread_qbuffer::~class_thread_qbuffer() {
    for (struct_qtoken& entry : *this) {
        proc_release_entry(entry);
        if (entry.p_barrier) class_queue_barrier::proc_drop(entry.p_barrier);
    }
}

void class_thread_qbuffer::proc_release_entry(struct_qtoken& io_entry) {
    Common::Interface::safe_free_token(io_entry.token, __FILE__, __LINE__);
    if (io_entry.charge != SDK::SDK_Processor::class_queue_charges::c_none && mp_charges)
        mp_charges->release(io_entry.charge);
    io_entry.charge = SDK::SDK_Processor::class_queue_charges::c_none;
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
