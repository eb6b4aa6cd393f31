#include "Kova/Manager/kova_manager_table.h"

#include <cstdlib>
#include <cstring>
#include <map>

namespace Kova {
namespace General {
namespace Manager {

namespace {

std::map<const void*, size_t>& pointer_table() {
    static std::map<const void*, size_t> table;
    return table;
}

std::map<Pimo::Memory::mm_t, size_t>& mem_table() {
    static std::map<Pimo::Memory::mm_t, size_t> table;
    return table;
}

template <typename M, typename K>
bool find_in(const M& in_table, const K& in_key, size_t* pout_size) {
    auto it = in_table.find(in_key);
    if (it == in_table.end()) return false;
    if (pout_size) *pout_size = it->second;
    return true;
}

}  // namespace

bool find_pointer(const void* in_ptr, size_t* pout_size) { return find_in(pointer_table(), in_ptr, pout_size); }
void insert_pointer(const void* in_ptr, size_t in_size) { pointer_table()[in_ptr] = in_size; }
void erase_pointer(const void* in_ptr) { pointer_table().erase(in_ptr); }

bool find_mem(Pimo::Memory::mm_t in_mm, size_t* pout_size) { return find_in(mem_table(), in_mm, pout_size); }
void insert_mem(Pimo::Memory::mm_t in_mm, size_t in_size) { mem_table()[in_mm] = in_size; }
void erase_mem(Pimo::Memory::mm_t in_mm) { mem_table().erase(in_mm); }

int range_rand(int range_min, int range_max) {
    if (range_max <= range_min) return range_min;
    // Computed in 64 bits: the span of the whole int range does not fit in an int.
    const long long span = static_cast<long long>(range_max) - range_min + 1;
    return static_cast<int>(range_min + static_cast<long long>(std::rand()) % span);
}

unsigned int search_str(const char* str, const char* cmp) {
    if (!str || !cmp) return 0xFFFFFFFFu;
    const char* hit = std::strstr(str, cmp);
    return hit ? static_cast<unsigned int>(hit - str) : 0xFFFFFFFFu;
}

}  // namespace Manager
}  // namespace General
}  // namespace Kova
