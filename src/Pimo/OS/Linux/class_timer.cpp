#include "Pimo/OS/Linux/class_timer.h"

#include <chrono>
#include <cmath>
#include <system_error>

#include "Pimo/OS/Linux/class_stop_signal_block.h"

namespace Pimo {
namespace OS {

class_timer timer;

vimra_err_t class_timer::eproc_create(double in_interval, p_callback_timer_t pin_callback, void* pin_timer_param) {
    if (std::isnan(in_interval)) in_interval = 1.0;
    if (in_interval < c_min_interval) in_interval = c_min_interval;
    if (in_interval > c_max_interval) in_interval = c_max_interval;
    m_interval = in_interval;
    mp_call_back_timer = pin_callback;
    mp_timer_param = pin_timer_param;
    m_run = true;
    try {
        class_stop_signal_block blocked;  // inherited by the new thread
        m_thread = new std::thread(&class_timer::timer_loop, this);
    } catch (...) {
        m_run = false;
        m_thread = nullptr;
        return c_vimra_unknown;
    }
    return c_vimra_success;
}

void class_timer::timer_loop(class_timer* in_self) {
    using clock = std::chrono::steady_clock;
    const std::chrono::nanoseconds period(static_cast<long long>(1000000000.0 * in_self->m_interval));
    clock::time_point next = clock::now();
    for (;;) {
        next += period;
        {
            std::unique_lock<std::mutex> guard(in_self->m_wait_mutex);
            // A destroy wakes the wait; the loop then ends without a further callback.
            if (in_self->m_wake.wait_until(guard, next, [in_self] { return !in_self->m_run; })) return;
        }
        if (in_self->mp_call_back_timer) in_self->mp_call_back_timer(in_self);
        if (!in_self->m_run) return;
    }
}

void class_timer::proc_destroy() {
    if (!m_thread) return;
    {
        std::lock_guard<std::mutex> guard(m_wait_mutex);
        m_run = false;
    }
    m_wake.notify_all();
    if (m_thread->joinable()) {
        if (m_thread->get_id() == std::this_thread::get_id())
            m_thread->detach();  // destroyed from its own callback
        else
            m_thread->join();
    }
    delete m_thread;
    m_thread = nullptr;
}

}  // namespace OS
}  // namespace Pimo
