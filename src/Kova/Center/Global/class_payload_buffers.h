// Payloads that a network receive of this center kept in the center's own heap, because the
// packet memory had no block for them (the center answers such a packet with busy node).
// The packet record carries the buffer in p_data, but a record that a local process wrote
// may carry any pointer there, whatever its source address: only a buffer made here is
// ever freed, once, on whichever path the packet ends.
#pragma once
#include <cstddef>
#include <mutex>
#include <unordered_set>

#include "Kova/Common/Hidden/struct_packet.h"

namespace Kova {
namespace Center {
namespace Global {

class class_payload_buffers {
public:
    // A buffer of in_size bytes, known as this center's; null when the heap has none.
    static byte_t* new_buffer(std::size_t in_size);
    // The packet ends: its p_data is freed when this center made it, and is null afterwards
    // in any case (a foreign pointer is never followed).
    static void proc_free(struct_packet* pin_pkt);
    // Buffers made and not yet freed.
    static std::size_t get_count();

private:
    static std::mutex& lock();
    static std::unordered_set<const void*>& made();
};

}  // namespace Global
}  // namespace Center
}  // namespace Kova
