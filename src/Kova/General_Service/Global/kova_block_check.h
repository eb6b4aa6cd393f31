// Checks a handle taken from a debug record before the log thread touches its block: any
// process of the host can write the debug channel, and the heap ends the whole process on a
// handle that names no block.
#pragma once

#include <cstddef>

#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"

namespace Kova {
namespace General_Service {
namespace Global {

// True when in_mm is the payload of an allocated block of at least in_min_size bytes. The
// caller holds the memory's lock (proc_stop) so the answer stays true while it uses the block.
bool test_allocated_block(Pimo::Memory::class_dynamic_shared_ref_memory& in_memory, Pimo::Memory::mm_t in_mm,
                          std::size_t in_min_size);

}  // namespace Global
}  // namespace General_Service
}  // namespace Kova
