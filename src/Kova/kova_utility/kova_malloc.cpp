#include "Kova/kova_utility/kova_malloc.h"

#include <algorithm>
#include <cstring>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Pimo/Memory/interface_memory.h"

namespace Kova {

using Common::Global::gp_memory;
using namespace Common::Interface;

void* kova_malloc(std::size_t in_size) {
    if (gp_memory == nullptr) return nullptr;
    mm_t mm = 0;
    if (gp_memory->eproc_alloc(mm, in_size, __FILE__, __LINE__) != Pimo::OS::c_vimra_success) return nullptr;
    return get_ptr(mm);
}

void kova_free(void* pin_ptr) {
    if (pin_ptr == nullptr) return;
    gp_memory->proc_free(get_ptr_mm(pin_ptr), __FILE__, __LINE__);
}

std::size_t kova_memsize(const void* pin_ptr) {
    if (pin_ptr == nullptr) return 0;
    return get_ptr_size(get_ptr_mm(pin_ptr));
}

void* kova_realloc(void* pin_ptr, std::size_t in_size) {
    if (pin_ptr == nullptr) return kova_malloc(in_size);
    void* fresh = kova_malloc(in_size);
    if (fresh == nullptr) return nullptr;
    // Never more than the new block was asked for: its rear guard follows right after.
    std::memcpy(fresh, pin_ptr, std::min(in_size, kova_memsize(pin_ptr)));
    kova_free(pin_ptr);
    return fresh;
}

bool is_clean_ptr(const void* pin_ptr) {
    if (pin_ptr == nullptr) return false;
    return is_clean_memory(get_ptr_mm(pin_ptr));
}

}  // namespace Kova
