// Holds a reference-counted memory's lock around several operations of this thread, so that
// they take it once (the lock is recursive per thread); a single operation takes it itself.
#pragma once

#include <cstddef>

#include "Pimo/Memory/interface_memory.h"

namespace Pimo {
namespace Memory {

class class_memory_hold {
public:
    // in_operations: how many operations follow under the hold; below 2 nothing is held.
    class_memory_hold(interface_memory* pin_memory, std::size_t in_operations)
        : mp_memory(in_operations > 1 ? pin_memory : nullptr) {
        if (mp_memory) mp_memory->proc_stop();
    }
    ~class_memory_hold() {
        if (mp_memory) mp_memory->proc_continue();
    }
    class_memory_hold(const class_memory_hold&) = delete;
    class_memory_hold& operator=(const class_memory_hold&) = delete;

private:
    interface_memory* mp_memory;
};

}  // namespace Memory
}  // namespace Pimo
