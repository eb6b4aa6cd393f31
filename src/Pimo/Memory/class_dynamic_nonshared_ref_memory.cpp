#include "Pimo/Memory/class_dynamic_nonshared_ref_memory.h"

#include <cstring>
#include <new>

#include "Pimo/OS/Linux/class_locker.h"

namespace Pimo {
namespace Memory {

using OS::class_locker;

namespace {

// Room taken from the heap beyond the data; the block's handle sits right after the data.
constexpr size_t c_slack = 30;
constexpr mm_t c_max_handle = 0xFFFFFFFFu;

size_t block_bytes(size_t in_size) { return in_size + struct_smart_memory::get_sizeof() + c_slack; }

mm_t stored_handle(struct_smart_memory* pin_block) {
    mm_t h;
    std::memcpy(&h, pin_block->get_data() + pin_block->siz, sizeof h);
    return h;
}

void release(struct_smart_memory* pin_block) { delete[] reinterpret_cast<byte_t*>(pin_block); }

}  // namespace

static_assert(sizeof(struct_smart_memory) + sizeof(mm_t) <= 22 + c_slack, "the handle fits behind the data");

class_dynamic_nonshared_ref_memory::class_dynamic_nonshared_ref_memory() : m_blocks(1, nullptr) {}

class_dynamic_nonshared_ref_memory::~class_dynamic_nonshared_ref_memory() {
    for (struct_smart_memory* b : m_blocks)
        if (b) release(b);
}

void class_dynamic_nonshared_ref_memory::proc_stop() { m_mutex.lock(); }

void class_dynamic_nonshared_ref_memory::proc_continue() { m_mutex.unlock(); }

OS::vimra_err_t class_dynamic_nonshared_ref_memory::eproc_alloc(mm_t& in_mm, size_t size, const char* const&, int) {
    if (size > SIZE_MAX - block_bytes(0)) return OS::c_vimra_memory_empty;
    byte_t* raw = new (std::nothrow) byte_t[block_bytes(size)];
    if (!raw) return OS::c_vimra_memory_empty;
    struct_smart_memory* b = reinterpret_cast<struct_smart_memory*>(raw);
    b->ref = 1;
    b->siz = size;
    mm_t h = 0;
    try {
        class_locker guard(m_mutex);
        if (!m_free_handles.empty()) {
            h = m_free_handles.back();
            m_free_handles.pop_back();
        } else if (m_blocks.size() <= c_max_handle) {
            // Room in the free list for every handle made, so that a release never needs memory.
            if (m_free_handles.capacity() < m_blocks.size()) m_free_handles.reserve(2 * m_blocks.size());
            h = static_cast<mm_t>(m_blocks.size());
            m_blocks.push_back(nullptr);
        }
        if (h) m_blocks[h] = b;
    } catch (...) {
        h = 0;
    }
    if (!h) {
        release(b);
        return OS::c_vimra_memory_empty;
    }
    std::memcpy(b->get_data() + size, &h, sizeof h);
    in_mm = h;
    return OS::c_vimra_success;
}

OS::vimra_err_t class_dynamic_nonshared_ref_memory::eproc_alloc_2(mm_t& in_mm, size_t size, size_t,
                                                                  const char* const& filename, int lines) {
    return eproc_alloc(in_mm, size, filename, lines);
}

void class_dynamic_nonshared_ref_memory::proc_free(const mm_t& in_mm, const char* const&, int) {
    struct_smart_memory* gone = nullptr;
    {
        class_locker guard(m_mutex);
        struct_smart_memory* b = find(in_mm);
        if (!b || --b->ref != 0) return;
        m_blocks[in_mm] = nullptr;
        m_free_handles.push_back(in_mm);  // room reserved when the handle was made
        gone = b;
    }
    release(gone);
}

ref_count_t class_dynamic_nonshared_ref_memory::add_ref_get(const mm_t& in_mm, const char* const&, int) {
    class_locker guard(m_mutex);
    struct_smart_memory* b = find(in_mm);
    return b ? ++b->ref : 0;
}

ref_count_t class_dynamic_nonshared_ref_memory::get_ref(const mm_t& in_mm) {
    class_locker guard(m_mutex);
    struct_smart_memory* b = find(in_mm);
    return b ? b->ref : 0;
}

void* class_dynamic_nonshared_ref_memory::get_addr(const mm_t& in_mm) {
    class_locker guard(m_mutex);
    struct_smart_memory* b = find(in_mm);
    return b ? b->get_data() : nullptr;
}

mm_t class_dynamic_nonshared_ref_memory::get_mm(const void* in_ptr) {
    if (!in_ptr) return 0;
    struct_smart_memory* b =
        reinterpret_cast<struct_smart_memory*>(const_cast<byte_t*>(static_cast<const byte_t*>(in_ptr))) - 1;
    class_locker guard(m_mutex);
    const mm_t h = stored_handle(b);
    return find(h) == b ? h : 0;
}

size_t class_dynamic_nonshared_ref_memory::get_size(const mm_t& in_mm) {
    class_locker guard(m_mutex);
    struct_smart_memory* b = find(in_mm);
    return b ? b->siz : 0;
}

}  // namespace Memory
}  // namespace Pimo
