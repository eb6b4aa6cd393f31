// Decides whether a reset order the loader sent is still good when the log thread takes it:
// a start request or a newly watched center since the order makes it stale, because a center
// may already be using the memory.
#pragma once

#include <mutex>

#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Kova {
namespace General_Service {
namespace Global {

class class_reset_gate {
public:
    class_reset_gate() : m_epoch(0) {}

    // The loader, before it starts a center or watches one.
    void proc_note_activity() {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_epoch;
    }
    // The loader, when it orders a reset: the order carries this value.
    Pimo::u_int32_t get_epoch() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_epoch;
    }
    // The log thread: runs in_reset only if nothing happened since the order of in_epoch.
    // Activity waits meanwhile, so no center starts half-way through a reset.
    template <typename reset_t>
    bool run_if_current(Pimo::u_int32_t in_epoch, reset_t in_reset) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (in_epoch != m_epoch) return false;
        in_reset();
        return true;
    }

private:
    std::mutex m_lock;
    Pimo::u_int32_t m_epoch;
};

}  // namespace Global
}  // namespace General_Service
}  // namespace Kova
