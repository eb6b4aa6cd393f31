// Helpers the console keeps for diagnosing the packet memory by hand; no command uses them.
#pragma once

#include <cstddef>

#include "Pimo/Memory/memory_typedef.h"

namespace Kova {
namespace General {
namespace Manager {

// Address -> size. find_ answers false when the address is not in the table.
bool find_pointer(const void* in_ptr, size_t* pout_size = nullptr);
void insert_pointer(const void* in_ptr, size_t in_size);
void erase_pointer(const void* in_ptr);

// Packet memory handle -> size.
bool find_mem(Pimo::Memory::mm_t in_mm, size_t* pout_size = nullptr);
void insert_mem(Pimo::Memory::mm_t in_mm, size_t in_size);
void erase_mem(Pimo::Memory::mm_t in_mm);

// An integer in [range_min, range_max] from the C library's random numbers.
int range_rand(int range_min, int range_max);

// Position of the first occurrence of cmp in str, or 0xFFFFFFFF when there is none.
unsigned int search_str(const char* str, const char* cmp);

}  // namespace Manager
}  // namespace General
}  // namespace Kova
