// The host-wide packet memory: a named segment, the named process lock that guards it, and
// this process's heap manager over its own mapping.
#pragma once

#include <cstddef>

#include "Pimo/Memory/class_heap_manager.h"
#include "Pimo/Memory/memory_typedef.h"
#include "Pimo/OS/Linux/class_process_lock.h"
#include "Pimo/OS/Linux/class_shared_memory.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace Memory {

class class_dynamic_shared_memory_pool {
public:
    class_dynamic_shared_memory_pool() : mp_heap(nullptr) {}
    ~class_dynamic_shared_memory_pool() {}
    class_dynamic_shared_memory_pool(const class_dynamic_shared_memory_pool&) = delete;
    class_dynamic_shared_memory_pool& operator=(const class_dynamic_shared_memory_pool&) = delete;

    // 0, 6 when a live process holds the name, 4 when no heap manager can be made, -1.
    OS::vimra_err_t eproc_create(const char* in_name, u_int32_t in_size);
    // 0, 7 when the memory is absent or abandoned, 4 when no heap manager can be made, -1.
    OS::vimra_err_t eproc_open(const char* in_name);
    void proc_close();
    void proc_destroy();

    // 0, 4 when no block fits or the reserve would be broken, -1 for an impossible offset.
    OS::vimra_err_t eproc_alloc(mm_t& in_mm, size_t size, const char* const& filename, int lines);
    OS::vimra_err_t eproc_alloc_2(mm_t& in_mm, size_t size, size_t min_free, const char* const& filename, int lines);
    void proc_free(const mm_t& in_mm, const char* const& filename, int lines);
    // class_heap_manager::free_if_allocated of the handle.
    bool proc_free_if_allocated(const mm_t& in_mm) { return mp_heap->free_if_allocated(addr(in_mm)); }
    ref_count_t add_ref_get(const mm_t& in_mm, const char* const& filename, int lines);
    ref_count_t get_ref(const mm_t& in_mm);
    size_t get_size(const mm_t& in_mm);
    bool is_clean_memory(const mm_t& in_mm);
    bool traverse_check(const mm_t& in_mm);
    void* get_addr(const mm_t& in_mm) { return static_cast<byte_t*>(m_memory.get_pointer()) + in_mm; }
    mm_t get_mm(const void* in_ptr) {
        return static_cast<mm_t>(static_cast<const byte_t*>(in_ptr) - static_cast<const byte_t*>(m_memory.get_pointer()));
    }

    // Holds every heap operation of every other thread and process until proc_continue,
    // which the same thread calls.
    void proc_stop() { m_lock.lock(); }
    void proc_continue() { m_lock.unlock(); }

    u_int32_t get_remain() const { return mp_heap ? mp_heap->get_free_size() : 0; }
    // Bytes the heap can grant in all.
    u_int32_t get_capacity() const { return mp_heap ? mp_heap->GetMaximumSize() : 0; }
    u_int32_t get_alloc_count() const { return mp_heap ? mp_heap->get_alloc_count() : 0; }
    u_int32_t get_refer_count() const { return mp_heap ? mp_heap->get_refer_count() : 0; }
    u_int32_t get_reset_count() const { return mp_heap ? mp_heap->get_reset_count() : 0; }
    void reset() { mp_heap->reset(); }
    const char* get_status();
    const char* get_status_forcefully();

    bool test_boundary(const mm_t& in_mm) const { return m_memory.is_pointer(static_cast<byte_t*>(m_memory.get_pointer()) + in_mm); }
    bool test_allocated(const mm_t&) const { return true; }
    size_t get_block_count() const { return 0; }
    size_t get_block_size() const { return 0; }

    class_heap_manager* get_heap() const { return mp_heap; }
    // Tells this segment from any other of the same name (class_shared_memory::get_file_id).
    bool get_segment_id(u_int64_t* pout_dev, u_int64_t* pout_ino) const { return m_memory.get_file_id(pout_dev, pout_ino); }

private:
    void* addr(const mm_t& in_mm) { return static_cast<byte_t*>(m_memory.get_pointer()) + in_mm; }
    OS::vimra_err_t eproc_attach(bool in_init);

    class_heap_manager* mp_heap;
    OS::class_process_lock m_lock;
    OS::class_shared_memory m_memory;
};

}  // namespace Memory
}  // namespace Pimo
