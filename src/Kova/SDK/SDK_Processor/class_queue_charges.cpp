#include "Kova/SDK/SDK_Processor/class_queue_charges.h"

namespace Kova {
namespace SDK {
namespace SDK_Processor {

class_queue_charges::class_queue_charges()
    : m_slots(new struct_slot[c_slots]),
      m_free(new std::uint32_t[c_slots]),
      m_free_count(c_slots) {
    for (std::uint32_t i = 0; i < c_slots; ++i) m_free[i] = c_slots - 1 - i;
}

std::uint32_t class_queue_charges::take(std::size_t in_bytes, std::size_t in_byte_bound) {
    std::uint32_t slot = c_none;
    {
        std::lock_guard<std::mutex> lock(m_free_lock);
        if (m_free_count == 0) return c_none;
        if (in_byte_bound != 0 && m_bytes.load(std::memory_order_relaxed) + in_bytes > in_byte_bound) return c_none;
        slot = m_free[--m_free_count];
        m_slots[slot].bytes = in_bytes;
        m_bytes.fetch_add(in_bytes, std::memory_order_relaxed);
        m_count.fetch_add(1, std::memory_order_relaxed);
    }
    m_slots[slot].holders.store(1, std::memory_order_release);
    return slot;
}

void class_queue_charges::add(std::uint32_t in_slot) {
    if (in_slot != c_none) m_slots[in_slot].holders.fetch_add(1, std::memory_order_relaxed);
}

void class_queue_charges::release(std::uint32_t in_slot) {
    if (in_slot == c_none || m_slots[in_slot].holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    std::lock_guard<std::mutex> lock(m_free_lock);
    m_bytes.fetch_sub(m_slots[in_slot].bytes, std::memory_order_relaxed);
    m_count.fetch_sub(1, std::memory_order_relaxed);
    m_free[m_free_count++] = in_slot;
}

void class_queue_charges::recharge(std::uint32_t in_slot, std::size_t in_bytes) {
    if (in_slot == c_none) return;
    std::lock_guard<std::mutex> lock(m_free_lock);
    struct_slot& slot = m_slots[in_slot];
    m_bytes.fetch_add(in_bytes, std::memory_order_relaxed);
    m_bytes.fetch_sub(slot.bytes, std::memory_order_relaxed);
    slot.bytes = in_bytes;
}

}  // namespace SDK_Processor
}  // namespace SDK
}  // namespace Kova
