// The host-wide packet memory behind the memory interface.
#pragma once

#include "Pimo/Memory/class_dynamic_shared_memory_pool.h"
#include "Pimo/Memory/interface_memory.h"

namespace Pimo {
namespace Memory {

class class_dynamic_shared_ref_memory : public interface_memory {
public:
    class_dynamic_shared_ref_memory() {}
    ~class_dynamic_shared_ref_memory() override {}

    // 0 or -1: callers need not tell the pool's reasons apart.
    OS::vimra_err_t eproc_create(const char* in_name, unsigned int in_size);
    OS::vimra_err_t eproc_open(const char* in_name);
    void proc_close() { m_memory.proc_close(); }
    void proc_destroy() { m_memory.proc_destroy(); }
    void reset() { m_memory.reset(); }
    const char* get_status() { return m_memory.get_status(); }
    const char* get_status_forcefully() { return m_memory.get_status_forcefully(); }
    unsigned long get_remain() const { return m_memory.get_remain(); }
    unsigned long get_capacity() const { return m_memory.get_capacity(); }
    unsigned long get_alloc_count() const { return m_memory.get_alloc_count(); }
    unsigned long get_refer_count() const { return m_memory.get_refer_count(); }
    unsigned long get_reset_count() const { return m_memory.get_reset_count(); }

    void proc_stop() override { m_memory.proc_stop(); }
    void proc_continue() override { m_memory.proc_continue(); }
    OS::vimra_err_t eproc_alloc(mm_t& in_mm, size_t size, const char* const& filename, int lines) override {
        return m_memory.eproc_alloc(in_mm, size, filename, lines);
    }
    OS::vimra_err_t eproc_alloc_2(mm_t& in_mm, size_t size, size_t min_free, const char* const& filename,
                                  int lines) override {
        return m_memory.eproc_alloc_2(in_mm, size, min_free, filename, lines);
    }
    void proc_free(const mm_t& in_mm, const char* const& filename, int lines) override {
        m_memory.proc_free(in_mm, filename, lines);
    }
    ref_count_t add_ref_get(const mm_t& in_mm, const char* const& filename, int lines) override {
        return m_memory.add_ref_get(in_mm, filename, lines);
    }
    ref_count_t get_ref(const mm_t& in_mm) override { return m_memory.get_ref(in_mm); }
    void* get_addr(const mm_t& in_mm) override { return m_memory.get_addr(in_mm); }
    mm_t get_mm(const void* in_ptr) override { return m_memory.get_mm(in_ptr); }
    size_t get_size(const mm_t& in_mm) override { return m_memory.get_size(in_mm); }
    bool is_clean_memory(const mm_t& in_mm) override { return m_memory.is_clean_memory(in_mm); }
    bool traverse_check(const mm_t& in_mm) override { return m_memory.traverse_check(in_mm); }

    class_dynamic_shared_memory_pool& get_pool() { return m_memory; }

private:
    class_dynamic_shared_memory_pool m_memory;
};

}  // namespace Memory
}  // namespace Pimo
