#include "Pimo/Memory/class_locked_heap_memory.h"

#include "Pimo/OS/Linux/class_locker.h"

namespace Pimo {
namespace Memory {

void class_locked_heap_memory::reset() {
    OS::class_locker guard(m_lock);
    class_heap_memory::reset();
}

void* class_locked_heap_memory::alloc(size_t len) {
    OS::class_locker guard(m_lock);
    return class_heap_memory::alloc(len);
}

void class_locked_heap_memory::free(void* ptr_node) {
    OS::class_locker guard(m_lock);
    class_heap_memory::free(ptr_node);
}

std::string& class_locked_heap_memory::get_status(std::string& out) {
    OS::class_locker guard(m_lock);
    out = class_heap_memory::get_status();
    return out;
}

}  // namespace Memory
}  // namespace Pimo
