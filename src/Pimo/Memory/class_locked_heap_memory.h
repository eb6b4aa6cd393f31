// The private heap with a thread lock around each changing operation.
#pragma once

#include <string>

#include "Pimo/Memory/class_heap_memory.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Pimo {
namespace Memory {

class class_locked_heap_memory : public class_heap_memory {
public:
    void reset() override;
    void* alloc(size_t len) override;
    void free(void* ptr_node) override;
    using class_heap_memory::get_status;  // unlocked
    // Copies the status text into out under the lock and returns it.
    virtual std::string& get_status(std::string& out);

private:
    OS::class_thread_lock m_lock;
};

}  // namespace Memory
}  // namespace Pimo
