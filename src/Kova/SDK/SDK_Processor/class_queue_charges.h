// What the one-way packets (events, values, commands) waiting in this process's serial queues
// hold, counted once per packet however many queues it waits in: a fixed table of c_slots
// charges (the count bound, taken at its creation, so that charging allocates nothing) and
// a total of bytes (the byte bound, the process's share of the packet memory). A listener
// takes a charge for a packet before it queues it, each queue entry adds to it, and the charge
// is given back with its last entry. The byte bound comes with each take, since the memory's
// size is known only once the SDK has opened it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace Kova {
namespace SDK {
namespace SDK_Processor {

class class_queue_charges {
public:
    static constexpr std::uint32_t c_slots = 8192;
    // An entry that holds no charge.
    static constexpr std::uint32_t c_none = 0xFFFFFFFFu;

    class_queue_charges();
    class_queue_charges(const class_queue_charges&) = delete;
    class_queue_charges& operator=(const class_queue_charges&) = delete;

    // A charge of in_bytes, held once by the caller; c_none when either bound is reached
    // (in_byte_bound 0: no bound by bytes).
    std::uint32_t take(std::size_t in_bytes, std::size_t in_byte_bound);
    // One more holder of in_slot (c_none: nothing).
    void add(std::uint32_t in_slot);
    // One holder less of in_slot (c_none: nothing); the last gives the charge back.
    void release(std::uint32_t in_slot);
    // in_slot now charges in_bytes (c_none: nothing): a newer packet of one stream that took the
    // older one's place holds its charge, or every such replacement would free a charge for the
    // next packet while the newer one waits beside it uncounted.
    void recharge(std::uint32_t in_slot, std::size_t in_bytes);

    std::size_t get_count() const { return m_count.load(std::memory_order_relaxed); }
    std::size_t get_bytes() const { return m_bytes.load(std::memory_order_relaxed); }

private:
    struct struct_slot {
        std::atomic<std::uint32_t> holders{0};
        std::size_t bytes = 0;  // under m_free_lock
    };

    std::unique_ptr<struct_slot[]> m_slots;
    std::mutex m_free_lock;  // guards the free list
    std::unique_ptr<std::uint32_t[]> m_free;
    std::uint32_t m_free_count;
    std::atomic<std::size_t> m_count{0};
    std::atomic<std::size_t> m_bytes{0};
};

}  // namespace SDK_Processor
}  // namespace SDK
}  // namespace Kova
