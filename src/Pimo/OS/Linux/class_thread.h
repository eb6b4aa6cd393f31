// A joinable thread whose entry receives the wrapper itself.
#pragma once

#include "Pimo/OS/Linux/class_lock.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace OS {

class class_thread;
typedef void* (*p_thread_proc_t)(class_thread*);

class class_thread {
public:
    class_thread() : mp_thread_param(nullptr), mp_proc(nullptr), m_id(0) {}
    ~class_thread() {}

    vimra_err_t eproc_create(p_thread_proc_t lpStartadd_ress, void* lpParameter);
    void proc_wait_exit(void** p_return = nullptr);
    bool is_created() const { return mp_proc != nullptr; }
    thread_id_t get_thread_id() const { return m_id; }
    void* get_thread_param() const { return mp_thread_param; }
    static thread_id_t get_current_thread_id() { return pthread_self(); }

protected:
    static void* thread(void* in_self);

    void* mp_thread_param;
    p_thread_proc_t mp_proc;
    thread_id_t m_id;
};

void thread_yield();

}  // namespace OS
}  // namespace Pimo
