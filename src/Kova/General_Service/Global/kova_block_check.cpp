#include "Kova/General_Service/Global/kova_block_check.h"

#include "Pimo/Memory/heap_record.h"

namespace Kova {
namespace General_Service {
namespace Global {

using namespace Pimo::Memory;

bool test_allocated_block(class_dynamic_shared_ref_memory& in_memory, mm_t in_mm, std::size_t in_min_size) {
    class_heap_manager* heap = in_memory.get_pool().get_heap();
    if (heap == nullptr) return false;
    const Pimo::u_int64_t size = heap->get_segment_size();
    if (in_mm < c_first_payload || in_mm >= size) return false;
    const Pimo::u_int64_t target = static_cast<Pimo::u_int64_t>(in_mm) - c_heap_block_size;
    const Pimo::byte_t* base = static_cast<const Pimo::byte_t*>(in_memory.get_addr(0));
    // The same walk the heap makes: block headers follow one another from the first block, so
    // only an offset met on the walk is a block. Each step is at least one block header.
    Pimo::u_int64_t pos = c_first_block;
    while (pos + c_heap_block_size <= size && pos <= target) {
        const HEAP_BLOCK* b = reinterpret_cast<const HEAP_BLOCK*>(base + pos);
        if (pos == target) return b->ref != 0 && b->len.key >= in_min_size;
        pos += c_heap_block_size + static_cast<Pimo::u_int64_t>(b->len.key);
    }
    return false;
}

}  // namespace Global
}  // namespace General_Service
}  // namespace Kova
