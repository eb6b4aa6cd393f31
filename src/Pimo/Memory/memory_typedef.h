// Handles, counts and link types of the packet memory.
#pragma once

#include <cstddef>

#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Pimo {
namespace Memory {

// Offset of a block's payload from the base of the shared segment; 0 is no block.
typedef u_int32_t mm_t;
typedef u_int64_t ref_count_t;

// Links inside the shared segment: offsets from its base, so every mapping reads the same tree.
typedef u_int32_t offset_t;
typedef u_int32_t block_ptr_t;
typedef u_int32_t dword_t;

constexpr u_int32_t c_mem_align_size = 8;

}  // namespace Memory
}  // namespace Pimo
