// Told of every reference to a block of the shared heap that this process takes or gives
// up, inside the heap's lock, right next to the change itself.
#pragma once

#include "Pimo/Memory/memory_typedef.h"

namespace Pimo {
namespace Memory {

class interface_handle_hook {
public:
    virtual ~interface_handle_hook() {}
    // A reference taken: a new block, or one more reference to a block.
    virtual void on_taken(mm_t in_mm) = 0;
    // A reference about to be given up.
    virtual void on_released(mm_t in_mm) = 0;
};

}  // namespace Memory
}  // namespace Pimo
