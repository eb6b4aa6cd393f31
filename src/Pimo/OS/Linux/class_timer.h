// A callback every interval at a fixed rate on the monotonic clock, on a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace OS {

class class_timer;
typedef void (*p_callback_timer_t)(class_timer*);

class class_timer {
public:
    // Intervals outside this range are clamped: a zero period would spin, a huge one overflow.
    // The top is the longest finite packet time, so that every period a packet can carry runs
    // as asked.
    static constexpr double c_min_interval = 1e-6;
    static constexpr double c_max_interval = 2147483648.0;

    class_timer() : m_thread(nullptr), m_interval(1.0), m_run(false), mp_call_back_timer(nullptr), mp_timer_param(nullptr) {}
    ~class_timer() {}

    vimra_err_t eproc_create(double in_interval, p_callback_timer_t pin_callback, void* pin_timer_param);
    void proc_destroy();
    bool is_valid() const { return m_run; }
    void* get_timer_param() const { return mp_timer_param; }
    double get_interval() const { return m_interval; }

private:
    static void timer_loop(class_timer* in_self);

    std::thread* m_thread;
    double m_interval;
    std::atomic<bool> m_run;  // cleared by proc_destroy, read by the timer thread and is_valid
    p_callback_timer_t mp_call_back_timer;
    void* mp_timer_param;
    std::mutex m_wait_mutex;           // lets proc_destroy cut a long sleep short
    std::condition_variable m_wake;
};

extern class_timer timer;

}  // namespace OS
}  // namespace Pimo
