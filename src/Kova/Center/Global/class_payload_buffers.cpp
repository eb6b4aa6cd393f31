#include "Kova/Center/Global/class_payload_buffers.h"

#include <cstdlib>

namespace Kova {
namespace Center {
namespace Global {

std::mutex& class_payload_buffers::lock() {
    static std::mutex s_lock;
    return s_lock;
}

std::unordered_set<const void*>& class_payload_buffers::made() {
    static std::unordered_set<const void*> s_made;
    return s_made;
}

byte_t* class_payload_buffers::new_buffer(std::size_t in_size) {
    void* buffer = std::malloc(in_size ? in_size : 1);
    if (buffer == nullptr) return nullptr;
    try {
        std::lock_guard<std::mutex> hold(lock());
        made().insert(buffer);
    } catch (...) {
        std::free(buffer);
        return nullptr;
    }
    return static_cast<byte_t*>(buffer);
}

void class_payload_buffers::proc_free(struct_packet* pin_pkt) {
    if (pin_pkt == nullptr || pin_pkt->p_data == nullptr) return;
    bool ours = false;
    {
        std::lock_guard<std::mutex> hold(lock());
        ours = made().erase(pin_pkt->p_data) != 0;
    }
    if (ours) std::free(pin_pkt->p_data);
    pin_pkt->p_data = nullptr;
}

std::size_t class_payload_buffers::get_count() {
    std::lock_guard<std::mutex> hold(lock());
    return made().size();
}

}  // namespace Global
}  // namespace Center
}  // namespace Kova
