// The reference-counted memory that every user of the packet memory drives: blocks named by
// 32-bit handles, allocated with the caller's source file and line.
#pragma once

#include <cstddef>

#include "Pimo/Memory/memory_typedef.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace Memory {

class interface_memory {
public:
    virtual ~interface_memory() {}

    // Slot order is part of the interface: keep it.
    virtual void proc_stop() = 0;
    virtual void proc_continue() = 0;
    virtual OS::vimra_err_t eproc_alloc(mm_t& in_mm, size_t size, const char* const& filename, int lines) = 0;
    // Refuses when fewer than min_free bytes would stay free.
    virtual OS::vimra_err_t eproc_alloc_2(mm_t& in_mm, size_t size, size_t min_free, const char* const& filename,
                                          int lines) = 0;
    virtual void proc_free(const mm_t& in_mm, const char* const& filename, int lines) = 0;
    virtual ref_count_t add_ref_get(const mm_t& in_mm, const char* const& filename, int lines) = 0;
    virtual ref_count_t get_ref(const mm_t& in_mm) = 0;
    virtual void* get_addr(const mm_t& in_mm) = 0;
    virtual mm_t get_mm(const void* in_ptr) = 0;
    virtual size_t get_size(const mm_t& in_mm) = 0;
    virtual bool is_clean_memory(const mm_t& in_mm) = 0;
    virtual bool traverse_check(const mm_t& in_mm) = 0;

    // For holders that may have no block: a handle of 0 is left alone.
    void safe_free(mm_t& in_mm, const char* const& file, int line) {
        if (in_mm == 0) return;
        proc_free(in_mm, file, line);
        in_mm = 0;
    }
    ref_count_t safe_add_ref(const mm_t& in_mm, const char* const& file, int line) {
        return in_mm == 0 ? 0 : add_ref_get(in_mm, file, line);
    }
};

}  // namespace Memory
}  // namespace Pimo
