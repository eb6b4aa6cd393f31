// The reference-counted memory interface over blocks of the process heap. A handle is an
// index into a table of blocks (0 is no block), so it fits 32 bits whatever the address.
// Abstract: a subclass supplies traverse_check.
#pragma once

#include <cstddef>
#include <vector>

#include "Pimo/Memory/interface_memory.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Pimo {
namespace Memory {

// The header of each block; the data follows it.
struct struct_smart_memory {
    ref_count_t ref;
    size_t siz;  // the size asked for
    static size_t get_sizeof() { return 22; }
    byte_t* get_data() { return reinterpret_cast<byte_t*>(this + 1); }
};

class class_dynamic_nonshared_ref_memory : public interface_memory {
public:
    class_dynamic_nonshared_ref_memory();
    // The handles die with the table, so the blocks still held go with them.
    ~class_dynamic_nonshared_ref_memory() override;
    class_dynamic_nonshared_ref_memory(const class_dynamic_nonshared_ref_memory&) = delete;
    class_dynamic_nonshared_ref_memory& operator=(const class_dynamic_nonshared_ref_memory&) = delete;

    // Holds the lock until proc_continue on the same thread: every other user waits.
    void proc_stop() override;
    void proc_continue() override;
    // 0, or 4 when no memory is given (in_mm is then left alone).
    OS::vimra_err_t eproc_alloc(mm_t& in_mm, size_t size, const char* const& filename, int lines) override;
    // The reserve means nothing here.
    OS::vimra_err_t eproc_alloc_2(mm_t& in_mm, size_t size, size_t min_free, const char* const& filename,
                                  int lines) override;
    void proc_free(const mm_t& in_mm, const char* const& filename, int lines) override;
    ref_count_t add_ref_get(const mm_t& in_mm, const char* const& filename, int lines) override;
    // A handle that names no live block gives 0, a null address or a size of 0.
    ref_count_t get_ref(const mm_t& in_mm) override;
    void* get_addr(const mm_t& in_mm) override;
    // For addresses that get_addr gave out; 0 for a null address.
    mm_t get_mm(const void* in_ptr) override;
    size_t get_size(const mm_t& in_mm) override;
    bool is_clean_memory(const mm_t&) override { return true; }

protected:
    OS::class_thread_lock m_mutex;

private:
    // Under m_mutex: the block a handle names, or null.
    struct_smart_memory* find(mm_t in_mm) const {
        return in_mm < m_blocks.size() ? m_blocks[in_mm] : nullptr;
    }

    std::vector<struct_smart_memory*> m_blocks;  // by handle; slot 0 stays empty
    std::vector<mm_t> m_free_handles;
};

}  // namespace Memory
}  // namespace Pimo
