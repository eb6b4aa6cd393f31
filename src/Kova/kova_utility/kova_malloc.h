// The allocator exported to applications: blocks of the shared packet memory
// addressed by pointers of this process.
#pragma once

#include <cstddef>

namespace Kova {

// Null when the memory has no room.
void* kova_malloc(std::size_t in_size);
// Releases one reference; null does nothing. The pointer must come from kova_malloc or kova_realloc.
void kova_free(void* pin_ptr);
// The block's capacity, which may exceed the asked size; 0 for null.
std::size_t kova_memsize(const void* pin_ptr);
// A new block of in_size bytes holding the old contents (as much as fits in in_size);
// null keeps the old block untouched; kova_realloc(null, n) is kova_malloc(n).
void* kova_realloc(void* pin_ptr, std::size_t in_size);
// The memory's consistency check of the block; false for null.
bool is_clean_ptr(const void* pin_ptr);

}  // namespace Kova
