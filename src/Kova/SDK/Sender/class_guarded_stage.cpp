#include "Kova/SDK/Sender/class_guarded_stage.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

namespace Kova {
namespace SDK {
namespace Sender {

namespace {

bool is_all_guard(const unsigned char* pin_bytes, std::size_t in_count) {
    for (std::size_t i = 0; i < in_count; ++i)
        if (pin_bytes[i] != class_guarded_stage::c_guard) return false;
    return true;
}

}  // namespace

void* class_guarded_stage::eproc_get(pksize_t in_size) {
    const std::size_t third = in_size;
    std::unique_ptr<unsigned char[]> buffer;
    if (third <= SIZE_MAX / 3) buffer.reset(new (std::nothrow) unsigned char[3 * third]);
    if (buffer) std::memset(buffer.get(), c_guard, 3 * third);
    std::unique_ptr<unsigned char[]> old;
    std::lock_guard<std::mutex> lock(m_mutex);
    old = std::move(m_buffer);
    m_buffer = std::move(buffer);
    m_size = m_buffer ? in_size : 0;
    return m_buffer ? m_buffer.get() + third : nullptr;
}

std::unique_ptr<unsigned char[]> class_guarded_stage::proc_take_clean(pksize_t in_size, kova_err_t& pout_result,
                                                                      pksize_t& pout_staged) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_buffer) {
        pout_result = c_kova_err_dont_get;
        return nullptr;
    }
    if (in_size > m_size) {
        pout_result = c_kova_err_too_big_size;
        return nullptr;
    }
    const std::size_t third = m_size;
    if (!is_all_guard(m_buffer.get(), third) || !is_all_guard(m_buffer.get() + 2 * third, third)) {
        std::fputs(mp_dirty_line, stdout);
        std::fflush(stdout);
        pout_result = c_kova_err_durty_memory;
        return nullptr;
    }
    pout_staged = m_size;
    m_size = 0;
    return std::move(m_buffer);
}

void class_guarded_stage::proc_cancel() {
    std::unique_ptr<unsigned char[]> old;
    std::lock_guard<std::mutex> lock(m_mutex);
    old = std::move(m_buffer);
    m_size = 0;
}

}  // namespace Sender
}  // namespace SDK
}  // namespace Kova
