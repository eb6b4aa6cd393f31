#include "Pimo/Memory/class_dynamic_shared_memory_pool.h"

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

namespace Pimo {
namespace Memory {

using OS::vimra_err_t;

// A heap needs a view that holds its header and one block, and offsets that fit 32 bits.
vimra_err_t class_dynamic_shared_memory_pool::eproc_attach(bool in_init) {
    const size_t size = m_memory.get_size();
    if (!m_memory.get_pointer() || size < c_heap_min_segment || size > UINT32_MAX) return OS::c_vimra_unknown;
    try {
        mp_heap = new class_heap_manager(&m_memory, &m_lock, in_init);
    } catch (...) {
        mp_heap = nullptr;
        return OS::c_vimra_memory_empty;
    }
    return OS::c_vimra_success;
}

vimra_err_t class_dynamic_shared_memory_pool::eproc_create(const char* in_name, u_int32_t in_size) {
    if (!in_name || in_size < c_heap_min_segment) return OS::c_vimra_unknown;
    try {
        const std::string name(in_name);
        vimra_err_t r = m_lock.eproc_create_global(name, false);
        if (r != OS::c_vimra_success) return r;
        r = m_memory.eproc_create(name, in_size);
        if (r != OS::c_vimra_success) {
            m_lock.proc_destroy();
            return r;
        }
        r = eproc_attach(true);
        if (r != OS::c_vimra_success) {
            m_memory.proc_destroy();
            m_lock.proc_destroy();
        }
        return r;
    } catch (...) {
        return OS::c_vimra_unknown;
    }
}

vimra_err_t class_dynamic_shared_memory_pool::eproc_open(const char* in_name) {
    if (!in_name) return OS::c_vimra_unknown;
    try {
        const std::string name(in_name);
        vimra_err_t r = m_lock.eproc_open_global(name);
        if (r != OS::c_vimra_success) return r;
        r = m_memory.eproc_open(name);
        if (r != OS::c_vimra_success) {
            m_lock.proc_close();
            return r;
        }
        r = eproc_attach(false);
        if (r != OS::c_vimra_success) {
            m_memory.proc_close();
            m_lock.proc_close();
        }
        return r;
    } catch (...) {
        return OS::c_vimra_unknown;
    }
}

void class_dynamic_shared_memory_pool::proc_close() {
    delete mp_heap;
    mp_heap = nullptr;
    m_memory.proc_close();
    m_lock.proc_close();
}

void class_dynamic_shared_memory_pool::proc_destroy() {
    delete mp_heap;
    mp_heap = nullptr;
    m_memory.proc_destroy();
    m_lock.proc_destroy();
}

vimra_err_t class_dynamic_shared_memory_pool::eproc_alloc(mm_t& in_mm, size_t size, const char* const& filename,
                                                          int lines) {
    return eproc_alloc_2(in_mm, size, 0, filename, lines);
}

vimra_err_t class_dynamic_shared_memory_pool::eproc_alloc_2(mm_t& in_mm, size_t size, size_t min_free,
                                                            const char* const& filename, int lines) {
    if (!mp_heap) return OS::c_vimra_unknown;
    // A size beyond 32 bits would be cut to a small one: refuse it like any block that does not fit.
    if (size > UINT32_MAX) return OS::c_vimra_memory_empty;
    const u_int32_t reserve = min_free > UINT32_MAX ? UINT32_MAX : static_cast<u_int32_t>(min_free);
    void* p = mp_heap->alloc_2(static_cast<u_int32_t>(size), reserve, filename, lines);
    if (!p) return OS::c_vimra_memory_empty;
    const size_t off = m_memory.to_offset(p);
    if (off == 0 || off >= UINT32_MAX) {
        in_mm = 0;
        return OS::c_vimra_unknown;
    }
    in_mm = static_cast<mm_t>(off);
    return OS::c_vimra_success;
}

void class_dynamic_shared_memory_pool::proc_free(const mm_t& in_mm, const char* const& filename, int lines) {
    mp_heap->free(addr(in_mm), filename, lines);
}

ref_count_t class_dynamic_shared_memory_pool::add_ref_get(const mm_t& in_mm, const char* const& filename, int lines) {
    return mp_heap->add_ref(addr(in_mm), filename, lines);
}

ref_count_t class_dynamic_shared_memory_pool::get_ref(const mm_t& in_mm) { return mp_heap->get_ref(addr(in_mm)); }

size_t class_dynamic_shared_memory_pool::get_size(const mm_t& in_mm) { return mp_heap->get_size(addr(in_mm)); }

bool class_dynamic_shared_memory_pool::is_clean_memory(const mm_t& in_mm) {
    return mp_heap->is_clean_memory(addr(in_mm));
}

bool class_dynamic_shared_memory_pool::traverse_check(const mm_t& in_mm) {
    return mp_heap->locked_traverse_check(addr(in_mm));
}

const char* class_dynamic_shared_memory_pool::get_status() {
    const char* s = mp_heap->get_status();
    std::printf("\n");
    std::fflush(stdout);
    return s;
}

const char* class_dynamic_shared_memory_pool::get_status_forcefully() {
    const char* s = mp_heap->get_status_forcefully();
    std::printf("\n");
    std::fflush(stdout);
    return s;
}

}  // namespace Memory
}  // namespace Pimo
