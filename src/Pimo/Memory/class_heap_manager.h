// The allocator inside the shared packet memory: every byte of its state lives in the
// segment, so any process that maps it reads and changes the same heap.
#pragma once

#include <cstddef>
#include <memory>

#include "Pimo/Memory/class_heap_space.h"
#include "Pimo/Memory/heap_record.h"
#include "Pimo/Memory/interface_handle_hook.h"
#include "Pimo/Memory/template_splay_tree.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Pimo {
namespace OS {
class class_shared_memory;
}

namespace Memory {

class class_heap_manager {
public:
    typedef template_splay_tree<class_heap_space> tree_t;

    // Attaches to the segment of in_memory; in_init (the creator) resets the heap.
    class_heap_manager(OS::class_shared_memory* mem, OS::class_lock* lck, bool init);
    // The same over any mapping of in_size bytes (at most 4 GiB, at least c_heap_min_segment).
    class_heap_manager(void* pin_base, u_int64_t in_size, OS::class_lock* pin_lock, bool in_init);
    ~class_heap_manager();
    class_heap_manager(const class_heap_manager&) = delete;
    class_heap_manager& operator=(const class_heap_manager&) = delete;

    void reset();
    void* alloc(u_int32_t in_len, const char* const& filename, int lines);
    void* alloc_2(u_int32_t in_len, u_int32_t min_free, const char* const& filename, int lines);
    void free(void* ptr, const char* const& filename, int lines);
    // Gives back one reference to the block whose payload is ptr, when ptr is an allocated
    // block's payload (false, and nothing done, for anything else: ptr comes from a record
    // another process wrote, and must not end this one with a heap report). The hook is not
    // told: the reference was never this process's own.
    bool free_if_allocated(void* ptr);
    u_int32_t add_ref(void* ptr, const char* const& filename, int lines);
    // Every reference this process takes and gives up is told to in_hook (null: to nobody).
    void set_hook(interface_handle_hook* pin_hook) { mp_hook = pin_hook; }
    // The resets of the heap so far, as the other processes see it change.
    const volatile u_int32_t* get_reset_count_word() const { return &mp_hdr->reset_count; }
    u_int32_t get_ref(void* ptr);
    u_int32_t get_size(const void* ptr) const;

    // The counters, read under the heap's lock: every thread and process changes them under it.
    u_int32_t get_free_size() const { return locked_read(mp_hdr->free); }
    u_int32_t get_alloc_count() const { return locked_read(mp_hdr->alloc_count); }
    u_int32_t get_refer_count() const { return locked_read(mp_hdr->refer_count); }
    u_int32_t get_reset_count() const { return locked_read(mp_hdr->reset_count); }
    u_int32_t get_allocated_size() const { return locked_read(mp_hdr->alloc); }
    u_int32_t GetMaximumSize() const { return static_cast<u_int32_t>(m_size - c_first_payload); }

    void* to_pointer(offset_t in_offset) const {
        return in_offset < c_first_block ? nullptr : base() + in_offset;
    }
    offset_t to_offset(const void* in_address) const {
        return static_cast<offset_t>(static_cast<const byte_t*>(in_address) - base());
    }
    char* CharPtr(offset_t in_offset) const { return static_cast<char*>(to_pointer(in_offset)); }
    bool is_pointer(const void* in_address) const {
        const byte_t* p = static_cast<const byte_t*>(in_address);
        return p >= base() && p < base() + m_size;
    }
    // A payload address can only lie past the first block header: anything lower (a handle
    // of 0 included) names no block, and reading its header would leave the mapping.
    bool is_block_pointer(const void* in_address) const {
        const byte_t* p = static_cast<const byte_t*>(in_address);
        return p >= base() + c_first_payload && p < base() + m_size;
    }

    // Integrity checks, status and dump.
    bool is_clean_memory(void* ptr) const;
    bool traverse_check(const void* ptr) const;
    bool locked_traverse_check(const void* ptr) const;
    const char* get_status() const;
    const char* get_status_forcefully() const;
    size_t traverse() const;

    // Free blocks counted through the address tree, and through the size tree with its lists
    // (pout_sum adds capacity + 256 of each); a tree that cannot be counted is a fatal report.
    size_t VerifyPtrTree() const;
    size_t VerifyLenTree(u_int64_t* pout_sum = nullptr) const;
    size_t CountLeftNodes(offset_t in_node) const;
    size_t CountRightNodes(offset_t in_node) const;
    size_t traveral_ptr() const { return VerifyPtrTree(); }
    size_t traveral_len() const { return VerifyLenTree(); }
    size_t traveral_block() const { return traverse(); }

    u_int64_t get_segment_size() const { return m_size; }

private:
    byte_t* base() const { return reinterpret_cast<byte_t*>(mp_hdr); }
    HEAP_BLOCK* block_at(u_int64_t in_offset) const { return reinterpret_cast<HEAP_BLOCK*>(base() + in_offset); }
    class_heap_space len_space() const { return class_heap_space(base(), m_size, 0, m_max_blocks); }
    class_heap_space ptr_space() const {
        return class_heap_space(base(), m_size, offsetof(HEAP_BLOCK, ptr), m_max_blocks);
    }

    u_int32_t locked_read(const dword_t& in_word) const;
    void release(void* ptr, bool in_recorded);
    void walk_check(const void* ptr) const;
    void check_allocated(const HEAP_BLOCK* pin_block, u_int64_t in_offset) const;
    void compare_trees() const;
    void insert_free(offset_t in_block);

    OS::class_shared_memory* mp_memory;
    OS::class_lock* mp_lock;
    HEAP_HEADER* mp_hdr;
    interface_handle_hook* mp_hook;
    u_int64_t m_size;
    size_t m_max_blocks;
    // Room for an iterative tree count; taken once, so no operation allocates.
    std::unique_ptr<offset_t[]> mp_stack;
};

}  // namespace Memory
}  // namespace Pimo
