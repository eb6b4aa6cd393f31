// A private buffer in which an application composes a value before it is written to the
// packet memory: three times the size asked, every byte 0xCD, of which the middle third is
// handed out. A write past either end of the middle shows in the outer thirds when the value
// is posted, and nothing is written then. Guarded by a lock of its own against callers on
// several threads; the write itself runs outside it.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace SDK {
namespace Sender {

class class_guarded_stage {
public:
    static constexpr unsigned char c_guard = 0xCD;

    // in_dirty_line goes to standard output as it stands when a post finds a guard changed.
    explicit class_guarded_stage(const char* in_dirty_line) : mp_dirty_line(in_dirty_line), m_size(0) {}
    class_guarded_stage(const class_guarded_stage&) = delete;
    class_guarded_stage& operator=(const class_guarded_stage&) = delete;

    // The middle third of a new buffer for in_size bytes; a buffer staged before is freed.
    // Null, with nothing staged, when three times in_size does not fit into memory.
    void* eproc_get(pksize_t in_size);
    // Writes the first in_size bytes of the middle third by in_write(data, size), which
    // returns a result code, and frees the buffer; the write's result. Without a buffer
    // c_kova_err_dont_get; above the staged size c_kova_err_too_big_size; with a guard byte
    // changed c_kova_err_durty_memory, after the dirty line. In those three cases nothing
    // is written and a buffer stays until cancel or the next get.
    template <typename write_t>
    kova_err_t eproc_post(pksize_t in_size, write_t in_write) {
        kova_err_t result = c_kova_err_none;
        pksize_t staged = 0;
        std::unique_ptr<unsigned char[]> buffer = proc_take_clean(in_size, result, staged);
        if (!buffer) return result;
        return in_write(static_cast<const void*>(buffer.get() + staged), in_size);
    }
    // Frees the buffer; nothing without one.
    void proc_cancel();

private:
    // The buffer, taken out of the stage, when a post of in_size may write it; otherwise
    // null with pout_result set. pout_staged: the size it was staged for.
    std::unique_ptr<unsigned char[]> proc_take_clean(pksize_t in_size, kova_err_t& pout_result, pksize_t& pout_staged);

    const char* mp_dirty_line;
    std::mutex m_mutex;
    std::unique_ptr<unsigned char[]> m_buffer;
    pksize_t m_size;
};

}  // namespace Sender
}  // namespace SDK
}  // namespace Kova
